#!/usr/bin/env bash
# The window on a real (virtual) X server: tools/check-window.sh PROGRAM [SHOT.png]
#
# Starts PROGRAM under Xvfb, waits for its window, checks that it asks to stay off the
# taskbar (_NET_WM_STATE_SKIP_TASKBAR), takes a screenshot when SHOT.png is given, closes
# it with SIGTERM, and runs the program's fit report (QUILLMARK_FIT_REPORT): the font the
# window got and every caption that does not fit its box. Fails on a missing window or
# state, on a caption that does not fit, or on an unclean end. With
# QUILLMARK_EXPECT_FONT set (e.g. "DejaVu Sans Condensed 11px") the report must name it.
set -euo pipefail
program=$1 shot=${2:-}
if [ -z "${INSIDE_XVFB:-}" ]; then
  for tool in xvfb-run xprop xdotool; do
    command -v "$tool" >/dev/null || { echo "check-window: $tool is missing (bash tools/deps.sh installs it)" >&2; exit 1; }
  done
  INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x400x24" "$0" "$@"
fi
fail() {
  echo "check-window: FAIL: $*" >&2
  exit 1
}

# The suite runs offscreen; this is about the X11 window.
export QT_QPA_PLATFORM=xcb
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
"$program" &
pid=$!
window=""
for _ in $(seq 100); do
  window=$(xdotool search --name '^Quillmark$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  kill -0 "$pid" 2>/dev/null || fail "$program ended before its window appeared"
  sleep 0.1
done
[ -n "$window" ] || fail "the window of $program did not appear within 10 s"

# The window can be found before the program has set its state on a loaded machine: wait
# for the request, up to 10 s, rather than read the property once.
state=""
for _ in $(seq 100); do
  state=$(xprop -id "$window" _NET_WM_STATE 2>/dev/null || true)
  [[ $state == *_NET_WM_STATE_SKIP_TASKBAR* ]] && break
  kill -0 "$pid" 2>/dev/null || fail "$program ended before it set its window state"
  sleep 0.1
done
echo "$state"
[[ $state == *_NET_WM_STATE_SKIP_TASKBAR* ]] || fail "the window does not ask to stay off the taskbar (waited 10 s)"

if [ -n "$shot" ]; then
  sleep 0.5 # the first paint
  import -window root "$shot"
  echo "screenshot: $shot"
fi

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "$program ended with status $status on SIGTERM"

report_status=0
report=$(QUILLMARK_FIT_REPORT=1 "$program") || report_status=$?
echo "$report"
[ "$report_status" -eq 0 ] || fail "captions do not fit their boxes"
if [ -n "${QUILLMARK_EXPECT_FONT:-}" ]; then
  grep -qx "font: $QUILLMARK_EXPECT_FONT" <<<"$report" || fail "the window did not get $QUILLMARK_EXPECT_FONT"
fi
echo "check-window: PASS"
