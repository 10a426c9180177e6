// VelmorClient: one connection to a VelmorServer over WebSocket, for a page or for Node.
//
// Events are plain objects ({type: "RoomLine", code, slot, text}, and Connected, Disconnected,
// Error of the connection itself). Each is offered two ways: kept in a queue that a
// game loop drains with nextEvent() once a frame, and given at once to listeners registered
// with on(type, fn). The client's own state (rooms, roomNumber, members, channels,
// navigationRoom) is brought up to date before an event is queued or given, so a listener
// reads the state that follows the event.
//
// One instance per connection; everything runs on the thread of the page or of Node's loop.
// Requests are methods, one per request of the catalogue (codec.js makes their frames); each
// returns false when the connection is not open.
import { FrameJoiner, decodeFrame, encoders, md5, passwordHash, loginProofOf } from "./codec.js";

export * from "./codec.js";

const PROTOCOL_VERSION = 1;
const OPEN = 1; // WebSocket.OPEN, the same in browsers and in Node's ws

function entryOf(event) {
  const { type, code, ...entry } = event;
  return entry;
}

export class VelmorClient {
  #WebSocket;
  #maxQueued;
  #ws = null;
  #joiner = new FrameJoiner();
  #queue = [];
  #listeners = new Map(); // type or "*" -> Set of functions
  #memberHash = null; // the password hash of a loginMember awaiting its LoginChallenge

  constructor(options = {}) {
    this.#WebSocket = options.WebSocket ?? globalThis.WebSocket;
    this.#maxQueued = options.maxQueued ?? 10000;
    this.droppedEvents = 0;
    this.#resetState();
  }

