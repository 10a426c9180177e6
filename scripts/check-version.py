#!/usr/bin/env python3
"""Checks that the version is written once: in project(... VERSION) of CMakeLists.txt.

Usage: check-version.py <version> (the project's version, as CMake has it).
Everything else reads it (base/Version.h and the manual pages are made from templates, the
package takes CPack's variable). What cannot read it is checked here, and the check fails
(exit 1) when:
- the newest entry of packaging/changelog is not for the version (a new version needs one);
- an example that shows the number (the package file in README.md, the probe's output in
  bench/README.md) or the JavaScript module's package.json shows another one;
- the number is written anywhere else in the sources, tests, tools, packaging or documents."""
import os
import re
import sys

if len(sys.argv) != 2:
    sys.exit("usage: check-version.py <version>")
version = sys.argv[1]
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
problems = []


def read(relative):
    with open(os.path.join(root, relative), encoding="utf-8") as text:
        return text.read()


# The number, not a part of a longer one such as an address.
literal = re.compile(r"(?<![\d.])" + re.escape(version) + r"(?![\d.]*\d)")

# Where the number may stand, and what each place must show.
expected = {
    "CMakeLists.txt": (r"project\(\S+ VERSION ([\d.]+)", "the project's version"),
    "packaging/changelog": (r"\Avelmorserver \(([\d.]+)\)", "the newest changelog entry"),
    "README.md": (r"velmorserver_([\d.]+)_amd64\.deb", "the package file of the example"),
    "bench/README.md": (r"Version: ([\d.]+)", "the probe's output"),
    "web/velmor-client/package.json": (r'"version": "([\d.]+)"', "the JavaScript module's version"),
}
# The symbols file names the version each symbol first came in: it stays when the project's
# version moves on.
exempt = {"sdk/c/libvelmorclient0.symbols"}
for relative, (pattern, what) in expected.items():
    shown = re.findall(pattern, read(relative))
    if not shown:
        problems.append(f"{relative}: {what} is not found")
    for number in shown:
        if number != version:
            problems.append(f"{relative}: {what} shows {number}, the project is {version}")

folders = ["src", "client", "sdk", "web", "tools", "tests", "packaging", "docs", "bench", "scripts",
           "fuzz"]
files = ["README.md", "Makefile", "CMakePresets.json"]
for folder in folders:
    for directory, subfolders, names in os.walk(os.path.join(root, folder)):
        subfolders[:] = [name for name in subfolders if name != "corpus"]  # fuzz inputs
        files += [os.path.relpath(os.path.join(directory, name), root) for name in names]
for relative in sorted(files):
    if relative in expected or relative in exempt:
        continue
    try:
        text = read(relative)
    except UnicodeDecodeError:
        continue
    for number, line in enumerate(text.splitlines(), 1):
        if literal.search(line):
            problems.append(f"{relative}:{number}: writes the version; read it instead "
                            "(base/Version.h, PROJECT_VERSION)")

for problem in problems:
    print("version: " + problem, file=sys.stderr)
if not problems:
    print(f"version {version}: written once, the changelog and the examples agree")
sys.exit(1 if problems else 0)
