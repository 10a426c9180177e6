#include "Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "client/NameRule.h"
#include "client/PasswordOptions.h"

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
  } else if (option == "--server-password") {
    options.serverPassword = value;
  } else if (option == "--admin-password") {
    options.adminPassword = std::string(value);
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
    if (option == client::kAmbiguousPasswordOption) {  // refused with or without its value
      error = client::kAmbiguousPasswordRefused;
      return ParseResult::Error;
    }
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
  // The server drops a login under such a name without a word: say why here, at once.
  if (const auto breach = client::nameRuleBreach(options.name)) {
    error = "--name: '" + options.name + "' " + *breach + "; " + std::string(client::kNameRule);
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
                   [--account-password PW | --register PW]
                   [--server-password PW] [--admin-password PW]

Talks to a VelmorServer from the terminal: log in, enter rooms, chat, follow channels,
moderate, read and write room files.

  --host H               the server's IPv4 address (127.0.0.1)
  --port N               its port (7175)
  --name NAME            your name: 1 to 31 characters, a letter first, then letters,
                         digits, _ or spaces, no space at the end
  --account-password PW  log in to the member account NAME with its password
  --register PW          log in as a guest and register NAME with the password PW
  --server-password PW   the server's password, if it has one
  --admin-password PW    log in as administrator (sent in place of the server
                         password, which it overrides)

The password options mean the same in velmor-probe. --password is refused: it meant
--server-password here and --account-password in velmor-probe.

Type /help once connected for the commands. Exit status: 0 after /quit, Ctrl-C or the
end of the input; 1 when the server refused the login or threw you off; 2 for a bad
command line or a name that breaks the rule; 3 when there was no connection or it was
lost.
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
  /lead PASSWORD                claim leadership with the leader password; the room
                                password gives it up, and so does, in a room without
                                a password, any password that is not the leader's
  /who                          the members of your room (* marks leaders)
  /msg USER TEXT                a private message to a user online (not confirmed)
  /follow ROOM [PASSWORD]       follow a room as a channel: you see who comes and goes
                                there and when its leader changes, not what is said
  /unfollow ROOM                stop following it
  /kick USER [REASON]           room leaders and administrators: out of the room
  /ban USER [REASON]            the same, and barred by name
  /unban NAME                   lift a room ban
  /bans                         the room's bans
  /serverkick USER [REASON]     administrators with a member account: off the server
  /serverban USER [REASON]      the same, and barred by name
  /serverunban NAME             lift a server ban
  /serverbans                   the server's bans
  /status                       the server's status (administrators; anyone when the
                                server has no administrator password)
  /files                        the files of your room
  /read FILE [> LOCALPATH]      show a file, or save it
  /write FILE LOCALPATH         store a local file in the room (created if need be)
  /help                         this text
  /quit                         leave
The server does not confirm kicks, bans, unbans nor private messages: the tool says
"sent" for them. What only leaders or administrators may do is refused here to others.
)";
}

}  // namespace velmor::chat
