#!/usr/bin/env bash
# A commissioning station on a simulated bench, in one command: quillmark-sim --bench puts a
# unit on the line every few seconds and takes it away again, and quillmark-cli commission
# sets each one up from a template, reads it back and records it. Ctrl-C ends both.
#   tools/station-demo.sh BUILD_DIR [COMMISSION OPTIONS...]
# The link folder, the template and the records are in a folder of their own (printed),
# so that nothing of the user's ports is touched.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [COMMISSION OPTIONS...]}
shift
port=40
folder=$(mktemp -d "${TMPDIR:-/tmp}/quillmark-station.XXXXXX")
mkdir -m 0700 "$folder/runtime"
export XDG_RUNTIME_DIR="$folder/runtime"

"$build/quillmark-sim" --port "$port" --bench-cycle 4000 >"$folder/bench.log" 2>&1 &
sim=$!
trap 'kill -TERM "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for ((i = 0; i < 100; i++)); do
  [ -L "$folder/runtime/quillmark/com$port" ] && break
  sleep 0.05
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
echo "station-demo: bench on COM $port; template, records and the bench's log in $folder"
echo "station-demo: Ctrl-C ends the station; then: quillmark-cli report $folder/records.jsonl"
"$build/quillmark-cli" --port "$port" commission "$folder/template.json" --address 11 \
  --record "$folder/records.jsonl" "$@" || status=$?
exit "${status:-0}"
