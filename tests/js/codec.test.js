// The JavaScript codec (web/velmor-client/codec.js) against the C++ codec: it decodes the rows
// CodecTest decodes to the same messages and fails on the same faults, writes the frames
// RequestWriter writes and the protocol.json examples, and makes client::loginProof's proofs.
// The oracle is what tests/unit/client/CodecRowsDump.cpp (codec_rows) prints.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createHash } from "node:crypto";
import { readFileSync } from "node:fs";

import * as codec from "../../web/velmor-client/codec.js";

const oracle = JSON.parse(execFileSync(process.env.VELMOR_CODEC_ROWS, { maxBuffer: 1 << 26 }));
const schema = JSON.parse(readFileSync(process.env.VELMOR_PROTOCOL_JSON, "utf8"));
const messageSchema = new Map(schema.messages.map((m) => [m.name, m]));

const fromHex = (text) => Uint8Array.from(text.match(/../g) ?? [], (b) => parseInt(b, 16));
const toHex = (bytes) => Buffer.from(bytes).toString("hex");
const isNumber = (kind) => kind.startsWith("u");

// The C++ ServerMessage's list of each list shape, and what the JavaScript event calls it.
const LISTS = {
  RoomList: ["rooms", "rooms"],
  MemberList: ["members", "members"],
  BanList: ["bans", "bans"],
  FileList: ["files", "files"],
  RoomDirectory: ["directory", "rooms"],
  RecentLines: ["texts", "lines"],
};

function roomEntryAsOracle(e) {
  return {
    name: e.name,
    flags: e.flags,
    hasPassword: e.hasPassword,
    navigation: e.navigation,
    hasCount: e.members !== undefined,
    memberCount: e.members ?? 0,
    limitDiffers: e.maxUsers !== undefined,
    maxUsers: e.maxUsers ?? 0,
  };
}

// A decoded event in the C++ codec's form, its fields put in wire order by protocol.json (not
// by the codec's own tables, so that a field the generator named or ordered wrongly shows).
function asOracle(e, navigationRoom) {
  const out = { kind: "Message", name: e.type, code: e.code, numbers: [], texts: [], rooms: [], members: [], bans: [], files: [], directory: [] };
  out.step = { dx: 0, dy: 0, direction: "unchanged", directionStep: 0, directionValue: 0 };
  if (e.type === "MemberStep" || e.type === "ObjectStep") {
    out.kind = e.type;
    out.step = { ...out.step, dx: e.dx, dy: e.dy, direction: e.direction ?? "unchanged" };
    out.step.directionStep = e.directionStep ?? 0;
    out.step.directionValue = e.directionValue ?? 0;
    return out;
  }
  const m = messageSchema.get(e.type);
  const shape = m.shape ?? "Flat";
  const fields = m.navigationFields && navigationRoom ? m.navigationFields : m.fields;
  const known = new Set(["type", "code"]);
  for (const f of fields) {
    known.add(f.name);
    if (shape === "OptionalFlat" && !(f.name in e)) continue;
    assert.ok(f.name in e, `${e.type} without ${f.name}`);
    if (f.kind === "blob") assert.ok(e[f.name] instanceof Uint8Array, `${e.type}.${f.name} is bytes`);
    const value = f.kind === "blob" ? new TextDecoder().decode(e[f.name]) : e[f.name];
    (isNumber(f.kind) ? out.numbers : out.texts).push(value);
  }
  if (m.repeat) {
    const [cppList, jsList] = LISTS[shape];
    known.add(jsList);
    const entries = e[jsList].map((entry) => (m.repeat === "roomEntry" ? roomEntryAsOracle(entry) : entry));
    out[cppList].push(...entries);
  }
  if (m.then) {
    for (const k of ["name", "flags", "hasPassword", "navigation", "members", "maxUsers"]) known.add(k);
    out.rooms.push(roomEntryAsOracle(e));
  }
  for (const k of Object.keys(e)) assert.ok(known.has(k), `${e.type} has a field ${k} its layout lacks`);
  return out;
}

test("decodes every recorded frame to the messages the C++ codec decodes", () => {
  for (const row of oracle.layouts) {
    const { messages, error } = codec.decodeFrame(fromHex(row.payload), { navigationRoom: row.navigationRoom });
    assert.equal(error, null, row.name);
    assert.deepEqual(messages.map((e) => asOracle(e, row.navigationRoom)), row.expected, row.name);
  }
});

test("the recorded frames hold every message of the catalogue", () => {
  const decoded = new Set(oracle.layouts.flatMap((row) => row.expected.map((m) => m.name)));
  for (const m of codec.MESSAGES) assert.ok(decoded.has(m.name), `no recorded frame holds ${m.name}`);
});

