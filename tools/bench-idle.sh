#!/usr/bin/env bash
# The window's CPU while nothing happens, for tools/bench.sh: tools/bench-idle.sh BUILD_DIR RESULTS_DIR
# The real window (X11, on $DISPLAY, or on an Xvfb of its own when DISPLAY is not set) is
# connected to the simulator on COM 1 (a click on Connect), then left alone for
# BENCH_IDLE_SECONDS (default 10) with the port open; then the simulator stops, which
# hangs the port up, and the window is left alone as long again. The figures are the CPU
# clock ticks the window used in each span (utime + stime of /proc/PID/stat; target 0),
# and how long after the simulator's end the window had closed the port (its descriptor of
# the device gone). Writes key=value lines to RESULTS_DIR/idle.txt; exits 1 when a figure
# could not be taken.
set -euo pipefail

build=$1
results=$2
seconds=${BENCH_IDLE_SECONDS:-10}
out="$results/idle.txt"
# Where Connect is in the window, as for the screenshot (see the Makefile).
connect_at=(132 172)

work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # only ever called through the trap
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "bench-idle: $*" >&2
  exit 1
}

if [ -z "${DISPLAY:-}" ]; then
  mkfifo "$work/displayfd"
  Xvfb -displayfd 3 -screen 0 1024x400x24 -nolisten tcp 3>"$work/displayfd" \
    >"$results/idle-xvfb.log" 2>&1 &
  pids+=($!)
  display=
  read -r -t 20 display <"$work/displayfd" || true
  [ -n "$display" ] || fail "Xvfb did not start (see $results/idle-xvfb.log)"
  export DISPLAY=":$display"
fi

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Whether process $1 has the device $2 open. Once the simulator has ended, its pseudo-
# terminal's node is gone, and a descriptor still open on it reads "DEVICE (deleted)".
holds() {
  local fd target
  for fd in /proc/"$1"/fd/*; do
    target=$(readlink "$fd" 2>/dev/null) || continue
    [ "$target" = "$2" ] || [ "$target" = "$2 (deleted)" ] && return 0
  done
  return 1
}
released() { ! holds "$1" "$2"; }
# wait_until SECONDS COMMAND...: polls every 10 ms; the milliseconds taken on stdout.
wait_until() {
  local limit=$1 start=$EPOCHREALTIME
  shift
  until "$@"; do
    awk -v a="$start" -v b="$EPOCHREALTIME" -v l="$limit" 'BEGIN {exit !(b - a > l)}' && return 1
    sleep 0.01
  done
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.0f\n", (b - a) * 1000}'
}

mkdir -m 0700 "$work/runtime" "$work/runtime/quillmark"
export XDG_RUNTIME_DIR="$work/runtime"
"$build/quillmark-sim" --port 1 >"$results/idle-sim.log" 2>&1 &
sim=$!
pids+=("$sim")
link="$XDG_RUNTIME_DIR/quillmark/com1"
wait_until 10 test -L "$link" >/dev/null || fail "the simulator published no COM 1"
device=$(readlink "$link")

QT_QPA_PLATFORM=xcb "$build/quillmark" >"$results/idle-window.log" 2>&1 &
window_pid=$!
pids+=("$window_pid")
window=
for _ in $(seq 100); do
  window=$(xdotool search --pid "$window_pid" --name '^Quillmark$' 2>/dev/null | head -n 1) &&
    [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "the window did not appear"
sleep 0.5
xdotool mousemove --window "$window" "${connect_at[@]}" click 1
wait_until 10 holds "$window_pid" "$device" >/dev/null || fail "Connect did not open $device"
# The Connect exchange (one reply window) ends before the idle span starts.
sleep 1

t0=$(ticks "$window_pid")
sleep "$seconds"
t1=$(ticks "$window_pid")

kill -TERM "$sim"
wait "$sim" 2>/dev/null || true
status=0
# Not closed at all is a figure too (the CPU it burns meanwhile is the other one).
if ! closed_ms=$(wait_until 5 released "$window_pid" "$device"); then
  closed_ms=never
  echo "bench-idle: the window still held $device 5 s after the simulator stopped" >&2
  status=1
fi
t2=$(ticks "$window_pid")
sleep "$seconds"
t3=$(ticks "$window_pid")
kill -0 "$window_pid" 2>/dev/null || fail "the window ended after the port was lost"

{
  echo "seconds=$seconds"
  echo "tick_hz=$(getconf CLK_TCK)"
  echo "idle_open_ticks=$((t1 - t0))"
  echo "loss_closed_ms=$closed_ms"
  echo "idle_lost_ticks=$((t3 - t2))"
} | tee "$out"
exit "$status"
