#!/usr/bin/env bash
# The emulated serial CAN adapter (slcan_adapter.py) under the kernel's slcan driver, with
# can-utils only: the driver's set-up commands reach it; frames it puts on the bus arrive on
# the interface exactly; frames sent on the interface reach its record exactly and in order;
# while it stalls the interface queues what the kernel accepted and refuses the rest, and after
# it resumes nothing accepted is missing; each controller state and bus error it reports
# yields its error frame; bus-off takes the carrier until the interface is brought down and
# up; a bus rate paces what it takes; the interface goes away with the adapter. Needs no
# zelk binary (the bin dir is taken for uniformity).
source "$(dirname "$0")/kernel_test_lib.sh"

start_adapter 500000
[ "$adapter_if" = can0 ] || fail "the interface is '$adapter_if', not can0"
printf '%s\n' "driver: C -> CR" "driver: S6 -> CR" "driver: O -> CR" >"$work/expected_setup"
grep '^driver: ' "$adapter_log" >"$work/actual_setup" || true
expect_same "the set-up commands at up (bit rate 500000)" "$work/expected_setup" "$work/actual_setup"
[ "$(adapter_state)" = ERROR-ACTIVE ] || fail "the state after up is '$(adapter_state)'"
start_candump "$work/bus.log" "$adapter_if"
bus_candump=$candump_pid
start_error_candump "$work/errors.log" "$adapter_if"
error_candump=$candump_pid

