#!/usr/bin/env bash
# can-utils and our tools on one vcan0 through the companion, both ways: frames from cansend
# and cangen appear in zelk_dump as exact log lines, and lines sent by zelk_send appear in
# candump's log exactly (identifier, extended flag, data).
source "$(dirname "$0")/kernel_test_lib.sh"

start_companion
start_candump "$work/candump.log"
start_dump "$work/dump.txt"
first=$(dump_sync_count "$work/dump.txt")

# cansend frame -> the monitor's log line after the delta.
cansend_table=(
  "123#|     123 -"
  "123#01|     123 - 01"
  "7FF#0011223344556677|     7FF - 00 11 22 33 44 55 66 77"
  "0ab#a0B1|     0AB - A0 B1"
  "12345678#|12345678 -"
  "00000005#05|00000005 - 05"
  "1FFFFFFF#AABBCCDDEEFF0011|1FFFFFFF - AA BB CC DD EE FF 00 11"
)
expected_dump=()
for row in "${cansend_table[@]}"; do
  cansend vcan0 "${row%%|*}"
  expected_dump+=("${row#*|}")
done
# Standard frames of lengths 0 to 8, then extended ones with a counting payload (cangen's
# incrementing data starts at length 1).
cangen vcan0 -n 9 -g 1 -I 123 -L i -D 0011223344556677
cangen vcan0 -n 9 -g 1 -e -I 1ABCDE0 -L i -D i
expected_dump+=(
  "     123 -"
  "     123 - 00"
  "     123 - 00 11"
  "     123 - 00 11 22"
  "     123 - 00 11 22 33"
  "     123 - 00 11 22 33 44"
  "     123 - 00 11 22 33 44 55"
  "     123 - 00 11 22 33 44 55 66"
  "     123 - 00 11 22 33 44 55 66 77"
  "01ABCDE0 - 00"
  "01ABCDE0 - 01"
  "01ABCDE0 - 02 00"
  "01ABCDE0 - 03 00 00"
  "01ABCDE0 - 04 00 00 00"
  "01ABCDE0 - 05 00 00 00 00"
  "01ABCDE0 - 06 00 00 00 00 00"
  "01ABCDE0 - 07 00 00 00 00 00 00"
  "01ABCDE0 - 08 00 00 00 00 00 00 00"
)
from_can=${#expected_dump[@]}

# zelk_send line -> candump's frame. Four or more identifier digits make an extended frame.
send_table=(
  "123 01 A0|vcan0 123#01A0"
  "7FF|vcan0 7FF#"
  "5 0 0|vcan0 005#0000"
  "0123 11|vcan0 00000123#11"
  "115599 00 22 99 00 00 11 33 33|vcan0 00115599#0022990000113333"
  "1FFFFFFF 11 22 33 44 55 66 77 88|vcan0 1FFFFFFF#1122334455667788"
)
send_lines=()
expected_candump=()
for row in "${send_table[@]}"; do
  send_lines+=("${row%%|*}")
  expected_candump+=("${row#*|}")
done
"$bin/zelk_send" "${send_lines[@]}" || fail "zelk_send exited with status $?"
# What the kernel took is echoed to the bus, so zelk_dump shows the sent frames too.
expected_dump+=(
  "     123 - 01 A0"
  "     7FF -"
  "     005 - 00 00"
  "00000123 - 11"
  "00115599 - 00 22 99 00 00 11 33 33"
  "1FFFFFFF - 11 22 33 44 55 66 77 88"
)

wait_for "zelk_dump's lines" lines_at_least "$work/dump.txt" $((first + ${#expected_dump[@]}))
wait_for "candump's lines" candump_frames_at_least "$work/candump.log" \
  $((from_can + ${#expected_candump[@]}))
stop_companion

printf '%s\n' "${expected_dump[@]}" | numbered "$first" >"$work/expected_dump"
dump_frames "$work/dump.txt" >"$work/actual_dump"
expect_same "zelk_dump's lines" "$work/expected_dump" "$work/actual_dump"
# candump saw cansend's and cangen's frames first; the tail is zelk_send's.
printf '%s\n' "${expected_candump[@]}" >"$work/expected_candump"
candump_frames "$work/candump.log" | tail -n +$((from_can + 1)) >"$work/actual_candump"
expect_same "candump's frames from zelk_send" "$work/expected_candump" "$work/actual_candump"
[ -z "$(companion_reports)" ] || fail "the companion reported: $(companion_reports)"
finish "can-utils both ways"
