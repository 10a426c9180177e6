// velmor-probe: the operator's one-shot client. Connects, logs in as a guest, a member or
// an administrator, prints what the welcome (and the status request) told, and exits.
// Refusals and lost connections go to standard error with a non-zero exit status.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "Options.h"
#include "client/Connection.h"
#include "client/ConnectionLimit.h"
#include "client/LoginProof.h"
#include "client/RequestWriter.h"
#include "client/ServerMessage.h"

namespace velmor::probe {
namespace {

using client::RequestWriter;
using client::ServerMessage;
using wire::ServerCode;

// What the server told the probe.
struct Report {
  bool admin = false;          // AdminGranted came
  bool challenged = false;     // LoginChallenge came: the name is a member account
  bool guestWithHash = false;  // a password was given but the name has no account
  ServerMessage serverInfo{};  // string name, u16 chat limit, u16 navigation limit, u8 flag
  ServerMessage roomList{};    // the live rooms
  std::optional<std::string> statusText{};
};

int fail(int status, const std::string& why) {
  std::fprintf(stderr, "velmor-probe: %s\n", why.c_str());
  return status;
}

// Control characters from the wire would drive the operator's terminal.
std::string printable(const std::string& text, bool keepLineEnds = false) {
  std::string out = text;
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && !(keepLineEnds && c == '\n')) || byte == 0x7F) c = '?';
  }
  return out;
}

// Why the server refused, or nothing when `message` is no refusal.
std::optional<std::string> refusal(const ServerMessage& message, const Options& options) {
  const std::string name = "'" + options.name + "'";
  if (message.is(ServerCode::ConnectionRefused)) {
    return "the server refused the connection (ConnectionRefused): " +
           client::connectionLimitExplained();
  }
  if (message.is(ServerCode::Banned)) {
    return "banned from the server (Banned), ban entry '" + printable(message.text(0)) + "'";
  }
  if (message.is(ServerCode::BannedFromServer)) {
    return "banned from the server (BannedFromServer): " + printable(message.text(0));
  }
  if (message.is(ServerCode::KickedFromServer)) {
    return "kicked from the server (KickedFromServer): " + printable(message.text(0));
  }
  if (message.is(ServerCode::VersionRejected)) {
    return "the server rejected the protocol version (VersionRejected)";
  }
  if (message.is(ServerCode::ServerPasswordWrong)) {
    return "the server password was refused (ServerPasswordWrong): give the right one with "
           "--server-password";
  }
  if (message.is(ServerCode::NameInUse)) {
    return "the name " + name + " is in use by a user online (NameInUse)";
  }
  if (message.is(ServerCode::LoginProofRejected)) {
    return "the password of member " + name + " was refused (LoginProofRejected)";
  }
  return std::nullopt;
}

class Probe {
 public:
  explicit Probe(const Options& options) : options_(options), connection_(options.timeoutMs) {}

  int run() {
    if (!connection_.open(options_.host, options_.port)) {
      return fail(kExitNoAnswer, connection_.error());
    }
    if (const int status = logIn(); status != kExitOk) return status;
    if (!options_.adminPassword) {
      print();
      return kExitOk;
    }
    if (const int status = requestStatus(); status != kExitOk) return status;
    print();
    if (!report_.statusText) {
      return fail(kExitRefused,
                  "the administrator password was refused: no administrator rights were "
                  "granted and the status request was not answered");
    }
    return kExitOk;
  }

 private:
  // A refusal, a lost connection or the timeout as an exit status; kExitOk for a message.
  int receive(ServerMessage& message) {
    if (!connection_.next(message)) return fail(kExitNoAnswer, connection_.error());
    if (auto why = refusal(message, options_)) return fail(kExitRefused, *why);
    return kExitOk;
  }

