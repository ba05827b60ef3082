#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: a few valid records
per control code, each behind the harness's 8-byte header (see
control_target.cpp). Run it again after changing the header's layout."""
import os
import struct
import sys

KERNEL, INTERNAL, TO_CHILD, REAL = 1, 2, 4, 8
CHILDREN, LINKED, EVENT, QUEUED, UNPLUGGED, TRACE = 1, 2, 4, 8, 16, 32


def header(sender, state, body, out_len=0, children=1, records=0, record_size=4):
    counts = ((children - 1) & 3) | (records << 2)
    return struct.pack("<BBBBHH", sender, state, counts, record_size, len(body), out_len) + body


def plug_in(serial, ids, size=None, device_type=0x2A):
    multi = "".join(i + "\0" for i in ids) + "\0"
    raw = multi.encode("utf-16-le")
    return struct.pack("<III", size if size is not None else 12 + len(raw), device_type, serial) + raw


def unplug(serial):
    return struct.pack("<IIII", 16, 0, serial, 0)


def message(msg_id, payload, tag=0x20, length=None):
    return struct.pack("<BBHI", tag, msg_id, 0, len(payload) if length is None else length) + payload


EXCHANGE = struct.pack("<QQ", 0x5A5A5A5A5A5A5A5A, 0)
SEEDS = {
    "plug_in": {
        "one": header(0, 0, plug_in(1, ["VELMORA\\BTNET"])),
        "two_ids": header(0, CHILDREN, plug_in(7, ["VELMORA\\NET", "VELMORA\\BTNET"]), children=2),
        "duplicate_kernel": header(KERNEL | INTERNAL, CHILDREN, plug_in(1, ["VELMORA\\BTNET"])),
        "replug_unplugged": header(0, CHILDREN | UNPLUGGED, plug_in(1, ["VELMORA\\BTNET"])),
        "smallest": header(0, 0, plug_in(2, [""])),
        "traced": header(0, TRACE | CHILDREN, plug_in(3, ["VELMORA\\NET"])),
    },
    "plug_out": {
        "one": header(0, CHILDREN, unplug(1), children=2),
        "all": header(0, CHILDREN, unplug(0), children=4),
        "absent_kernel": header(KERNEL | INTERNAL, CHILDREN, unplug(9)),
        "twice": header(0, CHILDREN | UNPLUGGED, unplug(1)),
    },
    "exchange_callback": {
        "child_stack": header(KERNEL | INTERNAL | TO_CHILD | REAL, CHILDREN, EXCHANGE, out_len=16),
        "replace": header(KERNEL | INTERNAL | REAL, CHILDREN | LINKED | QUEUED, EXCHANGE, records=3),
        "null": header(KERNEL, 0, EXCHANGE),
        "user": header(0, CHILDREN, EXCHANGE, out_len=16),
    },
    "pass_event": {
        "user": header(REAL, 0, struct.pack("<i", 0)),
        "user_queued": header(REAL, LINKED | QUEUED, struct.pack("<i", 0), records=5),
        "kernel": header(KERNEL | REAL, EVENT, struct.pack("<i", 0)),
        "bad_handle": header(0, EVENT | LINKED | QUEUED, struct.pack("<i", 0x1234), records=2),
        "kernel_handle_from_user": header(0, 0, struct.pack("<i", -0x7FFFFFFC)),
    },
    "delete_event": {
        "user": header(0, EVENT, b""),
        "queued": header(0, EVENT | LINKED | QUEUED, b"", records=20),
        "kernel": header(KERNEL | INTERNAL, EVENT | CHILDREN, b""),
    },
    "get_msg": {
        "one": header(0, EVENT | LINKED | QUEUED, b"", out_len=64, records=1),
        "empty": header(0, EVENT, b"", out_len=12),
        "too_small": header(0, EVENT | LINKED | QUEUED, b"", out_len=14, records=2, record_size=8),
        "drain_past_mark": header(0, EVENT | LINKED | QUEUED, b"", out_len=4096, records=20, record_size=64),
        "no_event": header(KERNEL, LINKED | QUEUED, b"", out_len=64, records=1),
        "traced": header(0, TRACE | EVENT | LINKED | QUEUED, b"", out_len=20, records=2, record_size=12),
    },
    "put_msg": {
        "pass_through": header(0, CHILDREN | LINKED, message(1, b"ping")),
        "ignored_id": header(0, LINKED, message(21, b"data")),
        "too_long": header(0, LINKED, message(2, b"ab", length=3)),
        "kernel": header(KERNEL | INTERNAL, LINKED, message(9, b"")),
        "unlinked": header(0, 0, message(3, b"x")),
        "traced": header(0, TRACE | LINKED, message(30, b"zz")),
    },
}


def steps(*ops):
    return bytes(b for op in ops for b in op)


PLUG, UNPLUG, ENUMERATE, LINK, UNREGISTER, PUSH, PASS, DELETE, FETCH, PUT = range(10)
DISABLE, ENABLE, SURPRISE, POWER, REBALANCE, FAULT = range(10, 16)
SEEDS["stateful"] = {
    "session": steps((PLUG, 0, 0), (ENUMERATE, 0, 0), (LINK, 0, 2), (PASS, 0, 0), (PUSH, 0, 0x24),
                     (FETCH, 0, 64), (FETCH, 0, 12), (PUT, 1, 4), (UNREGISTER, 0, 0), (UNPLUG, 0, 0),
                     (ENUMERATE, 0, 0)),
    "pnp": steps((PLUG, 0, 0), (PLUG, 1, 1), (ENUMERATE, 0, 0), (DISABLE, 0, 0), (ENABLE, 0, 0),
                 (SURPRISE, 1, 1), (POWER, 0, 0), (REBALANCE, 0, 0), (UNPLUG, 0, 0)),
    "faults": steps((FAULT, 0, 1), (PLUG, 0, 0), (FAULT, 1, 0), (PLUG, 1, 0), (ENUMERATE, 0, 0),
                    (FAULT, 5, 0), (POWER, 0, 1), (UNPLUG, 2, 0), (ENUMERATE, 0, 0)),
    "past_high_mark": steps((LINK, 0, 0), (PASS, 0, 0), (PUSH, 0, 0xF8), (PUSH, 0, 0x38), (FETCH, 0, 32),
                            (DELETE, 0, 0), (PUSH, 0, 0x04), (PASS, 1, 0), (FETCH, 0, 40)),
}

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
for target, seeds in SEEDS.items():
    folder = os.path.join(root, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
sys.exit(0)
