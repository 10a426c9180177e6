#pragma once

// What velmor-chat knows of the server while it is online, and what it makes of every
// message: the live rooms (so that room numbers read as names), the user's room and its
// members by seat (so that chat lines read as names), the channels he follows, and the
// file transfer in progress. Commands typed by the user become requests of the protocol; a
// request the server would ignore without a word (a right the user lacks, a name that breaks
// the rule) is refused here with the reason, and one the server never confirms says so
// when sent. Owned by main(); one thread.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Options.h"
#include "client/Connection.h"
#include "client/ServerMessage.h"

namespace velmor::chat {

class Session {
 public:
  // `print` shows one line to the user.
  Session(client::Connection& connection, const Options& options,
          std::function<void(const std::string&)> print);

  // The login, before the terminal takes over: waits for the welcome (and a registration
  // asked for). kExitOk when online; otherwise the exit status, the reason printed.
  int logIn();
  // What the welcome said: the server's name and the live rooms.
  void printWelcome();

  // One message from the server, online.
  void handle(const client::ServerMessage& message);
  // One line typed by the user.
  void command(const std::string& line);

  // Where the lines go from now on (the terminal, once it runs).
  void setPrinter(std::function<void(const std::string&)> print) { print_ = std::move(print); }

  // The session is over: the exit status (std::nullopt while it goes on).
  std::optional<int> finished() const { return exitStatus_; }
  void finish(int status) { exitStatus_ = status; }

 private:
  struct LiveRoom {
    std::string name;
    bool hasPassword = false;
    bool navigation = false;
    std::uint16_t members = 0;
  };
  struct Member {
    std::string name;
    bool leader = false;
  };
  // A file being read or written in pieces.
  struct Transfer {
    bool reading = false;
    std::string file;
    std::string localPath;  // reading: where to save ("" shows it); writing: the source
    std::string data;
    std::uint32_t total = 0;
    std::size_t sent = 0;  // writing
  };

  void send(const std::string& frame);
  void say(const std::string& line) { print_(line); }
  std::string roomName(std::uint32_t number) const;
  std::string memberName(std::uint32_t slot) const;
  std::string here() const;   // the name of the user's room, or "the room"
  bool leadsHere() const;     // the user leads his room, as its member list says
  bool roomIsLocked() const;  // the user's room has a password
  void leftRoom();

  // Login replies and refusals; false when the message is not one of them.
  bool handleRefusal(const client::ServerMessage& m);
  bool handleRoomUpdate(const client::ServerMessage& m);
  bool handleChat(const client::ServerMessage& m);
  bool handleFiles(const client::ServerMessage& m);
  bool handleModeration(const client::ServerMessage& m);

  // The commands, one per handler.
  void roomsCommand(const std::vector<std::string>& words);
  void createCommand(const std::vector<std::string>& words);
  void whoCommand();
  void statusCommand();
  void statusMarkerCame();
  void leadCommand(const std::string& password);
  void messageCommand(const std::string& line);
  void unfollowCommand(const std::string& room);
  void roomModerationCommand(const std::string& verb, const std::string& line);
  void serverModerationCommand(const std::string& verb, const std::string& line);
  void readCommand(const std::vector<std::string>& words, const std::string& line);
  void writeCommand(const std::vector<std::string>& words);
  void sendNextPiece();
  void finishRead();

  client::Connection& connection_;
  const Options& options_;
  std::function<void(const std::string&)> print_;
  std::optional<int> exitStatus_;

  // What the login granted: administrator rights, a member account (logged in or registered).
  bool admin_ = false;
  bool member_ = false;

  // One entry per ListRooms not yet answered, in sending order (the server answers in order):
  // true for the marker after a status request sent without administrator rights, false for
  // a page of /rooms. statusAnswered_: a StatusText came since the last marker.
  std::deque<bool> directoryMarkers_;
  bool statusAnswered_ = false;

  std::string serverName_;
  std::vector<LiveRoom> rooms_;        // in room-number order
  std::optional<std::uint32_t> room_;  // the user's room number, once the server said so
  bool navigationRoom_ = false;
  std::vector<Member> members_;      // by seat
  std::string entering_;             // the room last asked for, for the refusals
  std::string madeUpLeader_;         // the leader password /create chose, until the room exists
  bool claimingLeadership_ = false;  // a /lead not yet answered by a change of the user's state
  std::vector<std::string> following_;
  std::optional<Transfer> transfer_;
};

// Control characters from the wire would drive the user's terminal: they are shown as '?'.
std::string printable(const std::string& text);

}  // namespace velmor::chat