  // Until the welcome (ServerInfo and RoomList) has come.
  int logIn() {
    client::LoginFields fields;
    fields.name = options_.name;
    fields.password = options_.adminPassword ? *options_.adminPassword : options_.serverPassword;
    // A failed send is not the end: a refusal sent at connect may be waiting to be read.
    connection_.send(RequestWriter::frame([&](RequestWriter& w) { w.login(fields); }));
    ServerMessage message;
    while (true) {
      if (const int status = receive(message); status != kExitOk) return status;
      if (message.is(ServerCode::AdminGranted)) {
        report_.admin = true;
      } else if (message.is(ServerCode::GuestWelcome)) {
        report_.guestWithHash = options_.passwordHash.has_value();
      } else if (message.is(ServerCode::LoginChallenge)) {
        if (!options_.passwordHash) {
          return fail(
              kExitRefused,
              "'" + options_.name + "' is a member account: give its --account-password or --hash");
        }
        report_.challenged = true;
        const client::Hash16 proof = client::loginProof(*options_.passwordHash, message.text(1));
        connection_.send(RequestWriter::frame([&](RequestWriter& w) { w.loginProof(proof); }));
      } else if (message.is(ServerCode::ServerInfo)) {
        report_.serverInfo = std::move(message);
      } else if (message.is(ServerCode::RoomList)) {
        report_.roomList = std::move(message);
        return kExitOk;
      }
    }
  }

  int requestStatus() {
    connection_.send(RequestWriter::frame([&](RequestWriter& w) {
      w.statusRequest(*options_.adminPassword);
      w.listRooms(client::kMarkerRoomIndex);
    }));
    ServerMessage message;
    while (true) {
      if (const int status = receive(message); status != kExitOk) return status;
      if (message.is(ServerCode::StatusText)) {
        report_.statusText = message.text(0);
        return kExitOk;
      }
      if (message.is(ServerCode::RoomDirectory)) return kExitOk;
    }
  }

  // What --admin-password did when no AdminGranted came. The status request carries the
  // same password as the login, so the server answering it means it has no administrator
  // password, and then it answers anyone's.
  std::string adminRefusal() const {
    return report_.statusText ? "no: the server has no administrator password, so "
                                "--admin-password granted nothing; it shows its status to anyone"
                              : "no: --admin-password is not the administrator password";
  }

  std::string loginDescription() const {
    std::string kind = report_.challenged ? "member" : "guest";
    if (report_.guestWithHash) kind += ": no account with this name";
    if (report_.admin) kind += ", administrator";
    return options_.name + " (" + kind + ")";
  }

  void print() const {
    const ServerMessage& info = report_.serverInfo;
    const std::uint32_t chatLimit = info.number(0);
    const std::uint32_t navigationLimit = info.number(1);
    std::printf("Server name:        %s\n", printable(info.text(0)).c_str());
    std::printf("Address:            %s:%u\n", options_.host.c_str(), options_.port);
    std::printf("Logged in as:       %s\n", loginDescription().c_str());
    if (options_.adminPassword && !report_.admin) {
      std::printf("Administrator:      %s\n", adminRefusal().c_str());
    }
    std::printf("Chat room limit:    %u users\n", chatLimit);
    std::printf("Nav room limit:     %u users\n", navigationLimit);
    std::printf("Users create rooms: %s\n", info.number(2) != 0 ? "yes" : "no");
    std::printf("Live rooms:         %zu\n", report_.roomList.rooms.size());
    int nameWidth = 0;
    for (const auto& room : report_.roomList.rooms) {
      nameWidth = std::max(nameWidth, static_cast<int>(room.name.size()));
    }
    for (const auto& room : report_.roomList.rooms) {
      std::string occupancy = "locked";
      if (room.hasCount) {
        const std::uint32_t limit = room.limitDiffers ? room.maxUsers
                                    : room.navigation ? navigationLimit
                                                      : chatLimit;
        occupancy = std::to_string(room.memberCount) + "/" + std::to_string(limit) + " users";
      }
      std::printf("  %-*s  %-10s  %s\n", nameWidth, printable(room.name).c_str(),
                  room.navigation ? "navigation" : "chat", occupancy.c_str());
    }
    if (report_.statusText) {
      std::printf("Status text:\n");
      std::string text = printable(*report_.statusText, true);
      std::size_t start = 0;
      while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::printf("  %s\n", text.substr(start, end - start).c_str());
        start = end + 1;
      }
    }
    std::fflush(stdout);
  }

  const Options& options_;
  client::Connection connection_;
  Report report_;
};

}  // namespace
}  // namespace velmor::probe

int main(int argc, char** argv) {
  using namespace velmor::probe;
  Options options;
  std::string error;
  switch (parseOptions(argc, argv, options, error)) {
    case ParseResult::Help:
      std::fputs(usageText().c_str(), stdout);
      return kExitOk;
    case ParseResult::Error:
      std::fprintf(stderr, "velmor-probe: %s\nTry 'velmor-probe --help'.\n", error.c_str());
      return kExitUsage;
    case ParseResult::Run:
      break;
  }
  return Probe(options).run();
}
