#!/usr/bin/env bash
# The commissioning station's figures for tools/bench.sh: the real quillmark-cli commission
# against the simulator's bench over a pty.
#   tools/bench-station.sh BUILD_DIR RESULTS_DIR
# unit: from a unit's first answer to its record written (the record's duration_ms: the
#   nine blocks read, nine written, the Modbus settings written, all read back).
# arrival: a unit is taken away (SIGUSR2 to the simulator); once the station has seen it
#   gone, the next one is put on the line (SIGUSR1) at a random moment 0.1 to 1.1 s later,
#   anywhere in the station's polling, and the time runs until the station says it arrived
#   (its first answer, then its blocks read as found).
# Writes key=value lines (times in ms, over BENCH_UNITS units, default 12) to
# RESULTS_DIR/station.txt; exits 1 when a figure could not be taken.
set -euo pipefail

build=$1
results=$2
units=${BENCH_UNITS:-12}
cli="$build/quillmark-cli"
port=12
out="$results/station.txt"
each="$results/station-each.txt"
: >"$each"

runtime=$(mktemp -d)
sim_pid=
# shellcheck disable=SC2317  # only ever called through the trap
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$runtime"
}
trap cleanup EXIT
mkdir -m 0700 "$runtime/quillmark"
export XDG_RUNTIME_DIR="$runtime"

"$build/quillmark-sim" --port "$port" --bench >"$results/station-sim.log" 2>&1 &
sim_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -L "$runtime/quillmark/com$port" ] && break
  sleep 0.05
done
[ -L "$runtime/quillmark/com$port" ] || { echo "the bench did not start" >&2; exit 1; }

# The template: the first unit's own settings with other blocks, so every block is written.
"$cli" --quiet --port "$port" dump "$runtime/template.json"
sed -i 's/"type": "integer", "point": 0/"type": "float", "point": 2/' "$runtime/template.json"

coproc station {
  exec "$cli" --port "$port" --json commission "$runtime/template.json" --address 11 \
    --count "$units" --record "$runtime/records.jsonl" 2>"$results/station.log"
}
# Bash forgets the coprocess's variables once it has ended.
station_pid=$station_PID
station_out=${station[0]}
put=
while IFS= read -r line <&"$station_out"; do
  case $line in
    *'"event":"arrived"'*)
      if [ -n "$put" ]; then
        awk -v a="$put" -v b="$EPOCHREALTIME" 'BEGIN {printf "arrival_ms=%.1f\n", (b - a) * 1000}' >>"$each"
      fi
      put= ;;
    *'"event":"passed"'* | *'"event":"failed"'*) kill -USR2 "$sim_pid" ;;
    *'"event":"left"'*)
      later=$((100 + RANDOM % 1000))
      sleep "$(printf '%d.%03d' $((later / 1000)) $((later % 1000)))"
      put=$EPOCHREALTIME
      kill -USR1 "$sim_pid" ;;
  esac
done
wait "$station_pid" || { echo "the station failed: $(tail -n 1 "$results/station.log")" >&2; exit 1; }

grep -o '"duration_ms":[0-9]*' "$runtime/records.jsonl" | sed 's/"duration_ms":/unit_ms=/' >>"$each"
passed=$(grep -c '"outcome":"pass"' "$runtime/records.jsonl" || true)
[ "$passed" = "$units" ] || { echo "$passed of $units units passed" >&2; exit 1; }

stats() { # KEY: median and worst of KEY=value in $each
  grep -o "^$1=[0-9.]*" "$each" | cut -d= -f2 | sort -g |
    awk '{v[NR] = $1} END {if (NR) printf "%.1f %.1f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[NR]}'
}
read -r unit_median unit_worst < <(stats unit_ms)
read -r arrival_median arrival_worst < <(stats arrival_ms)
# On the wire per unit: "$M" 3 + 8 and nine "$N" 4 + 5 as found and again as left, nine
# "$D" 6 + 2, "$C" 9 + 2: 267 bytes of 11 bits (start, 8 data, parity, stop).
wire_bytes=267
wire_ms=$(awk -v n="$wire_bytes" 'BEGIN {printf "%.1f", n * 11 * 1000 / 9600}')
{
  echo "units=$units"
  echo "unit_median_ms=$unit_median"
  echo "unit_worst_ms=$unit_worst"
  echo "wire_bytes=$wire_bytes"
  echo "wire_ms=$wire_ms"
  echo "arrival_median_ms=$arrival_median"
  echo "arrival_worst_ms=$arrival_worst"
} >"$out"
cat "$out"
