#!/usr/bin/env python3
"""libvelmorclient exports exactly the symbols of its Debian symbols file: a function added,
removed or leaked from the C++ inside fails here, naming it, before a package ships it.
Usage: symbols_test.py LIBRARY SYMBOLS_FILE. Run by ctest as ClientLibrary.ExportsItsSymbolsFile."""
import subprocess
import sys

library, symbols_file = sys.argv[1:3]
out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True,
                     text=True).stdout
exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
listed = set()
with open(symbols_file, encoding="utf-8") as f:
    for line in f:
        if line.startswith(" ") and not line.strip().startswith(("*", "|", "#")):
            listed.add(line.split()[0].split("@")[0])
problems = [f"exported but not in {symbols_file}: {name}" for name in sorted(exported - listed)]
problems += [f"in {symbols_file} but not exported: {name}" for name in sorted(listed - exported)]
problems += [f"exported outside velmor_*: {name}" for name in sorted(exported)
             if not name.startswith("velmor_")]
for problem in problems:
    print(problem, file=sys.stderr)
print(f"{len(exported)} symbols exported, {len(listed)} listed")
sys.exit(1 if problems else 0)
