#!/usr/bin/env bash
# Takes a screenshot of the program's window under a virtual X server.
#   tools/screenshot.sh PROGRAM OUT.png [CLICK...]
# Each CLICK is an "x,y" point in the window (pixels) to click after the window shows,
# with a second's pause for the exchange that may follow. With QUILLMARK_SIM naming the
# simulator, it serves COM 1 from a private link folder for the time of the shot.
set -euo pipefail
program=$1 out=$2
shift 2
if [ -z "${INSIDE_XVFB:-}" ]; then
  INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x400x24" "$0" "$program" "$out" "$@"
fi

pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
if [ -n "${QUILLMARK_SIM:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  "$QUILLMARK_SIM" --port 1 >/dev/null &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$XDG_RUNTIME_DIR/quillmark/com1" ] && break; sleep 0.1; done
fi
"$program" &
pids+=($!)
window=""
for _ in $(seq 100); do
  window=$(xdotool search --name '^Quillmark$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
sleep 0.5
for point in "$@"; do
  xdotool mousemove --window "$window" "${point%,*}" "${point#*,}" click 1
  sleep 1
done
mkdir -p "$(dirname "$out")"
[ -n "${FULL_SCREEN:-}" ] && { import -window root "$out"; echo "wrote $out"; exit 0; }
import -window root -crop "$(xdotool getwindowgeometry --shell "$window" |
  awk -F= '/WIDTH/{w=$2}/HEIGHT/{h=$2}/^X/{x=$2}/^Y/{y=$2}END{print w"x"h"+"x"+"y}')" +repage "$out"
echo "wrote $out"
