#!/usr/bin/python3
"""An emulated SLCAN (Lawicel ASCII) serial CAN adapter, for the kernel tests.

vcan has no transmit queue, no controller and no errors; a serial adapter has all three. This
program opens a pseudo-terminal pair, gives the terminal side to the kernel's slcan driver (line
discipline N_SLCAN), which makes a CAN interface of it (can0 when it is the first one), and plays
the adapter on the other side:

- it answers the driver's set-up commands as a Lawicel device does (CR for done, BEL for refused);
- it records every frame the driver transmits (t, T, r, R lines), in order, one line each in
  cansend's syntax without the interface: 123#01A0, 12345678#, 123#R, 00000123#R3;
- it puts frames on the bus, that is writes t/T/r/R lines toward the driver, and they arrive
  on the interface; it reports controller states (s lines) and bus errors (e lines);
- it can stop reading the line (a stalled adapter) and resume;
- it can take the driver's frames at the pace of a real bus of a given bit rate.

Run it as root inside the kernel harness (scripts/uml_run.sh), in the background:

  slcan_adapter.py --record FILE --control FIFO [--log FILE] [--rate BITS_PER_S]

Once the driver owns the terminal it prints the interface's name on stdout, a line of its own;
bring the interface up after that (set a bit rate first with `ip link set NAME type can bitrate
500000` to have the driver send its C, Sn, O commands; without one it sends none). It runs until
SIGTERM, SIGINT or `quit`; the interface goes away with it.

Commands, one a line, written to the FIFO (it is created when missing):

  stall                 stop reading the serial line
  resume                read it again
  rate BITS_PER_S       take transmitted frames no faster than a bus of that rate carries them;
                        0: as fast as they come
  send FRAME...         put frames on the bus, in order (cansend's syntax: 123#01A0, 1ABCDEF0#,
                        123#R, 00000123#R3; data bytes may be separated by '.')
  state STATE [TX RX]   report a controller state: active, warning, passive or busoff, with the
                        transmit and receive error counters (0 to 999; by default 0 0 for
                        active, 96 0 for warning, 128 0 for passive, 256 0 for busoff). The line
                        is s<a|w|p|b><RX:3 digits><TX:3 digits>, the receive counter first.
  error CODES           report bus errors: e<count><codes>, codes from a b B c f o O s
                        (ack, bit0, bit1, crc, form, rx overrun, tx overrun, stuff)
  raw TEXT              write TEXT and a CR as they are
  quit                  end

The log (--log, default stderr) gets "driver: CMD -> CR|BEL|reply" for each set-up command the
driver sends, then "done: COMMAND" or "failed: COMMAND: reason" once a control command has been
carried out (a line written toward the driver is in the kernel's hands by then), so that a test
can wait for it.

A transmitted frame's time on the bus (for `rate`) is its bit count with the stuff bits the
controller would really insert: start of frame through the CRC (standard: 1 + 11 id + RTR + IDE +
r0 + 4 DLC; extended: 1 + 11 id + SRR + IDE + 18 id + RTR + r1 + r0 + 4 DLC; then 8 bits a data
byte and 15 CRC bits), stuffed after every five equal bits, then the unstuffed tail of CRC
delimiter, ACK slot, ACK delimiter, 7 bits end of frame and 3 bits intermission (13). A standard
frame with 8 data bytes thus takes 111 bits before stuffing (222 us at 500 kbit/s), an extended
one 131. Timers in the guest kernel wake the adapter late; it makes up for up to PACE_SLACK
(5 ms) of such lateness, so the pace holds on average, and after an idle bus at most 5 ms worth
of frames are taken early.

The driver sends its next frame only after the adapter has read the previous one from the line,
so pacing the reads paces the interface, and stalling stops it: its queue fills and writers meet
ENOBUFS as with a real adapter on a busy bus.
"""

import argparse
import errno
import fcntl
import os
import select
import signal
import stat
import struct
import sys
import termios
import time
import tty

N_SLCAN = 17
SIOCGIFNAME = 0x8910

CR = b"\r"
BEL = b"\a"
FLUSH_AFTER = 0.02  # seconds a recorded frame may wait in the adapter's buffers
PACE_SLACK = 0.005  # seconds of lateness a paced frame may make up for

