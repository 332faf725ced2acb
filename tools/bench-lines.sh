#!/usr/bin/env bash
# The station on several lines, for tools/bench.sh: units per minute on one line and on
# four (the same simulated benches, a unit arriving on each every BENCH_CYCLE ms, default
# 3000, for BENCH_SECONDS s, default 30), and the CPU of a station waiting on eight lines
# with no unit on any of them (over BENCH_IDLE_SECONDS s, default 10).
#   tools/bench-lines.sh BUILD_DIR RESULTS_DIR
# Writes key=value lines to RESULTS_DIR/lines.txt; exits 1 when a figure could not be taken.
set -euo pipefail

build=$1
results=$2
cycle=${BENCH_CYCLE:-3000}
seconds=${BENCH_SECONDS:-30}
idle_seconds=${BENCH_IDLE_SECONDS:-10}
cli="$build/quillmark-cli"
first=60
out="$results/lines.txt"

runtime=$(mktemp -d)
sims=()
# shellcheck disable=SC2317  # only ever called through the trap
stop_sims() {
  for sim in "${sims[@]}"; do
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  done
  sims=()
}
# shellcheck disable=SC2317
cleanup() {
  stop_sims
  rm -rf "$runtime"
}
trap cleanup EXIT
mkdir -m 0700 "$runtime/quillmark"
export XDG_RUNTIME_DIR="$runtime"

# start_benches N [SIM OPTIONS...]: a bench on each of COM first .. first+N-1.
start_benches() {
  local lines=$1
  shift
  for ((p = first; p < first + lines; p++)); do
    "$build/quillmark-sim" --port "$p" "$@" >>"$results/lines-sim.log" 2>&1 &
    sims+=($!)
    for ((i = 0; i < 100; i++)); do
      [ -L "$runtime/quillmark/com$p" ] && break
      sleep 0.05
    done
    [ -L "$runtime/quillmark/com$p" ] || { echo "the bench on COM $p did not start" >&2; exit 1; }
  done
}

start_benches 1 --bench
"$cli" --quiet --port "$first" dump "$runtime/template.json"
stop_sims

# units_per_minute N: the units that passed on N lines in `seconds`, per minute.
units_per_minute() {
  local lines=$1 records="$runtime/records-$1.jsonl"
  start_benches "$lines" --bench-cycle "$cycle"
  timeout -s INT "$seconds" "$cli" commission "$runtime/template.json" --address 01 \
    --ports "$first-$((first + lines - 1))" --record "$records" >/dev/null \
    2>>"$results/lines-station.log" || true
  stop_sims
  local passed
  passed=$(grep -c '"outcome":"pass"' "$records" || true)
  awk -v n="$passed" -v s="$seconds" 'BEGIN {printf "%.1f", n * 60 / s}'
}

one=$(units_per_minute 1)
four=$(units_per_minute 4)

# Eight benches whose units are taken away (SIGUSR2): the station polls eight silent lines.
start_benches 8 --bench
for sim in "${sims[@]}"; do kill -USR2 "$sim"; done
"$cli" commission "$runtime/template.json" --address 01 --ports "$first-$((first + 7))" \
  >/dev/null 2>>"$results/lines-station.log" &
station=$!
sleep 2
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
before=$(ticks "$station")
sleep "$idle_seconds"
after=$(ticks "$station")
kill -INT "$station"
wait "$station" || true
stop_sims
hz=$(getconf CLK_TCK)
idle=$(awk -v a="$before" -v b="$after" -v hz="$hz" -v s="$idle_seconds" \
  'BEGIN {printf "%.2f", (b - a) * 100 / hz / s}')

{
  echo "one_line_units_per_minute=$one"
  echo "four_lines_units_per_minute=$four"
  echo "four_to_one=$(awk -v a="$four" -v b="$one" 'BEGIN {if (b > 0) printf "%.2f", a / b}')"
  echo "idle_eight_lines_cpu_percent=$idle"
  echo "cycle_ms=$cycle"
  echo "seconds=$seconds"
} >"$out"
