#!/usr/bin/env python3
"""Writes the C client library's wire part from the wire's one definition, src/wire/protocol.json.

Usage: cgen.py SCHEMA TEMPLATE OUTDIR VERSION

Under OUTDIR it writes:
  velmor/client.h        the public C header: TEMPLATE (sdk/c/velmor/client.h.in) with the
                         version put in and, at its `@GENERATED@` line, the event types (one per
                         server message), the entry and event structs and a function per request
  sdk/GeneratedGlue.inc  the C++ behind them: each request function over the client codec's
                         writer, and the filling of an event from a decoded message
The schema is checked first, as wiregen.py checks it (and for what C needs besides: a
MemberInfo whose chat fields are among its navigation fields); a fault is a message and exit
status 1, never a header that fails to compile. Files are rewritten only when their text
changes.
"""
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wiregen  # noqa: E402  (the checks and write() are shared)

CTYPES = {"u8": "uint8_t", "u16": "uint16_t", "u32": "uint32_t", "str": "velmor_string",
          "blob": "velmor_string"}
# The list shapes: the entry struct of their repeated part, the name of the array member and
# the codec's vector it is filled from.
LISTS = {"MemberList": ("velmor_member_entry", "members", "members"),
         "BanList": ("velmor_ban_entry", "bans", "bans"),
         "FileList": ("velmor_file_entry", "files", "files"),
         "RoomDirectory": ("velmor_directory_entry", "rooms", "directory")}
# Library events, numbered apart from the message codes (0x01..0x1FF) so that both stay put.
LIBRARY_EVENTS = [("CONNECTED", 0x1000, "Connected", "the connection (and its TLS handshake) is up"),
                  ("DISCONNECTED", 0x1001, "Disconnected",
                   "the connection ended; data.error says why (VELMOR_OK: closed by this side)"),
                  ("ERROR", 0x1002, "Error",
                   "a frame did not decode and was skipped (data.error); the connection goes on"),
                  ("MEMBER_STEP", 0x1003, "MemberStep", "a compact member step (data.step)"),
                  ("OBJECT_STEP", 0x1004, "ObjectStep", "a compact object step (data.step)")]
UNION_WORDS = 32  # the event union's size in 8-byte words: fixed, so new messages keep the ABI


def snake(name):
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name).lower()


def upper(name):
    return snake(name).upper()


def check_c(schema):
    for m in schema["messages"]:
        if m.get("shape") == "MemberInfo":
            nav = [f["name"] for f in m["navigationFields"]]
            for f in m["fields"]:
                wiregen.require(f["name"] in nav, f"message {m['name']}: chat field {f['name']} "
                                "is not among its navigation fields")
        for f in m["fields"]:
            wiregen.require("optional" not in f or m.get("shape") == "OptionalFlat",
                            f"message {m['name']}: an optional part C cannot show")
    for r in schema["requests"]:
        for f in r["fields"]:
            wiregen.require(f["name"] not in ("c", "client"), f"request {r['name']}: field name "
                            f"{f['name']} is the handle's")


def flat(fields):
    return [f for f in fields if "optional" not in f]


def message_fields(m):
    """The C struct's members of a message: (C type, name) in wire order."""
    shape = m.get("shape", "Flat")
    if shape == "MemberInfo":
        out = [(CTYPES[f["kind"]], snake(f["name"])) for f in m["navigationFields"]]
        return out + [("uint8_t", "navigation_layout")]
    if shape == "RoomOpened":
        return [("velmor_room_entry", "room")]
    out = [(CTYPES[f["kind"]], snake(f["name"])) for f in flat(m["fields"])]
    if shape == "OptionalFlat":
        out.append(("uint8_t", "has_fields"))
    elif shape == "RoomList":
        out.append(("const velmor_room_entry*", "rooms"))
    elif shape == "RecentLines":
        out.append(("const velmor_string*", "lines"))
    elif shape in LISTS:
        entry, member, _ = LISTS[shape]
        out.append((f"const {entry}*", member))
    return out


