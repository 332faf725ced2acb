#!/usr/bin/env bash
# Benchmarks of the tool: start-up and memory against a bare Qt window (the floor), and
# the window's command exchange against the simulated display, and a whole `quillmark-cli
# dump` (ten exchanges) against the simulator, the commissioning station on the simulated
# bench (tools/bench-station.sh), the window's CPU while idle with an open port and
# after the port is lost (tools/bench-idle.sh), the scan for programs holding a port
# with 2,000 idle processes on the machine (bench/holders.cpp), and report, report --check
# and the station's resume over a year (100,000) of records (bench/records.cpp).
#   tools/bench.sh BUILD_DIR
# Prints a table of medians and writes it to BUILD_DIR/bench.txt; per-run figures go to
# BUILD_DIR/bench/results/. Exits 0 when every figure was taken (met targets or not),
# 1 when one could not be. Knobs: BENCH_RUNS (start-ups per program, default 15),
# BENCH_EXCHANGES (default 25), BENCH_DUMPS (default 15), JOBS (build jobs, default 2).
#
# Start-up is timed by bench/launch.cpp, an X client of its own that starts the program and
# watches the root window: exec to the MapNotify of the program's window (told apart by
# _NET_WM_PID), and on to the first DAMAGE on it. Both programs are seen the same way and
# neither runs any code for the measurement. A third program, the floor with one caption,
# is timed alongside for information: it shows what any window with text pays for fonts.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$1
runs=${BENCH_RUNS:-15}
exchanges=${BENCH_EXCHANGES:-25}
dumps=${BENCH_DUMPS:-15}
jobs=${JOBS:-2}
here=$(cd "$(dirname "$0")/.." && pwd)

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$jobs" --target \
  quillmark quillmark-cli quillmark-sim quillmark-bench-floor quillmark-bench-exchange quillmark-bench-launch \
  quillmark-bench-holders
  quillmark-bench-records

