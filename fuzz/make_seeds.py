#!/usr/bin/env python3
"""Writes the protocol fuzzer's seeds into FOLDER: one valid frame of every request of the
wire's definition (src/wire/protocol.json, with its examples) for each of the fuzzer's five
user states. The build runs it (the seeds follow the definition); the settings seeds and the
inputs fuzzing found are kept in corpus/.

Usage: make_seeds.py FOLDER"""
import json
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tools", "wiregen"))
from wiregen import example_bytes  # noqa: E402

if len(sys.argv) != 2:
    sys.exit(__doc__)
with open(os.path.join(here, "..", "src", "wire", "protocol.json"), encoding="utf-8") as f:
    schema = json.load(f)
folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
for state in range(5):
    for request in schema["requests"]:
        body = bytes([request["type"]]) + example_bytes(request)
        frame = struct.pack("<H", len(body)) + body
        with open(os.path.join(folder, "s%d_t%02d" % (state, request["type"])), "wb") as f:
            f.write(bytes([state, 7]) + frame)
