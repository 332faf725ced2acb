#!/usr/bin/env bash
# A commissioning station on a simulated bench, in one command: quillmark-sim --bench puts a
# unit on the line every few seconds and takes it away again, and quillmark-cli commission
# sets each one up from a template, reads it back and records it. Ctrl-C ends both.
#   [LINES=N] tools/station-demo.sh BUILD_DIR [COMMISSION OPTIONS...]
# LINES=4: a bench per line (COM 40 to 43), their units out of step, and one station on
# all of them (commission --ports).
# The link folder, the template and the records are in a folder of their own (printed),
# so that nothing of the user's ports is touched.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [COMMISSION OPTIONS...]}
shift
port=40
lines=${LINES:-1}
[[ "$lines" =~ ^[1-9][0-9]?$ ]] || { echo "station-demo: LINES=$lines is not a number of lines from 1 to 99" >&2; exit 2; }
last=$((port + lines - 1))
folder=$(mktemp -d "${TMPDIR:-/tmp}/quillmark-station.XXXXXX")
mkdir -m 0700 "$folder/runtime"
export XDG_RUNTIME_DIR="$folder/runtime"

sims=()
# shellcheck disable=SC2317  # only ever called through the trap
stop_sims() {
  local sim
  for sim in "${sims[@]}"; do
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  done
}
trap stop_sims EXIT
for ((p = port; p <= last; p++)); do
  # Out of step: each bench's cycle a little longer than the one before.
  "$build/quillmark-sim" --port "$p" --bench-cycle $((4000 + (p - port) * 700)) \
    >"$folder/bench$p.log" 2>&1 &
  sims+=($!)
  for ((i = 0; i < 100; i++)); do
    [ -L "$folder/runtime/quillmark/com$p" ] && break
    sleep 0.05
  done
done

cat >"$folder/template.json" <<'JSON'
{
  "version": 1,
  "modbus": {"mode": "rtu", "baud": 9600, "bits": 8, "parity": "even", "address": "01"},
  "blocks": [
    {"block": 1, "type": "float", "point": 2},
    {"block": 2, "type": "long", "point": 1},
    {"block": 3, "type": "integer", "point": 0},
    {"block": 4, "type": "integer", "point": 0},
    {"block": 5, "type": "integer", "point": 0},
    {"block": 6, "type": "integer", "point": 0},
    {"block": 7, "type": "long", "point": 3},
    {"block": 8, "type": "integer", "point": 0},
    {"block": 9, "type": "integer", "point": 0}
  ]
}
JSON
echo "station-demo: bench on COM $port..$last; template, records and the benches' logs in $folder"
echo "station-demo: Ctrl-C ends the station; then: quillmark-cli report $folder/records.jsonl"
if ((lines == 1)); then
  where=(--port "$port")
else
  where=(--ports "$port-$last")
fi
"$build/quillmark-cli" "${where[@]}" commission "$folder/template.json" --address 11 \
  --record "$folder/records.jsonl" "$@" || status=$?
exit "${status:-0}"
