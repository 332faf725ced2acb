#!/usr/bin/env bash
# Runs the window against the simulated display on COM 1 and stops the simulator when
# the window closes, also on Ctrl-C. Options after BUILD_DIR go to the simulator,
# e.g. `tools/run-with-sim.sh build --delay 700`. With --check-display it only checks that
# there is a graphical session (`make run` does so before it installs and builds).
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [SIMULATOR_OPTIONS...] | $0 --check-display" >&2
  exit 2
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run-with-sim: the window needs a graphical session, and neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
  echo "run-with-sim: start it from a desktop session (or ssh -X); \`make test\` needs no display." >&2
  exit 1
fi
[ "$1" = --check-display ] && exit 0
build=$1
shift
sim="$build/quillmark-sim"
app="$build/quillmark"
for program in "$sim" "$app"; do
  if [ ! -x "$program" ]; then
    echo "run-with-sim: $program is missing; build first" >&2
    exit 1
  fi
done

if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  link="$XDG_RUNTIME_DIR/quillmark/com1"
else
  link="/tmp/quillmark-$(id -u)/com1"
fi
# A link that still leads somewhere belongs to someone else (perhaps another simulator);
# the simulator would refuse it, and the wait below could mistake it for ours.
if [ -e "$link" ]; then
  echo "run-with-sim: COM 1 is in use: $link -> $(readlink "$link" || echo '?')" >&2
  exit 1
fi

sim_pid=
app_pid=
# shellcheck disable=SC2317  # only ever called through the traps
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill -TERM "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$sim" --port 1 "$@" &
sim_pid=$!

# Up to 5 s for the link; a simulator that refuses to start ends the wait at once.
for _ in $(seq 50); do
  [ -e "$link" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    sim_pid=
    echo "run-with-sim: the simulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -e "$link" ]; then
  echo "run-with-sim: no $link after 5 s" >&2
  exit 1
fi

# In the background so that Ctrl-C and SIGTERM reach the traps while the window is open.
"$app" &
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=
exit "$status"