test("fails on each recorded fault, naming the offset and the code", () => {
  for (const row of oracle.faults) {
    const { error } = codec.decodeFrame(fromHex(row.payload));
    assert.ok(error, `${row.name} decoded`);
    for (const mention of row.errorMentions) assert.ok(error.includes(mention), `${row.name}: '${mention}' not in: ${error}`);
  }
});

test("encodes each request's protocol.json example as the C++ catalogue has it", () => {
  const examples = new Map(oracle.examples.map((e) => [e.name, e]));
  for (const r of schema.requests) {
    const values = r.fields.map((f) => (f.kind === "hash16" ? Uint8Array.from({ length: 16 }, (_, i) => i) : (f.example ?? (isNumber(f.kind) ? 0 : f.name))));
    const method = codec.REQUESTS.find((q) => q.name === r.name).method;
    const frame = codec[method](...values);
    const { type, payload } = examples.get(r.name);
    const body = [type, ...fromHex(payload)];
    assert.equal(toHex(frame), toHex([body.length & 0xff, body.length >> 8, ...body]), r.name);
  }
});

test("writes the frames RequestWriter writes", () => {
  for (const row of oracle.written) {
    const args = row.arguments.map((a) => (a !== null && typeof a === "object" ? fromHex(a.hex) : a));
    assert.equal(toHex(codec[row.method](...args)), row.frame, row.method);
  }
});

test("cuts text at a character boundary within the field's size", () => {
  const rows = [
    // [text, max bytes of the field, bytes kept]
    ["é".repeat(20), 31, 30], // two-byte characters: 15 fit
    ["a" + "€".repeat(20), 31, 31], // one and three-byte characters: 1 + 10 * 3
    ["€".repeat(20), 31, 30],
    ["😀".repeat(10), 31, 28], // four-byte characters: 7 fit
    ["x".repeat(31), 31, 31],
    ["", 31, 0],
  ];
  for (const [text, max, kept] of rows) {
    const bytes = codec.utf8Cut(text, max);
    assert.equal(bytes.length, kept, text);
    assert.ok(text.startsWith(new TextDecoder("utf-8", { fatal: true }).decode(bytes)), text);
  }
  // A room name goes in a 31-byte field; a room line in a 1024-byte one.
  assert.equal(codec.enterRoom("é".repeat(20), "").length, 2 + 1 + 2 + 30 + 2);
  assert.equal(codec.roomChat("y".repeat(5000)).length, 2 + 1 + 2 + 1024);
});

test("makes the login proofs client::loginProof makes", () => {
  for (const row of oracle.proofs) {
    const hash = codec.passwordHash(row.password);
    assert.equal(toHex(hash), row.passwordHash);
    assert.equal(toHex(codec.loginProofOf(hash, row.challenge)), row.proof, row.password);
  }
});

test("md5 agrees with RFC 1321's examples and with every length around its blocks", () => {
  const rfc = [
    ["", "d41d8cd98f00b204e9800998ecf8427e"],
    ["a", "0cc175b9c0f1b6a831c399e269772661"],
    ["abc", "900150983cd24fb0d6963f7d28e17f72"],
    ["message digest", "f96b697d7cb7938d525a2f31aaf161d0"],
    ["abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"],
    ["12345678901234567890123456789012345678901234567890123456789012345678901234567890", "57edf4a22be3c955ac49da2e2107b67a"],
  ];
  for (const [text, digest] of rfc) assert.equal(toHex(codec.md5(text)), digest, text);
  for (let n = 0; n <= 200; ++n) {
    const bytes = Uint8Array.from({ length: n }, (_, i) => (i * 37 + n) & 0xff);
    assert.equal(toHex(codec.md5(bytes)), createHash("md5").update(bytes).digest("hex"), `${n} bytes`);
  }
});

test("joins frames split anywhere across pushes", () => {
  const payloads = [fromHex("320600" + toHex(new TextEncoder().encode("Velmor")) + "4000200001"), new Uint8Array(0), fromHex("ff04")];
  const stream = payloads.flatMap((p) => [p.length & 0xff, p.length >> 8, ...p]);
  for (let i = 0; i <= stream.length; ++i) {
    for (let j = i; j <= stream.length; ++j) {
      const joiner = new codec.FrameJoiner();
      const got = [];
      for (const [from, to] of [[0, i], [i, j], [j, stream.length]]) got.push(...joiner.push(Uint8Array.from(stream.slice(from, to))));
      assert.deepEqual(got.map(toHex), payloads.map(toHex), `cut at ${i} and ${j}`);
      assert.equal(joiner.pendingBytes, 0);
    }
  }
});
