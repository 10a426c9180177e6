#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmor {

// The login proof: a client proves it knows the stored 16-byte password hash by sending
// the MD5 digest of the proof text, which is the hash written as four little-endian u32
// in eight lower-case hex digits each, followed by the challenge. The digest goes on the
// wire as the four MD5 state words, each most significant byte first (the usual digest
// bytes d0..d15 as d3 d2 d1 d0 d7 d6 d5 d4 ...).
std::string loginProofText(const std::uint8_t (&passwordHash)[16], std::string_view challenge);
std::array<std::uint8_t, 16> expectedLoginProof(const std::uint8_t (&passwordHash)[16],
                                                std::string_view challenge);

}  // namespace velmor
