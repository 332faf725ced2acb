#!/usr/bin/env bash
# The detect scan's figures for tools/bench.sh: the real quillmark-cli against simulators.
#   tools/bench-detect.sh BUILD_DIR RESULTS_DIR
# Worst case: silent displays, so every one of the 20 line settings waits out its reply
# window (the default 500 ms); once on one port, once on eight scanned side by side. Also
# eight displays at 1200 baud, found at the fourth setting. Writes key=value lines (times
# in ms, medians of BENCH_DETECT_RUNS runs, default 3) to RESULTS_DIR/detect.txt and the
# runs to detect-each.txt; exits 1 when a figure could not be taken.
set -euo pipefail

build=$1
results=$2
runs=${BENCH_DETECT_RUNS:-3}
cli="$build/quillmark-cli"
sim="$build/quillmark-sim"
out="$results/detect.txt"
each="$results/detect-each.txt"
: >"$each"

runtime=$(mktemp -d)
sims=()
# shellcheck disable=SC2317  # only ever called through the trap
cleanup() {
  for pid in "${sims[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  sims=()
  rm -rf "$runtime"
}
trap cleanup EXIT
mkdir -m 0700 "$runtime/quillmark"
export XDG_RUNTIME_DIR="$runtime"

start_sims() { # OPTIONS...: a simulator on COM 1 to COM 8, each once its link is there
  local port
  for port in 1 2 3 4 5 6 7 8; do
    "$sim" --port "$port" "$@" >>"$results/detect-sim.log" 2>&1 &
    sims+=($!)
  done
  for port in 1 2 3 4 5 6 7 8; do
    for _ in $(seq 100); do
      [ -L "$runtime/quillmark/com$port" ] && break
      sleep 0.05
    done
    [ -L "$runtime/quillmark/com$port" ] || { echo "no simulator on COM $port" >&2; return 1; }
  done
}

# time_detect NAME EXPECTED-EXIT ARGS...: appends NAME=ms to the runs, one line per run.
time_detect() {
  local name=$1 expected=$2 start end status
  shift 2
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    status=0
    "$cli" --quiet "$@" >/dev/null 2>>"$results/detect.log" || status=$?
    end=$(date +%s%N)
    if [ "$status" -ne "$expected" ]; then
      echo "detect $* exited $status, not $expected" >&2
      return 1
    fi
    echo "$name=$(((end - start) / 1000000))" >>"$each"
  done
}

median_of() {
  grep "^$1=" "$each" | cut -d= -f2 | sort -n |
    awk '{v[NR] = $1} END {if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

start_sims --silent
time_detect one 4 detect --ports 1
time_detect eight 4 detect --ports 1-8
cleanup
runtime=$(mktemp -d)
mkdir -m 0700 "$runtime/quillmark"
export XDG_RUNTIME_DIR="$runtime"
start_sims --baud 1200
time_detect found 0 detect --ports 1-8

{
  echo "one_worst_ms=$(median_of one)"
  echo "eight_worst_ms=$(median_of eight)"
  echo "eight_found_ms=$(median_of found)"
  echo "runs=$runs"
} >"$out"
