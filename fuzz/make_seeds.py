#!/usr/bin/env python3
"""Writes the seed corpus: one valid frame per client message type, and a few settings files."""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))


def s(text):
    data = text.encode()
    return struct.pack("<H", len(data)) + data


h16 = bytes(range(16))
messages = {
    1: b"\x01" + struct.pack("<IIHIIBHH", 1, 2, 3, 4, 5, 6, 7, 8) + b"\0\0\0\0" + s("Seed") + s("coat") + s(""),
    2: struct.pack("<HHBBH", 10, 20, 0, 0, 90),
    3: s("crate") + struct.pack("<HHB", 1, 2, 3),
    4: struct.pack("<IBHH", 1, 2, 3, 4) + s("coat"),
    5: s("local line"), 6: b"", 7: s("Member1") + s("psst"), 8: s("room line"), 9: b"",
    10: s("Member2") + s("private"), 11: s("Den") + s("a") + s("b") + b"\x01", 12: b"",
    13: s("Hall") + s("pw"), 14: s("Hall"), 15: s("Field") + s(""), 16: h16, 17: h16 + h16, 18: b"",
    19: s("Member1") + s("reason"), 20: s("Member1") + s("reason") + b"\xff\xff\xff\xff",
    21: s("Member1") + s("reason"), 22: s("Member1") + s("reason") + b"\0\0\0\0", 23: b"", 24: b"",
    25: s("Member1"), 26: s("Member1"), 27: s("lead"), 28: s("todo") + b"\x01\x01",
    29: s("notes") + struct.pack("<I", 0), 30: struct.pack("<I", 5) + s("notes") + s("hello"),
    31: s("notes") + b"\x01\x00", 32: b"", 33: s("notes"), 34: b"", 35: struct.pack("<H", 0),
    36: s("new") + s("newlead"), 37: s("chunk"), 38: struct.pack("<I", 8000),
    39: struct.pack("<HHB", 5, 6, 7), 40: b"", 41: s("root"),
}
protocol = os.path.join(here, "corpus", "protocol")
os.makedirs(protocol, exist_ok=True)
for state in range(5):
    for kind, payload in messages.items():
        body = bytes([kind]) + payload
        frame = struct.pack("<H", len(body)) + body
        with open(os.path.join(protocol, "s%d_t%02d" % (state, kind)), "wb") as f:
            f.write(bytes([state, 7]) + frame)
settings = os.path.join(here, "corpus", "settings")
os.makedirs(settings, exist_ok=True)
seeds = {
    "full": '{"serverport": 7175, "useupnp": false, "servername": "X", "rooms": [{"type": "chat", '
            '"name": "A", "password": "", "leaderpassword": "l", "maxusers": 5, "loadatstartup": true}]}',
    "empty": "{}", "numbers": '{"roomidletime": -1, "chatroommaxusers": 1e3, "serverport": 70000}',
}
for name, text in seeds.items():
    with open(os.path.join(settings, name), "w") as f:
        f.write(text)
print("seeds written", file=sys.stderr)
