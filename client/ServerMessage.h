#pragma once

// One decoded server-to-client message, as FrameDecoder produces it. A plain value owned by
// the caller's vector; no thread affinity.
//
// Flat layouts keep their fields in two lists: `numbers` holds every integer field in wire
// order (u8, u16 and u32 alike) and `texts` every string and blob in wire order. List
// messages keep the fields before their entries the same way (RoomList: count; MemberList:
// room number, count; RoomDirectory: first index, count; RecentLines: n and the lines in
// `texts`) and their entries in the typed list of that message. Compact relay steps are a
// kind of their own: `code` is then the raw type byte and `step` holds the decoded step.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "wire/MessageCatalogue.h"

namespace velmor::client {

enum class MessageKind : std::uint8_t {
  Message,     // a catalogue code
  MemberStep,  // compact step before an ObjectBatch in the same frame
  ObjectStep,  // compact step after an ObjectBatch in the same frame
};

enum class StepDirection : std::uint8_t {
  Unchanged,  // no payload
  Step,       // i8 step added to the last direction
  Value,      // u16 new direction
};

struct CompactStep {
  int dx = 0;  // -3..3 for members, -6..6 for objects
  int dy = 0;
  StepDirection direction = StepDirection::Unchanged;  // always Unchanged for objects
  int directionStep = 0;                               // StepDirection::Step only
  std::uint16_t directionValue = 0;                    // StepDirection::Value only

  bool operator==(const CompactStep&) const = default;
};

// RoomList / RoomOpened entry. memberCount is present only without a password; a count
// sent with 32000 added means the room's user limit differs and maxUsers follows.
struct RoomEntry {
  std::string name{};
  std::uint8_t flags = 0;
  bool hasPassword = false;
  bool navigation = false;
  bool hasCount = false;
  std::uint16_t memberCount = 0;  // with the 32000 taken off
  bool limitDiffers = false;
  std::uint16_t maxUsers = 0;  // limitDiffers only

  bool operator==(const RoomEntry&) const = default;
};

struct MemberEntry {
  std::string name{};
  std::uint32_t profileWord1 = 0;
  std::uint16_t profileShort = 0;
  std::uint8_t isLeader = 0;

  bool operator==(const MemberEntry&) const = default;
};

struct BanEntry {
  std::string name{};
  std::string issuer{};
  std::string reason{};
  std::uint32_t mask = 0;

  bool operator==(const BanEntry&) const = default;
};

struct FileEntry {
  std::string name{};
  std::string creator{};
  std::string editor{};
  std::uint32_t lastEdited = 0;  // seconds since 1970
  std::uint8_t mayRead = 0;
  std::uint8_t mayWrite = 0;

  bool operator==(const FileEntry&) const = default;
};

struct DirectoryEntry {
  std::string name{};
  std::string creator{};

  bool operator==(const DirectoryEntry&) const = default;
};

struct ServerMessage {
  MessageKind kind = MessageKind::Message;
  std::uint16_t code = 0;  // catalogue code (0x100.. for FF-prefixed ones) or step byte
  std::vector<std::uint32_t> numbers{};
  std::vector<std::string> texts{};
  std::vector<RoomEntry> rooms{};  // RoomList; RoomOpened holds exactly one
  std::vector<MemberEntry> members{};
  std::vector<BanEntry> bans{};  // RoomBanList, ServerBanList
  std::vector<FileEntry> files{};
  std::vector<DirectoryEntry> directory{};
  CompactStep step{};  // MemberStep and ObjectStep only

  bool operator==(const ServerMessage&) const = default;

  bool is(wire::ServerCode c) const {
    return kind == MessageKind::Message && code == static_cast<std::uint16_t>(c);
  }
  // Absent fields read as 0 and empty, so a tool may print without checking the layout.
  std::uint32_t number(std::size_t i) const { return i < numbers.size() ? numbers[i] : 0; }
  const std::string& text(std::size_t i) const;

  // Catalogue name of the code, "MemberStep" or "ObjectStep".
  std::string name() const;
  // One line with the name, the code and every field, for logs and test failures.
  std::string describe() const;
};

// Catalogue name of a server code, or nullptr when the code is not in the catalogue.
const char* serverCodeName(std::uint16_t code);

// Lets GoogleTest print a message through describe().
void PrintTo(const ServerMessage& message, std::ostream* os);

}  // namespace velmor::client
