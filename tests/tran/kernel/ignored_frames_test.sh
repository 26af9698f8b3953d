#!/usr/bin/env bash
# Frames the monitor has no form for (remote, error, CAN FD on a vcan0 with mtu 72) reach no
# bus client, are counted in the companion's reports (an error frame by its kind), and do not
# disturb the frames around them.
source "$(dirname "$0")/kernel_test_lib.sh"

ip link set vcan0 down
ip link set vcan0 mtu 72
ip link set vcan0 up
start_companion
start_dump "$work/dump.txt"
first=$(dump_sync_count "$work/dump.txt")

cansend vcan0 111#01
cansend vcan0 123#R
cansend vcan0 12345678#R3
cansend vcan0 20000004#0001000000000000 # error frame: controller problem, rx overflow
cansend vcan0 123##1                    # CAN FD, bit rate switch, no data
cansend vcan0 124##0112233445566778899AABB
cangen vcan0 -n 3 -g 1 -f -I 125 -L 12 -D i
cansend vcan0 222#02
wait_for "the frame after the ignored ones" lines_at_least "$work/dump.txt" $((first + 2))
for report in "remote frames ignored: 2" "error frames for controller problems: 1" "CAN FD frames ignored: 5"; do
  wait_for "the report '$report'" has_total "$report"
done
# The bus still works both ways after them.
"$bin/zelk_send" "333 03" || fail "zelk_send exited with status $?"
wait_for "the echo of zelk_send's frame" lines_at_least "$work/dump.txt" $((first + 3))
stop_companion

printf '%s\n' "     111 - 01" "     222 - 02" "     333 - 03" | numbered "$first" >"$work/expected"
dump_frames "$work/dump.txt" >"$work/actual"
expect_same "zelk_dump's lines" "$work/expected" "$work/actual"
# Nothing else is reported: no drops, no malformed input.
printf '%s\n' "remote frames ignored: 2" "error frames for controller problems: 1" "CAN FD frames ignored: 5" |
  sort >"$work/expected_reports"
report_totals >"$work/reports"
expect_same "the companion's reports" "$work/expected_reports" "$work/reports"
others=$(companion_reports | grep -v -E '^zelk_tran: ((remote|CAN FD) frames ignored|error frames for controller problems): [0-9]+$' || true)
[ -z "$others" ] || fail "the companion also reported: $others"
finish "ignored frames"
