#include "Session.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "client/ConnectionLimit.h"
#include "client/LoginProof.h"
#include "client/NameRule.h"
#include "client/RequestWriter.h"

namespace velmor::chat {

namespace {

using client::RequestWriter;
using client::ServerMessage;
using wire::ServerCode;

constexpr std::size_t kPiece = 8000;        // file content per message, both ways
constexpr std::uint32_t kMaxFile = 650000;  // what the server stores at the most
constexpr std::uint32_t kByNameOnly = 0;    // a ban mask of 0 bars the name, no address

// The words of a command line; the last word of a split keeps the rest of the line (a
// reason, a chat text) when `rest` says after how many words it starts.
std::vector<std::string> words(const std::string& line, std::size_t rest = 0) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ') ++at;
    if (at >= line.size()) break;
    if (rest != 0 && out.size() == rest) {
      out.push_back(line.substr(at));
      break;
    }
    std::size_t end = line.find(' ', at);
    if (end == std::string::npos) end = line.size();
    out.push_back(line.substr(at, end - at));
    at = end;
  }
  return out;
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string madeUpPassword() {
  static constexpr char kLetters[] = "abcdefghjkmnpqrstuvwxyz23456789";
  std::random_device random;
  std::string text;
  for (int i = 0; i < 10; ++i) text += kLetters[random() % (sizeof(kLetters) - 1)];
  return text;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

Session::Session(client::Connection& connection, const Options& options,
                 std::function<void(const std::string&)> print)
    : connection_(connection), options_(options), print_(std::move(print)) {}

void Session::send(const std::string& frame) {
  if (!connection_.send(frame)) say("Could not send: " + connection_.error());
}

std::string Session::roomName(std::uint32_t number) const {
  return number < rooms_.size() ? rooms_[number].name : "room " + std::to_string(number);
}

std::string Session::memberName(std::uint32_t slot) const {
  return slot < members_.size() ? members_[slot].name : "seat " + std::to_string(slot);
}

std::string Session::here() const {
  return room_ ? roomName(*room_) : std::string("the room");
}

bool Session::leadsHere() const {
  if (!room_) return false;
  const std::string me = lowered(options_.name);
  for (const Member& member : members_) {
    if (lowered(member.name) == me) return member.leader;
  }
  return false;
}

bool Session::roomIsLocked() const {
  return room_ && *room_ < rooms_.size() && rooms_[*room_].hasPassword;
}

void Session::leftRoom() {
  room_.reset();
  members_.clear();
  claimingLeadership_ = false;
}

// --- login ----------------------------------------------------------------------------------

int Session::logIn() {
  client::LoginFields fields;
  fields.name = options_.name;
  fields.password = options_.loginPassword();
  // A failed send is not the end: a refusal sent at connect may be waiting to be read.
  connection_.send(RequestWriter::frame([&](RequestWriter& w) { w.login(fields); }));
  ServerMessage m;
  bool online = false;
  while (connection_.next(m)) {
    if (m.is(ServerCode::AdminGranted)) {
      admin_ = true;
      say("Administrator rights granted.");
    } else if (m.is(ServerCode::GuestWelcome)) {
      if (options_.accountPassword)
        say("No account is named " + options_.name + ": you are a guest.");
    } else if (m.is(ServerCode::LoginChallenge)) {
      if (options_.registerPassword) {
        say(options_.name + " is a member account already: log in with --account-password.");
        return kExitRefused;
      }
      if (!options_.accountPassword) {
        say(options_.name + " is a member account: give its --account-password.");
        return kExitRefused;
      }
      const client::Hash16 proof =
          client::loginProof(client::passwordHashOf(*options_.accountPassword), m.text(1));
      member_ = true;  // once the welcome follows: a wrong proof is refused instead
      send(RequestWriter::frame([&](RequestWriter& w) { w.loginProof(proof); }));
    } else if (m.is(ServerCode::ServerInfo)) {
      serverName_ = m.text(0);
    } else if (m.is(ServerCode::RoomList)) {
      for (const client::RoomEntry& entry : m.rooms) {
        rooms_.push_back({entry.name, entry.hasPassword, entry.navigation, entry.memberCount});
      }
      online = true;
      if (options_.adminPassword && !admin_) {
        say("The server granted no administrator rights for --admin-password: it is not the "
            "administrator password, or the server has none.");
      }
      if (!options_.registerPassword) return kExitOk;
      const client::Hash16 noEmail{};
      const client::Hash16 hash = client::passwordHashOf(*options_.registerPassword);
      send(RequestWriter::frame([&](RequestWriter& w) { w.registerAccount(noEmail, hash); }));
    } else if (m.is(ServerCode::Registered)) {
      member_ = true;
      say("Registered: " + options_.name + " is a member account now.");
      return kExitOk;
    } else if (m.is(ServerCode::RegistrationFailed)) {
      say("The registration failed (the name may be taken): you are a guest.");
      return kExitOk;
    } else if (handleRefusal(m)) {
      return kExitRefused;
    } else if (online) {
      handle(m);  // room announcements before the registration's answer
    }
  }
  say("velmor-chat: " + connection_.error());
  return kExitNoServer;
}

void Session::printWelcome() {
  say("Connected to " + printable(serverName_) + ". Live rooms:");
  for (const LiveRoom& room : rooms_) {
    std::string line = "  " + printable(room.name) + (room.navigation ? " (navigation)" : "");
    line += room.hasPassword ? " [locked]" : " (" + std::to_string(room.members) + " in)";
    say(line);
  }
  if (rooms_.empty()) say("  none");
  say("Type /help for the commands.");
}

// --- what the server says -------------------------------------------------------------------

void Session::handle(const ServerMessage& m) {
  if (m.kind != client::MessageKind::Message) return;  // the relay's steps: nothing to show
  if (handleRefusal(m) || handleRoomUpdate(m) || handleChat(m) || handleFiles(m) ||
      handleModeration(m)) {
    return;
  }
}

bool Session::handleRefusal(const ServerMessage& m) {
  using C = ServerCode;
  const std::string target = entering_.empty() ? here() : entering_;
  std::string text;
  switch (static_cast<C>(m.code)) {
    case C::ConnectionRefused:
      text = "The server refused the connection: " + client::connectionLimitExplained() + ".";
      break;
    case C::VersionRejected:
      text = "The server does not speak this version of the protocol.";
      break;
    case C::ServerPasswordWrong:
      text = options_.adminPassword
                 ? "The server refused the login: --admin-password is not the administrator "
                   "password, and the server has a password of its own (--server-password)."
                 : "Wrong server password (give it with --server-password).";
      break;
    case C::NameInUse:
      text = "The name " + options_.name + " is in use by someone online.";
      break;
    case C::LoginProofRejected:
      text = "Wrong account password for " + options_.name + ".";
      break;
    case C::Banned:
      text = room_ || !entering_.empty()
                 ? "You are banned from this room (" + printable(m.text(0)) + ")."
                 : "You are banned from this server (" + printable(m.text(0)) + ").";
      break;
    case C::RoomFull:
      text = "Room " + target + " is full.";
      break;
    case C::WrongRoomPassword:
      if (claimingLeadership_ && entering_.empty()) {
        text = "That is neither the leader password nor the room password of " + printable(here()) +
               ".";
        claimingLeadership_ = false;
      } else {
        text = "Wrong room password.";
      }
      break;
    case C::NoSuchRoom:
      text = "There is no room " + target + ".";
      break;
    case C::RoomExists:
      text = "Room " + target + " exists already.";
      break;
    case C::RoomExistsLocked:
      text = "Room " + target + " exists already, with a password.";
      break;
    case C::RoomCreateFailed:
      text = "The room could not be created.";
      break;
    case C::RoomCreationDenied:
      text = "Only administrators may create rooms on this server.";
      break;
    case C::MembersOnly:
      text = "Only members may do that (register with --register).";
      break;
    case C::TooManyChannels:
      text = "You follow five rooms already.";
      break;
    case C::NotRoomOwner:
      text = "Only the room's leader or creator may create files.";
      break;
    default:
      return false;
  }
  say(text);
  // The request a refusal of a room answers is over: later messages name the user's room.
  if (m.is(C::RoomFull) || m.is(C::WrongRoomPassword) || m.is(C::NoSuchRoom) ||
      m.is(C::RoomExists) || m.is(C::RoomExistsLocked) || m.is(C::RoomCreateFailed) ||
      m.is(C::RoomCreationDenied) || m.is(C::Banned)) {
    entering_.clear();
  }
  return true;
}

bool Session::handleRoomUpdate(const ServerMessage& m) {
  using C = ServerCode;
  switch (static_cast<C>(m.code)) {
    case C::RoomOpened:
      for (const client::RoomEntry& entry : m.rooms) {
        rooms_.push_back({entry.name, entry.hasPassword, entry.navigation, entry.memberCount});
        say("* Room " + printable(entry.name) + " is open.");
      }
      return true;
    case C::RoomClosed: {
      const std::uint32_t position = m.number(0);
      if (position < rooms_.size()) {
        say("* Room " + printable(rooms_[position].name) + " closed.");
        std::erase(following_, rooms_[position].name);
        rooms_.erase(rooms_.begin() + position);
        if (room_ && *room_ > position) --*room_;
      }
      return true;
    }
    case C::RoomMemberCount:
      if (m.number(0) < rooms_.size())
        rooms_[m.number(0)].members = static_cast<std::uint16_t>(m.number(1));
      return true;
    case C::RoomLockChanged:
      if (m.number(0) < rooms_.size()) rooms_[m.number(0)].hasPassword = m.number(1) != 0;
      say("* Room " + printable(roomName(m.number(0))) +
          (m.number(1) ? " is locked now." : " is open to all now."));
      return true;
    case C::RoomState:
      if (room_ == m.number(0) && !members_.empty()) return true;  // a follower's own state
      room_ = m.number(0);
      claimingLeadership_ = false;
      navigationRoom_ = m.number(1) != 0;
      connection_.setDecodeOptions({navigationRoom_});
      members_.clear();
      entering_.clear();
      say("You are in " + printable(here()) + ".");
      return true;
    case C::MemberList: {
      std::vector<Member> list;
      for (const client::MemberEntry& entry : m.members)
        list.push_back({entry.name, entry.isLeader != 0});
      std::string names;
      for (const Member& member : list) {
        names += (names.empty() ? "" : ", ") + printable(member.name) + (member.leader ? "*" : "");
      }
      if (room_ && m.number(0) == *room_) {
        members_ = std::move(list);
        say("In " + printable(here()) + ": " + names);
      } else {
        say("[" + printable(roomName(m.number(0))) + "] in the room: " + names);
      }
      return true;
    }
    case C::MemberInfo: {
      const bool leader = (navigationRoom_ ? m.number(7) : m.number(2)) != 0;
      members_.push_back({m.text(0), leader});
      if (m.text(0) != options_.name) say("* " + printable(m.text(0)) + " came in.");
      return true;
    }
    case C::MemberLeft: {
      const std::uint32_t slot = m.number(0);
      if (slot < members_.size()) {
        say("* " + printable(members_[slot].name) + " left.");
        members_.erase(members_.begin() + slot);
      }
      return true;
    }
    case C::MemberLeaderState: {
      const std::uint32_t slot = m.number(0);
      if (slot >= members_.size()) return true;
      Member& member = members_[slot];
      member.leader = m.number(1) != 0;
      if (claimingLeadership_ && lowered(member.name) == lowered(options_.name)) {
        claimingLeadership_ = false;
        if (member.leader) {
          say("You lead " + printable(here()) + " now.");
        } else if (roomIsLocked()) {
          say("You gave up leadership of " + printable(here()) + " (with its room password).");
        } else {
          say("Warning: you gave up leadership of " + printable(here()) +
              ". That was not its leader password, and in a room without a password the "
              "server takes any other password as giving leadership up.");
        }
        return true;
      }
      say("* " + printable(member.name) + (member.leader ? " leads " : " no longer leads ") +
          printable(here()) + ".");
      return true;
    }
    case C::RoomExited:
    case C::RoomLeft:
      if (room_) say("You left " + printable(here()) + ".");
      leftRoom();
      return true;
    case C::ChannelJoined:
      entering_.clear();
      following_.push_back(roomName(m.number(0)));
      say("You follow " + printable(roomName(m.number(0))) + " now.");
      return true;
    case C::ChannelLeft:
      std::erase(following_, roomName(m.number(0)));
      say("You no longer follow " + printable(roomName(m.number(0))) + ".");
      return true;
    case C::ChannelMemberJoined:
      say("[" + printable(roomName(m.number(0))) + "] * " + printable(m.text(0)) + " came in.");
      return true;
    case C::ChannelMemberLeft:
      say("[" + printable(roomName(m.number(0))) + "] * a member left.");
      return true;
    case C::ChannelLeaderState:
      say("[" + printable(roomName(m.number(0))) + "] * the leader changed.");
      return true;
    case C::RoomDirectory: {
      const bool marker = !directoryMarkers_.empty() && directoryMarkers_.front();
      if (!directoryMarkers_.empty()) directoryMarkers_.pop_front();
      if (marker) {
        statusMarkerCame();
        return true;
      }
      if (m.directory.empty()) {
        say("No stored rooms from " + std::to_string(m.number(0)) + " on.");
        return true;
      }
      say("Stored rooms from " + std::to_string(m.number(0)) + ":");
      for (const client::DirectoryEntry& entry : m.directory) {
        say("  " + printable(entry.name) + " (by " + printable(entry.creator) + ")");
      }
      if (m.directory.size() == 20) {
        say("  /rooms " + std::to_string(m.number(0) + 20) + " for more");
      }
      return true;
    }
    case C::RoomCreated:
      say("Room " + printable(entering_) + " created.");
      if (!madeUpLeader_.empty()) {
        say("The leader password of " + printable(entering_) + " is " + madeUpLeader_ +
            " (enter with it to lead).");
      }
      madeUpLeader_.clear();
      entering_.clear();
      return true;
    case C::RoomPasswordsChanged:
      say("The room's passwords were changed.");
      return true;
    default:
      return false;
  }
}

bool Session::handleChat(const ServerMessage& m) {
  using C = ServerCode;
  switch (static_cast<C>(m.code)) {
    case C::RoomLine:
    case C::LocalLine:
      say("<" + printable(memberName(m.number(0))) + "> " + printable(m.text(0)));
      return true;
    case C::LocalLineRepeat:
      say("<" + printable(memberName(m.number(0))) + "> (says a recent line again)");
      return true;
    case C::WhisperLine:
      say("(whispered) <" + printable(memberName(m.number(0))) + "> " + printable(m.text(0)));
      return true;
    case C::PrivateMessageNotice:
      say("[private] <" + printable(m.text(1)) + "> " + printable(m.text(0)));
      return true;
    case C::RecentLines:
      for (std::size_t i = 0; i < m.texts.size(); ++i) say("  (earlier) " + printable(m.text(i)));
      return true;
    case C::StatusText: {
      if (!admin_) {
        statusAnswered_ = true;
        say("The server has no administrator password, so it shows its status to anyone; you "
            "have no administrator rights.");
      }
      std::istringstream lines(m.text(0));
      for (std::string line; std::getline(lines, line);) say(printable(line));
      return true;
    }
    case C::Registered:
      member_ = true;
      say("Registered: you are a member now.");
      return true;
    case C::RegistrationFailed:
      say("The registration failed.");
      return true;
    default:
      return false;
  }
}

bool Session::handleModeration(const ServerMessage& m) {
  using C = ServerCode;
  switch (static_cast<C>(m.code)) {
    case C::KickedFromRoom:
      say("You were kicked from " + printable(here()) + ": " + printable(m.text(0)));
      leftRoom();
      return true;
    case C::BannedFromRoom:
      say("You were banned from " + printable(here()) + ": " + printable(m.text(0)));
      leftRoom();
      return true;
    case C::KickedFromServer:
      say("You were kicked from the server: " + printable(m.text(0)) + ". /quit to leave.");
      leftRoom();
      return true;
    case C::BannedFromServer:
      say("You were banned from the server: " + printable(m.text(0)) + ". /quit to leave.");
      leftRoom();
      return true;
    case C::LoginReplaced:
      say("Your name logged in from elsewhere: this connection is offline. /quit to leave.");
      leftRoom();
      return true;
    case C::RoomBanList:
    case C::ServerBanList: {
      say(m.is(C::RoomBanList) ? "Bans of " + printable(here()) + ":" : "Bans of the server:");
      for (const client::BanEntry& ban : m.bans) {
        say("  " + printable(ban.name) + " by " + printable(ban.issuer) +
            (ban.reason.empty() ? "" : ": " + printable(ban.reason)));
      }
      if (m.bans.empty()) say("  none");
      return true;
    }
    default:
      return false;
  }
}

bool Session::handleFiles(const ServerMessage& m) {
  using C = ServerCode;
  switch (static_cast<C>(m.code)) {
    case C::FileList:
      say("Files of " + printable(here()) + ":");
      for (const client::FileEntry& file : m.files) {
        say("  " + printable(file.name) + " (by " + printable(file.creator) + ", last written by " +
            printable(file.editor) + (file.mayWrite ? "; you may write it" : "") +
            (file.mayRead ? "" : "; you may not read it") + ")");
      }
      if (m.files.empty()) say("  none");
      return true;
    case C::FileContent:
      if (!transfer_ || !transfer_->reading) return true;
      transfer_->total = m.number(0);
      transfer_->data = m.text(0);
      if (transfer_->data.size() < transfer_->total) {
        send(RequestWriter::frame([&](RequestWriter& w) {
          w.fileChunkRequest(static_cast<std::uint32_t>(transfer_->data.size()));
        }));
      } else {
        finishRead();
      }
      return true;
    case C::FileChunkData:
      if (!transfer_ || !transfer_->reading) return true;
      transfer_->data += m.text(0);
      if (m.text(0).empty() || transfer_->data.size() >= transfer_->total) {
        finishRead();
      } else {
        send(RequestWriter::frame([&](RequestWriter& w) {
          w.fileChunkRequest(static_cast<std::uint32_t>(transfer_->data.size()));
        }));
      }
      return true;
    case C::FileUnchanged:
      say("File " + printable(m.text(0)) + " is unchanged.");
      transfer_.reset();
      return true;
    case C::FileChunkAck:
      if (transfer_ && !transfer_->reading) sendNextPiece();
      return true;
    case C::FileSaved:
      if (transfer_ && !transfer_->reading && !m.texts.empty()) {
        say("Stored " + printable(m.text(0)) + " (" + std::to_string(transfer_->data.size()) +
            " bytes).");
        transfer_.reset();
      } else if (m.texts.empty()) {
        say("The file's rights were changed.");
      }
      return true;
    case C::FileCreated:
      return true;  // /write goes on with its WriteFile
    case C::FileExists:
      if (transfer_ && !transfer_->reading) return true;  // /write of a file that exists
      say("A file of that name exists already.");
      return true;
    case C::FileNotFound:
      say("No such file here.");
      transfer_.reset();
      return true;
    case C::FileAccessDenied:
      say("You may not do that with this file.");
      transfer_.reset();
      return true;
    case C::FileTooLarge:
      say("The file is too large (650000 bytes at the most).");
      transfer_.reset();
      return true;
    case C::TooManyFiles:
      say("The room holds 16 files already.");
      transfer_.reset();
      return true;
    case C::FileDeleted:
      say("The file was deleted.");
      return true;
    default:
      return false;
  }
}

void Session::finishRead() {
  Transfer done = std::move(*transfer_);
  transfer_.reset();
  if (done.localPath.empty()) {
    say("--- " + printable(done.file) + " (" + std::to_string(done.data.size()) + " bytes)");
    std::istringstream lines(done.data);
    for (std::string line; std::getline(lines, line);) say(printable(line));
    say("---");
    return;
  }
  std::ofstream out(done.localPath, std::ios::binary | std::ios::trunc);
  out << done.data;
  say(out ? "Saved " + printable(done.file) + " to " + done.localPath + " (" +
                std::to_string(done.data.size()) + " bytes)."
          : "Could not write " + done.localPath + ".");
}

// --- what the user types --------------------------------------------------------------------

void Session::command(const std::string& line) {
  if (line.empty()) return;
  if (line[0] != '/') {
    if (!room_) {
      say("You are in no room: /enter one first.");
      return;
    }
    send(RequestWriter::frame([&](RequestWriter& w) { w.roomChat(line.substr(0, 1024)); }));
    return;
  }
  const std::vector<std::string> w = words(line);
  const std::string& verb = w[0];
  auto need = [&](std::size_t n, const std::string& usage) {
    if (w.size() >= n) return true;
    say("Usage: " + usage);
    return false;
  };
  if (verb == "/help") {
    std::istringstream lines(commandHelp());
    for (std::string text; std::getline(lines, text);) say(text);
  } else if (verb == "/quit") {
    finish(kExitOk);
  } else if (verb == "/rooms") {
    roomsCommand(w);
  } else if (verb == "/enter") {
    if (!need(2, "/enter ROOM [PASSWORD]")) return;
    if (room_ && lowered(w[1]) == lowered(here())) {
      say("You are in " + printable(here()) + " already.");  // the server would not answer
      return;
    }
    entering_ = w[1];
    send(RequestWriter::frame(
        [&](RequestWriter& r) { r.enterRoom(w[1], w.size() > 2 ? w[2] : std::string()); }));
  } else if (verb == "/leave") {
    if (!room_ && entering_.empty()) {
      say("You are in no room.");
      return;
    }
    send(RequestWriter::frame([](RequestWriter& r) { r.leaveRoom(); }));
  } else if (verb == "/create") {
    createCommand(w);
  } else if (verb == "/lead") {
    if (!need(2, "/lead PASSWORD")) return;
    leadCommand(w[1]);
  } else if (verb == "/who") {
    whoCommand();
  } else if (verb == "/msg") {
    messageCommand(line);
  } else if (verb == "/follow") {
    if (!need(2, "/follow ROOM [PASSWORD]")) return;
    entering_ = w[1];
    send(RequestWriter::frame(
        [&](RequestWriter& r) { r.joinChannel(w[1], w.size() > 2 ? w[2] : std::string()); }));
  } else if (verb == "/unfollow") {
    if (!need(2, "/unfollow ROOM")) return;
    unfollowCommand(w[1]);
  } else if (verb == "/kick" || verb == "/ban" || verb == "/unban" || verb == "/bans") {
    roomModerationCommand(verb, line);
  } else if (verb == "/serverkick" || verb == "/serverban" || verb == "/serverunban" ||
             verb == "/serverbans") {
    serverModerationCommand(verb, line);
  } else if (verb == "/status") {
    statusCommand();
  } else if (verb == "/files" || verb == "/read" || verb == "/write") {
    if (!room_) {
      say("You are in no room: files belong to rooms, /enter one first.");
      return;
    }
    if (verb == "/files") send(RequestWriter::frame([](RequestWriter& r) { r.listFiles(); }));
    if (verb == "/read") readCommand(w, line);
    if (verb == "/write") writeCommand(w);
  } else {
    say("Unknown command " + verb + " (/help lists them).");
  }
}

// The server answers an administrator; anyone else only when it has no administrator
// password, and otherwise says nothing: the marker after the request tells which it was.
void Session::statusCommand() {
  send(RequestWriter::frame([&](RequestWriter& r) {
    r.statusRequest(options_.adminPassword.value_or(""));
    if (!admin_) r.listRooms(client::kMarkerRoomIndex);
  }));
  if (!admin_) directoryMarkers_.push_back(true);
}

void Session::statusMarkerCame() {
  if (!statusAnswered_) {
    say("No status: the server has an administrator password, and shows its status to "
        "administrators only; you have no administrator rights.");
  }
  statusAnswered_ = false;
}

void Session::leadCommand(const std::string& password) {
  if (!room_) {
    say("You are in no room.");
    return;
  }
  claimingLeadership_ = true;
  send(RequestWriter::frame([&](RequestWriter& r) { r.claimLeader(password); }));
  if (roomIsLocked()) return;  // a wrong password is answered; the others show in the room
  // In a room without a password the server answers nothing when the claim changes nothing.
  say(leadsHere() ? "Sent; you lead " + printable(here()) +
                        " already: the leader password changes nothing and is not confirmed, "
                        "any other password gives leadership up."
                  : "Sent; the server does not confirm a wrong leader password in a room "
                    "without a password: you lead when you see so.");
}

void Session::messageCommand(const std::string& line) {
  const auto parts = words(line, 2);
  if (parts.size() < 3) {
    say("Usage: /msg USER TEXT");
    return;
  }
  if (lowered(parts[1]) == lowered(options_.name)) {
    say("A private message to yourself goes nowhere.");  // the server drops it
    return;
  }
  send(RequestWriter::frame(
      [&](RequestWriter& r) { r.privateMessage(parts[1], parts[2].substr(0, 1024)); }));
  say("Sent to " + printable(parts[1]) +
      "; the server does not confirm private messages, nor say whether the user is online.");
}

void Session::unfollowCommand(const std::string& room) {
  // The server matches the followed room's name exactly, and answers only for a room the
  // user follows: take the name as the room list has it.
  const auto followed = std::find_if(following_.begin(), following_.end(), [&](const auto& name) {
    return lowered(name) == lowered(room);
  });
  if (followed == following_.end()) {
    say("You do not follow " + printable(room) + ".");
    return;
  }
  const std::string name = *followed;
  send(RequestWriter::frame([&](RequestWriter& r) { r.leaveChannel(name); }));
}

// The server ignores these requests without a word from anybody who is neither an
// administrator nor a leader of the room concerned, and confirms none but the ban list.
void Session::roomModerationCommand(const std::string& verb, const std::string& line) {
  const bool sanction = verb == "/kick" || verb == "/ban";
  const auto parts = words(line, 2);
  if (sanction && parts.size() < 2) {
    say("Usage: " + verb + " USER [REASON]");
    return;
  }
  if (verb == "/unban" && parts.size() < 2) {
    say("Usage: /unban NAME");
    return;
  }
  if (!sanction && !room_) {
    say("You are in no room: ban lists belong to rooms.");
    return;
  }
  if (!admin_ && !leadsHere()) {
    say("Only a room leader or an administrator may do that" +
        std::string(room_ ? ", and you do not lead " + printable(here()) + "." : "."));
    return;
  }
  const std::string target = parts.size() > 1 ? parts[1] : std::string();
  const std::string reason = parts.size() > 2 ? parts[2].substr(0, 63) : std::string();
  send(RequestWriter::frame([&](RequestWriter& r) {
    if (verb == "/kick") r.roomKick(target, reason);
    if (verb == "/ban") r.roomBan(target, reason, kByNameOnly);
    if (verb == "/unban") r.roomUnban(target);
    if (verb == "/bans") r.listRoomBans();
  }));
  if (sanction) {
    say("Sent; the server does not confirm kicks and bans (nor say when " + printable(target) +
        " is in no room, leads or is an administrator): from your room you see the user leave.");
  } else if (verb == "/unban") {
    say("Sent; the server does not confirm unbans (/bans shows the list).");
  }
}

// Administrators only, and the server answers a guest administrator with MembersOnly.
void Session::serverModerationCommand(const std::string& verb, const std::string& line) {
  const auto parts = words(line, 2);
  const bool sanction = verb == "/serverkick" || verb == "/serverban";
  if (parts.size() < 2 && verb != "/serverbans") {
    say("Usage: " + verb + (sanction ? " USER [REASON]" : " NAME"));
    return;
  }
  if (!admin_) {
    say("Only an administrator may do that (log in with --admin-password).");
    return;
  }
  if (!member_) {
    say("Only an administrator logged in to a member account may do that.");
    return;
  }
  const std::string target = parts.size() > 1 ? parts[1] : std::string();
  const std::string reason = parts.size() > 2 ? parts[2].substr(0, 63) : std::string();
  send(RequestWriter::frame([&](RequestWriter& r) {
    if (verb == "/serverkick") r.serverKick(target, reason);
    if (verb == "/serverban") r.serverBan(target, reason, kByNameOnly);
    if (verb == "/serverunban") r.serverUnban(target);
    if (verb == "/serverbans") r.listServerBans();
  }));
  if (sanction) {
    say("Sent; the server does not confirm kicks and bans, nor say whether " + printable(target) +
        " is online.");
  } else if (verb == "/serverunban") {
    say("Sent; the server does not confirm unbans (/serverbans shows the list).");
  }
}

void Session::roomsCommand(const std::vector<std::string>& w) {
  unsigned first = 0;
  if (w.size() > 1) {
    std::istringstream in(w[1]);
    if (!(in >> first) || first > 65535) {
      say("Usage: /rooms [FIRST]");
      return;
    }
  }
  if (first == 0) {
    say("Live rooms:");
    for (const LiveRoom& room : rooms_) {
      say("  " + printable(room.name) + (room.navigation ? " (navigation)" : "") +
          (room.hasPassword ? " [locked]" : " (" + std::to_string(room.members) + " in)"));
    }
    if (rooms_.empty()) say("  none");
  }
  send(RequestWriter::frame(
      [&](RequestWriter& r) { r.listRooms(static_cast<std::uint16_t>(first)); }));
  directoryMarkers_.push_back(false);
}

void Session::createCommand(const std::vector<std::string>& w) {
  std::vector<std::string> args;
  bool navigation = false;
  for (std::size_t i = 1; i < w.size(); ++i) {
    if (w[i] == "--nav") {
      navigation = true;
    } else {
      args.push_back(w[i]);
    }
  }
  if (args.empty() || args.size() > 3) {
    say("Usage: /create ROOM [PASSWORD [LEADERPASSWORD]] [--nav]");
    return;
  }
  // The server drops a creation under a name that breaks the rule without a word.
  if (const auto breach = client::nameRuleBreach(args[0])) {
    say("The room name '" + printable(args[0]) + "' " + *breach + "; " +
        std::string(client::kNameRule) + ".");
    return;
  }
  const std::string password = args.size() > 1 && args[1] != "-" ? args[1] : std::string();
  std::string leader = args.size() > 2 ? args[2] : std::string();
  if (leader.empty() || leader == password) {
    leader = madeUpPassword();
    madeUpLeader_ = leader;  // told once the room is created
  } else {
    madeUpLeader_.clear();
  }
  entering_ = args[0];
  send(RequestWriter::frame(
      [&](RequestWriter& r) { r.createRoom(args[0], password, leader, navigation ? 1 : 0); }));
}

void Session::whoCommand() {
  if (!room_) {
    say("You are in no room.");
    return;
  }
  std::string names;
  for (const Member& member : members_) {
    names += (names.empty() ? "" : ", ") + printable(member.name) + (member.leader ? "*" : "");
  }
  say("In " + printable(here()) + ": " + (names.empty() ? "nobody yet" : names));
}

void Session::readCommand(const std::vector<std::string>& w, const std::string& line) {
  if (w.size() < 2) {
    say("Usage: /read FILE [> LOCALPATH]");
    return;
  }
  Transfer read;
  read.reading = true;
  read.file = w[1];
  const std::size_t arrow = line.find('>');
  if (arrow != std::string::npos) {
    const auto target = words(line.substr(arrow + 1));
    if (target.empty()) {
      say("Usage: /read FILE [> LOCALPATH]");
      return;
    }
    read.localPath = target[0];
  }
  transfer_ = std::move(read);
  send(RequestWriter::frame([&](RequestWriter& r) { r.readFile(transfer_->file, 0); }));
}

void Session::writeCommand(const std::vector<std::string>& w) {
  if (w.size() < 3) {
    say("Usage: /write FILE LOCALPATH");
    return;
  }
  std::ifstream in(w[2], std::ios::binary);
  if (!in) {
    say("Cannot read " + w[2] + ".");
    return;
  }
  Transfer write;
  write.file = w[1];
  write.localPath = w[2];
  write.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (write.data.size() > kMaxFile) {
    say("The file is too large (650000 bytes at the most).");
    return;
  }
  write.total = static_cast<std::uint32_t>(write.data.size());
  transfer_ = std::move(write);
  // Created first (answered FileExists when it is there), then written in pieces.
  send(RequestWriter::frame([&](RequestWriter& r) {
    r.createFile(transfer_->file, 1, 0);
    const std::size_t first = std::min(transfer_->data.size(), kPiece);
    r.writeFile(transfer_->total, transfer_->file,
                std::string_view(transfer_->data).substr(0, first));
    transfer_->sent = first;
  }));
}

void Session::sendNextPiece() {
  const std::size_t size = std::min(transfer_->data.size() - transfer_->sent, kPiece);
  const std::string_view piece = std::string_view(transfer_->data).substr(transfer_->sent, size);
  transfer_->sent += size;
  send(RequestWriter::frame([&](RequestWriter& r) { r.fileChunk(piece); }));
}

}  // namespace velmor::chat
