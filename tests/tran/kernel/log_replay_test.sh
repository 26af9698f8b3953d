#!/usr/bin/env bash
# A log written by the companion's --log replays with `canplayer -I` onto vcan0, and candump
# sees the same frames as the log holds: those received from vcan0 and those sent on the bus.
source "$(dirname "$0")/kernel_test_lib.sh"

start_companion --log "$work/bus.log"
cansend vcan0 123#
cansend vcan0 7FF#0011223344556677
cansend vcan0 12345678#AA
cangen vcan0 -n 9 -g 1 -e -I 1ABCDE0 -L i -D i
"$bin/zelk_send" "5 01 02" "115599 00 22 99 00 00 11 33 33" || fail "zelk_send exited with status $?"
wait_for "the log's lines" lines_at_least "$work/bus.log" 14
stop_companion

# The log's lines, as candump -L writes them for the frames that reached vcan0.
printf '%s\n' "vcan0 123#" "vcan0 7FF#0011223344556677" "vcan0 12345678#AA" \
  "vcan0 01ABCDE0#00" "vcan0 01ABCDE0#01" "vcan0 01ABCDE0#0200" "vcan0 01ABCDE0#030000" \
  "vcan0 01ABCDE0#04000000" "vcan0 01ABCDE0#0500000000" "vcan0 01ABCDE0#060000000000" \
  "vcan0 01ABCDE0#07000000000000" "vcan0 01ABCDE0#0800000000000000" \
  "vcan0 005#0102" "vcan0 00115599#0022990000113333" >"$work/expected"
candump_frames "$work/bus.log" >"$work/logged"
expect_same "the logged frames" "$work/expected" "$work/logged"
grep -q -v -E '^\([0-9]{10}\.[0-9]{6}\) ' "$work/bus.log" && fail "a log line without a time stamp"

start_candump "$work/replayed.log"
canplayer -I "$work/bus.log" || fail "canplayer exited with status $?"
wait_for "candump's lines" lines_at_least "$work/replayed.log" 14
candump_frames "$work/replayed.log" >"$work/replayed"
expect_same "the replayed frames" "$work/expected" "$work/replayed"
finish "log replay"
