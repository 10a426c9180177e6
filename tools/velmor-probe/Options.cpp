#include "Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "client/LoginProof.h"
#include "client/NameRule.h"
#include "client/PasswordOptions.h"

namespace velmor::probe {
namespace {

constexpr int kMaxTimeoutMs = 3600000;  // one hour

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The server drops a login whose name breaks its rule without a word, which would look
// like a timeout; checking here turns that into a clear usage error.
bool checkName(std::string_view name, std::string& error) {
  if (const auto breach = client::nameRuleBreach(name)) {
    error =
        "--name: '" + std::string(name) + "' " + *breach + "; " + std::string(client::kNameRule);
    return false;
  }
  return true;
}

bool parseInteger(std::string_view text, long min, long max, long& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty() && value >= min && value <= max;
}

int hexDigit(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseHash(std::string_view text, client::Hash16& hash) {
  if (text.size() != 2 * hash.size()) return false;
  for (std::size_t i = 0; i < hash.size(); ++i) {
    const int high = hexDigit(text[2 * i]);
    const int low = hexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    hash[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

// Applies one option with its value; false with `error` set when the value is bad.
bool applyOption(std::string_view option, std::string_view value, Options& options,
                 std::string& error) {
  std::string quoted(1, '\'');  // built by appending: GCC 12 misreads "'" + string as overlapping
  quoted.append(value).push_back('\'');
  long number = 0;
  if (option == "--host") {
    in_addr address{};
    if (inet_pton(AF_INET, std::string(value).c_str(), &address) != 1) {
      error = "--host: " + quoted + " is not an IPv4 address (e.g. 127.0.0.1)";
      return false;
    }
    options.host = value;
  } else if (option == "--port") {
    if (!parseInteger(value, 1, 65535, number)) {
      error = "--port: " + quoted + " is not a port number (1 to 65535)";
      return false;
    }
    options.port = static_cast<std::uint16_t>(number);
  } else if (option == "--timeout") {
    if (!parseInteger(value, 1, kMaxTimeoutMs, number)) {
      error = "--timeout: " + quoted + " is not a number of milliseconds (1 to 3600000)";
      return false;
    }
    options.timeoutMs = static_cast<int>(number);
  } else if (option == "--name") {
    if (!checkName(value, error)) return false;
    options.name = value;
  } else if (option == "--account-password" || option == "--hash") {
    if (options.passwordHash) {
      error = std::string(option) + ": give only one of --account-password and --hash";
      return false;
    }
    client::Hash16 hash{};
    if (option != "--hash") {
      hash = client::passwordHashOf(value);
    } else if (!parseHash(value, hash)) {
      error = "--hash: " + quoted + " is not 32 hexadecimal digits";
      return false;
    }
    options.passwordHash = hash;
  } else if (option == "--server-password") {
    options.serverPassword = value;
  } else if (option == "--admin-password") {
    options.adminPassword = std::string(value);
  } else {
    error = "unknown option '" + std::string(option) + "'";
    return false;
  }
  return true;
}

}  // namespace

ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") return ParseResult::Help;
    if (!argument.starts_with("--")) {
      error = "unexpected argument '" + std::string(argument) + "'";
      return ParseResult::Error;
    }
    // Both "--port 7175" and "--port=7175".
    const auto equals = argument.find('=');
    const std::string_view option = argument.substr(0, equals);
    if (option == client::kAmbiguousPasswordOption) {  // refused with or without its value
      error = client::kAmbiguousPasswordRefused;
      return ParseResult::Error;
    }
    std::string_view value;
    if (equals != std::string_view::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error = std::string(option) + " needs a value";
      return ParseResult::Error;
    }
    if (!applyOption(option, value, options, error)) return ParseResult::Error;
  }
  return ParseResult::Run;
}

std::string usageText() {
  return R"(Usage: velmor-probe [OPTION]...
Connects to a running VelmorServer, logs in, prints the server's name, its room
limits and live rooms (and with --admin-password its status text), and exits.

  --host ADDR              server's IPv4 address (default 127.0.0.1)
  --port N                 server's TCP port (default 7175)
  --timeout MS             give up when the whole exchange takes longer than MS
                           milliseconds (default 3000)
  --name NAME              name to log in with (default Probe); a name without an
                           account logs in as a guest
  --account-password PW    log in as the member NAME; the stored password hash is
                           taken to be the MD5 digest of the text PW
  --hash HEX32             log in as the member NAME with the stored 16-byte
                           password hash given as 32 hexadecimal digits
  --server-password PW     the server password, if the server has one
  --admin-password PW      log in as administrator (sent in place of the server
                           password, which it overrides) and print the status text;
                           a server without an administrator password grants no
                           rights for it, and shows its status to anyone
  -h, --help               show this help and exit

A name holds 1 to 31 characters: a letter first, then letters, digits, '_' or
spaces, and no space at the end. A member login replaces a session of the same
member that is online. The password options mean the same in velmor-chat.
--password is refused: it meant --account-password here and --server-password in
velmor-chat.

Exit status: 0 success, 1 the server refused the login, 2 bad command line or a
name that breaks the rule, 3 no connection, connection closed, timeout or
unreadable reply.
)";
}

}  // namespace velmor::probe
