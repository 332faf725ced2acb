#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each for a fixed time.
#   tools/ci-fuzz.sh [SECONDS=30]
# Fails on any crash, sanitizer report or broken property. New inputs the fuzzer finds go
# to a temporary directory, never into fuzz/corpus; a failing input is kept and shown.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-30}
build="build-fuzz"
targets=(fuzz_replies fuzz_fields fuzz_linesettings fuzz_paritymark fuzz_sim fuzz_dumpfile fuzz_records)
# shellcheck source=tools/ci-steps.sh
source tools/ci-steps.sh
ci_begin ci-fuzz

step="installing packages"
bash tools/deps.sh clang libclang-rt-14-dev

step="configure and build"
echo "== configure and build $build (clang)"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMARK_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 --target fuzz

work=$(mktemp -d)
failed=()
# No abort_on_error: libFuzzer must get control back to save the failing input.
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  echo "== $target: ${seconds} s"
  mkdir -p "$work/$target/new" "$work/$target/artifacts"
  # The first corpus directory receives what the fuzzer finds; the seeds only get read.
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="$root/fuzz/$target.dict")
  if ! (cd "$work/$target" &&
        "$root/$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
          -max_len=512 -print_final_stats=1 "${dict[@]}" -artifact_prefix="$work/$target/artifacts/" \
          "$work/$target/new" "$root/fuzz/corpus/$target" >"$work/$target/log" 2>&1); then
    failed+=("$target")
    echo "-- $target FAILED; the end of its log:"
    tail -n 60 "$work/$target/log"
    for artifact in "$work/$target/artifacts/"*; do
      [ -e "$artifact" ] || continue
      echo "-- reproducer $artifact (rerun: $build/fuzz/$target FILE):"
      od -An -c "$artifact" | head -n 20
    done
  else
    grep -E '^stat::number_of_executed_units|^Done ' "$work/$target/log" | tr '\n' ' '
    echo
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  finish "FAIL: ${failed[*]} (inputs and logs kept in $work)"
  exit 1
fi
rm -rf "$work"
finish "PASS: ${#targets[@]} targets, ${seconds} s each, no crash and no broken property"
