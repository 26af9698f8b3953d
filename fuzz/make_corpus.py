#!/usr/bin/env python3
"""Writes the seed corpora of the bus fuzzers into fuzz/corpus/<fuzzer>/.

Each seed is a short, mostly well-formed session in the fuzzer's own input format (see the
comment at the top of each fuzzer), so that fuzzing starts from messages the other end
accepts. Run it again after changing a format; the fuzzers also run without it."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

REGISTER, UNREGISTER, POST, SETVAR, GETVAR, SETSTR, GETSTR, QUERY = 1, 2, 3, 4, 5, 6, 7, 8
DELIVER, REPLY, INFO, ERROR, ANSWER = 16, 17, 18, 19, 20
MONITOR_POST, BRIDGE_DELIVERY = 0x20000412, 0x10000412
RECORD = bytes(range(16))


def wire(mtype, a=0, b=0, payload=b""):
    return struct.pack("<HBBIII", 0x6D70, 1, mtype, a, b, len(payload)) + payload


# ---- hub_protocol_fuzz: [setup] then records ----

def msg(slot, mtype, a=0, b=0, payload=b""):
    return bytes([1 | slot << 2, mtype]) + struct.pack("<IIH", a, b, len(payload)) + payload


def raw(slot, packet):
    return bytes([0 | slot << 2]) + struct.pack("<H", len(packet)) + packet


def host(code, block):
    return bytes([2]) + struct.pack("<IH", code, len(block)) + block


def event(slot, which):  # 0 oversized, 1 empty packet, 2 hang up
    return bytes([3 | slot << 2, which])


HUB_SEEDS = {
    # Two clients: one posts frames to the other, both use variables and strings.
    "routing_and_names": bytes([6]) + b"".join([
        msg(0, REGISTER, 0x400, 0, b"zelk_test"),
        msg(1, REGISTER, 0x400, 0, b"zelk_dump"),
        msg(0, POST, 0x10000412, 0, RECORD),
        msg(1, POST, 0x412, 0, RECORD * 2),
        msg(0, SETVAR, 1, 0xFFFFFFFB, b"speed"),
        msg(0, GETVAR, 2, 0, b"speed"),
        msg(1, SETSTR, 3, 4, b"portcan0"),
        msg(1, GETSTR, 4, 0, b"port"),
        msg(0, GETSTR, 5, 0, b"none"),
        msg(0, QUERY, 6, 0, b"zelk_tran.status"),
        msg(1, UNREGISTER),
    ]),
    # The companion's hub: a monitor's frames go to the host, its echo to every client.
    "bridge_host": bytes([1]) + b"".join([
        msg(0, REGISTER, 0x400, 0, b"zelk_test"),
        msg(1, REGISTER, 0xFFFF, 0, b"zelk_dump"),
        msg(0, POST, MONITOR_POST, 0, RECORD),
        host(BRIDGE_DELIVERY, RECORD),
        host(0x412, RECORD * 3),
    ]),
    # A one-block queue that overflows for a reader, then a re-registration.
    "small_queue": bytes([0]) + b"".join([
        msg(0, REGISTER, 0x100, 0, b"slow"),
        msg(1, REGISTER, 0x100, 0, b"fast"),
        msg(1, POST, 0x100, 0, RECORD),
        msg(1, POST, 0x100, 0, RECORD),
        msg(1, POST, 0x100, 0, RECORD),
        msg(0, UNREGISTER),
        msg(0, REGISTER, 0x200, 0, b""),
        host(0x300, b""),
    ]),
    # Messages a hub refuses, each closing its connection: a post before registering, a
    # second registration, a hub-only type, a bad length field, too large, too short.
    "refusals": bytes([8]) + b"".join([
        msg(0, POST, 0x400, 0, RECORD),
        msg(0, REGISTER, 1, 0, b"a"),
        msg(0, REGISTER, 1, 0, b"b"),
        msg(1, REPLY, 1, 1),
        raw(0, wire(GETVAR, 1, 0, b"x")[:-1] + b"xy"),
        event(1, 0),
        raw(0, b"pm"),
        msg(1, SETSTR, 9, 70, b"n" * 70),
    ]),
    # Connections that end: an empty packet, a hang-up after requests, then fresh ones.
    "hang_ups": bytes([4]) + b"".join([
        msg(0, REGISTER, 0x400, 0, b"one"),
        event(0, 1),
        msg(0, REGISTER, 0x400, 0, b"two"),
        msg(1, SETVAR, 1, 7, b"v"),
        event(1, 2),
        msg(1, GETVAR, 2, 0, b"v"),
        msg(0, UNREGISTER),
    ]),
}

# ---- pelmo_client_fuzz: see that fuzzer's comment ----

def packet(p):
    return bytes([0]) + struct.pack("<H", len(p)) + p


def shaped(mtype, a=0, b=0, payload=b""):
    return bytes([1, mtype]) + struct.pack("<IIH", a, b, len(payload)) + payload


def answer(b, payload=b""):
    return bytes([2]) + struct.pack("<IH", b, len(payload)) + payload


GETSTR_CALL, GETVAR_CALL, SETVAR_CALL, SETSTR_CALL = 1, 2, 3, 4
BUFFER_5 = 2 << 3

CLIENT_SEEDS = {
    "deliveries": bytes([0]) + b"".join([
        shaped(INFO, 2, 0),
        shaped(DELIVER, BRIDGE_DELIVERY, 0, RECORD),
        shaped(DELIVER, 0x412, 0, RECORD * 4),
        shaped(DELIVER, 0x400, 0, b""),
        shaped(INFO, 3, 5),
    ]),
    # A string longer than the caller's buffer.
    "get_string": bytes([GETSTR_CALL | BUFFER_5]) + b"".join([
        shaped(INFO, 1, 0),
        answer(1, b"can0 at 500k"),
    ]),
    "get_variable": bytes([GETVAR_CALL]) + b"".join([
        shaped(INFO, 1, 0),
        answer(1, struct.pack("<i", -5)),
    ]),
    "set_not_stored": bytes([SETVAR_CALL]) + b"".join([
        answer(0),
        shaped(DELIVER, 0x412, 0, RECORD),
    ]),
    "refused": bytes([SETSTR_CALL]) + b"".join([
        shaped(INFO, 1, 0),
        shaped(ERROR, 4, 0, b"peer of another user"),
    ]),
    # A client's message (ignored), then one cut short: the connection is dropped.
    "garbage": bytes([0]) + b"".join([
        shaped(DELIVER, 0x412, 0, RECORD),
        packet(wire(REGISTER, 0x400, 0, b"hub?")),
        packet(b"\x70\x6d\x01\x10"),
        shaped(DELIVER, 0x412, 0, RECORD),
    ]),
}


def write(fuzzer, seeds):
    folder = os.path.join(HERE, "corpus", fuzzer)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


write("hub_protocol_fuzz", HUB_SEEDS)
write("pelmo_client_fuzz", CLIENT_SEEDS)
