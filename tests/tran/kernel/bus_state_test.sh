#!/usr/bin/env bash
# The controller's state as error frames tell it, on vcan0 (error frames written by cansend,
# as a driver would send them): each change is reported once, with the error counters;
# missing acknowledgement is said plainly once and counted; while bus-off (as --status shows),
# frames for CAN are dropped and counted, and once the controller has restarted they flow again.
source "$(dirname "$0")/kernel_test_lib.sh"

start_companion
start_dump "$work/dump.txt"
first=$(dump_sync_count "$work/dump.txt")

cansend vcan0 20000204#0008000000006000 # controller: tx warning, counters 96/0
cansend vcan0 20000204#0008000000006100 # still warning: not said again
cansend vcan0 20000204#0020000000008000 # tx passive, counters 128/0
cansend vcan0 20000028#0000000300000000 # no acknowledgement (and a protocol error)
cansend vcan0 20000028#0000000300000000
cansend vcan0 20000040#0000000000000000 # bus-off
wait_for "the bus-off report" grep -q "bus-off" "$work/tran.err"
wait_for "the status to show bus-off" status_says "source:      socketcan:vcan0, up, bus-off"
"$bin/zelk_send" "444 04" || fail "zelk_send exited with status $?"
wait_for "the dropped frame's count" has_total "frames not transmitted: 1"
cansend vcan0 20000100#0000000000000000 # restarted
wait_for "the recovery report" grep -q "error-active again" "$work/tran.err"
"$bin/zelk_send" "555 05" || fail "zelk_send exited with status $?"
wait_for "the frame after the recovery" lines_at_least "$work/dump.txt" $((first + 1))
wait_for "the error counts" has_total "error frames for bus errors: 2"
stop_companion

printf '%s\n' "     555 - 05" | numbered "$first" >"$work/expected"
dump_frames "$work/dump.txt" >"$work/actual"
expect_same "zelk_dump's lines" "$work/expected" "$work/actual"
cat >"$work/expected_states" <<'TEXT'
zelk_tran: vcan0 is error-warning (tx errors 96, rx errors 0)
zelk_tran: vcan0 is error-passive (tx errors 128, rx errors 0)
zelk_tran: no node acknowledges the frames sent on vcan0: is another node on the bus, at the same bitrate?
zelk_tran: vcan0 is bus-off; frames for CAN are dropped until it recovers
zelk_tran: vcan0 is error-active again
TEXT
companion_reports | grep -v -E ': [0-9]+$' >"$work/states" || true
expect_same "the state reports" "$work/expected_states" "$work/states"
printf '%s\n' "error frames for a missing acknowledgement: 2" "error frames for bus errors: 2" \
  "frames not transmitted: 1" | sort >"$work/expected_totals"
report_totals >"$work/totals"
expect_same "the counts" "$work/expected_totals" "$work/totals"
finish "bus state"