# Error counters reported with each state when the command gives none: what a controller that
# keeps failing to transmit has when it reaches that state.
DEFAULT_COUNTERS = {"active": (0, 0), "warning": (96, 0), "passive": (128, 0), "busoff": (256, 0)}
STATE_LETTERS = {"active": "a", "warning": "w", "passive": "p", "busoff": "b"}
ERROR_CODES = set("abBcfoOs")
HEX = set("0123456789abcdefABCDEF")


class Refused(Exception):
    """A control command that cannot be carried out; the reason goes to the log."""


def frame_bits(extended, remote, can_id, data, dlc):
    """Bits a classic CAN frame occupies on the bus, stuff bits and intermission included."""
    bits = [0]  # start of frame
    if extended:
        bits += [(can_id >> i) & 1 for i in range(28, 17, -1)]  # base identifier
        bits += [1, 1]  # SRR, IDE
        bits += [(can_id >> i) & 1 for i in range(17, -1, -1)]  # identifier extension
        bits += [1 if remote else 0, 0, 0]  # RTR, r1, r0
    else:
        bits += [(can_id >> i) & 1 for i in range(10, -1, -1)]
        bits += [1 if remote else 0, 0, 0]  # RTR, IDE, r0
    bits += [(dlc >> i) & 1 for i in range(3, -1, -1)]
    for byte in data:
        bits += [(byte >> i) & 1 for i in range(7, -1, -1)]
    crc = 0
    for bit in bits:
        feedback = bit ^ ((crc >> 14) & 1)
        crc = (crc << 1) & 0x7FFF
        if feedback:
            crc ^= 0x4599
    bits += [(crc >> i) & 1 for i in range(14, -1, -1)]
    stuffed, run, last = 0, 0, None
    for bit in bits:
        if bit == last:
            run += 1
        else:
            last, run = bit, 1
        if run == 5:  # a complementary bit follows and starts the next run
            stuffed += 1
            last, run = 1 - bit, 1
    return len(bits) + stuffed + 13


def parse_frame(text):
    """cansend's syntax -> (extended, remote, id, data, dlc)."""
    can_id, sep, rest = text.partition("#")
    if not sep or len(can_id) not in (3, 8) or not set(can_id) <= HEX:
        raise Refused(f"not a frame: {text}")
    value = int(can_id, 16)
    extended = len(can_id) == 8
    if value > (0x1FFFFFFF if extended else 0x7FF):
        raise Refused(f"identifier out of range: {can_id}")
    if rest[:1] in ("R", "r"):
        dlc = rest[1:] or "0"
        if len(dlc) != 1 or dlc not in "012345678":
            raise Refused(f"not a remote frame length: {text}")
        return extended, True, value, b"", int(dlc)
    digits = rest.replace(".", "")
    if len(digits) % 2 or len(digits) > 16 or not set(digits) <= HEX:
        raise Refused(f"not 0 to 8 data bytes: {text}")
    data = bytes.fromhex(digits)
    return extended, False, value, data, len(data)


def encode_frame(extended, remote, can_id, data, dlc):
    """A frame as the adapter writes it toward the driver: t/T/r/R line with CR."""
    kind = ("R" if remote else "T") if extended else ("r" if remote else "t")
    ident = f"{can_id:08X}" if extended else f"{can_id:03X}"
    return f"{kind}{ident}{dlc}{data.hex().upper()}".encode() + CR


def decode_frame(line):
    """A t/T/r/R line from the driver -> (record text, (extended, remote, id, data, dlc)), or
    None when it is not a well-formed frame."""
    kind = line[:1]
    extended = kind in ("T", "R")
    remote = kind in ("r", "R")
    id_len = 8 if extended else 3
    ident, dlc, digits = line[1:1 + id_len], line[1 + id_len:2 + id_len], line[2 + id_len:]
    if len(ident) != id_len or not set(ident) <= HEX or len(dlc) != 1 or dlc not in "012345678":
        return None
    can_id, dlc = int(ident, 16), int(dlc)
    if can_id > (0x1FFFFFFF if extended else 0x7FF):
        return None
    if remote:
        if digits:
            return None
        return f"{ident.upper()}#R" + (str(dlc) if dlc else ""), (extended, True, can_id, b"", dlc)
    if len(digits) != 2 * dlc or not set(digits) <= HEX:
        return None
    data = bytes.fromhex(digits)
    return f"{ident.upper()}#{digits.upper()}", (extended, False, can_id, data, dlc)


