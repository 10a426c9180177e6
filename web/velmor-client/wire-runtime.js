// The machinery under the generated codec.js: frames joined from a byte stream, a payload
// decoded into messages by the catalogue's tables, and requests encoded from their field lists.
// No state outside the objects made here; works in browsers and in Node alike.
//
// Integers are little-endian; strings are a u16 byte count and the bytes, decoded leniently
// as UTF-8 (a bad sequence becomes U+FFFD) and encoded as UTF-8 cut at a character boundary
// within the field's maximum.

const utf8Decoder = new TextDecoder("utf-8", { fatal: false });
const utf8Encoder = new TextEncoder();

export const MAX_FRAME_PAYLOAD = 65535;
export const MAX_WIRE_STRING = 65000; // every sender cuts a string here
const EXTENDED_CODE_PREFIX = 0xff;
const FIRST_EXTENDED_CODE = 0x100;
const ROOM_HAS_PASSWORD = 0x01;
const ROOM_NAVIGATION = 0x02;
const ROOM_LIMIT_DIFFERS = 32000; // added to a room entry's member count

// Compact steps: 0x55 + (dx + 3) + 7 (dy + 3) for members, in three sub-ranges of 49 by what
// follows (nothing, an i8 turn, a u16 direction); 0x55 + (dx + 6) + 13 (dy + 6) for objects.
const STEP_BASE = 0x55;
const MEMBER_STEP_RANGE = 3;
const MEMBER_STEP_SPAN = 7;
const MEMBER_STEP_COUNT = 49;
const LAST_MEMBER_STEP = STEP_BASE + 3 * MEMBER_STEP_COUNT - 1; // 0xE7
const OBJECT_STEP_RANGE = 6;
const OBJECT_STEP_SPAN = 13;
const LAST_OBJECT_STEP = STEP_BASE + OBJECT_STEP_SPAN * OBJECT_STEP_SPAN - 1; // 0xFD

function hex(value, digits) {
  return "0x" + value.toString(16).toUpperCase().padStart(digits, "0");
}

// UTF-8 bytes of `text`, cut at a character boundary so that at most `max` bytes remain.
export function utf8Cut(text, max) {
  const bytes = utf8Encoder.encode(text);
  if (bytes.length <= max) return bytes;
  let cut = max;
  while (cut > 0 && (bytes[cut] & 0xc0) === 0x80) --cut;
  return bytes.subarray(0, cut);
}

// Joins the bytes of a connection, as reads or WebSocket messages deliver them, into frame
// payloads. Keeps the unfinished tail (at most one frame, plus what is pushed before draining).
export class FrameJoiner {
  #buffer = new Uint8Array(1024);
  #start = 0; // first unread byte
  #end = 0; // one past the last byte held

