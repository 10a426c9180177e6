#pragma once

#include <string_view>

#include "client/RequestWriter.h"

namespace velmor::client {

// What a client answers to LoginChallenge: the MD5 digest of the stored password hash
// written as four little-endian u32 in "%08x" and the challenge appended, sent as the four
// MD5 state words each most significant byte first.
Hash16 loginProof(const Hash16& passwordHash, std::string_view challenge);

// The password hash the tools register and log in with: the MD5 digest of the password
// text. (The server stores whatever 16 bytes a client registers; this is the tools' choice.)
Hash16 passwordHashOf(std::string_view password);

}  // namespace velmor::client