def header_part(schema):
    out = ["/* The events: the library's own, then one per server message, numbered by its code. */",
           "typedef enum velmor_event_type {", "  VELMOR_EVENT_NONE = 0,"]
    for name, value, _, about in LIBRARY_EVENTS:
        out.append(f"  VELMOR_EVENT_{name} = 0x{value:X}, /* {about} */")
    messages = sorted(schema["messages"], key=lambda m: int(m["code"], 16))
    for m in messages:
        out.append(f"  VELMOR_EVENT_{upper(m['name'])} = {m['code']}, /* {m['description']} */")
    out.append("} velmor_event_type;\n")

    done = set()
    for m in messages:
        shape = m.get("shape", "Flat")
        if shape in LISTS and shape not in done:
            done.add(shape)
            entry = LISTS[shape][0]
            out.append(f"/* An entry of {m['name']}. */")
            out.append(f"typedef struct {entry} {{")
            out += [f"  {CTYPES[f['kind']]} {snake(f['name'])};" for f in m["repeat"]]
            out.append(f"}} {entry};\n")

    union = []
    for m in messages:
        fields = message_fields(m)
        if not fields:
            continue
        struct = f"velmor_{snake(m['name'])}_event"
        out.append(f"/* {m['name']}: {m['description']}. */")
        out.append(f"typedef struct {struct} {{")
        out += [f"  {ctype} {name};" for ctype, name in fields]
        out.append(f"}} {struct};\n")
        union.append(f"    {struct} {snake(m['name'])};")

    out.append("/* One event. `type` says which member of `data` holds it (none for the messages")
    out.append("   without fields and for CONNECTED); the union's size is fixed. */")
    out.append("typedef struct velmor_event {")
    out.append("  velmor_event_type type;")
    out.append("  union {")
    out.append("    velmor_error_event error; /* DISCONNECTED, ERROR */")
    out.append("    velmor_step_event step;   /* MEMBER_STEP, OBJECT_STEP */")
    out += union
    out.append(f"    uint64_t reserved_[{UNION_WORDS}];")
    out.append("  } data;")
    out.append("} velmor_event;\n")

    out.append("/* One function per request, its fields in wire order. Each queues the request for")
    out.append("   process() to send and returns VELMOR_OK, or an error with nothing queued. Strings")
    out.append("   are NUL-terminated; blobs are bytes and a length; hashes 16 bytes. */")
    for r in schema["requests"]:
        params = ["velmor_client* c"]
        for f in r["fields"]:
            n, k = snake(f["name"]), f["kind"]
            params += {"u8": [f"uint8_t {n}"], "u16": [f"uint16_t {n}"], "u32": [f"uint32_t {n}"],
                       "str": [f"const char* {n}"], "hash16": [f"const uint8_t {n}[16]"],
                       "blob": [f"const void* {n}", f"size_t {n}_length"]}[k]
        out.append(f"/* {r['description']}. */")
        out.append(f"VELMOR_API velmor_status velmor_{snake(request_method(r))}({', '.join(params)});")
    return "\n".join(out)


def request_method(r):
    return r.get("writer", wiregen.lower_camel(r["name"]))


