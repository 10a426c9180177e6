#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor {

// The PROXY protocol header a reverse proxy puts before a connection's own bytes, version 1
// (a text line, as nginx sends it) or 2 (binary, as HAProxy sends it), read as it arrives.
// It names the client's address; the server believes it only from a trusted proxy and
// closes anyone else's connection that starts with one (startsWithSignature).
// Owned by the connection's Transport; main loop only.
class ProxyHeader {
 public:
  enum class State { Reading, Done, Refused };
  // The longest header taken: v1's 107 bytes, v2's 16 and the addresses (TLVs included).
  static constexpr std::size_t kMaxBytes = 536;

  // Takes the connection's next bytes; `used` says how many belong to the header (the rest
  // are the connection's own). Done: client() is known; Refused: no header, a malformed
  // one, or one too long.
  State take(const char* data, std::size_t length, std::size_t& used);
  // The client's IPv4 address in network byte order; 0 when the header names none
  // (LOCAL, UNKNOWN or another family): the proxy's own connection then.
  std::uint32_t client() const { return client_; }

  // The first bytes of a connection hold either version's signature (checked on the first
  // read only: a header split across reads is then the connection's own garbage).
  static bool startsWithSignature(const char* data, std::size_t length);

 private:
  State parseV1(std::size_t& headerLength);
  State parseV2(std::size_t& headerLength);

  char bytes_[kMaxBytes];
  std::size_t held_ = 0;
  std::uint32_t client_ = 0;
};

}  // namespace velmor
