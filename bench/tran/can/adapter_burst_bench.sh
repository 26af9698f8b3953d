#!/usr/bin/env bash
# adapter_burst_bench: a burst of N frames from zelk_send into the emulated serial CAN adapter
# (tests/tran/kernel/slcan_adapter.py under the kernel's slcan driver) taking frames at the pace
# of a bus of BITRATE, in a real kernel. The same frames from can-utils' cangen (which waits
# for a full queue) give the time the adapter needs for them. Reports for each: frames at the
# adapter, in order or not, the time, and for the companion its CPU time while it waited.
# Figures only; nothing is asserted.
#
#   bench/tran/can/adapter_burst_bench.sh [BIN_DIR] [N] [BITRATE]   (build/release/bin 20000 50000)
#
# The emulated line carries some hundreds to a few thousand frames/s in the kernel harness,
# so a bit rate it can keep up with gives the meaningful comparison.
set -euo pipefail
if [ "${ZELK_IN_UML:-}" != 1 ]; then
  exec "$(dirname "$0")/../../../scripts/uml_run.sh" --timeout 1800 "$0" "$@"
fi
bin=${1:-build/release/bin}
count=${2:-20000}
bitrate=${3:-50000}
source "$(dirname "$0")/../../../tests/tran/kernel/kernel_test_lib.sh" "$bin"

start_adapter 500000
adapter rate "$bitrate"
now() { date +%s.%N; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
in_order() { # FILE FIRST N: lines FIRST.. hold N frames 123#1122334455667788
  tail -n +"$2" "$1" | head -n "$3" | grep -c -x -F '123#1122334455667788' || true
}

# can-utils first: cangen -p waits (poll) while the queue is full.
start=$(now)
TIMEFORMAT="%U %S"
{ time cangen "$adapter_if" -n "$count" -g 0 -p 1000 -I 123 -L 8 -D 1122334455667788; } 2>"$work/cangen.cpu"
wait_for_all() { recorded_at_least "$1"; }
until wait_for_all "$count"; do sleep 0.05; done
cangen_s=$(awk -v a="$(now)" -v b="$start" 'BEGIN { printf "%.2f", a - b }')
echo "cangen:    $(in_order "$adapter_record" 1 "$count") of $count frames at the adapter in $cangen_s s," \
  "$(awk '{ printf "%.2f", $1 + $2 }' "$work/cangen.cpu") s of CPU"

start_companion --source "socketcan:$adapter_if"
ticks_before=$(cpu_ticks "$tran_pid")
start=$(now)
"$bin/zelk_send" -r "$count" "123 11 22 33 44 55 66 77 88"
until wait_for_all $((2 * count)); do sleep 0.05; done
zelk_s=$(awk -v a="$(now)" -v b="$start" 'BEGIN { printf "%.2f", a - b }')
ticks=$(($(cpu_ticks "$tran_pid") - ticks_before))
hz=$(getconf CLK_TCK)
echo "zelk_send: $(in_order "$adapter_record" $((count + 1)) "$count") of $count frames at the adapter in $zelk_s s" \
  "($(awk -v a="$zelk_s" -v b="$cangen_s" 'BEGIN { printf "%.1f", 100 * a / b }')% of cangen's time)"
echo "companion: $(awk -v t="$ticks" -v h="$hz" 'BEGIN { printf "%.2f", t / h }') s of CPU over the burst" \
  "($(awk -v t="$ticks" -v h="$hz" -v s="$zelk_s" 'BEGIN { printf "%.1f", 100 * t / h / s }')% of a core)"
grep -v "^zelk_tran: serving " "$work/tran.err" || true
stop_companion
