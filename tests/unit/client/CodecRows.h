#pragma once

// The recorded frames of the client codec's tests: one hand-built payload per server message
// layout with the messages it decodes to, and payloads that must fail with what the error
// names. CodecTest decodes them with client::decodeFrame; codec_rows prints them as JSON for
// the JavaScript client's test, so that both codecs answer to the same table. Plain data built
// once on first use; no thread affinity.

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "client/ServerMessage.h"

namespace velmor::client::recorded {

// Test input is spelled byte by byte; str() is the one shorthand: a wire string's u16
// count (little-endian) followed by its bytes.
struct Piece {
  std::string bytes;
  Piece(int byte) : bytes(1, static_cast<char>(byte)) {}  // NOLINT: implicit on purpose
  explicit Piece(std::string raw) : bytes(std::move(raw)) {}
};

Piece str(std::string_view text);
std::string bytes(std::initializer_list<Piece> pieces);

struct LayoutRow {
  const char* name;
  std::string payload;
  std::vector<ServerMessage> expected;
  bool navigationRoom = false;
};

inline void PrintTo(const LayoutRow& row, std::ostream* os) {
  *os << row.name;
}

struct FaultRow {
  const char* name;
  std::string payload;
  std::vector<std::string> errorMentions;
};

inline void PrintTo(const FaultRow& row, std::ostream* os) {
  *os << row.name;
}

// Every server message layout, one row each (compact steps last).
const std::vector<LayoutRow>& layoutRows();
// Payloads that stop decoding, each with what its error must mention.
const std::vector<FaultRow>& faultRows();

}  // namespace velmor::client::recorded
