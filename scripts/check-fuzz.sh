#!/usr/bin/env bash
# Builds the fuzzers (the fuzz preset: clang, libFuzzer, ASan and UBSan) and runs each for a
# short fixed time, starting from its seed corpus in fuzz/corpus/<fuzzer> when there is one.
# Fails when a fuzzer does not build, or when one finds a crash, a leak, a timeout or a
# sanitizer report; the input that did it is kept in build/fuzz/findings.
# FUZZ_SECONDS sets the time per fuzzer (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
cmake --preset fuzz
cmake --build --preset fuzz
findings=build/fuzz/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
while read -r fuzzer; do
  [ -n "$fuzzer" ] || continue
  # New inputs go to a scratch corpus, never into the tree.
  mkdir -p "$scratch/$fuzzer"
  if [ -d "fuzz/corpus/$fuzzer" ]; then cp fuzz/corpus/"$fuzzer"/* "$scratch/$fuzzer"/; fi
  echo "== $fuzzer: ${seconds}s"
  if ! build/fuzz/bin/"$fuzzer" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$findings/$fuzzer-" "$scratch/$fuzzer" >"$scratch/$fuzzer.log" 2>&1; then
    tail -n 60 "$scratch/$fuzzer.log"
    failed+=("$fuzzer")
  fi
  grep -E '^stat::number_of_executed_units' "$scratch/$fuzzer.log" || true
done <build/fuzz/fuzzers.txt
if ((${#failed[@]})); then
  echo "fuzzers with findings: ${failed[*]} (inputs in $findings)"
  exit 1
fi
echo "every fuzzer ran ${seconds}s without a finding"