def glue(schema):
    out = [wiregen.HEADER.replace("//", "//"),
           "// Included once, by sdk/c/Requests.cpp, inside namespace velmor::sdk and after the",
           "// helpers it names (string(), entries(), queue()).\n"]
    # Filling an event from a decoded message.
    out.append("bool fillMessageEvent(const client::ServerMessage& m, velmor_event& e, EventStore& store) {")
    out.append("  std::size_t n = 0, t = 0;")
    out.append("  (void)store;")
    out.append("  switch (m.code) {")
    for m in sorted(schema["messages"], key=lambda m: int(m["code"], 16)):
        shape = m.get("shape", "Flat")
        member = f"e.data.{snake(m['name'])}"
        out.append(f"    case {m['code']}: {{")
        out.append(f"      e.type = VELMOR_EVENT_{upper(m['name'])};")

        def assign(fields, indent="      "):
            lines = []
            for f in flat(fields):
                if f["kind"] in ("str", "blob"):
                    lines.append(f"{indent}{member}.{snake(f['name'])} = string(m.text(t++));")
                else:
                    lines.append(f"{indent}{member}.{snake(f['name'])} = "
                                 f"static_cast<{CTYPES[f['kind']]}>(m.number(n++));")
            return lines

        if shape == "MemberInfo":
            out.append(f"      {member}.navigation_layout = store.navigationLayout ? 1 : 0;")
            out.append("      if (store.navigationLayout) {")
            out += assign(m["navigationFields"], "        ")
            out.append("      } else {")
            out += assign(m["fields"], "        ")
            out.append("      }")
        elif shape == "RoomOpened":
            out.append(f"      {member}.room = store.roomEntries(m.rooms)[0];")
        else:
            out += assign(m["fields"])
            if shape == "OptionalFlat":
                out.append(f"      {member}.has_fields = m.numbers.empty() ? 0 : 1;")
            elif shape == "RoomList":
                out.append(f"      {member}.rooms = store.roomEntries(m.rooms);")
            elif shape == "RecentLines":
                out.append(f"      {member}.lines = store.lines(m.texts);")
            elif shape in LISTS:
                entry, name, vector = LISTS[shape]
                out.append(f"      {member}.{name} = store.entries(m.{vector}, [](const auto& s) {{")
                out.append(f"        {entry} x{{}};")
                for f in m["repeat"]:
                    if f["kind"] in ("str", "blob"):
                        out.append(f"        x.{snake(f['name'])} = string(s.{f['name']});")
                    else:
                        out.append(f"        x.{snake(f['name'])} = s.{f['name']};")
                out.append("        return x;\n      });")
        out.append("      break;\n    }")
    out.append("    default:\n      return false;\n  }")
    out.append("  (void)n;\n  (void)t;\n  return true;\n}\n")

    out.append("const char* messageEventName(int type) {\n  switch (type) {")
    for m in schema["messages"]:
        out.append(f"    case {m['code']}:\n      return {wiregen.cstr(m['name'])};")
    for name, value, text, _ in LIBRARY_EVENTS:
        out.append(f"    case 0x{value:X}:\n      return {wiregen.cstr(text)};")
    out.append("    default:\n      return nullptr;\n  }\n}\n")

    out.append("}  // namespace velmor::sdk\n")
    out.append("using velmor::sdk::queue;")
    out.append("using velmor::sdk::stringArgument;\n")
    out.append('extern "C" {\n')
    for r in schema["requests"]:
        params, args, checks = ["velmor_client* c"], [], []
        for f in r["fields"]:
            n, k = snake(f["name"]), f["kind"]
            if k in ("u8", "u16", "u32"):
                params.append(f"{CTYPES[k]} {n}")
                args.append(n)
            elif k == "str":
                params.append(f"const char* {n}")
                args.append(f"{n}_")
                lo, hi = (f.get("min", 0), f["max"]) if f.get("outside") == "refused" else (0, 65000)
                refused = "true" if f.get("outside") == "refused" else "false"
                checks.append(f"  std::string_view {n}_;")
                checks.append(f"  if (velmor_status s = stringArgument(c, {n}, {lo}, {hi}, {refused}, "
                              f"\"{n}\", {n}_); s != VELMOR_OK) return s;")
            elif k == "blob":
                params += [f"const void* {n}", f"size_t {n}_length"]
                args.append(f"{n}_")
                checks.append(f"  std::string_view {n}_;")
                checks.append(f"  if (velmor_status s = velmor::sdk::blobArgument(c, {n}, {n}_length, "
                              f"\"{n}\", {n}_); s != VELMOR_OK) return s;")
            else:
                params.append(f"const uint8_t {n}[16]")
                args.append(f"{n}_")
                checks.append(f"  velmor::client::Hash16 {n}_{{}};")
                checks.append(f"  if (velmor_status s = velmor::sdk::hashArgument(c, {n}, \"{n}\", "
                              f"{n}_); s != VELMOR_OK) return s;")
        method = request_method(r)
        out.append(f"VELMOR_API velmor_status velmor_{snake(method)}({', '.join(params)}) {{")
        out += checks
        out.append(f"  return queue(c, [&](velmor::client::RequestWriter& w) {{ "
                   f"w.{method}({', '.join(args)}); }});")
        out.append("}\n")
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    schema_path, template_path, outdir, version = sys.argv[1:]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    try:
        wiregen.check(schema)
        check_c(schema)
    except (wiregen.SchemaError, KeyError, ValueError) as e:
        print(f"{schema_path}: {e}", file=sys.stderr)
        return 1
    major, minor, patch = (version.split(".") + ["0", "0"])[:3]
    with open(template_path, encoding="utf-8") as f:
        template = f.read()
    for key, value in (("VERSION_MAJOR", major), ("VERSION_MINOR", minor),
                       ("VERSION_PATCH", patch), ("VERSION", version)):
        template = template.replace(f"@{key}@", value)
    template = template.replace("@GENERATED@", header_part(schema))
    wiregen.write(os.path.join(outdir, "velmor", "client.h"), template)
    wiregen.write(os.path.join(outdir, "sdk", "GeneratedGlue.inc"), glue(schema))
    return 0


if __name__ == "__main__":
    sys.exit(main())
