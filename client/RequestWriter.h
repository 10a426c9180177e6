#pragma once

// Builds client-to-server frames into one reusable byte buffer. Owned by whoever talks to
// the server (a test, velmor-load, velmor-probe); one thread, no locking.
// clear() keeps the capacity, so a tool that builds a frame per message does not allocate
// once the buffer has grown to its largest frame.
//
// Layout of the buffer: any number of frames back to back, each a u16 payload length
// (little-endian) and the payload. beginFrame() reserves the length, endFrame() patches
// it, and every message written in between shares the frame. Writers outside a frame are
// allowed, so tests can build deliberately broken input with the raw helpers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/RequestWriters.h"
#include "wire/MessageCatalogue.h"

namespace velmor::client {

using Hash16 = std::array<std::uint8_t, 16>;  // proof or password hash, sent as stored

// The first index of a ListRooms sent for its answer alone: RoomDirectory with this first
// index comes at once, so after a request the server may leave unanswered (a StatusRequest it
// refuses) it marks where that answer would have been; requests are answered in order.
inline constexpr std::uint16_t kMarkerRoomIndex = 0xFFFF;

// Every field of a Login request in wire order. The defaults give a valid request with an
// empty identity; version 1 is the only one the server accepts.
struct LoginFields {
  std::uint8_t version = 1;
  std::uint32_t profileWord1 = 0;
  std::uint32_t profileWord2 = 0;
  std::uint16_t profileShort = 0;
  std::uint32_t loginWord = 0;
  std::uint32_t appearanceWord = 0;
  std::uint8_t appearanceByte = 0;
  std::uint16_t appearanceShort1 = 0;
  std::uint16_t appearanceShort2 = 0;
  std::uint32_t ignored = 0;  // 4 bytes the server skips
  std::string_view name{};
  std::string_view appearanceText{};
  std::string_view password{};
};

class RequestWriter : public RequestWriters<RequestWriter> {
 public:
  RequestWriter() = default;

  // Returns one frame holding whatever `writeMessages(RequestWriter&)` writes, e.g.
  // RequestWriter::frame([](RequestWriter& w) { w.keepAlive(); }).
  template <typename F>
  static std::string frame(F&& writeMessages) {
    RequestWriter writer;
    writer.beginFrame();
    writeMessages(writer);
    writer.endFrame();
    return writer.buffer_;
  }

  // Empties the buffer; the capacity stays.
  void clear();
  const std::string& bytes() const { return buffer_; }
  std::size_t size() const { return buffer_.size(); }

  // REQUIRES: no frame is open.
  RequestWriter& beginFrame();
  // Writes the payload length into the open frame's header. Returns false when the payload
  // exceeds 65535 bytes; the header then holds the low 16 bits of the size, which is what
  // a test of an over-long frame wants anyway. REQUIRES: a frame is open.
  bool endFrame();

  // Raw field writers, little-endian. string() and blob() write a u16 byte count and the
  // bytes, cut to 65000 bytes as every sender does; raw() writes the bytes alone.
  RequestWriter& u8(std::uint8_t value);
  RequestWriter& u16(std::uint16_t value);
  RequestWriter& u32(std::uint32_t value);
  RequestWriter& string(std::string_view text);
  RequestWriter& blob(std::string_view content) { return string(content); }
  RequestWriter& raw(std::string_view bytes);
  RequestWriter& type(wire::ClientType type) { return u8(static_cast<std::uint8_t>(type)); }

  // One writer per request, fields in wire order (RequestWriters, made from the wire's
  // definition); Login also from all its fields at once.
  using RequestWriters::login;
  RequestWriter& login(const LoginFields& fields);

 private:
  static constexpr std::size_t kNoFrame = static_cast<std::size_t>(-1);

  std::string buffer_;
  std::size_t frameStart_ = kNoFrame;  // offset of the open frame's u16 length
};

}  // namespace velmor::client
