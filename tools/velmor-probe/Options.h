#pragma once

// The command line of velmor-probe, parsed and checked before any connection is made.
// A plain value owned by main(); one thread.

#include <cstdint>
#include <optional>
#include <string>

#include "client/RequestWriter.h"

namespace velmor::probe {

// Exit statuses, also listed in the help text.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;   // the server answered with a refusal
inline constexpr int kExitUsage = 2;     // bad command line (a name that breaks the rule too)
inline constexpr int kExitNoAnswer = 3;  // no connection, connection lost, timeout, bad reply

struct Options {
  std::string host = "127.0.0.1";  // numeric IPv4 address
  std::uint16_t port = 7175;
  int timeoutMs = 3000;  // for the whole exchange, connecting included
  std::string name = "Probe";
  // The stored 16-byte password hash of the account: --hash as given, or the MD5 digest
  // of --account-password. Without it the probe can only log in as a guest.
  std::optional<client::Hash16> passwordHash;
  std::string serverPassword;
  std::optional<std::string> adminPassword;
};

enum class ParseResult { Run, Help, Error };

// Fills `options` from argv. On Error `error` says which option is wrong and why.
ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error);

// The --help text.
std::string usageText();

}  // namespace velmor::probe