class Adapter:
    def __init__(self, record, log, rate):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        fcntl.ioctl(self.slave, termios.TIOCSETD, struct.pack("i", N_SLCAN))
        name = fcntl.ioctl(self.slave, SIOCGIFNAME, bytes(16))
        self.name = name.split(b"\0", 1)[0].decode()
        self.record = record
        self.log = log
        self.rate = rate
        self.stalled = False
        self.bus_free_at = 0.0  # monotonic time the last frame taken leaves the bus
        self.channel_open = True  # as an adapter that opens its channel by itself at power-up
        self.listen_only = False  # opened with L: it transmits nothing
        self.pending = b""  # a line from the driver not complete yet
        # Recorded frames and the adapter's z/Z answers to them wait here and go out together
        # (flush) FLUSH_AFTER after the first of them, and before a control command is done:
        # a write per frame costs more than the frame itself in the guest kernel.
        self.answers = b""
        self.unflushed_since = None

    def say(self, text):
        self.log.write(text + "\n")
        self.log.flush()

    def write_line(self, line):
        os.write(self.master, line)

    # The driver's side of the line.

    def want_line(self, now):
        """Whether the adapter reads the line now, and how long until it will (None: not timed)."""
        if self.stalled:
            return False, None
        if self.rate and now < self.bus_free_at:
            return False, self.bus_free_at - now
        return True, None

    def flush_due(self, now):
        """Seconds until the recorded frames and answers must go out (None: nothing waits)."""
        if self.unflushed_since is None:
            return None
        return max(0.0, self.unflushed_since + FLUSH_AFTER - now)

    def flush(self):
        if self.unflushed_since is None:
            return
        self.record.flush()
        if self.answers:
            self.write_line(self.answers)
            self.answers = b""
        self.unflushed_since = None

    def read_line(self):
        try:
            chunk = os.read(self.master, 4096)
        except OSError as e:
            if e.errno == errno.EIO:  # the terminal side is gone
                raise SystemExit(0) from None
            raise
        self.pending += chunk
        while True:
            end = min((i for i in (self.pending.find(CR), self.pending.find(BEL)) if i >= 0),
                      default=-1)
            if end < 0:
                break
            line, self.pending = self.pending[:end], self.pending[end + 1:]
            if line:
                self.from_driver(line.decode("ascii", "replace"))

    def from_driver(self, line):
        kind = line[0]
        if kind in "tTrR":
            decoded = decode_frame(line)
            if decoded is None or not self.channel_open or self.listen_only:
                self.flush()
                self.write_line(BEL)
                self.say(f"driver: {line} -> BEL")
                return
            text, frame = decoded
            now = time.monotonic()
            if self.rate:
                # The guest's timers wake the adapter late; a frame that was waiting starts
                # when the previous one ended, within PACE_SLACK, so the pace holds on average.
                start = max(self.bus_free_at, now - PACE_SLACK)
                self.bus_free_at = start + frame_bits(*frame) / self.rate
            self.record.write(text + "\n")
            self.answers += b"Z\r" if frame[0] else b"z\r"  # extended or standard
            if self.unflushed_since is None:
                self.unflushed_since = now
            return
        self.flush()  # answers go out in the order of the commands
        answer = self.command(line)
        self.write_line(answer)
        shown = {CR: "CR", BEL: "BEL"}.get(answer, answer.decode().rstrip("\r"))
        self.say(f"driver: {line} -> {shown}")

    def command(self, line):
        """A Lawicel set-up or query command -> the adapter's answer."""
        kind, arg = line[0], line[1:]
        if kind == "S":
            ok = not self.channel_open and len(arg) == 1 and arg in "012345678"
            return CR if ok else BEL
        if kind in "sMmXWZQU":  # bit timing registers, acceptance filter, modes: accepted
            return BEL if self.channel_open else CR
        if kind in "OL":
            if self.channel_open or arg:
                return BEL
            self.channel_open = True
            self.listen_only = kind == "L"
            return CR
        if kind == "C":
            if not self.channel_open or arg:
                return BEL
            self.channel_open = False
            return CR
        if kind == "F":  # status flags: none set
            return b"F00\r" if self.channel_open else BEL
        if kind == "V":
            return b"V1013\r"
        if kind == "N":
            return b"NA123\r"
        return BEL

    # The test's side.

    def control(self, line):
        words = line.split()
        if not words:
            return
        # What was taken from the line before the command is in the record when it is done.
        self.flush()
        verb, args = words[0], words[1:]
        try:
            if verb == "stall" and not args:
                self.stalled = True
            elif verb == "resume" and not args:
                self.stalled = False
            elif verb == "rate" and len(args) == 1:
                if not args[0].isdigit():
                    raise Refused(f"not a bit rate: {args[0]}")
                self.rate = int(args[0])
                self.bus_free_at = 0.0
            elif verb == "send" and args:
                if not self.channel_open:
                    raise Refused("the channel is closed")
                lines = [encode_frame(*parse_frame(a)) for a in args]
                self.write_line(b"".join(lines))
            elif verb == "state" and len(args) in (1, 3):
                if args[0] not in STATE_LETTERS:
                    raise Refused(f"not a state: {args[0]}")
                tx, rx = DEFAULT_COUNTERS[args[0]]
                if len(args) == 3:
                    if not all(a.isdigit() and int(a) <= 999 for a in args[1:]):
                        raise Refused("error counters are 0 to 999")
                    tx, rx = int(args[1]), int(args[2])
                self.write_line(f"s{STATE_LETTERS[args[0]]}{rx:03d}{tx:03d}".encode() + CR)
            elif verb == "error" and len(args) == 1:
                codes = args[0]
                if not 1 <= len(codes) <= 8 or not set(codes) <= ERROR_CODES:
                    raise Refused(f"error codes are 1 to 8 of {''.join(sorted(ERROR_CODES))}")
                self.write_line(f"e{len(codes)}{codes}".encode() + CR)
            elif verb == "raw" and len(args) == 1:
                self.write_line(args[0].encode() + CR)
            elif verb == "quit" and not args:
                self.say(f"done: {line}")
                raise SystemExit(0)
            else:
                raise Refused("unknown command or wrong arguments")
        except Refused as e:
            self.say(f"failed: {line}: {e}")
            return
        self.say(f"done: {line}")


