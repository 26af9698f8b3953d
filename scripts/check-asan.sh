#!/usr/bin/env bash
# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer (the asan preset; the
# kernel and package tests are left out there). A report fails the test whose process made it;
# one from a process whose exit status no test looks at (a companion, a hub or a tool a test
# started) is caught in the sanitizer logs, which fail this script too.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset asan
cmake --build --preset asan
logs=build/asan/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
export ASAN_OPTIONS="log_path=$PWD/$logs/asan:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="log_path=$PWD/$logs/ubsan:print_stacktrace=1:${UBSAN_OPTIONS:-}"
status=0
ctest --preset asan -j2 || status=$?
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitizer reports:"
  for f in "$logs"/*; do
    echo "== $f"
    cat "$f"
  done
  status=1
fi
exit "$status"
