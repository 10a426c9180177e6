// VelmorClient over a stand-in WebSocket: what it sends for a login, how it joins and decodes
// what arrives, the state it keeps, and the two ways it hands out events.
import { test } from "node:test";
import assert from "node:assert/strict";

import { VelmorClient } from "../../web/velmor-client/velmor-client.js";
import * as codec from "../../web/velmor-client/codec.js";

// The socket a test plays the server on: it records what the client sends and delivers what
// the test gives it, as ArrayBuffers like a browser's binaryType "arraybuffer".
class FakeSocket {
  static last = null;
  constructor(url) {
    this.url = url;
    this.sent = [];
    this.readyState = 0;
    FakeSocket.last = this;
    queueMicrotask(() => {
      this.readyState = 1;
      this.onopen?.({});
    });
  }
  send(frame) {
    this.sent.push(Buffer.from(frame).toString("hex"));
  }
  close() {
    this.readyState = 3;
    this.onclose?.({ code: 1000, reason: "" });
  }
  deliver(bytes) {
    const copy = Uint8Array.from(bytes);
    this.onmessage({ data: copy.buffer });
  }
}

// Server messages spelled by their fields; frame() wraps messages in one frame.
const u8 = (v) => [v];
const u16 = (v) => [v & 0xff, v >> 8];
const u32 = (v) => [v & 0xff, (v >>> 8) & 0xff, (v >>> 16) & 0xff, v >>> 24];
const str = (text) => {
  const bytes = [...new TextEncoder().encode(text)];
  return [...u16(bytes.length), ...bytes];
};
const frame = (...messages) => {
  const payload = messages.flat();
  return [...u16(payload.length), ...payload];
};
const RoomState = (room, navigation) => [0x24, ...u16(room), navigation, ...str("Dee"), ...u16(0)];
const MemberList = (room, ...names) => [0x28, ...u16(room), ...u16(names.length), ...names.flatMap((n) => [...str(n), ...u32(1), ...u16(2), 0])];
const RoomList = (...names) => [0x27, ...u16(names.length), ...names.flatMap((n) => [...str(n), 0, ...u16(1)])];

async function connected() {
  const client = new VelmorClient({ WebSocket: FakeSocket });
  await client.connect("ws://127.0.0.1:1/");
  assert.equal(client.nextEvent().type, "Connected");
  return [client, FakeSocket.last];
}

function drain(client) {
  const events = [];
  for (let e = client.nextEvent(); e; e = client.nextEvent()) events.push(e);
  return events;
}

test("a member login answers the challenge with the proof of docs/protocol.md's example", async () => {
  const [client, socket] = await connected();
  client.loginMember("Ada", "secret");
  assert.deepEqual(socket.sent, [Buffer.from(codec.login(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Ada", "", "")).toString("hex")]);
  socket.deliver(frame([0x34, ...str("b&4Kz]0^Nf(3yE*"), ...str("Xq7!rT#2m@Lp9$w")]));
  assert.equal(socket.sent[1], "110010f00af30ef37413aeec43a63a34417405");

  // A guest has no proof to give, whatever the server asks.
  client.loginGuest("Ada", "server");
  socket.deliver(frame([0x34, ...str("salt"), ...str("challenge")]));
  assert.deepEqual(socket.sent.slice(2), [Buffer.from(codec.login(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Ada", "", "server")).toString("hex")]);
});

test("frames cut across messages arrive whole, queued and given to listeners in order", async () => {
  const [client, socket] = await connected();
  const heard = [];
  const stop = client.on("RoomLine", (e) => heard.push(e.text));
  const all = [];
  client.on("*", (e) => all.push(e.type));
  const stream = [...frame([0x1b, 0, ...str("one")], [0x1b, 1, ...str("twö")]), ...frame(), ...frame([0xff, 0x07])];
  for (const byte of stream) socket.deliver([byte]);
  assert.deepEqual(heard, ["one", "twö"]);
  assert.deepEqual(all, ["RoomLine", "RoomLine", "NameInUse"]);
  assert.deepEqual(drain(client).map((e) => [e.type, e.slot, e.text]), [["RoomLine", 0, "one"], ["RoomLine", 1, "twö"], ["NameInUse", undefined, undefined]]);
  stop();
  socket.deliver(frame([0x1b, 0, ...str("three")]));
  assert.deepEqual(heard, ["one", "twö"]);
});

test("MemberInfo takes the layout of the room entered, in the same frame too", async () => {
  const [client, socket] = await connected();
  const navigationInfo = [0x0a, ...str("Bob"), ...u32(1), ...u32(2), ...u16(3), ...u32(4), 5, ...u16(6), ...u16(7), 1, ...str("cape")];
  socket.deliver(frame(RoomState(0, 1), navigationInfo));
  assert.equal(client.navigationRoom, true);
  const info = drain(client).find((e) => e.type === "MemberInfo");
  assert.deepEqual([info.name, info.profileWord2, info.appearanceText], ["Bob", 2, "cape"]);

  socket.deliver(frame([0x2b, ...u16(0)], RoomState(0, 0), MemberList(0, "Ann"), [0x0a, ...str("Cy"), ...u32(1), ...u16(2), 0]));
  assert.equal(client.navigationRoom, false);
  assert.deepEqual(client.members.map((m) => m.name), ["Ann", "Cy"]);
});

test("keeps the live rooms, his room and his channels numbered as rooms close", async () => {
  const [client, socket] = await connected();
  socket.deliver(frame(RoomList("A", "B", "C")));
  socket.deliver(frame(RoomState(2, 0), MemberList(2, "Me", "Ann")));
  socket.deliver(frame([0x30, ...u16(1)]));
  socket.deliver(frame(MemberList(1, "Bob")));
  socket.deliver(frame([0x2a, ...u16(1), ...str("Cy"), ...u32(0), ...u16(0), 0]));
  assert.deepEqual([...client.channels.get(1)].map((m) => m.name), ["Bob", "Cy"]);

  socket.deliver(frame([0x2c, ...u16(0)], [0x2d, ...str("D"), 1], [0x2f, ...u16(0), ...u16(9)], [0x2e, ...u16(1), 1]));
  assert.deepEqual(client.rooms.map((r) => [r.name, r.hasPassword, r.members]), [["B", false, 9], ["C", true, undefined], ["D", true, undefined]]);
  assert.equal(client.roomNumber, 1);
  assert.deepEqual([...client.channels.keys()], [0]);

  socket.deliver(frame([0x0e, 0], [0x29, ...u16(0), ...u16(0)], [0x31, ...u16(0), 0]));
  assert.deepEqual(client.members.map((m) => m.name), ["Ann"]);
  assert.equal(client.channels.size, 0);
});

test("a frame that cannot be decoded is a Error and ends the connection", async () => {
  const [client, socket] = await connected();
  socket.deliver(frame([0x1b, 0, ...str("fine")], [0x26]));
  assert.deepEqual(drain(client).map((e) => e.type), ["RoomLine", "Error", "Disconnected"]);
  assert.equal(client.connected, false);
  assert.equal(client.roomChat("too late"), false);
  assert.equal(socket.sent.length, 0);
});
