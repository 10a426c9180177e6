#include "Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

namespace velmor::chat {

namespace {

bool parsePort(std::string_view text, std::uint16_t& port) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty() || value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// Applies one option with its value; false with `error` set when the value is bad.
bool applyOption(std::string_view option, std::string_view value, Options& options,
                 std::string& error) {
  if (option == "--host") {
    in_addr address{};
    if (inet_pton(AF_INET, std::string(value).c_str(), &address) != 1) {
      error = "--host: '" + std::string(value) + "' is not an IPv4 address (e.g. 127.0.0.1)";
      return false;
    }
    options.host = value;
  } else if (option == "--port") {
    if (!parsePort(value, options.port)) {
      error = "--port: '" + std::string(value) + "' is not a port (1..65535)";
      return false;
    }
  } else if (option == "--name") {
    options.name = value;
  } else if (option == "--account-password") {
    options.accountPassword = std::string(value);
  } else if (option == "--register") {
    options.registerPassword = std::string(value);
  } else if (option == "--password") {
    options.password = value;
  } else {
    error = "unknown option " + std::string(option) + " (see --help)";
    return false;
  }
  return true;
}

}  // namespace

ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") return ParseResult::Help;
    if (i + 1 >= argc) {
      error = std::string(option) + " needs a value (see --help)";
      return ParseResult::Error;
    }
    if (!applyOption(option, argv[++i], options, error)) return ParseResult::Error;
  }
  if (options.name.empty()) {
    error = "--name is required (see --help)";
    return ParseResult::Error;
  }
  if (options.name.size() > 31) {
    error = "--name: a name holds at most 31 characters";
    return ParseResult::Error;
  }
  if (options.accountPassword && options.registerPassword) {
    error = "give only one of --account-password and --register";
    return ParseResult::Error;
  }
  return ParseResult::Run;
}

std::string usageText() {
  return R"(Usage: velmor-chat [--host H] [--port N] --name NAME
                   [--account-password PW | --register PW] [--password PW]

Talks to a VelmorServer from the terminal: log in, enter rooms, chat, follow channels,
moderate, read and write room files.

  --host H               the server's IPv4 address (127.0.0.1)
  --port N               its port (7175)
  --name NAME            your name: a letter, then letters, digits, _ or spaces
  --account-password PW  log in to the member account NAME
  --register PW          log in as a guest and register NAME with the password PW
  --password PW          the server's password, or the administrator password

Type /help once connected for the commands. Exit status: 0 after /quit, Ctrl-C or the
end of the input; 1 when the server refused the login or threw you off; 2 for a bad
command line; 3 when there was no connection or it was lost.
)";
}

std::string commandHelp() {
  return R"(A line without a leading slash is said in your room. Commands:
  /rooms [FIRST]                the live rooms, then a page of the stored ones from FIRST
  /enter ROOM [PASSWORD]        enter a room
  /leave                        leave your room
  /create ROOM [PASSWORD [LEADERPASSWORD]] [--nav]
                                create a stored room (- for no password; a leader
                                password is made up and shown when none is given)
  /lead PASSWORD                claim (or, with the room password, give up) leadership
  /who                          the members of your room (* marks leaders)
  /msg USER TEXT                a private message to a user online
  /follow ROOM [PASSWORD]       follow a room as a channel
  /unfollow ROOM                stop following it
  /kick USER [REASON]           leaders and administrators: out of the room
  /ban USER [REASON]            the same, and barred by name
  /unban NAME                   lift a room ban
  /bans                         the room's bans
  /serverkick USER [REASON]     administrators: off the server
  /serverban USER [REASON]      the same, and barred by name
  /serverunban NAME             lift a server ban
  /serverbans                   the server's bans
  /status                       the server's status (administrators)
  /files                        the files of your room
  /read FILE [> LOCALPATH]      show a file, or save it
  /write FILE LOCALPATH         store a local file in the room (created if need be)
  /help                         this text
  /quit                         leave
)";
}

}  // namespace velmor::chat
