#!/usr/bin/env python3
"""Writes the seed corpus: one valid frame per request type (from the wire's definition,
src/wire/protocol.json), and a few settings files."""
import json
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))


# One valid message of every request: the examples of the wire's definition.
sys.path.insert(0, os.path.join(here, "..", "tools", "wiregen"))
from wiregen import example_bytes  # noqa: E402

with open(os.path.join(here, "..", "src", "wire", "protocol.json"), encoding="utf-8") as f:
    schema = json.load(f)
messages = {r["type"]: example_bytes(r) for r in schema["requests"]}
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
