#!/usr/bin/env bash
# Each frame's own kernel time, end to end: on the same traffic (paced, a burst, and frames
# the companion sent, which carry the time of their echo) the companion's --log and candump -L
# write identical lines, time included, a socketcand client gets the same times, and
# zelk_dump's millisecond deltas are the kernel's gaps in whole milliseconds.
source "$(dirname "$0")/kernel_test_lib.sh"

start_companion --log "$work/bus.log" --listen 29536 --listen-any-user
# A raw socketcand client: the time field of every frame, until the companion stops.
/usr/bin/python3 - "$work" <<'PY' &
import re, socket, sys
work = sys.argv[1]
s = socket.create_connection(("127.0.0.1", 29536), timeout=30)
def until(text):
    got = b""
    while not got.endswith(text):
        got += s.recv(1)
until(b"< hi >"); s.sendall(b"< open vcan0 >"); until(b"< ok >")
s.sendall(b"< rawmode >"); until(b"< ok >")
open(work + "/socketcand.ready", "w").close()
data = b""
s.settimeout(None)
while chunk := s.recv(65536):  # until the companion stops
    data += chunk
with open(work + "/socketcand.times", "w") as out:
    for time in re.findall(rb"< frame \S+ (\S+) ", data):
        out.write(time.decode() + "\n")
PY
socketcand_pid=$!
wait_for "the socketcand client" test -e "$work/socketcand.ready"
start_candump "$work/candump.log"
start_dump "$work/dump.txt"
cangen vcan0 -n 100 -g 3 -I i -L i -D i
cangen vcan0 -n 200 -g 0 -I 2A0 -L 8 -D i
"$bin/zelk_send" -r 20 -i 2 "7AB 01 02" "1234567 AA" || fail "zelk_send exited with status $?"
wait_for "candump to see every frame" lines_at_least "$work/candump.log" 340
wait_for "the log to hold every frame" lines_at_least "$work/bus.log" "$(wc -l <"$work/candump.log")"
sleep 0.2 # anything late would show as a difference below
stop_companion
wait "$socketcand_pid" || fail "the socketcand client failed"

expect_same "candump's and the companion's log lines" "$work/candump.log" "$work/bus.log"
sed -E 's/^\(([0-9.]+)\).*/\1/' "$work/candump.log" >"$work/candump.times"
expect_same "candump's and the socketcand frames' times" "$work/candump.times" "$work/socketcand.times"

# The deltas: zelk_dump's lines are the last of candump's frames, one for one.
shown=$(wc -l <"$work/dump.txt")
tail -n "$shown" "$work/candump.log" |
  sed -E 's/^\(([0-9]+)\.([0-9]{6})\).*/\1 \2/' |
  awk 'NR > 1 { print $1 * 1000 + int($2 / 1000) - last "ms" } { last = $1 * 1000 + int($2 / 1000) }' \
    >"$work/expected_deltas"
sed -E -n 's/^[0-9]+ +([0-9]+ms) .*/\1/p' "$work/dump.txt" | tail -n +2 >"$work/actual_deltas"
expect_same "zelk_dump's deltas" "$work/expected_deltas" "$work/actual_deltas"
finish "frame times"
