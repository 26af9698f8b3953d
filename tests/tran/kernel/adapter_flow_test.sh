#!/usr/bin/env bash
# The companion on a CAN adapter (the emulated serial adapter under the kernel's slcan
# driver): frames both ways; a stalled serial line while a burst larger than the companion's
# hold is sent, with nothing lost and the order kept; each controller state reported once;
# bus-off dropping and counting frames for CAN; recovery by taking the interface down and up.
source "$(dirname "$0")/kernel_test_lib.sh"

start_adapter 500000
start_companion --source "socketcan:$adapter_if"
"$bin/zelk_dump" >"$work/dump.txt" &
pids+=($!)
until lines_at_least "$work/dump.txt" 1; do adapter send 000#; done

# Frames in, frames out (echoed to the bus as the kernel sends them).
adapter send 123#01A0 1ABCDEF0#0102030405060708 7FF#
"$bin/zelk_send" "456 11 22" "12345 33" || fail "zelk_send exited with status $?"
wait_for "the adapter's record" recorded_at_least 2
printf '%s\n' 456#1122 00012345#33 >"$work/expected_record"
expect_same "the frames the adapter got" "$work/expected_record" "$adapter_record"
wait_for "zelk_dump's lines" dump_frames_at_least "$work/dump.txt" 5
first=$(dump_sync_count "$work/dump.txt")
printf '%s\n' "     123 - 01 A0" "1ABCDEF0 - 01 02 03 04 05 06 07 08" "     7FF -" "     456 - 11 22" \
  "00012345 - 33" | numbered "$first" >"$work/expected_dump"
dump_frames "$work/dump.txt" >"$work/actual_dump"
expect_same "zelk_dump's lines" "$work/expected_dump" "$work/actual_dump"

# A stalled line and a burst of 5400 frames, more than the companion holds before it stops
# reading zelk_send: the kernel takes a few, the companion holds the rest and zelk_send waits.
adapter stall
lines=()
for i in 0 1 2 3 4 5; do lines+=("2$i$i 0$i"); done
"$bin/zelk_send" -r 900 "${lines[@]}" 2>"$work/send.err" &
send_pid=$!
wait_for "the companion to hold frames" status_matches "held for CAN"
sleep 2 # stalled for longer than the burst takes to post
adapter resume
wait "$send_pid" || fail "zelk_send exited with status $? during the stall: $(cat "$work/send.err")"
wait_for "the burst at the adapter" recorded_at_least $((2 + 5400))
for ((r = 0; r < 900; ++r)); do printf '%s\n' 200#00 211#01 222#02 233#03 244#04 255#05; done >"$work/burst"
tail -n +3 "$adapter_record" >"$work/actual_burst"
expect_same "the burst at the adapter" "$work/burst" "$work/actual_burst"

# Controller states, each said once; bus-off drops what is sent; down and up recovers.
adapter state warning
adapter state warning 97 0
adapter state passive
adapter state busoff
wait_for "the bus-off report" grep -q "bus-off" "$work/tran.err"
"$bin/zelk_send" "666 06" || fail "zelk_send exited with status $?"
wait_for "the dropped frame's count" has_total "frames not transmitted: 1"
ip link set "$adapter_if" down
ip link set "$adapter_if" up
wait_for "the recovery" grep -q "error-active again" "$work/tran.err"
"$bin/zelk_send" "777 07" || fail "zelk_send exited with status $?"
wait_for "the frame after the recovery" recorded_at_least $((2 + 5400 + 1))
[ "$(tail -n 1 "$adapter_record")" = 777#07 ] || fail "the last frame at the adapter: $(tail -n 1 "$adapter_record")"
stop_companion

cat >"$work/expected_reports" <<TEXT
zelk_tran: $adapter_if is error-warning (tx errors 96, rx errors 0)
zelk_tran: $adapter_if is error-passive (tx errors 128, rx errors 0)
zelk_tran: $adapter_if is bus-off; frames for CAN are dropped until it recovers
zelk_tran: $adapter_if is down; waiting for it to come up
zelk_tran: $adapter_if is up again
zelk_tran: $adapter_if is error-active again
TEXT
companion_reports | grep -v -E ': [0-9]+$' >"$work/reports" || true
expect_same "the companion's reports" "$work/expected_reports" "$work/reports"
printf '%s\n' "frames not transmitted: 1" >"$work/expected_totals"
report_totals >"$work/totals"
expect_same "the counts" "$work/expected_totals" "$work/totals"
finish "adapter flow"
