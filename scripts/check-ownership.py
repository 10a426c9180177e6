#!/usr/bin/env python3
"""Checks that the classes whose state has owners keep it private, and that no request
handler grows long.

- Room and User declare no public data members: what others may read is a const accessor,
  what may happen to them is a verb. Counted per class; any count above zero fails.
- No request handler (handle* in src/protocol) is longer than MAX_HANDLER_LINES lines: each
  reads the request, calls the verb and replies; the work lives in named steps.
- Nothing in src/protocol reaches into a room's pending relay work.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
GUARDED = {"src/rooms/Room.h": "Room", "src/users/User.h": "User"}
MAX_HANDLER_LINES = 32


def class_body(text, name):
    match = re.search(r"^class %s\b[^;{]*\{" % name, text, re.M)
    if not match:
        return None
    depth, start = 1, match.end()
    for i in range(start, len(text)):
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        if depth == 0:
            return text[start:i]
    return None


def public_data_members(body):
    """Declarations at the class's own level, in its public sections, that are data."""
    found, access, depth, statement = [], "private", 0, ""
    for raw in body.split("\n"):
        line = re.sub(r"//.*", "", raw).strip()
        if depth == 0 and re.match(r"^(public|private|protected):$", line):
            access = line[:-1]
            continue
        opened, closed = line.count("{"), line.count("}")
        if depth == 0 and access == "public" and line:
            statement += " " + line
            if line.endswith(";") or line.endswith("{") or line.endswith("}"):
                s = statement.strip()
                statement = ""
                is_data = (s.endswith(";") and "(" not in s and "{" not in s and
                           not re.match(r"^(static|using|friend|typedef|enum|struct|class)\b", s))
                if is_data:
                    found.append(s)
        depth += opened - closed
    return found


def long_handlers():
    found = []
    for path in sorted((ROOT / "src/protocol").glob("*.cpp")):
        lines = path.read_text().split("\n")
        for i, line in enumerate(lines):
            match = re.match(r"^bool (handle\w+)\(.*\{$", line)
            if not match:
                continue
            end = next(j for j in range(i, len(lines)) if lines[j] == "}")
            if end - i + 1 > MAX_HANDLER_LINES:
                found.append("%s: %s is %d lines" % (path.relative_to(ROOT), match.group(1),
                                                     end - i + 1))
    return found


def main():
    faults = []
    for path, name in GUARDED.items():
        body = class_body((ROOT / path).read_text(), name)
        if body is None:
            faults.append("%s: class %s not found" % (path, name))
            continue
        members = public_data_members(body)
        print("%s: %d public data members" % (name, len(members)))
        faults += ["%s: public data member of %s: %s" % (path, name, m) for m in members]
    faults += long_handlers()
    for path in sorted((ROOT / "src/protocol").glob("*")):
        for n, line in enumerate(path.read_text().split("\n"), 1):
            if re.search(r"\brelay\.", line):
                faults.append("%s:%d: reaches into relay state" % (path.relative_to(ROOT), n))
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
