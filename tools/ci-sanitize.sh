#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (gcc) and runs
# the whole CTest suite offscreen. Fails on a failing test or on any sanitizer report,
# including one from a helper process (the simulator) whose exit status no test reads.
#   tools/ci-sanitize.sh [BUILD_DIR=build-asan]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-asan}
# shellcheck source=tools/ci-steps.sh
source tools/ci-steps.sh
ci_begin ci-sanitize

step="installing packages"
bash tools/deps.sh

step="configure and build"
echo "== configure and build $build"
# Debug: no optimisation to hide an access, and Qt's inline asserts stay on.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=ON >/dev/null
cmake --build "$build" -j 2

# ASan and LSan write one file per process, so a report from a helper process (the
# simulator) counts even when no test reads its exit status or its stderr. gcc's UBSan
# ignores log_path next to ASan and prints to stderr; it halts its process, and the
# full output of every test (passed ones too) is kept in a JUnit file and searched.
reports=$(mktemp -d)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="suppressions=$(pwd)/tools/lsan.supp"

step=ctest
echo "== ctest"
status=0
(cd "$build" && ctest --output-on-failure -j 2 --output-junit "$reports/ctest.xml" \
   --test-output-size-passed 100000000 --test-output-size-failed 100000000) || status=$?

pattern='runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|SUMMARY: [A-Za-z]*Sanitizer'
count=0
for report in "$reports"/asan.* "$reports"/ubsan.*; do
  [ -e "$report" ] || continue
  # A file that only lists the suppressions it used is no report.
  grep -qE "$pattern" "$report" || continue
  count=$((count + 1))
  echo "-- sanitizer report $(basename "$report"):"
  cat "$report"
done
in_output=$(grep -cE "$pattern" "$reports/ctest.xml" 2>/dev/null || true)
if [ "${in_output:-0}" -ne 0 ]; then
  echo "-- sanitizer lines in the test output:"
  grep -E "$pattern" "$reports/ctest.xml"
  count=$((count + in_output))
fi
rm -rf "$reports"

if [ "$status" -ne 0 ] || [ "$count" -ne 0 ]; then
  finish "FAIL: ctest exit status $status, $count sanitizer report(s)"
  exit 1
fi
finish "PASS: every test passed under ASan+UBSan, 0 sanitizer reports"
