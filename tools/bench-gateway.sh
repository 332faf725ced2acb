#!/usr/bin/env bash
# A display behind a serial device server, for tools/bench.sh: the real quillmark-cli
# against the simulator, on its pty directly and through ser2net on loopback: RFC 2217 and
# raw TCP, both set up as for a Modbus line (below), and RFC 2217 with ser2net's defaults.
#   tools/bench-gateway.sh BUILD_DIR RESULTS_DIR
# One exchange ("$M", from sending to the whole reply, as --verbose times it): median of
# BENCH_GATEWAY_EXCHANGES (default 50) each way; a whole dump (process start to exit):
# median of BENCH_GATEWAY_DUMPS (default 15) each way, taken in rounds of one dump each way
# so that a load on the shared cores falls on every way alike. Writes key=value lines to
# RESULTS_DIR/gateway.txt (direct_*, gateway_* for RFC 2217, tcp_*, defaults_* for RFC
# 2217 with ser2net's defaults); exits 1 when a figure could not be taken.
set -euo pipefail

build=$1
results=$2
exchanges=${BENCH_GATEWAY_EXCHANGES:-50}
dumps=${BENCH_GATEWAY_DUMPS:-15}
cli="$build/quillmark-cli"
out="$results/gateway.txt"
each="$results/gateway-each.txt"
: >"$each"

ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
if [ ! -x "$ser2net" ]; then
  echo "bench-gateway: ser2net is not installed (tools/deps.sh installs it)" >&2
  exit 1
fi

runtime=$(mktemp -d)
sim_pid=
gateway_pids=()

# shellcheck disable=SC2317  # only ever called through the trap
cleanup() {
  for pid in "${gateway_pids[@]}" $sim_pid; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$runtime"
}
trap cleanup EXIT
mkdir -m 0700 "$runtime/quillmark"
export XDG_RUNTIME_DIR="$runtime"

port=9
"$build/quillmark-sim" --port "$port" >"$results/gateway-sim.log" 2>&1 &
sim_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -L "$runtime/quillmark/com$port" ] && break
  sleep 0.05
done
pty=$(readlink "$runtime/quillmark/com$port" || true)
if [ -z "$pty" ]; then
  echo "bench-gateway: the simulator did not start" >&2
  exit 1
fi

# ser2net on a loopback port nobody listens on, once it listens; its address in $address.
# ACCEPTER is "telnet(rfc2217),tcp" or "tcp"; OPTIONS are more YAML lines of the connection.
address=
start_gateway() { # NAME ACCEPTER [OPTIONS]
  local tcp hex i scheme=rfc2217
  [ "$2" = tcp ] && scheme=tcp
  # A port from the ephemeral range that nothing listens on (the socket table says).
  for ((i = 0; i < 50; i++)); do
    tcp=$(shuf -i 33000-60999 -n 1)
    hex=$(printf '%04X' "$tcp")
    awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" {found = 1} END {exit !found}' /proc/net/tcp || break
  done
  "$ser2net" -n -u -P "$runtime/$1.pid" \
    -Y "connection: &$1#  accepter: $2,127.0.0.1,$tcp" \
    -Y "  connector: serialdev,$pty,9600n81,local" ${3:+-Y "$3"} \
    >/dev/null 2>"$results/gateway-$1.log" &
  gateway_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" {found = 1} END {exit !found}' /proc/net/tcp && break
    sleep 0.05
  done
  address="$scheme://127.0.0.1:$tcp"
}

# How a site sets up a gateway on a Modbus line: chardelay off. By default ser2net holds
# every byte from the device until the line has been quiet for two character times (at
# least 1 ms, at 9600,E,8,1 about 2.3 ms, 3.4 ms measured), to put a bulk stream into fewer
# packets. A Modbus line carries short polls, each waiting for its answer, and the master
# knows where an answer ends (its length); the hold adds its time to every poll and gains
# nothing, and a dump's ten exchanges one after another pay it ten times (ten times 3.4 ms
# against a pty's 0.2 ms: no client can meet 1.2x of direct with it). ser2net's defaults
# are measured as well, for what they cost.
modbus='  options:#    chardelay: false'
start_gateway gateway 'telnet(rfc2217),tcp' "$modbus"
gateway=$address
start_gateway tcp tcp "$modbus"
raw=$address
start_gateway defaults 'telnet(rfc2217),tcp'
defaults=$address
ways=("direct:$port" "gateway:$gateway" "tcp:$raw" "defaults:$defaults")

exchange_ms() { # PORT: the "$M" exchange's time as --verbose reports it
  "$cli" --port "$1" --line 9600,E,8,1 --verbose read 2>&1 >/dev/null |
    sed -n 's/.*recv .* after \([0-9.]*\) ms.*/\1/p'
}
# ser2net holds the pty for a moment after its client leaves, and quillmark-cli does not
# open a port another program holds, nor does another ser2net: each way starts once the
# gateways have let it go (their descriptors say), outside the time taken.
pty_free() {
  local pid i
  for ((i = 0; i < 200; i++)); do
    for pid in "${gateway_pids[@]}"; do
      if readlink -f /proc/"$pid"/fd/* 2>/dev/null | grep -qx "$pty"; then
        sleep 0.01
        continue 2
      fi
    done
    return 0
  done
  echo "bench-gateway: a gateway kept $pty" >&2
  exit 1
}
for way in "${ways[@]}"; do
  name=${way%%:*}
  target=${way#*:}
  pty_free
  exchange_ms "$target" >/dev/null || true # untimed: the caches warm
  for ((i = 0; i < exchanges; i++)); do
    ms=$(exchange_ms "$target")
    [ -n "$ms" ] || { echo "bench-gateway: an exchange on $target failed" >&2; exit 1; }
    echo "${name}_exchange_ms=$ms" >>"$each"
  done
done
for ((i = 0; i < dumps; i++)); do
  for way in "${ways[@]}"; do
    name=${way%%:*}
    target=${way#*:}
    pty_free
    start=$EPOCHREALTIME
    "$cli" --port "$target" --line 9600,E,8,1 dump >/dev/null 2>>"$results/gateway-dump.log" ||
      { echo "bench-gateway: a dump on $target failed" >&2; exit 1; }
    end=$EPOCHREALTIME
    awk -v k="${name}_dump_ms" -v a="$start" -v b="$end" 'BEGIN {printf "%s=%.1f\n", k, (b - a) * 1000}' >>"$each"
  done
done

median() {
  grep -o "\b$1=[-0-9.]*" "$each" | cut -d= -f2 | sort -g |
    awk '{v[NR] = $1} END {if (NR) printf "%.2f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
{
  for name in direct gateway tcp defaults; do
    echo "${name}_exchange_ms=$(median "${name}_exchange_ms")"
    echo "${name}_dump_ms=$(median "${name}_dump_ms")"
  done
  echo "exchanges=$exchanges"
  echo "dumps=$dumps"
} >"$out"
cat "$out"