tool="$build/quillmark"
floor="$build/bench/quillmark-bench-floor"
launch="$build/bench/quillmark-bench-launch"
exchange="$build/bench/quillmark-bench-exchange"
results="$build/bench/results"
mkdir -p "$results"
rm -f "$results"/*.txt "$results"/*.log

work=$(mktemp -d)
xvfb_pid=
sim_pid=
# shellcheck disable=SC2317  # only ever called through the trap
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
failed=0
problem() {
  echo "bench: $*" >&2
  failed=1
}

# The tool looks at its link folder at start-up; give both programs a private, empty one
# (what a user has before plugging anything in), and keep Qt from falling back to /tmp.
mkdir -m 0700 "$work/runtime" "$work/runtime/quillmark"

# ---- start-up and memory, under one Xvfb for all runs -------------------------------
# The server writes its display number to the fifo once it accepts clients; -noreset
# keeps it from resetting (and reloading its fonts) each time the watcher disconnects.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
  3>"$work/displayfd" >"$results/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r -t 20 display <"$work/displayfd" || true
if [ -z "$display" ]; then
  problem "Xvfb did not start (see $results/xvfb.log)"
else
  run_one() { # NAME PROGRAM [ARGS...]
    local name=$1 line
    shift
    if line=$(DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" \
      "$launch" --rss-at 1500 --log "$results/$name.log" -- "$@"); then
      echo "$line" >>"$results/$name.txt"
    else
      problem "a start-up of $name could not be measured"
    fi
  }
  run_named() {
    case $1 in
      tool) run_one tool "$tool" ;;
      floor) run_one floor "$floor" ;;
      textfloor) run_one textfloor "$floor" --text ;;
    esac
  }
  # One unrecorded start each, so that all find the page cache and font cache warm.
  for program in "$tool" "$floor --text"; do
    # shellcheck disable=SC2086  # the floor's option is meant to split off
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" \
      "$launch" --rss-at 0 --log "$results/warmup.log" -- $program >/dev/null || true
  done
  # Interleaved, with the order rotated every round, so that drift of the machine (other
  # work on the two shared cores) falls on all alike.
  order=(tool floor textfloor)
  for ((i = 0; i < runs; i++)); do
    for ((k = 0; k < 3; k++)); do
      run_named "${order[(i + k) % 3]}"
    done
  done
fi

# ---- the exchange -------------------------------------------------------------------
exchange_out="$results/exchange.txt"
if ! QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" "$exchange" \
  --sim "$build/quillmark-sim" --count "$exchanges" --detail "$results/exchange-each.txt" \
  >"$exchange_out" 2>"$results/exchange.log"; then
  problem "the exchange could not be measured: $(tail -n 1 "$results/exchange.log")"
fi

# ---- a whole dump with quillmark-cli --------------------------------------------------
# The program as a script runs it: process start, open, ten exchanges ("$M" and nine "$N"),
# exit. A pseudo-terminal has no wire time, so the bytes' time at 9600 baud (11 bits per
# byte with parity) is added for the figure at that rate.
dump_out="$results/dump.txt"
dump_port=11
XDG_RUNTIME_DIR="$work/runtime" "$build/quillmark-sim" --port "$dump_port" >"$results/dump-sim.log" 2>&1 &
sim_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -L "$work/runtime/quillmark/com$dump_port" ] && break
  sleep 0.05
done
if [ ! -L "$work/runtime/quillmark/com$dump_port" ]; then
  problem "the simulator for the dump did not start (see $results/dump-sim.log)"
else
  for ((i = 0; i < dumps; i++)); do
    start=$EPOCHREALTIME
    if XDG_RUNTIME_DIR="$work/runtime" "$build/quillmark-cli" --port "$dump_port" dump \
      >"$results/dump.json" 2>>"$results/dump.log"; then
      end=$EPOCHREALTIME
      awk -v a="$start" -v b="$end" 'BEGIN {printf "dump_ms=%.1f\n", (b - a) * 1000}' >>"$dump_out"
    else
      problem "quillmark-cli dump failed: $(tail -n 1 "$results/dump.log")"
      break
    fi
  done
fi
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
# "$M" 3 + 8 bytes, nine "$N" 4 + 5 bytes.
dump_bytes=92
dump_wire_ms=$(awk -v n="$dump_bytes" 'BEGIN {printf "%.1f", n * 11 * 1000 / 9600}')

# ---- the holder scan ----------------------------------------------------------------
# Every open reads each process's descriptors under /proc; the benchmark starts 2,000
# idle processes for it and ends them again.
holders_out="$results/holders.txt"
if ! "$build/bench/quillmark-bench-holders" --processes 2000 --runs 25 \
  >"$holders_out" 2>"$results/holders.log"; then
  problem "the holder scan could not be measured: $(tail -n 1 "$results/holders.log")"
fi

# ---- detect -------------------------------------------------------------------------
if ! bash "$here/tools/bench-detect.sh" "$build" "$results" 2>"$results/detect-bench.log"; then
  problem "detect could not be measured: $(tail -n 1 "$results/detect-bench.log")"
fi

# ---- the commissioning station ------------------------------------------------------
if ! bash "$here/tools/bench-station.sh" "$build" "$results" >/dev/null 2>"$results/station-bench.log"; then
  problem "the station could not be measured: $(tail -n 1 "$results/station-bench.log")"
fi

# ---- the station on several lines ----------------------------------------------------
if ! bash "$here/tools/bench-lines.sh" "$build" "$results" >/dev/null 2>"$results/lines-bench.log"; then
  problem "the station on several lines could not be measured: $(tail -n 1 "$results/lines-bench.log")"
fi

# ---- a display behind a serial device server ------------------------------------------
if ! bash "$here/tools/bench-gateway.sh" "$build" "$results" >/dev/null 2>"$results/gateway-bench.log"; then
  problem "the gateway could not be measured: $(tail -n 1 "$results/gateway-bench.log")"
fi

# ---- a year of records --------------------------------------------------------------
mkdir -p "$work/records"
if ! "$build/bench/quillmark-bench-records" "$work/records" >"$results/records.txt" \
  2>"$results/records.log"; then
  problem "the records could not be measured: $(tail -n 1 "$results/records.log")"
fi
rm -rf "$work/records"

# ---- idle, with an open port and after its loss ---------------------------------------
if [ -z "$display" ]; then
  problem "no X server for the idle figures"
elif ! DISPLAY=":$display" bash "$here/tools/bench-idle.sh" "$build" "$results" \
  >/dev/null 2>"$results/idle-bench.log"; then
  problem "the idle CPU could not be measured: $(tail -n 1 "$results/idle-bench.log")"
fi

# ---- figures ------------------------------------------------------------------------
# median FILE KEY: the median of KEY=value over the lines of FILE; empty when none.
median() {
  [ -s "$1" ] || return 0
  grep -o "\b$2=[-0-9.]*" "$1" | cut -d= -f2 | sort -g |
    awk '{v[NR] = $1} END {if (NR) printf "%.2f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
count() { [ -s "$1" ] && wc -l <"$1" || echo 0; }
# file_key FILE KEY: the value of KEY=... in one of the benchmarks' result files.
file_key() {
  if [ -s "$1" ]; then grep -m1 "^$2=" "$1" | cut -d= -f2 || true; fi
}
key() { file_key "$exchange_out" "$1"; }
# verdict OK-EXPRESSION: PASS or MISS by awk; "n/a" when a figure is missing.
verdict() {
  local expr=$1
  shift
  for v in "$@"; do [ -n "$v" ] || { echo "n/a"; return; }; done
  awk -v a="${1:-0}" -v b="${2:-0}" "BEGIN {exit !($expr)}" && echo PASS || echo MISS
}
ratio() {
  if [ -n "$1" ] && [ -n "$2" ]; then awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; fi
}
mib() {
  if [ -n "$1" ]; then awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; fi
}
diffmib() {
  if [ -n "$1" ] && [ -n "$2" ]; then awk -v a="$1" -v b="$2" 'BEGIN {printf "%+.1f", (a - b) / 1024}'; fi
}

t_map=$(median "$results/tool.txt" mapped_ms)
f_map=$(median "$results/floor.txt" mapped_ms)
t_paint=$(median "$results/tool.txt" painted_ms)
t_cpu=$(median "$results/tool.txt" cpu_to_map_ms)
f_cpu=$(median "$results/floor.txt" cpu_to_map_ms)
x_cpu_map=$(median "$results/textfloor.txt" cpu_to_map_ms)
f_paint=$(median "$results/floor.txt" painted_ms)
x_map=$(median "$results/textfloor.txt" mapped_ms)
x_paint=$(median "$results/textfloor.txt" painted_ms)
x_rss=$(median "$results/textfloor.txt" rss_kb)
t_rss=$(median "$results/tool.txt" rss_kb)
f_rss=$(median "$results/floor.txt" rss_kb)
t_anon=$(median "$results/tool.txt" rss_anon_kb)
f_anon=$(median "$results/floor.txt" rss_anon_kb)
t_file=$(median "$results/tool.txt" rss_file_kb)
f_file=$(median "$results/floor.txt" rss_file_kb)
map_ratio=$(ratio "$t_map" "$f_map")
paint_ratio=$(ratio "$t_paint" "$f_paint")
rss_diff=$(diffmib "$t_rss" "$f_rss")

d_median=$(median "$dump_out" dump_ms)
d_worst=$(grep -o 'dump_ms=[0-9.]*' "$dump_out" 2>/dev/null | cut -d= -f2 | sort -g | tail -n 1 || true)
d_9600=
[ -z "$d_median" ] || d_9600=$(awk -v a="$d_median" -v b="$dump_wire_ms" 'BEGIN {printf "%.1f", a + b}')
x_median=$(key wall_median_ms)
x_worst=$(key wall_worst_ms)
x_cpu=$(key cpu_median_ms)
x_cpu_worst=$(key cpu_worst_ms)
x_count=$(key exchanges)
qt=$(key qt)
[ -n "$qt" ] || qt=$(pkg-config --modversion Qt6Core 2>/dev/null || echo "?")

detect_key() { file_key "$results/detect.txt" "$1"; }
idle_key() { file_key "$results/idle.txt" "$1"; }
idle_open=$(idle_key idle_open_ticks)
idle_lost=$(idle_key idle_lost_ticks)
idle_closed=$(idle_key loss_closed_ms)
idle_seconds=$(idle_key seconds)

holders_key() { file_key "$holders_out" "$1"; }
h_median=$(holders_key scan_median_ms)
h_worst=$(holders_key scan_worst_ms)
h_cpu=$(holders_key cpu_median_ms)

station_key() { file_key "$results/station.txt" "$1"; }
records_key() { file_key "$results/records.txt" "$1"; }
lines_key() { file_key "$results/lines.txt" "$1"; }
st_median=$(station_key unit_median_ms)
st_worst=$(station_key unit_worst_ms)
st_wire=$(station_key wire_ms)
st_arrival=$(station_key arrival_median_ms)
st_arrival_worst=$(station_key arrival_worst_ms)
st_9600=
[ -z "$st_median" ] || st_9600=$(awk -v a="$st_median" -v b="$st_wire" 'BEGIN {printf "%.1f", a + b}')

det_one=$(detect_key one_worst_ms)
det_eight=$(detect_key eight_worst_ms)
det_found=$(detect_key eight_found_ms)

cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
build_type=$(awk -F= '/^CMAKE_BUILD_TYPE:/ {print $2}' "$build/CMakeCache.txt" 2>/dev/null)

{
  echo "Quillmark benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: ${cpu:-?}, $(nproc) cores; Qt $qt; Linux $(uname -r); build ${build_type:-?}"
  echo "load average before the runs: $load_before (the cores are shared; wall times move with it)"
  echo "start-up: exec to MapNotify of the top-level window (and to its first DAMAGE), seen by"
  echo "  an X client of its own on one Xvfb; RSS = VmRSS 1.5 s after exec;"
  echo "  medians of $(count "$results/tool.txt") (tool) / $(count "$results/floor.txt") (floor) /" \
    "$(count "$results/textfloor.txt") (floor with text) interleaved runs"
  echo "exchange: frmMain::SendCommand(\"\$M\") against quillmark-sim, offscreen; ${x_count:-0} exchanges"
  echo "dump: quillmark-cli dump (ten exchanges, process start to exit) against quillmark-sim;"
  echo "  $(count "$dump_out") runs; at 9600 baud adds the ${dump_bytes} bytes' wire time (${dump_wire_ms} ms)"
  echo
  printf '%-26s %10s %10s %10s  %-20s %s\n' "" tool floor ratio/diff target verdict
  printf '%-26s %10s %10s %10s  %-20s %s\n' "start-up, mapped (ms)" "${t_map:--}" "${f_map:--}" \
    "${map_ratio:--}x" "<= 1.2x floor" "$(verdict 'a <= 1.2' "$map_ratio")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "start-up, painted (ms)" "${t_paint:--}" "${f_paint:--}" \
    "${paint_ratio:--}x" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "start-up, CPU to map (ms)" "${t_cpu:--}" "${f_cpu:--}" \
    "$(ratio "$t_cpu" "$f_cpu")x" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "floor with one caption:" "" "" "" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "  start-up, mapped (ms)" "" "${x_map:--}" \
    "$(ratio "$x_map" "$f_map")x" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "  start-up, painted (ms)" "" "${x_paint:--}" \
    "$(ratio "$x_paint" "$f_paint")x" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "  CPU to map (ms)" "" "${x_cpu_map:--}" \
    "$(ratio "$x_cpu_map" "$f_cpu")x" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "  RSS at 1.5 s (MiB)" "" "$(mib "$x_rss")" \
    "$(diffmib "$x_rss" "$f_rss")" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "RSS at 1.5 s (MiB)" "$(mib "$t_rss")" "$(mib "$f_rss")" \
    "${rss_diff:--}" "<= +5 MiB" "$(verdict 'a <= 5' "$rss_diff")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "  of it anonymous (MiB)" "$(mib "$t_anon")" "$(mib "$f_anon")" \
    "$(diffmib "$t_anon" "$f_anon")" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "  of it file-backed (MiB)" "$(mib "$t_file")" "$(mib "$f_file")" \
    "$(diffmib "$t_file" "$f_file")" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "exchange median (ms)" "${x_median:--}" "" "" \
    "500 - 505" "$(verdict 'a >= 500 && a <= 505' "$x_median")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "exchange worst (ms)" "${x_worst:--}" "" "" \
    "< 520" "$(verdict 'a < 520' "$x_worst")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "CPU per exchange, median" "${x_cpu:--}" "" "" \
    "< 2 ms" "$(verdict 'a < 2' "$x_cpu")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "CPU per exchange, worst" "${x_cpu_worst:--}" "" "" \
    "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "" cli window "" "" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "dump over a pty (ms)" "${d_median:--}" \
    "$(awk -v a="$x_median" 'BEGIN {if (a != "") printf "%.0f", a * 10}')" "" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "dump worst (ms)" "${d_worst:--}" "" "" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "dump at 9600 baud (ms)" "${d_9600:--}" \
    "$(awk -v a="$x_median" 'BEGIN {if (a != "") printf "%.0f", a * 10}')" "" "< 300 ms" \
    "$(verdict 'a < 300' "$d_9600")"

  echo
  echo "detect: quillmark-cli detect against quillmark-sim, 20 line settings, 500 ms reply"
  echo "  window; worst case = silent displays (every setting waits out its window);"
  echo "  medians of $(detect_key runs) runs, process start included"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "detect worst, 1 port (ms)" "${det_one:--}" "" "" \
    "<= 10500" "$(verdict 'a <= 10500' "$det_one")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "detect worst, 8 ports (ms)" "${det_eight:--}" "" \
    "$(ratio "$det_eight" "$det_one")x" "<= 1.2x 1 port" "$(verdict 'a <= 1.2 * b' "$det_eight" "$det_one")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "detect, 8 found at 1200" "${det_found:--}" "" "" \
    "(informational)" ""

  echo
  echo "holder scan: processesWithDeviceOpen of a pty nobody holds (all of /proc is read),"
  echo "  with $(holders_key processes) processes in /proc (2000 idle ones started for it); 25 scans"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "holder scan, median (ms)" "${h_median:--}" "" "" \
    "< 25" "$(verdict 'a < 25' "$h_median")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "holder scan, worst (ms)" "${h_worst:--}" "" "" \
    "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "holder scan CPU (ms)" "${h_cpu:--}" "" "" \
    "(informational)" ""

  echo
  echo "station: quillmark-cli commission against quillmark-sim --bench, $(station_key units) units;"
  echo "  a unit = first answer to record written (read 10, write 10, read back 10); at 9600"
  echo "  baud adds its $(station_key wire_bytes) bytes' wire time (${st_wire:-?} ms); arrival = next unit put on"
  echo "  the line at a random moment to the station's event for it"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "unit over a pty (ms)" "${st_median:--}" "" "" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "unit worst (ms)" "${st_worst:--}" "" "" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "unit at 9600 baud (ms)" "${st_9600:--}" "" "" \
    "< wire + 300" "$(verdict 'a < b + 300' "$st_9600" "$st_wire")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "arrival noticed (ms)" "${st_arrival:--}" "" "" \
    "< 1000" "$(verdict 'a < 1000' "$st_arrival")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "arrival worst (ms)" "${st_arrival_worst:--}" "" "" \
    "< 1000" "$(verdict 'a < 1000' "$st_arrival_worst")"
  echo "lines: commission --ports on 1 and on 4 simulated benches, a unit on each every" \
    "$(lines_key cycle_ms) ms, $(lines_key seconds) s each; idle: 8 lines, no unit"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "units/min, one line" "$(lines_key one_line_units_per_minute)" \
    "" "" "(informational)" ""
  printf '%-26s %10s %10s %10s  %-20s %s\n' "units/min, four lines" \
    "$(lines_key four_lines_units_per_minute)" "" "$(lines_key four_to_one)x" ">= 3.6x one line" \
    "$(verdict 'a >= 3.6' "$(lines_key four_to_one)")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "idle, 8 lines (% core)" \
    "$(lines_key idle_eight_lines_cpu_percent)" "" "" "< 1" \
    "$(verdict 'a < 1' "$(lines_key idle_eight_lines_cpu_percent)")"

  echo
  echo "records: quillmark-cli over a file of $(records_key records) station records" \
    "($(mib "$(awk -v b="$(records_key bytes)" 'BEGIN {if (b != "") printf "%d", b / 1024}')") MiB), chained;"
  echo "  wall time and CPU (user + system), medians of 3 runs; peak resident memory"
  for figure in report check csv resume; do
    printf '%-26s %10s %10s %10s  %-20s %s\n' "$figure, wall / CPU (ms)" "$(records_key "${figure}_ms")" \
      "$(records_key "${figure}_cpu_ms")" "" "CPU < 1000" \
      "$(verdict 'a < 1000' "$(records_key "${figure}_cpu_ms")")"
    printf '%-26s %10s %10s %10s  %-20s %s\n' "$figure, peak RSS (MiB)" \
      "$(mib "$(records_key "${figure}_rss_kb")")" "" "" "< 50 MB" \
      "$(verdict 'a < 50000000 / 1024' "$(records_key "${figure}_rss_kb")")"
  done

  echo
  echo "idle: the window (X11) connected to quillmark-sim, then left alone ${idle_seconds:-?} s;"
  echo "  then the simulator stops (the port hangs up) and it is left alone as long again;"
  echo "  CPU clock ticks of the window ($(getconf CLK_TCK) per second) in each span"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "idle CPU, port open" "${idle_open:--}" "" "" \
    "0 ticks" "$(verdict 'a == 0' "$idle_open")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "idle CPU, port lost" "${idle_lost:--}" "" "" \
    "0 ticks" "$(verdict 'a == 0' "$idle_lost")"
  printf '%-26s %10s %10s %10s  %-20s %s\n' "loss to port closed (ms)" "${idle_closed:--}" "" "" \
    "< 1000" "$(verdict 'a < 1000' "$idle_closed")"

  gw_key() { file_key "$results/gateway.txt" "$1"; }
  gw_direct=$(gw_key direct_exchange_ms)
  gw_extra() { # WAY: its exchange's cost over the pty's
    local ms
    ms=$(gw_key "$1_exchange_ms")
    [ -z "$ms" ] || [ -z "$gw_direct" ] || awk -v a="$ms" -v b="$gw_direct" 'BEGIN {printf "%.2f", a - b}'
  }
  gw_ratio() { ratio "$(gw_key "$1_dump_ms")" "$(gw_key direct_dump_ms)"; }
  echo
  echo "gateway: quillmark-cli against quillmark-sim on its pty, and through ser2net on loopback,"
  echo "  set up for a Modbus line (chardelay off; see tools/bench-gateway.sh), RFC 2217 and raw"
  echo "  TCP; \"defaults\": RFC 2217 with ser2net's defaults; medians of $(gw_key exchanges)"
  echo "  exchanges (\$M, send to whole reply) and $(gw_key dumps) dumps (start to exit) each way"
  # WAY LABEL VALUE BASE RELATIVE TARGET CHECK CHECKED: ser2net's defaults are only shown.
  gw_row() {
    local target=$6 result=""
    if [ "$1" = defaults ]; then
      target="(informational)"
    else
      result=$(verdict "$7" "$8")
    fi
    printf '%-26s %10s %10s %10s  %-20s %s\n' "$2" "$3" "$4" "$5" "$target" "$result"
  }
  for way in gateway:"exchange via RFC 2217" tcp:"exchange via raw TCP" defaults:"  ser2net's defaults"; do
    name=${way%%:*}
    extra=$(gw_extra "$name")
    gw_row "$name" "${way#*:} (ms)" "$(gw_key "${name}_exchange_ms")" "${gw_direct:--}" \
      "+${extra:--}" "<= +5 ms" 'a <= 5' "$extra"
  done
  for way in gateway:"dump via RFC 2217" tcp:"dump via raw TCP" defaults:"  ser2net's defaults"; do
    name=${way%%:*}
    dump_ratio=$(gw_ratio "$name")
    gw_row "$name" "${way#*:} (ms)" "$(gw_key "${name}_dump_ms")" "$(gw_key direct_dump_ms)" \
      "${dump_ratio:--}x" "<= 1.2x" 'a <= 1.2' "$dump_ratio"
  done
} | tee "$build/bench.txt"

exit "$failed"
