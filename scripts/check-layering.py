#!/usr/bin/env python3
"""Checks that the folders of src/ include one another in one direction only.

Reads every #include "folder/..." of src/ and fails (exit 1) when the folders' include
graph has a cycle, or when a folder includes one that stands above it in the order below.
Prints the graph either way. Fails too when a handler of src/protocol reads a field by hand
(`reader.`): every request is read whole by its one reader, made from src/wire/protocol.json,
and when a file of the C client library (sdk/) includes anything but client/ and wire/."""
import os
import re
import sys

# From the bottom up: a folder may include only folders before it (and itself).
ORDER = ["base", "net", "settings", "model", "wire", "db", "users", "rooms", "core",
         "protocol", "server", "upnp", "metrics", "app"]

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
include = re.compile(r'^\s*#include\s+"([a-z]+)/')
edges = {}
for folder in sorted(os.listdir(root)):
    path = os.path.join(root, folder)
    if not os.path.isdir(path):
        continue
    targets = edges.setdefault(folder, set())
    for name in os.listdir(path):
        with open(os.path.join(path, name), encoding="utf-8") as source:
            for line in source:
                match = include.match(line)
                if match and match.group(1) != folder:
                    targets.add(match.group(1))

problems = []
by_hand = re.compile(r"\breader\.")
protocol = os.path.join(root, "protocol")
for name in sorted(os.listdir(protocol)):
    with open(os.path.join(protocol, name), encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            if by_hand.search(line):
                problems.append(f"src/protocol/{name}:{number} reads a request's field by hand")
# The C client library (sdk/) is built on the client codec and the wire's catalogue alone.
sdk_allowed = {"client", "wire", "velmor", "sdk"}
sdk_root = os.path.join(root, "..", "sdk")
for directory, _, names in os.walk(sdk_root):
    for name in sorted(names):
        path = os.path.join(directory, name)
        if not name.endswith((".c", ".cpp", ".h", ".in")):
            continue
        with open(path, encoding="utf-8") as source:
            for number, line in enumerate(source, 1):
                match = include.match(line)
                if match and match.group(1) not in sdk_allowed:
                    relative = os.path.relpath(path, os.path.join(root, ".."))
                    problems.append(f"{relative}:{number} includes {match.group(1)}/: the C "
                                    "library sees only client/ and wire/")
unknown = sorted(set(edges) - set(ORDER))
if unknown:
    problems.append("folders missing from the order: " + ", ".join(unknown))
for folder, targets in sorted(edges.items()):
    print(f"{folder}: {' '.join(sorted(targets)) or '-'}")
    if folder not in ORDER:
        continue
    for target in sorted(targets):
        if target in ORDER and ORDER.index(target) > ORDER.index(folder):
            problems.append(f"{folder} includes {target}, which stands above it")

# A cycle is also a problem when the order above were edited wrongly.
state = {}
def visit(node, trail):
    state[node] = "open"
    for target in sorted(edges.get(node, ())):
        if state.get(target) == "open":
            problems.append("cycle: " + " -> ".join(trail + [node, target]))
        elif target not in state:
            visit(target, trail + [node])
    state[node] = "done"
for node in sorted(edges):
    if node not in state:
        visit(node, [])

for problem in problems:
    print("layering: " + problem, file=sys.stderr)
sys.exit(1 if problems else 0)