  #resetState() {
    this.rooms = []; // live rooms: a room's number is its index
    this.roomNumber = null; // the room he is in
    this.navigationRoom = false;
    this.members = []; // his room's members in slot order: {name, profileWord1, profileShort, isLeader}
    this.channels = new Map(); // followed room number -> its members in slot order
  }

  get connected() {
    return this.#ws !== null && this.#ws.readyState === OPEN;
  }

  connect(url) {
    if (!this.#WebSocket) {
      return Promise.reject(new Error("no WebSocket here: pass options.WebSocket"));
    }
    this.close();
    this.#resetState();
    this.#joiner = new FrameJoiner();
    const ws = new this.#WebSocket(url);
    ws.binaryType = "arraybuffer";
    this.#ws = ws;
    return new Promise((resolve, reject) => {
      let opened = false;
      ws.onopen = () => {
        opened = true;
        this.#emit({ type: "Connected" });
        resolve();
      };
      ws.onmessage = (e) => {
        if (this.#ws === ws && typeof e.data !== "string") this.#receive(e.data);
      };
      ws.onclose = (e) => {
        if (this.#ws === ws) this.#ws = null;
        if (!opened) reject(new Error(`could not connect to ${url}`));
        this.#emit({ type: "Disconnected", code: e.code ?? 0, reason: e.reason ?? "" });
      };
    });
  }

  close() {
    if (this.#ws && this.#ws.readyState <= OPEN) this.#ws.close();
  }

  nextEvent() {
    return this.#queue.length > 0 ? this.#queue.shift() : null;
  }

  on(type, fn) {
    if (!this.#listeners.has(type)) this.#listeners.set(type, new Set());
    this.#listeners.get(type).add(fn);
    return () => this.off(type, fn);
  }

  off(type, fn) {
    this.#listeners.get(type)?.delete(fn);
  }

  send(frame) {
    if (!this.connected) return false;
    this.#ws.send(frame);
    return true;
  }

  loginGuest(name, serverPassword = "") {
    this.#memberHash = null;
    return this.#login(name, serverPassword);
  }

  loginMember(name, password, serverPassword = "") {
    this.#memberHash = passwordHash(password);
    return this.#login(name, serverPassword);
  }

  register(email, password) {
    return this.registerAccount(md5(email), passwordHash(password));
  }

  #login(name, serverPassword) {
    return this.login(PROTOCOL_VERSION, 0, 0, 0, 0, 0, 0, 0, 0, 0, name, "", serverPassword);
  }

  #receive(data) {
    for (const payload of this.#joiner.push(data)) {
      const options = {
        navigationRoom: this.navigationRoom,
        onMessage: (event) => {
          this.#follow(event);
          options.navigationRoom = this.navigationRoom;
          this.#emit(event);
        },
      };
      const { error } = decodeFrame(payload, options);
      if (error) {
        // The rest of the stream can no longer be cut into messages.
        this.#emit({ type: "Error", message: error });
        this.close();
        return;
      }
    }
  }

  // Keeps the client's state as the server tells it.
  #follow(e) {
    switch (e.type) {
      case "LoginChallenge":
        if (this.#memberHash) this.loginProof(loginProofOf(this.#memberHash, e.challenge));
        this.#memberHash = null;
        break;
      case "GuestWelcome":
        this.#memberHash = null;
        break;
      case "RoomList":
        this.rooms = e.rooms.map((r) => ({ ...r }));
        break;
      case "RoomOpened":
        this.rooms.push(entryOf(e));
        break;
      case "RoomClosed":
        this.#roomClosed(e.room);
        break;
      case "RoomMemberCount":
        if (this.rooms[e.room]) this.rooms[e.room].members = e.members;
        break;
      case "RoomLockChanged":
        this.#lockChanged(e.room, e.hasPassword !== 0);
        break;
      case "RoomState":
        this.roomNumber = e.room;
        this.navigationRoom = e.navigation !== 0;
        this.members = [];
        break;
      case "RoomExited":
        this.roomNumber = null;
        this.navigationRoom = false;
        this.members = [];
        break;
      case "MemberList":
        if (e.room === this.roomNumber) this.members = e.members.map((m) => ({ ...m }));
        if (this.channels.has(e.room)) this.channels.set(e.room, e.members.map((m) => ({ ...m })));
        break;
      case "MemberInfo":
        this.members.push({ name: e.name, profileWord1: e.profileWord1, profileShort: e.profileShort, isLeader: e.isLeader });
        break;
      case "MemberLeft":
        this.members.splice(e.slot, 1);
        break;
      case "MemberLeaderState":
        if (this.members[e.slot]) this.members[e.slot].isLeader = e.isLeader;
        break;
      case "ChannelJoined":
        this.channels.set(e.room, []);
        break;
      case "ChannelLeft":
        this.channels.delete(e.room);
        break;
      case "ChannelMemberJoined":
        this.channels.get(e.room)?.push({ name: e.name, profileWord1: e.profileWord1, profileShort: e.profileShort, isLeader: e.isLeader });
        // Entering a room he follows, he is told of himself here: he is its last slot.
        // (MemberInfo tells him of later arrivals as a member of the room.)
        if (e.room === this.roomNumber && this.members.length === 0 && this.channels.has(e.room)) {
          this.members = this.channels.get(e.room).map((m) => ({ ...m }));
        }
        break;
      case "ChannelMemberLeft":
        this.channels.get(e.room)?.splice(e.slot, 1);
        break;
      case "ChannelLeaderState": {
        const member = this.channels.get(e.room)?.[e.slot];
        if (member) member.isLeader = e.isLeader;
        break;
      }
      default:
        break;
    }
  }

  // Later rooms move down by one: the list, his room's number and his channels' numbers.
  #roomClosed(room) {
    this.rooms.splice(room, 1);
    if (this.roomNumber !== null && this.roomNumber > room) this.roomNumber -= 1;
    const moved = new Map();
    for (const [number, members] of this.channels) {
      if (number !== room) moved.set(number > room ? number - 1 : number, members);
    }
    this.channels = moved;
  }

  #lockChanged(room, hasPassword) {
    const entry = this.rooms[room];
    if (!entry) return;
    entry.hasPassword = hasPassword;
    entry.flags = hasPassword ? entry.flags | 1 : entry.flags & ~1;
    if (hasPassword) delete entry.members;
  }

  #emit(event) {
    if (this.#maxQueued > 0) {
      if (this.#queue.length >= this.#maxQueued) {
        this.#queue.shift();
        this.droppedEvents += 1;
      }
      this.#queue.push(event);
    }
    for (const key of [event.type, "*"]) {
      for (const fn of this.#listeners.get(key) ?? []) fn(event);
    }
  }
}

// One method per request: its frame from codec.js, sent.
for (const [method, encode] of Object.entries(encoders)) {
  VelmorClient.prototype[method] = function (...values) {
    return this.send(encode(...values));
  };
}
