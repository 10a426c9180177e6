#include "client/FrameDecoder.h"

#include <cstdint>
#include <cstdio>

#include "client/ServerLayout.h"
#include "wire/MessageCatalogue.h"

namespace velmor::client {

void FrameDecoder::feed(const char* data, std::size_t n) {
  buffer_.erase(0, readPos_);
  readPos_ = 0;
  buffer_.append(data, n);
}

bool FrameDecoder::nextFrame(std::string_view& payload) {
  const std::size_t available = buffer_.size() - readPos_;
  if (available < 2) return false;
  const auto* header = reinterpret_cast<const unsigned char*>(buffer_.data() + readPos_);
  const std::size_t length = header[0] | (static_cast<std::size_t>(header[1]) << 8);
  if (available - 2 < length) return false;
  payload = std::string_view(buffer_).substr(readPos_ + 2, length);
  readPos_ += 2 + length;
  return true;
}

void FrameDecoder::clear() {
  buffer_.clear();
  readPos_ = 0;
}

namespace {

// Reads little-endian fields from a payload; every read checks the bytes left first.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}

  std::size_t offset() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }
  bool atEnd() const { return pos_ == bytes_.size(); }

  bool integer(std::size_t width, std::uint32_t& value) {
    if (width > remaining()) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
    }
    pos_ += width;
    return true;
  }
  bool u8(std::uint32_t& value) { return integer(1, value); }
  bool u16(std::uint32_t& value) { return integer(2, value); }
  bool u32(std::uint32_t& value) { return integer(4, value); }

  template <typename T>
  bool u8(T& out) {
    std::uint32_t v;
    if (!u8(v)) return false;
    out = static_cast<T>(v);
    return true;
  }
  template <typename T>
  bool u16(T& out) {
    std::uint32_t v;
    if (!u16(v)) return false;
    out = static_cast<T>(v);
    return true;
  }

  // Wire string or blob: u16 byte count, then the bytes.
  bool string(std::string& text) {
    std::uint32_t length;
    if (!u16(length)) return false;
    if (length > remaining()) return false;
    text.assign(bytes_.substr(pos_, length));
    pos_ += length;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

class Decoder {
 public:
  Decoder(std::string_view payload, const DecodeOptions& options, std::string& error)
      : cursor_(payload), payloadSize_(payload.size()), options_(options), error_(error) {}

  bool run(std::vector<ServerMessage>& messages) {
    while (!cursor_.atEnd()) {
      start_ = cursor_.offset();
      ServerMessage message;
      if (!decodeMessage(message)) return false;
      if (message.is(wire::ServerCode::ObjectBatch)) objectPass_ = true;
      messages.push_back(std::move(message));
    }
    return true;
  }

 private:
  bool decodeMessage(ServerMessage& m) {
    std::uint32_t first = 0;
    cursor_.u8(first);
    if (first >= wire::kCompactStepBase && first <= wire::kLastObjectStep) {
      return decodeStep(static_cast<std::uint8_t>(first), m);
    }
    m.code = static_cast<std::uint16_t>(first);
    if (first == wire::kExtendedCodePrefix) {
      std::uint32_t low;
      if (!cursor_.u8(low)) return fail("extended code 0xFF without its low byte");
      m.code = static_cast<std::uint16_t>(wire::kFirstExtendedCode | low);
    }
    const ServerLayout layout = serverLayout(m.code);
    if (layout.name == nullptr) {
      return fail(first == wire::kExtendedCodePrefix ? "unknown extended code " + hex(m.code, 3)
                                                     : "unknown code " + hex(m.code, 2));
    }
    if (!decodePayload(layout, m)) {
      return fail("code " + hex(m.code, 2) + " (" + layout.name + "): field runs past the end");
    }
    return true;
  }

  bool decodePayload(const ServerLayout& layout, ServerMessage& m) {
    switch (layout.shape) {
      case LayoutShape::Flat:
        return fields(layout.fields, m);
      case LayoutShape::MemberInfo:
        return fields(options_.navigationRoom ? layout.navigationFields : layout.fields, m);
      case LayoutShape::OptionalFlat:
        return cursor_.atEnd() || fields(layout.fields, m);
      case LayoutShape::RoomList:
        return countedList(m, &Decoder::roomEntry, m.rooms);
      case LayoutShape::RoomOpened:
        return roomEntry(m.rooms.emplace_back());
      case LayoutShape::MemberList:
        return fields("w", m) && countedList(m, &Decoder::memberEntry, m.members);
      case LayoutShape::BanList:
        return countedList(m, &Decoder::banEntry, m.bans);
      case LayoutShape::FileList:
        return countedList(m, &Decoder::fileEntry, m.files);
      case LayoutShape::RoomDirectory:
        return fields("w", m) && countedList(m, &Decoder::directoryEntry, m.directory);
      case LayoutShape::RecentLines: {
        std::uint32_t n;
        if (!cursor_.u8(n)) return false;
        m.numbers.push_back(n);
        for (std::uint32_t i = 0; i < n; ++i) {
          if (!cursor_.string(m.texts.emplace_back())) return false;
        }
        return true;
      }
    }
    return false;
  }

  bool fields(const char* spelling, ServerMessage& m) {
    for (const char* f = spelling; *f != '\0'; ++f) {
      std::uint32_t value = 0;
      bool ok = true;
      switch (*f) {
        case 'b':
          ok = cursor_.u8(value);
          break;
        case 'w':
          ok = cursor_.u16(value);
          break;
        case 'd':
          ok = cursor_.u32(value);
          break;
        case 's':
          ok = cursor_.string(m.texts.emplace_back());
          break;
        default:
          ok = false;
          break;
      }
      if (!ok) return false;
      if (*f != 's') m.numbers.push_back(value);
    }
    return true;
  }

  // u16 count, then count entries. The list is not reserved from the count: a hostile
  // count must not allocate more than the entries actually present.
  template <typename Entry>
  bool countedList(ServerMessage& m, bool (Decoder::*entry)(Entry&), std::vector<Entry>& list) {
    std::uint32_t count;
    if (!cursor_.u16(count)) return false;
    m.numbers.push_back(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!(this->*entry)(list.emplace_back())) return false;
    }
    return true;
  }

  bool roomEntry(RoomEntry& e) {
    if (!cursor_.string(e.name) || !cursor_.u8(e.flags)) return false;
    e.hasPassword = (e.flags & wire::kRoomHasPassword) != 0;
    e.navigation = (e.flags & wire::kRoomNavigation) != 0;
    if (e.hasPassword) return true;
    e.hasCount = true;
    if (!cursor_.u16(e.memberCount)) return false;
    if (e.memberCount < wire::kRoomLimitDiffers) return true;
    e.memberCount = static_cast<std::uint16_t>(e.memberCount - wire::kRoomLimitDiffers);
    e.limitDiffers = true;
    return cursor_.u16(e.maxUsers);
  }

  bool memberEntry(MemberEntry& e) {
    return cursor_.string(e.name) && cursor_.u32(e.profileWord1) && cursor_.u16(e.profileShort) &&
           cursor_.u8(e.isLeader);
  }

  bool banEntry(BanEntry& e) {
    return cursor_.string(e.name) && cursor_.string(e.issuer) && cursor_.string(e.reason) &&
           cursor_.u32(e.mask);
  }

  bool fileEntry(FileEntry& e) {
    return cursor_.string(e.name) && cursor_.string(e.creator) && cursor_.string(e.editor) &&
           cursor_.u32(e.lastEdited) && cursor_.u8(e.mayRead) && cursor_.u8(e.mayWrite);
  }

  bool directoryEntry(DirectoryEntry& e) {
    return cursor_.string(e.name) && cursor_.string(e.creator);
  }

  // Member step: 0x55 + (dx + 3) + 7 (dy + 3), in three sub-ranges of 49 by what follows.
  // Object step: 0x55 + (dx + 6) + 13 (dy + 6), nothing follows.
  bool decodeStep(std::uint8_t type, ServerMessage& m) {
    m.code = type;
    const int index = type - wire::kCompactStepBase;
    if (objectPass_) {
      m.kind = MessageKind::ObjectStep;
      m.step.dx = index % wire::kObjectStepSpan - wire::kObjectStepRange;
      m.step.dy = index / wire::kObjectStepSpan - wire::kObjectStepRange;
      return true;
    }
    m.kind = MessageKind::MemberStep;
    if (type > wire::kLastMemberStep) {
      return fail("byte " + hex(type, 2) + " is no member step (no ObjectBatch before it)");
    }
    const int cell = index % wire::kMemberStepCount;
    m.step.dx = cell % wire::kMemberStepSpan - wire::kMemberStepRange;
    m.step.dy = cell / wire::kMemberStepSpan - wire::kMemberStepRange;
    switch (index / wire::kMemberStepCount) {
      case 0:
        return true;
      case 1: {
        m.step.direction = StepDirection::Step;
        std::uint32_t raw;
        if (!cursor_.u8(raw)) break;
        m.step.directionStep = static_cast<std::int8_t>(static_cast<std::uint8_t>(raw));
        return true;
      }
      default:
        m.step.direction = StepDirection::Value;
        if (!cursor_.u16(m.step.directionValue)) break;
        return true;
    }
    return fail("member step " + hex(type, 2) + ": direction runs past the end");
  }

  bool fail(const std::string& what) {
    error_ = "offset " + std::to_string(start_) + " of a " + std::to_string(payloadSize_) +
             "-byte frame: " + what;
    return false;
  }

  Cursor cursor_;
  std::size_t payloadSize_;
  const DecodeOptions& options_;
  std::string& error_;
  std::size_t start_ = 0;    // offset of the message being decoded
  bool objectPass_ = false;  // an ObjectBatch was decoded earlier in this frame
};

}  // namespace

bool decodeFrame(std::string_view payload, const DecodeOptions& options,
                 std::vector<ServerMessage>& messages, std::string& error) {
  return Decoder(payload, options, error).run(messages);
}

}  // namespace velmor::client