# The bus -> the interface: standard and extended, 0 to 8 bytes, remote frames.
from_bus=(
  000# 123#01 7FF#0011 456#001122 0AB#A0B1C2D3 555#0102030405 321#AABBCCDDEEFF 7F0#00112233445566
  7FF#0011223344556677
  00000000# 00000001#FF 1FFFFFFF#1122334455667788 12345678#0102 1ABCDEF0#0A0B0C0D0E
  123#R 00000123#R3 7FF#R8
)
adapter send "${from_bus[@]}"
# The data bytes may be written with dots, as cansend allows.
adapter send 5A1#11.2233.44556677.88
from_bus+=(5A1#1122334455667788)
wait_for "candump's lines" lines_at_least "$work/bus.log" "${#from_bus[@]}"

# The interface -> the adapter. Frames the kernel takes are also looped back to candump.
to_adapter=(
  123# 123#01 7FF#0011223344556677 0AB#A0B1 12345678# 00000005#05 1FFFFFFF#AABBCCDDEEFF0011
  456#R 00000456#R5
)
for frame in "${to_adapter[@]}"; do
  cansend "$adapter_if" "$frame" || fail "cansend $frame exited with status $?"
done
# Lengths 0 to 8 with a counting payload, standard then extended.
cangen "$adapter_if" -n 9 -g 1 -I 2A5 -L i -D 0011223344556677
cangen "$adapter_if" -n 9 -g 1 -e -I 0ABCDEF0 -L i -D i
to_adapter+=(
  2A5# 2A5#00 2A5#0011 2A5#001122 2A5#00112233 2A5#0011223344 2A5#001122334455
  2A5#00112233445566 2A5#0011223344556677
  0ABCDEF0#00 0ABCDEF0#01 0ABCDEF0#0200 0ABCDEF0#030000 0ABCDEF0#04000000 0ABCDEF0#0500000000
  0ABCDEF0#060000000000 0ABCDEF0#07000000000000 0ABCDEF0#0800000000000000
)
wait_for "the adapter's record" recorded_at_least "${#to_adapter[@]}"
wait_for "candump's lines" lines_at_least "$work/bus.log" $((${#from_bus[@]} + ${#to_adapter[@]}))
printf '%s\n' "${to_adapter[@]}" >"$work/expected_record"
expect_same "the frames the adapter recorded" "$work/expected_record" "$adapter_record"
printf "$adapter_if %s\n" "${from_bus[@]}" "${to_adapter[@]}" >"$work/expected_bus"
candump_frames "$work/bus.log" >"$work/actual_bus"
expect_same "candump's frames" "$work/expected_bus" "$work/actual_bus"

# A stalled adapter: the driver has handed one frame to the line and waits for the adapter to
# read it, the queue discipline holds tx_queue_len more and one taken out for the stopped
# driver, and the kernel refuses the rest (ENOBUFS; cangen -i counts them and goes on). Every
# frame it accepted is looped back to candump at once and reaches the adapter once it reads
# again.
queue_len=$(cat "/sys/class/net/$adapter_if/tx_queue_len")
recorded_before=$(wc -l <"$adapter_record")
bus_before=$(wc -l <"$work/bus.log")
adapter stall
cangen "$adapter_if" -n $((queue_len + 4)) -g 0 -i -I 3AA -L 2 -D i >"$work/cangen.out" ||
  fail "cangen exited with status $?"
grep -q -x -F 'Counted 2 ENOBUFS return values on write().' "$work/cangen.out" ||
  fail "the kernel did not refuse 2 of $((queue_len + 4)) frames: $(cat "$work/cangen.out")"
accepted=()
for i in $(seq 0 $((queue_len + 1))); do accepted+=("$(printf '3AA#%02X00' "$i")"); done
wait_for "candump's loopback of the accepted frames" lines_at_least "$work/bus.log" \
  $((bus_before + ${#accepted[@]}))
printf "$adapter_if %s\n" "${accepted[@]}" >"$work/expected_loopback"
candump_frames "$work/bus.log" | tail -n +$((bus_before + 1)) >"$work/actual_loopback"
expect_same "the frames looped back while the adapter stalls" "$work/expected_loopback" \
  "$work/actual_loopback"
sleep 0.3 # what the adapter would take by now
(($(wc -l <"$adapter_record") == recorded_before)) || fail "the stalled adapter recorded frames"
adapter resume
wait_for "the frames accepted while stalled" recorded_at_least $((recorded_before + ${#accepted[@]}))
cansend "$adapter_if" 3FF#FF # after the others, in order
wait_for "the frame after the stall" recorded_at_least $((recorded_before + ${#accepted[@]} + 1))
printf '%s\n' "${accepted[@]}" 3FF#FF >"$work/expected_stall"
tail -n +$((recorded_before + 1)) "$adapter_record" >"$work/actual_stall"
expect_same "the frames recorded after the stall" "$work/expected_stall" "$work/actual_stall"

# Controller states and bus errors -> error frames: CAN_ERR_FLAG with CAN_ERR_CRTL and
# CAN_ERR_CNT, data[1] the controller status, data[6] and data[7] the transmit and receive
# error counters; bus-off has CAN_ERR_BUSOFF alone. The same state twice makes one frame.
# Each row: command|error frame|ip's state after it.
state_table=(
  "state warning|20000204#0008000000006000|ERROR-WARNING"
  "state warning 100 0||ERROR-WARNING"
  "state passive|20000204#0020000000008000|ERROR-PASSIVE"
  "state warning|20000204#0008000000006000|ERROR-WARNING"
  "state active|20000204#0040000000000000|ERROR-ACTIVE"
  "state warning 0 96|20000204#0004000000000060|ERROR-WARNING"
  "state passive 0 130|20000204#0010000000000082|ERROR-PASSIVE"
  "state active 5 3|20000204#0040000000000503|ERROR-ACTIVE"
  "raw sw096000|20000204#0004000000000060|ERROR-WARNING"
  "state passive 200 100|20000204#002000000000C864|ERROR-PASSIVE"
  "error a|200000A8#0000001900000000|ERROR-PASSIVE"
  "error bcO|2000008C#0002090800000000|ERROR-PASSIVE"
  "error osfB|2000008C#0001160000000000|ERROR-PASSIVE"
  "state busoff|20000040#0000000000000000|BUS-OFF"
)
# The kernel takes the adapter's line a moment after the adapter wrote it: the state is
# waited for (a state that does not change is a line the kernel ignores).
state_is() { [ "$(adapter_state)" = "$1" ]; }
expected_errors=()
for row in "${state_table[@]}"; do
  IFS='|' read -r command frame state <<<"$row"
  adapter "$command"
  [ -z "$frame" ] || expected_errors+=("$adapter_if $frame")
  wait_for "the state $state after '$command'" state_is "$state"
done
printf '%s\n' "${expected_errors[@]}" >"$work/expected_errors"
wait_for "the error frames" lines_at_least "$work/errors.log" "${#expected_errors[@]}"
sleep 0.2 # an error frame too many would show
candump_frames "$work/errors.log" >"$work/actual_errors"
expect_same "the error frames" "$work/expected_errors" "$work/actual_errors"
kill "$bus_candump" "$error_candump" # they would end with the interface going down

# Bus-off takes the carrier: the interface stays up, a frame sent is accepted (and looped back)
# but never transmitted. Down and up again: error-active, the set-up commands again (the
# channel was closed already, so the second C is refused), and frames flow.
ip -o link show "$adapter_if" | grep -q -E '<NO-CARRIER,NOARP,UP>' ||
  fail "in bus-off the link is: $(ip -o link show "$adapter_if")"
recorded_before=$(wc -l <"$adapter_record")
cansend "$adapter_if" 4AA#01 || fail "cansend in bus-off exited with status $?"
ip link set "$adapter_if" down
ip link set "$adapter_if" up
[ "$(adapter_state)" = ERROR-ACTIVE ] || fail "after down and up the state is '$(adapter_state)'"
cansend "$adapter_if" 4AA#02
wait_for "the frame after bus-off" recorded_at_least $((recorded_before + 1))
sleep 0.1
printf '%s\n' 4AA#02 >"$work/expected_after_busoff"
tail -n +$((recorded_before + 1)) "$adapter_record" >"$work/actual_after_busoff"
expect_same "the frames recorded around bus-off" "$work/expected_after_busoff" "$work/actual_after_busoff"
printf '%s\n' "driver: C -> CR" "driver: S6 -> CR" "driver: O -> CR" "driver: C -> CR" \
  "driver: C -> BEL" "driver: S6 -> CR" "driver: O -> CR" >"$work/expected_setup"
grep '^driver: ' "$adapter_log" >"$work/actual_setup" || true
expect_same "the set-up commands" "$work/expected_setup" "$work/actual_setup"

# A paced bus: at 10 kbit/s a standard frame with 8 data bytes takes at least 111 bits
# (11.1 ms) before stuff bits, so 100 of them cannot be taken in less than 1110 ms, less the
# 5 ms the adapter may make up for its timer's lateness. Unpaced they take a fraction of that.
# One process sends them (again after 1 ms on ENOBUFS) and times them until all are recorded.
pace_ms() {
  /usr/bin/python3 - "$adapter_if" "$adapter_record" "$1" <<'PY'
import errno, socket, struct, sys, time
interface, record, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(record) as f:
    before = sum(1 for _ in f)
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((interface,))
s.setblocking(False)
start = time.monotonic()
for i in range(count):
    while True:
        try:
            s.send(struct.pack("=IB3x8s", 0x5AA, 8, i.to_bytes(8, "big")))
            break
        except OSError as e:
            if e.errno != errno.ENOBUFS:
                raise
            time.sleep(0.001)
while True:
    with open(record) as f:
        if sum(1 for _ in f) >= before + count:
            break
    time.sleep(0.005)
print(round((time.monotonic() - start) * 1000))
PY
}
unpaced_ms=$(pace_ms 100)
adapter rate 10000
paced_ms=$(pace_ms 100)
adapter rate 0
((paced_ms >= 1105)) || fail "100 frames at 10 kbit/s were taken in $paced_ms ms (unpaced: $unpaced_ms ms)"
((paced_ms < 10000)) || fail "100 frames at 10 kbit/s took $paced_ms ms"
((unpaced_ms < 1105)) || fail "100 frames unpaced took $unpaced_ms ms, as long as on a 10 kbit/s bus"

grep -q -v -E '^(driver|done): ' "$adapter_log" && fail "the adapter said: $(grep -v -E '^(driver|done): ' "$adapter_log")"
stop_adapter
ip link show "$adapter_if" >/dev/null 2>&1 && fail "$adapter_if is still there after the adapter ended"
finish "slcan adapter"
