#!/usr/bin/env bash
# A display behind a serial device server, for tools/bench.sh: the real quillmark-cli
# against the simulator, on its pty directly and through ser2net (RFC 2217) on loopback.
#   tools/bench-gateway.sh BUILD_DIR RESULTS_DIR
# One exchange ("$M", from sending to the whole reply, as --verbose times it): median of
# BENCH_GATEWAY_EXCHANGES (default 50) each way, interleaved; a whole dump (process start
# to exit): median of BENCH_GATEWAY_DUMPS (default 15) each way. Writes key=value lines to
# RESULTS_DIR/gateway.txt; exits 1 when a figure could not be taken.
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
# OPTIONS are more YAML lines of the connection.
address=
start_gateway() { # NAME [OPTIONS]
  local tcp hex i
  # A port from the ephemeral range that nothing listens on (the socket table says).
  for ((i = 0; i < 50; i++)); do
    tcp=$(shuf -i 33000-60999 -n 1)
    hex=$(printf '%04X' "$tcp")
    awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" {found = 1} END {exit !found}' /proc/net/tcp || break
  done
  "$ser2net" -n -u -P "$runtime/$1.pid" \
    -Y "connection: &$1#  accepter: telnet(rfc2217),tcp,127.0.0.1,$tcp" \
    -Y "  connector: serialdev,$pty,9600n81,local" ${2:+-Y "$2"} \
    >/dev/null 2>"$results/gateway-$1.log" &
  gateway_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" {found = 1} END {exit !found}' /proc/net/tcp && break
    sleep 0.05
  done
  address="rfc2217://127.0.0.1:$tcp"
}

start_gateway plain
gateway=$address
# ser2net waits for more bytes from the device before it sends (chardelay, on by default,
# at least 1 ms): a gateway's own policy, measured both ways.
start_gateway eager '  options:#    chardelay: false'
eager=$address

exchange_ms() { # PORT: the "$M" exchange's time as --verbose reports it
  "$cli" --port "$1" --line 9600,E,8,1 --verbose read 2>&1 >/dev/null |
    sed -n 's/.*recv .* after \([0-9.]*\) ms.*/\1/p'
}
# One series per way, never side by side: ser2net holds the pty for a moment after its
# client leaves, and quillmark-cli does not open a port another program holds.
for way in direct:$port gateway:$gateway eager:$eager; do
  name=${way%%:*}
  target=${way#*:}
  exchange_ms "$target" >/dev/null || true # untimed: the caches warm
  for ((i = 0; i < exchanges; i++)); do
    ms=$(exchange_ms "$target")
    [ -n "$ms" ] || { echo "bench-gateway: an exchange on $target failed" >&2; exit 1; }
    echo "${name}_exchange_ms=$ms" >>"$each"
  done
  for ((i = 0; i < dumps; i++)); do
    start=$EPOCHREALTIME
    "$cli" --port "$target" --line 9600,E,8,1 dump >/dev/null 2>>"$results/gateway-dump.log" ||
      { echo "bench-gateway: a dump on $target failed" >&2; exit 1; }
    end=$EPOCHREALTIME
    awk -v k="${name}_dump_ms" -v a="$start" -v b="$end" 'BEGIN {printf "%s=%.1f\n", k, (b - a) * 1000}' >>"$each"
  done
  sleep 0.2 # ser2net lets the pty go
done

median() {
  grep -o "\b$1=[-0-9.]*" "$each" | cut -d= -f2 | sort -g |
    awk '{v[NR] = $1} END {if (NR) printf "%.2f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
{
  echo "direct_exchange_ms=$(median direct_exchange_ms)"
  echo "gateway_exchange_ms=$(median gateway_exchange_ms)"
  echo "eager_exchange_ms=$(median eager_exchange_ms)"
  echo "direct_dump_ms=$(median direct_dump_ms)"
  echo "gateway_dump_ms=$(median gateway_dump_ms)"
  echo "eager_dump_ms=$(median eager_dump_ms)"
  echo "exchanges=$exchanges"
  echo "dumps=$dumps"
} >"$out"
cat "$out"
