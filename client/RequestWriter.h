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

class RequestWriter {
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

  // One writer per request, fields in wire order.
  RequestWriter& login(const LoginFields& fields);
  RequestWriter& position(std::uint16_t x, std::uint16_t y, std::uint8_t layer, std::uint8_t flags,
                          std::uint16_t direction);
  RequestWriter& objectReport(std::string_view name, std::uint16_t value1, std::uint16_t value2,
                              std::uint8_t value3);
  RequestWriter& appearance(std::uint32_t word, std::uint8_t byte, std::uint16_t short1,
                            std::uint16_t short2, std::string_view text);
  RequestWriter& localChat(std::string_view text);
  RequestWriter& repeatLocalChat();
  RequestWriter& whisper(std::string_view recipient, std::string_view text);
  RequestWriter& roomChat(std::string_view text);
  RequestWriter& repeatRoomChat();
  RequestWriter& privateMessage(std::string_view recipient, std::string_view text);
  RequestWriter& createRoom(std::string_view name, std::string_view password,
                            std::string_view leaderPassword, std::uint8_t navigation);
  RequestWriter& nop();
  RequestWriter& joinChannel(std::string_view room, std::string_view password);
  RequestWriter& leaveChannel(std::string_view room);
  RequestWriter& enterRoom(std::string_view room, std::string_view password);
  RequestWriter& loginProof(const Hash16& proof);
  RequestWriter& registerAccount(const Hash16& emailHash, const Hash16& passwordHash);
  RequestWriter& keepAlive();
  RequestWriter& roomKick(std::string_view user, std::string_view reason);
  RequestWriter& roomBan(std::string_view user, std::string_view reason, std::uint32_t mask);
  RequestWriter& serverKick(std::string_view user, std::string_view reason);
  RequestWriter& serverBan(std::string_view user, std::string_view reason, std::uint32_t mask);
  RequestWriter& listRoomBans();
  RequestWriter& listServerBans();
  RequestWriter& roomUnban(std::string_view name);
  RequestWriter& serverUnban(std::string_view name);
  RequestWriter& claimLeader(std::string_view password);
  RequestWriter& createFile(std::string_view name, std::uint8_t usersCanRead,
                            std::uint8_t usersCanWrite);
  RequestWriter& readFile(std::string_view name, std::uint32_t versionHeld);
  RequestWriter& writeFile(std::uint32_t totalLength, std::string_view name,
                           std::string_view firstChunk);
  RequestWriter& setFileAccess(std::string_view name, std::uint8_t usersCanRead,
                               std::uint8_t usersCanWrite);
  RequestWriter& listFiles();
  RequestWriter& deleteFile(std::string_view name);
  RequestWriter& leaveRoom();
  RequestWriter& listRooms(std::uint16_t firstIndex);
  RequestWriter& setRoomPasswords(std::string_view password, std::string_view leaderPassword);
  RequestWriter& fileChunk(std::string_view chunk);
  RequestWriter& fileChunkRequest(std::uint32_t offset);
  RequestWriter& enemyReport(std::uint16_t value1, std::uint16_t value2, std::uint8_t value3);
  RequestWriter& roomRefresh();
  RequestWriter& statusRequest(std::string_view adminPassword);

 private:
  static constexpr std::size_t kNoFrame = static_cast<std::size_t>(-1);

  RequestWriter& hash(const Hash16& bytes);

  std::string buffer_;
  std::size_t frameStart_ = kNoFrame;  // offset of the open frame's u16 length
};

}  // namespace velmor::client
