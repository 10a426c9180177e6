// The web client page: logs in, shows the live rooms, the room he is in and its members, the
// rooms he follows as channels, and one log of lines (chat, whispers, private messages, what
// happened, and every refusal of the server as a readable line). It talks to the server it was
// served from (ws: or wss: by the page's own scheme); ?server=ws://host:port/ overrides that
// while developing. All text goes into the page as text, never as markup.
import { VelmorClient } from "./velmor-client/velmor-client.js";

const $ = (id) => document.getElementById(id);

// The server's refusals and ends, as the page says them.
const REFUSALS = {
  VersionRejected: () => "The server does not speak this client's version.",
  ConnectionRefused: () => "The server refused the connection: too many from this address; wait a little.",
  ServerPasswordWrong: () => "Wrong server password.",
  LoginProofRejected: () => "Wrong password for this account. Log in again to retry.",
  NameInUse: () => "That name is in use by a guest who is online. Choose another.",
  Banned: (e) => `Banned (entry ${e.name}).`,
  LoginReplaced: () => "Your account logged in elsewhere; you are offline here.",
  KickedFromServer: (e) => `Kicked off the server: ${e.reason}`,
  BannedFromServer: (e) => `Banned from the server: ${e.reason}`,
  KickedFromRoom: (e) => `Kicked out of the room: ${e.reason}`,
  BannedFromRoom: (e) => `Banned from the room: ${e.reason}`,
  WrongRoomPassword: () => "Wrong room password.",
  RoomFull: () => "That room is full.",
  NoSuchRoom: () => "No such room (or it is not live, for a channel).",
  TooManyChannels: () => "You follow five channels already.",
  MembersOnly: () => "Only members may do that: register or log in first.",
  RegistrationFailed: () => "Registration failed: the name has an account, or storage failed.",
  RoomCreationDenied: () => "Only administrators may create rooms here.",
  RoomCreateFailed: () => "The room was not created.",
  Error: (e) => `The client could not read the server: ${e.message}`,
};

let client = null;
let myName = "";
let memberLogin = false;
let shownMembers = []; // his room's members as last drawn: MemberLeft names the one gone
let shownChannels = new Map();

function serverUrl() {
  const override = new URLSearchParams(location.search).get("server");
  if (override) return override;
  return `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/`;
}

function log(text, kind = "info") {
  const item = document.createElement("li");
  item.className = kind;
  item.textContent = text;
  $("log").append(item);
  item.scrollIntoView({ block: "end" });
}

function setStatus(text) {
  $("status").textContent = text;
}

function roomName(number) {
  return client.rooms[number]?.name ?? `room ${number}`;
}

function memberName(slot) {
  return client.members[slot]?.name ?? `slot ${slot}`;
}

function listItem(text, data = {}) {
  const item = document.createElement("li");
  item.textContent = text;
  Object.assign(item.dataset, data);
  return item;
}

function drawRooms() {
  $("rooms").replaceChildren(
    ...client.rooms.map((room, number) => {
      // The server counts a room's members for those outside it; inside, the list counts.
      const members = number === client.roomNumber ? client.members.length : room.members;
      const detail = room.hasPassword ? "locked" : `${members}${room.maxUsers ? "/" + room.maxUsers : ""}`;
      const item = listItem(`${room.name} (${room.navigation ? "navigation, " : ""}${detail})`, { room: room.name });
      item.addEventListener("click", () => {
        $("room-name").value = room.name;
        $("channel-name").value = room.name;
      });
      return item;
    }),
  );
}

function drawMembers() {
  shownMembers = client.members.map((m) => ({ ...m }));
  $("current-room").textContent = client.roomNumber === null ? "no room" : roomName(client.roomNumber);
  $("members").replaceChildren(...shownMembers.map((m) => listItem(m.name + (m.isLeader ? " (leader)" : ""), { member: m.name })));
  drawRooms();
}

function drawChannels() {
  shownChannels = new Map([...client.channels].map(([room, members]) => [room, { name: roomName(room), members: members.map((m) => m.name) }]));
  $("channels").replaceChildren(
    ...[...shownChannels.values()].map(({ name, members }) => {
      const section = document.createElement("section");
      section.dataset.channel = name;
      const title = document.createElement("h3");
      title.textContent = name;
      const list = document.createElement("ul");
      list.replaceChildren(...members.map((m) => listItem(m, { member: m })));
      section.append(title, list);
      return section;
    }),
  );
}

function online(yes) {
  $("online").hidden = !yes;
  $("login").hidden = yes;
  if (!yes) $("register").hidden = true;
}

