#pragma once

// The server's rule for user and room names, as the tools check it before asking: the server
// drops a login or a room creation whose name breaks the rule without a word, which a user
// would only see as a wait and a lost connection. Plain functions; any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::client {

// The longest name the server keeps whole; a longer one would be cut to this and be another
// name, so the tools refuse it.
inline constexpr std::size_t kMaxNameLength = 31;

// The rule in one sentence, for messages.
inline constexpr std::string_view kNameRule =
    "a name holds 1 to 31 characters: a letter first, then letters, digits, '_' or spaces, "
    "and no space at the end";

// Why `name` breaks the rule (e.g. "starts with '9', not a letter"), or nothing when it keeps
// it.
std::optional<std::string> nameRuleBreach(std::string_view name);

}  // namespace velmor::client
