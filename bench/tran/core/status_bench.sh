#!/usr/bin/env bash
# status_bench: how long `zelk_tran --status` takes to answer while the bus carries RATE
# generated frames per second to a zelk_dump. Runs the tool N times, one after the other, and
# reports the median and the maximum, process start included. Figures only.
#
#   bench/tran/core/status_bench.sh [BIN_DIR] [RATE] [N]   (defaults: build/release/bin 21300 200)
set -euo pipefail
bin=${1:-build/release/bin}
rate=${2:-21300}
runs=${3:-200}
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
export PELMO_BUS=$work/bus
"$bin/zelk_tran" --foreground --idle-exit 0 --generate "$rate" 2>"$work/tran.err" &
pids+=($!)
until grep -q "^zelk_tran: serving " "$work/tran.err"; do sleep 0.05; done
"$bin/zelk_dump" >/dev/null &
pids+=($!)
sleep 2 # let the traffic settle
for ((i = 0; i < runs; ++i)); do
  start=$(date +%s%N)
  "$bin/zelk_tran" --status >/dev/null
  echo $((($(date +%s%N) - start) / 1000))
done | sort -n >"$work/times"
median=$(sed -n "$((runs / 2 + 1))p" "$work/times")
max=$(tail -n 1 "$work/times")
"$bin/zelk_tran" --status | sed -n '4,5p'
echo "zelk_tran --status at $rate frames/s, $runs runs: median ${median} us, max ${max} us"