// What each event does to the page.
const HANDLERS = {
  Connected: () => setStatus("Connected, logging in…"),
  Disconnected: (e) => {
    setStatus("Not connected");
    log(`Disconnected${e.code ? ` (${e.code}${e.reason ? ": " + e.reason : ""})` : ""}.`);
    online(false);
  },
  AdminGranted: () => log("Administrator rights granted."),
  GuestWelcome: () => {
    memberLogin = false;
    log(`${myName} has no account: logging in as a guest.`);
  },
  LoginChallenge: () => {
    if (memberLogin) return;
    log(`${myName} has an account: log in as member with its password.`, "refusal");
    client.close();
  },
  ServerInfo: (e) => {
    setStatus(`Online as ${myName} on ${e.serverName}${memberLogin ? "" : " (guest)"}`);
    online(true);
    $("register").hidden = memberLogin;
  },
  RoomList: drawRooms,
  RoomOpened: drawRooms,
  RoomClosed: () => {
    drawRooms();
    drawChannels();
  },
  RoomMemberCount: drawRooms,
  RoomLockChanged: drawRooms,
  RoomState: (e) => {
    log(`Entered ${roomName(e.room)}.`);
    drawMembers();
  },
  MemberList: (e) => {
    if (e.room === client.roomNumber) {
      const me = e.members.find((m) => m.name.toLowerCase() === myName.toLowerCase());
      if (me) myName = me.name;
      drawMembers();
    }
    drawChannels();
  },
  MemberInfo: (e) => {
    log(`${e.name} came in.`);
    drawMembers();
  },
  MemberLeft: (e) => {
    log(`${shownMembers[e.slot]?.name ?? "Someone"} left.`);
    drawMembers();
  },
  MemberLeaderState: drawMembers,
  RoomExited: (e) => {
    log(`Out of ${roomName(e.room)}.`);
    drawMembers();
  },
  RoomLine: (e) => log(`${memberName(e.slot)}: ${e.text}`, "chat"),
  LocalLine: (e) => log(`${memberName(e.slot)} (local): ${e.text}`, "chat"),
  WhisperLine: (e) => log(`Whisper from ${memberName(e.slot)}: ${e.text}`, "whisper"),
  PrivateMessageNotice: (e) => log(`Private message from ${e.sender}: ${e.text}`, "private"),
  ChannelJoined: (e) => {
    log(`Following ${roomName(e.room)}.`);
    drawChannels();
  },
  ChannelLeft: (e) => {
    log(`No longer following ${shownChannels.get(e.room)?.name ?? roomName(e.room)}.`);
    drawChannels();
  },
  ChannelMemberJoined: (e) => {
    log(`${e.name} came into ${roomName(e.room)}.`);
    drawChannels();
    if (e.room === client.roomNumber) drawMembers();
  },
  ChannelMemberLeft: (e) => {
    log(`${shownChannels.get(e.room)?.members[e.slot] ?? "Someone"} left ${roomName(e.room)}.`);
    drawChannels();
  },
  ChannelLeaderState: drawChannels,
  Registered: () => {
    memberLogin = true;
    $("register").hidden = true;
    setStatus($("status").textContent.replace(" (guest)", ""));
    log(`Registered: ${myName} is a member account now.`);
  },
  RoomCreated: () => log("Room created."),
};

function onEvent(event) {
  const refusal = REFUSALS[event.type];
  if (refusal) log(`${refusal(event)} (${event.type})`, "refusal");
  HANDLERS[event.type]?.(event);
}

async function login(asMember) {
  myName = $("name").value.trim();
  if (!myName) return;
  memberLogin = asMember;
  client?.close();
  const next = new VelmorClient({ maxQueued: 0 });
  client = next;
  next.on("*", (e) => {
    if (client === next) onEvent(e);
  });
  try {
    await next.connect(serverUrl());
  } catch (error) {
    log(`Could not connect: ${error.message}`, "refusal");
    return;
  }
  if (asMember) next.loginMember(myName, $("password").value, $("server-password").value);
  else next.loginGuest(myName, $("server-password").value);
}

// Each form's submit sends its request; the form is never posted anywhere.
function onSubmit(id, action) {
  $(id).addEventListener("submit", (event) => {
    event.preventDefault();
    if (client?.connected) action();
  });
}

$("login-form").addEventListener("submit", (event) => {
  event.preventDefault();
  login(false);
});
$("member-login").addEventListener("click", () => {
  if ($("login-form").reportValidity()) login(true);
});
onSubmit("register-form", () => client.register($("register-email").value, $("register-password").value));
onSubmit("enter-form", () => client.enterRoom($("room-name").value, $("room-password").value));
$("leave-room").addEventListener("click", () => client?.leaveRoom());
onSubmit("chat-form", () => {
  if (client.roomNumber === null) return log("Enter a room first.", "refusal");
  if ($("chat-text").value) client.roomChat($("chat-text").value);
  $("chat-text").value = "";
});
onSubmit("whisper-form", () => {
  client.whisper($("whisper-to").value, $("whisper-text").value);
  log(`Whisper to ${$("whisper-to").value}: ${$("whisper-text").value}`, "whisper");
  $("whisper-text").value = "";
});
onSubmit("pm-form", () => {
  client.privateMessage($("pm-to").value, $("pm-text").value);
  log(`Private message to ${$("pm-to").value}: ${$("pm-text").value}`, "private");
  $("pm-text").value = "";
});
onSubmit("channel-form", () => client.joinChannel($("channel-name").value, $("channel-password").value));
$("leave-channel").addEventListener("click", () => client?.leaveChannel($("channel-name").value));
