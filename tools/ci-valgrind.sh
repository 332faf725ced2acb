#!/usr/bin/env bash
# Runs the non-GUI test programs under valgrind's memcheck, on the normal optimised
# build with debug information. Fails on any memory error or definite leak.
#   tools/ci-valgrind.sh [BUILD_DIR=build-vg]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=${1:-build-vg}
tests=(tst_protocol tst_serial tst_sim tst_finding)
# shellcheck source=tools/ci-steps.sh
source tools/ci-steps.sh
ci_begin ci-valgrind

step="installing packages"
bash tools/deps.sh valgrind

step="configure and build"
echo "== configure and build $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# tst_sim starts the simulator program, so it is built too.
cmake --build "$build" -j 2 --target "${tests[@]}" quillmark-sim

step=memcheck
export QT_QPA_PLATFORM=offscreen
suppressions=()
[ -f tools/valgrind.supp ] && suppressions=(--suppressions="$root/tools/valgrind.supp")
logs=$(mktemp -d)
failed=()
for test in "${tests[@]}"; do
  echo "== memcheck $test"
  t0=$(date +%s)
  if valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
       --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=40 \
       "${suppressions[@]}" --log-file="$logs/$test.log" \
       "$build/tests/$test" >"$logs/$test.out" 2>&1; then
    echo "   passed, $(grep -E 'ERROR SUMMARY' "$logs/$test.log" | sed 's/^==[0-9]*== //') ($(($(date +%s) - t0)) s)"
  else
    failed+=("$test")
    echo "-- $test FAILED; test output (end):"
    tail -n 40 "$logs/$test.out"
    echo "-- memcheck log:"
    cat "$logs/$test.log"
  fi
done
rm -rf "$logs"

if [ ${#failed[@]} -ne 0 ]; then
  finish "FAIL: ${failed[*]}"
  exit 1
fi
finish "PASS: ${tests[*]} under memcheck, no errors, no definite leaks"
