"""Joins a zelk_tran socketcand server with python-can's socketcand interface.

Usage: socketcand_python_peer.py PORT COUNT
Two python-can buses connect; the first sends a standard and an extended frame and then COUNT
numbered frames; the second must receive all of them, in order, with their ids and data. The
sender must not get its own frames back. Then PACED frames go one at a time, each read by the
receiver before the next is sent, as on a quiet bus: python-can's reader must not warn about
what the server wrote (it parses whatever each recv() returns). Exit status 0 on success, 1
with a message otherwise, 77 when python-can is not installed.
"""
import logging
import sys
import time

try:
    import can
except ImportError:
    sys.exit(77)


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def receive(bus, count, deadline_s=10.0):
    got = []
    end = time.monotonic() + deadline_s
    while len(got) < count and time.monotonic() < end:
        msg = bus.recv(timeout=0.2)
        if msg is not None:
            got.append(msg)
    return got


class WarningCount(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


def main():
    port = int(sys.argv[1])
    count = int(sys.argv[2])
    sender = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="vcan0")
    receiver = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="vcan0")
    # Let the server's raw-mode settle time pass before frames flow.
    time.sleep(0.2)
    expected = [
        (0x123, False, bytes([0x11, 0x22])),
        (0x1ABCDEF, True, bytes([0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04])),
        (0x7FF, False, b""),
    ]
    for i in range(count):
        expected.append((0x100 + i % 0x600, False, bytes([i & 0xFF, (i >> 8) & 0xFF])))
    for can_id, extended, data in expected:
        sender.send(can.Message(arbitration_id=can_id, is_extended_id=extended, data=data))
    got = receive(receiver, len(expected))
    if len(got) != len(expected):
        fail(f"received {len(got)} of {len(expected)} frames")
    for n, (msg, (can_id, _, data)) in enumerate(zip(got, expected)):
        if msg.arbitration_id != can_id or bytes(msg.data) != data:
            fail(f"frame {n}: got {msg.arbitration_id:X} {bytes(msg.data).hex()}, "
                 f"expected {can_id:X} {data.hex()}")
    echoed = sender.recv(timeout=0.3)
    if echoed is not None:
        fail(f"the sender got its own frame back: {echoed}")
    warnings = WarningCount()
    logging.getLogger("can").addHandler(warnings)
    paced = 100
    for i in range(paced):
        sender.send(can.Message(arbitration_id=0x200, is_extended_id=False, data=bytes([i])))
        msg = receiver.recv(timeout=5.0)
        if msg is None or msg.arbitration_id != 0x200 or bytes(msg.data) != bytes([i]):
            fail(f"paced frame {i}: got {msg}")
    if warnings.messages:
        fail(f"python-can warned {len(warnings.messages)} times on {paced} paced frames, "
             f"first: {warnings.messages[0]}")
    sender.shutdown()
    receiver.shutdown()
    print(f"ok {len(got)} frames")


main()