def open_control(path):
    if not os.path.exists(path):
        os.mkfifo(path, 0o600)
    elif not stat.S_ISFIFO(os.stat(path).st_mode):
        sys.exit(f"slcan_adapter: {path} is not a FIFO")
    # Read and write: the FIFO never reads as closed when a writer goes away.
    return os.open(path, os.O_RDWR | os.O_NONBLOCK)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--record", required=True, help="file the transmitted frames go to")
    parser.add_argument("--control", required=True, help="FIFO the commands come from")
    parser.add_argument("--log", help="file for the driver's commands and the commands done")
    parser.add_argument("--rate", type=int, default=0, help="bus rate in bit/s (0: unpaced)")
    options = parser.parse_args()

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    control = open_control(options.control)
    log = open(options.log, "a", encoding="ascii") if options.log else sys.stderr
    record = open(options.record, "a", encoding="ascii")
    adapter = Adapter(record, log, options.rate)
    print(adapter.name, flush=True)

    try:
        serve(adapter, control)
    finally:
        try:
            adapter.flush()
        except OSError:
            pass


def serve(adapter, control):
    pending_control = b""
    while True:
        now = time.monotonic()
        read_line, timeout = adapter.want_line(now)
        flush_in = adapter.flush_due(now)
        if flush_in == 0.0:
            adapter.flush()
        elif flush_in is not None:
            timeout = flush_in if timeout is None else min(timeout, flush_in)
        readers = [control] + ([adapter.master] if read_line else [])
        ready, _, _ = select.select(readers, [], [], timeout)
        if control in ready:
            chunk = os.read(control, 4096)
            pending_control += chunk
            *lines, pending_control = pending_control.split(b"\n")
            for line in lines:
                adapter.control(line.decode("ascii", "replace").strip())
        if adapter.master in ready:
            adapter.read_line()


if __name__ == "__main__":
    main()
