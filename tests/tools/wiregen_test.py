#!/usr/bin/env python3
"""The wire's generators (wiregen.py, and cgen.py for the C library) refuse a faulty definition
with a message naming the fault (exit 1), before any code is written; the real definition passes. Run by ctest as WireGen.RefusesFaults."""
import copy
import json
import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
tools = os.path.join(here, "..", "..", "tools", "wiregen")
template = os.path.join(here, "..", "..", "sdk", "c", "velmor", "client.h.in")
# Each generator's command line after the schema and the folder, and a file it writes.
generators = [(os.path.join(tools, "wiregen.py"), [], os.path.join("wire", "Requests.h")),
              (os.path.join(tools, "cgen.py"), [template, "1.2.3"], os.path.join("velmor", "client.h"))]
with open(os.path.join(here, "..", "..", "src", "wire", "protocol.json"), encoding="utf-8") as f:
    schema = json.load(f)


def request(s, name):
    return next(r for r in s["requests"] if r["name"] == name)


def second_type(s):
    s["requests"][1]["type"] = 1


def gap_in_types(s):
    s["requests"].pop(5)


def unknown_kind(s):
    request(s, "Position")["fields"][0]["kind"] = "i24"


def no_description(s):
    s["messages"][0]["description"] = ""


def unknown_family(s):
    request(s, "Nop")["family"] = "misc"


def field_twice(s):
    fields = request(s, "Whisper")["fields"]
    fields[1]["name"] = fields[0]["name"]


def code_twice(s):
    s["messages"][1]["code"] = s["messages"][0]["code"]


def member_info_field_not_navigation(s):
    info = next(m for m in s["messages"] if m["name"] == "MemberInfo")
    info["fields"].append({"name": "chatOnly", "kind": "u8"})


# (fault, what the message names)
rows = [(second_type, "type 1 twice"), (gap_in_types, "not 1..n"), (unknown_kind, "unknown kind"),
        (no_description, "no description"), (unknown_family, "unknown family"),
        (field_twice, "twice"), (code_twice, "twice"), (None, "")]
# What only the C library's generator refuses.
c_rows = [(member_info_field_not_navigation, "not among its navigation fields")]
failures = 0
with tempfile.TemporaryDirectory() as folder:
    cases = [(g, fault, named) for g in generators for fault, named in rows]
    cases += [(generators[1], fault, named) for fault, named in c_rows]
    for (generator, more, written), fault, named in cases:
        s = copy.deepcopy(schema)
        if fault:
            fault(s)
        path = os.path.join(folder, "protocol.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(s, f)
        out = os.path.join(folder, "out")
        if os.path.exists(out):
            shutil.rmtree(out)
        run = subprocess.run([sys.executable, generator, path] + more[:1] + [out] + more[1:],
                             capture_output=True, text=True)
        label = os.path.basename(generator) + ": " + (fault.__name__ if fault else "the real definition")
        expected = 0 if fault is None else 1
        wrote = os.path.exists(os.path.join(out, written))
        if run.returncode != expected or named not in run.stderr or wrote == bool(fault):
            failures += 1
            print(f"{label}: status {run.returncode}, wrote {wrote}, said {run.stderr.strip()!r}")
print(f"{len(cases) - failures} of {len(cases)} rows as expected")
sys.exit(1 if failures else 0)
