#pragma once

// The command line of velmor-chat, parsed and checked before any connection is made. A
// plain value owned by main(); one thread.

#include <cstdint>
#include <optional>
#include <string>

namespace velmor::chat {

// Exit statuses, also listed in the help text.
inline constexpr int kExitOk = 0;        // /quit, Ctrl-C or the end of the input
inline constexpr int kExitRefused = 1;   // the server refused the login, or threw us off
inline constexpr int kExitUsage = 2;     // bad command line (a name that breaks the rule too)
inline constexpr int kExitNoServer = 3;  // no connection, or the connection was lost

struct Options {
  std::string host = "127.0.0.1";  // numeric IPv4 address
  std::uint16_t port = 7175;
  std::string name;
  std::optional<std::string> accountPassword;   // log in to the member account
  std::optional<std::string> registerPassword;  // register the name first
  std::string serverPassword;                   // the server's, if it has one
  std::optional<std::string> adminPassword;     // sent in place of the server password
  int connectTimeoutMs = 5000;

  // The password field of the login: the administrator's overrides the server's.
  const std::string& loginPassword() const {
    return adminPassword ? *adminPassword : serverPassword;
  }
};

enum class ParseResult { Run, Help, Error };

// Fills `options` from argv. On Error `error` says which option is wrong and why.
ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error);

// The --help text, and the commands of /help.
std::string usageText();
std::string commandHelp();

}  // namespace velmor::chat