  // Appends `bytes` (Uint8Array or ArrayBuffer) and returns the payloads it completed, each a
  // Uint8Array of its own.
  push(bytes) {
    const data = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
    if (this.#end + data.length > this.#buffer.length) {
      const held = this.#end - this.#start;
      const grown = new Uint8Array(Math.max(this.#buffer.length, 2 * (held + data.length)));
      grown.set(this.#buffer.subarray(this.#start, this.#end));
      this.#buffer = grown;
      this.#start = 0;
      this.#end = held;
    }
    this.#buffer.set(data, this.#end);
    this.#end += data.length;
    const payloads = [];
    while (this.#end - this.#start >= 2) {
      const length = this.#buffer[this.#start] | (this.#buffer[this.#start + 1] << 8);
      if (this.#end - this.#start - 2 < length) break;
      payloads.push(this.#buffer.slice(this.#start + 2, this.#start + 2 + length));
      this.#start += 2 + length;
    }
    if (this.#start === this.#end) this.#start = this.#end = 0;
    return payloads;
  }

  // Bytes held that do not make a complete frame yet.
  get pendingBytes() {
    return this.#end - this.#start;
  }
}

// A fault inside decode(): the message that fails is named by the caller's catch.
class Truncated extends Error {}

class Reader {
  constructor(bytes) {
    this.bytes = bytes;
    this.pos = 0;
  }
  get atEnd() {
    return this.pos === this.bytes.length;
  }
  need(n) {
    if (this.bytes.length - this.pos < n) throw new Truncated();
  }
  u8() {
    this.need(1);
    return this.bytes[this.pos++];
  }
  u16() {
    this.need(2);
    const v = this.bytes[this.pos] | (this.bytes[this.pos + 1] << 8);
    this.pos += 2;
    return v;
  }
  u32() {
    this.need(4);
    const b = this.bytes;
    const v = (b[this.pos] | (b[this.pos + 1] << 8) | (b[this.pos + 2] << 16) | (b[this.pos + 3] << 24)) >>> 0;
    this.pos += 4;
    return v;
  }
  str() {
    const length = this.u16();
    this.need(length);
    const text = utf8Decoder.decode(this.bytes.subarray(this.pos, this.pos + length));
    this.pos += length;
    return text;
  }
  // A blob (a file's content) is bytes, never text: a copy the caller may keep.
  blob() {
    const length = this.u16();
    this.need(length);
    const bytes = this.bytes.slice(this.pos, this.pos + length);
    this.pos += length;
    return bytes;
  }
  field(kind) {
    if (kind === "blob") return this.blob();
    return kind === "u8" ? this.u8() : kind === "u16" ? this.u16() : kind === "u32" ? this.u32() : this.str();
  }
  fields(list, into) {
    for (const [name, kind] of list) into[name] = this.field(kind);
    return into;
  }
}

// A room of RoomList or RoomOpened: the member count only when the room has no password, and
// the user limit only when it differs from the server's (the count then carries 32000 more).
function roomEntry(reader, into) {
  into.name = reader.str();
  into.flags = reader.u8();
  into.hasPassword = (into.flags & ROOM_HAS_PASSWORD) !== 0;
  into.navigation = (into.flags & ROOM_NAVIGATION) !== 0;
  if (into.hasPassword) return into;
  into.members = reader.u16();
  if (into.members >= ROOM_LIMIT_DIFFERS) {
    into.members -= ROOM_LIMIT_DIFFERS;
    into.maxUsers = reader.u16();
  }
  return into;
}

const GROUPS = { roomEntry };

function decodeBody(reader, layout, options, event) {
  const fields = layout.navigationFields && options.navigationRoom ? layout.navigationFields : layout.fields;
  if (layout.shape === "OptionalFlat" && reader.atEnd) return;
  reader.fields(fields, event);
  if (layout.then) GROUPS[layout.then](reader, event);
  if (!layout.repeat) return;
  const count = event[fields[fields.length - 1][0]];
  const entries = (event[layout.list] = []);
  for (let i = 0; i < count; ++i) {
    if (typeof layout.repeat === "string") entries.push(GROUPS[layout.repeat](reader, {}));
    else if (layout.repeat.length === 1) entries.push(reader.field(layout.repeat[0][1]));
    else entries.push(reader.fields(layout.repeat, {}));
  }
}

function decodeStep(reader, type, objectPass) {
  const index = type - STEP_BASE;
  if (objectPass) {
    return {
      type: "ObjectStep",
      code: type,
      dx: (index % OBJECT_STEP_SPAN) - OBJECT_STEP_RANGE,
      dy: Math.floor(index / OBJECT_STEP_SPAN) - OBJECT_STEP_RANGE,
    };
  }
  if (type > LAST_MEMBER_STEP) return null;
  const cell = index % MEMBER_STEP_COUNT;
  const step = {
    type: "MemberStep",
    code: type,
    dx: (cell % MEMBER_STEP_SPAN) - MEMBER_STEP_RANGE,
    dy: Math.floor(cell / MEMBER_STEP_SPAN) - MEMBER_STEP_RANGE,
    direction: "unchanged",
  };
  const form = Math.floor(index / MEMBER_STEP_COUNT);
  if (form === 1) {
    step.direction = "step";
    step.directionStep = (reader.u8() << 24) >> 24;
  } else if (form === 2) {
    step.direction = "value";
    step.directionValue = reader.u16();
  }
  return step;
}

// Decodes one frame payload with the catalogue `byCode` (Map of code to layout). Returns
// {messages, error}: error is null, or names the offset and code of the first fault, the
// messages before it kept. Compact steps are member steps until an ObjectBatch in this frame.
// options.navigationRoom is read anew for each message and options.onMessage(event), when
// given, is called after each one: a caller that follows RoomState there decodes a MemberInfo
// later in the same frame in the layout of the room just entered.
export function decodeWith(byCode, payload, options = {}) {
  const reader = new Reader(payload instanceof Uint8Array ? payload : new Uint8Array(payload));
  const messages = [];
  let objectPass = false;
  while (!reader.atEnd) {
    const start = reader.pos;
    const fail = (what) => ({
      messages,
      error: `offset ${start} of a ${payload.length}-byte frame: ${what}`,
    });
    const first = reader.u8();
    if (first >= STEP_BASE && first <= LAST_OBJECT_STEP) {
      let step;
      try {
        step = decodeStep(reader, first, objectPass);
      } catch (e) {
        if (!(e instanceof Truncated)) throw e;
        return fail(`member step ${hex(first, 2)}: direction runs past the end`);
      }
      if (!step) return fail(`byte ${hex(first, 2)} is no member step (no ObjectBatch before it)`);
      messages.push(step);
      options.onMessage?.(step);
      continue;
    }
    let code = first;
    if (first === EXTENDED_CODE_PREFIX) {
      if (reader.atEnd) return fail("extended code 0xFF without its low byte");
      code = FIRST_EXTENDED_CODE | reader.u8();
    }
    const layout = byCode.get(code);
    if (!layout) {
      return fail(first === EXTENDED_CODE_PREFIX ? `unknown extended code ${hex(code, 3)}` : `unknown code ${hex(code, 2)}`);
    }
    const event = { type: layout.name, code };
    try {
      decodeBody(reader, layout, options, event);
    } catch (e) {
      if (!(e instanceof Truncated)) throw e;
      return fail(`code ${hex(code, 2)} (${layout.name}): field runs past the end`);
    }
    if (layout.name === "ObjectBatch") objectPass = true;
    messages.push(event);
    options.onMessage?.(event);
  }
  return { messages, error: null };
}

function writeField(out, kind, value, max) {
  switch (kind) {
    case "u8":
      out.push(value & 0xff);
      return;
    case "u16":
      out.push(value & 0xff, (value >>> 8) & 0xff);
      return;
    case "u32":
      out.push(value & 0xff, (value >>> 8) & 0xff, (value >>> 16) & 0xff, (value >>> 24) & 0xff);
      return;
    case "hash16": {
      const hash = value ?? new Uint8Array(16);
      for (let i = 0; i < 16; ++i) out.push(hash[i] ?? 0);
      return;
    }
    default: {
      // str (text, cut at a character boundary) or blob (bytes or text, cut at 65000 bytes)
      let bytes =
        typeof value === "string" ? utf8Cut(value, Math.min(max ?? MAX_WIRE_STRING, MAX_WIRE_STRING)) : (value ?? new Uint8Array(0));
      if (bytes.length > MAX_WIRE_STRING) bytes = bytes.subarray(0, MAX_WIRE_STRING);
      out.push(bytes.length & 0xff, bytes.length >> 8);
      for (const b of bytes) out.push(b);
    }
  }
}

// One frame holding the request `layout` (type and [name, kind, max] fields) with `values` in
// field order: its u16 length, then the payload. Missing numbers are 0, missing text empty.
export function encodeRequest(layout, values) {
  const out = [0, 0, layout.type];
  layout.fields.forEach(([, kind, max], i) => writeField(out, kind, values[i] ?? (kind.startsWith("u") ? 0 : undefined), max));
  const length = out.length - 2;
  if (length > MAX_FRAME_PAYLOAD) throw new RangeError(`${layout.name}: ${length} bytes pass a frame's ${MAX_FRAME_PAYLOAD}`);
  out[0] = length & 0xff;
  out[1] = length >> 8;
  return Uint8Array.from(out);
}
