#!/usr/bin/env bash
# vcan0 going down and up, and being deleted and created again, while the companion runs: it
# says so once each time, keeps serving the bus (zelk_send still hands frames over; those the
# kernel refused are counted, not echoed), and carries on when the interface is back.
source "$(dirname "$0")/kernel_test_lib.sh"

# report_seen LINE: waits for the companion to say LINE (without "zelk_tran: ") once more.
declare -A said
said_times() { (($(grep -c -x -F -- "zelk_tran: $1" "$work/tran.err" || true) >= $2)); }
report_seen() {
  said[$1]=$((${said[$1]:-0} + 1))
  wait_for "the report '$1'" said_times "$1" "${said[$1]}"
}
send() { "$bin/zelk_send" "$@" || fail "zelk_send $* exited with status $?"; }

# Down at the start: the companion starts and waits for it.
ip link set vcan0 down
start_companion
report_seen "vcan0 is down; waiting for it to come up"
ip link set vcan0 up
report_seen "vcan0 is up again"
start_dump "$work/dump.txt"
first=$(dump_sync_count "$work/dump.txt")
cansend vcan0 101#01

# Down and up.
ip link set vcan0 down
report_seen "vcan0 is down; waiting for it to come up"
wait_for "the status to show the link down" status_says "source:      socketcan:vcan0, down"
send "102 02" # refused by the kernel: counted, not echoed
wait_for "the count of refused frames" has_total "frames not transmitted: 1"
sleep 2.5 # two link checks while down: a repeated report would show
ip link set vcan0 up
report_seen "vcan0 is up again"
cansend vcan0 103#03
send "104 04"

# Deleted, then created again down (as an adapter plugged back in comes): reopened by name,
# and frames flow once it is up.
ip link delete vcan0
report_seen "vcan0 has gone away; waiting for it to come back"
send "105 05"
wait_for "the count of refused frames" has_total "frames not transmitted: 2"
sleep 2.5
ip link add dev vcan0 type vcan
report_seen "vcan0 is back, but down; waiting for it to come up"
ip link set up vcan0
report_seen "vcan0 is up again"
cansend vcan0 106#06

# Replaced before the companion looks again: the name is there and up, but it is a new
# interface, so the old binding is dead and the socket is reopened.
ip link delete vcan0 && ip link add dev vcan0 up type vcan
report_seen "vcan0 has gone away; waiting for it to come back"
report_seen "vcan0 is back"
start_candump "$work/candump.log"
cansend vcan0 107#07
send "108 08"
wait_for "zelk_dump's lines" lines_at_least "$work/dump.txt" $((first + 6))
wait_for "candump's lines" lines_at_least "$work/candump.log" 2
kill -0 "$tran_pid" || fail "the companion has stopped"
stop_companion

printf '%s\n' "     101 - 01" "     103 - 03" "     104 - 04" "     106 - 06" "     107 - 07" \
  "     108 - 08" |
  numbered "$first" >"$work/expected"
dump_frames "$work/dump.txt" >"$work/actual"
expect_same "zelk_dump's lines" "$work/expected" "$work/actual"
printf '%s\n' "vcan0 107#07" "vcan0 108#08" >"$work/expected_candump"
candump_frames "$work/candump.log" >"$work/actual_candump"
expect_same "candump's frames after the re-creation" "$work/expected_candump" "$work/actual_candump"
printf 'zelk_tran: %s\n' \
  "vcan0 is down; waiting for it to come up" \
  "vcan0 is up again" \
  "vcan0 is down; waiting for it to come up" \
  "frames not transmitted: 1" \
  "vcan0 is up again" \
  "vcan0 has gone away; waiting for it to come back" \
  "frames not transmitted: 1" \
  "vcan0 is back, but down; waiting for it to come up" \
  "vcan0 is up again" \
  "vcan0 has gone away; waiting for it to come back" \
  "vcan0 is back" >"$work/expected_reports"
companion_reports >"$work/reports"
expect_same "the companion's reports" "$work/expected_reports" "$work/reports"
finish "interface loss"
