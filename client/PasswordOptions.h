#pragma once

// The password options of the tools (velmor-chat, velmor-probe), one spelling per secret in
// both: --account-password, --server-password, --admin-password. --password meant the
// server's password in velmor-chat and the account's in velmor-probe, so habit from one tool
// sent a secret where the other expected a different one; both tools refuse it, before
// connecting, with this one message. Constants only; any thread.

#include <string_view>

namespace velmor::client {

inline constexpr std::string_view kAmbiguousPasswordOption = "--password";
inline constexpr std::string_view kAmbiguousPasswordRefused =
    "--password is refused, as it named a different password in each tool: give the member "
    "account's password with --account-password, or the server's with --server-password";

}  // namespace velmor::client
