#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "client/FrameDecoder.h"
#include "client/RequestWriter.h"
#include "client/ServerMessage.h"

namespace velmor::client {
namespace {

using C = wire::ServerCode;

// Test input is spelled byte by byte; str() is the one shorthand: a wire string's u16
// count (little-endian) followed by its bytes.
struct Piece {
  std::string bytes;
  Piece(int byte) : bytes(1, static_cast<char>(byte)) {}  // NOLINT: implicit on purpose
  explicit Piece(std::string raw) : bytes(std::move(raw)) {}
};

Piece str(std::string_view text) {
  std::string out;
  out += static_cast<char>(text.size() & 0xFF);
  out += static_cast<char>(text.size() >> 8);
  out += text;
  return Piece(std::move(out));
}

std::string bytes(std::initializer_list<Piece> pieces) {
  std::string out;
  for (const Piece& p : pieces) out += p.bytes;
  return out;
}

std::uint16_t code(C c) {
  return static_cast<std::uint16_t>(c);
}

ServerMessage msg(C c, std::vector<std::uint32_t> numbers = {},
                  std::vector<std::string> texts = {}) {
  return ServerMessage{.code = code(c), .numbers = std::move(numbers), .texts = std::move(texts)};
}

ServerMessage memberStep(int type, int dx, int dy,
                         StepDirection direction = StepDirection::Unchanged, int directionStep = 0,
                         std::uint16_t directionValue = 0) {
  return ServerMessage{.kind = MessageKind::MemberStep,
                       .code = static_cast<std::uint16_t>(type),
                       .step = {dx, dy, direction, directionStep, directionValue}};
}

ServerMessage objectStep(int type, int dx, int dy) {
  return ServerMessage{
      .kind = MessageKind::ObjectStep, .code = static_cast<std::uint16_t>(type), .step = {dx, dy}};
}

RoomEntry openRoom(std::string name, std::uint8_t flags, std::uint16_t count) {
  return {std::move(name), flags, false, (flags & 2) != 0, true, count, false, 0};
}

bool decode(std::string_view payload, std::vector<ServerMessage>& out, std::string& error,
            bool navigationRoom = false) {
  return decodeFrame(payload, DecodeOptions{.navigationRoom = navigationRoom}, out, error);
}

// ---------------------------------------------------------------------------------------
// Every server message layout, one hand-built frame payload per row.

struct LayoutRow {
  const char* name;
  std::string payload;
  std::vector<ServerMessage> expected;
  bool navigationRoom = false;
};

void PrintTo(const LayoutRow& row, std::ostream* os) {
  *os << row.name;
}

const std::vector<LayoutRow>& layoutRows() {
  static const std::vector<LayoutRow> rows = {
      {"VersionRejected", bytes({0x01}), {msg(C::VersionRejected)}},
      {"KickedFromServer", bytes({0x03, str("spam")}), {msg(C::KickedFromServer, {}, {"spam"})}},
      {"BannedFromServerEmptyReason", bytes({0x04, str("")}), {msg(C::BannedFromServer, {}, {""})}},
      {"ConnectionRefused", bytes({0x05}), {msg(C::ConnectionRefused)}},
      {"StatusText",
       bytes({0x06, 0x00, str("up 3 days")}),
       {msg(C::StatusText, {0}, {"up 3 days"})}},
      {"ObjectName", bytes({0x07, str("crate")}), {msg(C::ObjectName, {}, {"crate"})}},
      {"ObjectInfoThenItsPosition",
       bytes({0x08, str("crate"), 0x0C, 0x10, 0x00, 0x20, 0x01, 0x02}),
       {msg(C::ObjectInfo, {}, {"crate"}), msg(C::ObjectPosition, {0x10, 0x120, 2})}},
      {"MemberUpdate",
       bytes({0x09, 0x78, 0x56, 0x34, 0x12, 0x07, 0x34, 0x12, 0xCD, 0xAB, 0x01, str("red hat")}),
       {msg(C::MemberUpdate, {0x12345678, 7, 0x1234, 0xABCD, 1}, {"red hat"})}},
      {"MemberInfoChatRoom",
       bytes({0x0A, str("Ann"), 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01}),
       {msg(C::MemberInfo, {0x04030201, 0x0605, 1}, {"Ann"})}},
      {"MemberInfoNavigationRoom",
       bytes({0x0A, str("Bob"), 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03,       0x00,
              0x04, 0x00,       0x00, 0x80, 0x05, 0x06, 0x00, 0x07, 0x00, 0x01, str("cape")}),
       {msg(C::MemberInfo, {1, 2, 3, 0x80000004, 5, 6, 7, 1}, {"Bob", "cape"})},
       true},
      {"MemberPosition",
       bytes({0x0B, 0x10, 0x27, 0x20, 0x4E, 0x03, 0x01, 0x5A, 0x00}),
       {msg(C::MemberPosition, {10000, 20000, 3, 1, 90})}},
      {"RelayIndexMessages",
       bytes({0x0E, 0x05, 0x0F, 0x02, 0x10, 0x11, 0x00, 0x01, 0x12, 0x03, 0x13, 0x04}),
       {msg(C::MemberLeft, {5}), msg(C::MemberMoving, {2}), msg(C::MemberStopped),
        msg(C::MemberRelayFlags, {0, 1}), msg(C::MemberActive, {3}), msg(C::MemberIdle, {4})}},
      {"ObjectPassMessages",
       bytes({0x0D, 0x14, 0x01, 0x15, 0x16, 0x01, 0x01, 0x17, 0x02, 0x18, 0x03}),
       {msg(C::ObjectBatch), msg(C::ObjectMoving, {1}), msg(C::ObjectStopped),
        msg(C::ObjectFlags, {1, 1}), msg(C::ObjectStale, {2}), msg(C::ObjectFresh, {3})}},
      {"ChatLines",
       bytes({0x19, 0x01, str("hi"), 0x1A, 0x01, 0x0F, 0x1B, 0x02, str("hello all"), 0x1E, 0x03,
              str("psst")}),
       {msg(C::LocalLine, {1}, {"hi"}), msg(C::LocalLineRepeat, {1, 15}),
        msg(C::RoomLine, {2}, {"hello all"}), msg(C::WhisperLine, {3}, {"psst"})}},
      {"RecentLines",
       bytes({0x1C, 0x02, str("one"), str("two")}),
       {msg(C::RecentLines, {2}, {"one", "two"})}},
      {"RecentLinesNone", bytes({0x1C, 0x00}), {msg(C::RecentLines, {0})}},
      {"PrivateMessageNotice",
       bytes({0x1F, str("meet me"), str("Cy")}),
       {msg(C::PrivateMessageNotice, {}, {"meet me", "Cy"})}},
      {"LeaderStates",
       bytes({0x20, 0x02, 0x01, 0x01, 0x21, 0x07, 0x00, 0x02, 0x00, 0x00}),
       {msg(C::MemberLeaderState, {258, 1}), msg(C::ChannelLeaderState, {7, 2, 0})}},
      {"BareRoomReplies",
       bytes({0x22, 0x23, 0x25, 0x40}),
       {msg(C::RoomCreated), msg(C::RoomCreateFailed), msg(C::RoomFull), msg(C::RoomLeft)}},
      {"RoomState",
       bytes({0x24, 0x07, 0x00, 0x01, str("Dee"), 0x05, 0x00}),
       {msg(C::RoomState, {7, 1, 5}, {"Dee"})}},
      {"RoomListEveryEntryForm",
       bytes({0x27, 0x04, 0x00, str("lobby"), 0x02, 0x05, 0x00, str("den"), 0x01, str("vault"),
              0x03, str("hall"), 0x00, 0x03, 0x7D, 0x64, 0x00}),
       {ServerMessage{.code = code(C::RoomList),
                      .numbers = {4},
                      .rooms = {openRoom("lobby", 0x02, 5),
                                {"den", 0x01, true, false, false, 0, false, 0},
                                {"vault", 0x03, true, true, false, 0, false, 0},
                                {"hall", 0x00, false, false, true, 3, true, 100}}}}},
      {"RoomListLimitThreshold",
       bytes(
           {0x27, 0x02, 0x00, str("a"), 0x00, 0xFF, 0x7C, str("b"), 0x00, 0x00, 0x7D, 0x08, 0x00}),
       {ServerMessage{
           .code = code(C::RoomList),
           .numbers = {2},
           .rooms = {openRoom("a", 0, 31999), {"b", 0x00, false, false, true, 0, true, 8}}}}},
      {"RoomListEmpty",
       bytes({0x27, 0x00, 0x00}),
       {ServerMessage{.code = code(C::RoomList), .numbers = {0}}}},
      {"MemberList",
       bytes({0x28, 0x03, 0x00,       0x02, 0x00, str("Ann"), 0x01, 0x00, 0x00, 0x00, 0x02,
              0x00, 0x01, str("Bob"), 0xFF, 0xFF, 0xFF,       0xFF, 0xFF, 0xFF, 0x00}),
       {ServerMessage{.code = code(C::MemberList),
                      .numbers = {3, 2},
                      .members = {{"Ann", 1, 2, 1}, {"Bob", 0xFFFFFFFF, 0xFFFF, 0}}}}},
      {"ChannelMembership",
       bytes({0x29, 0x03, 0x00, 0x09, 0x00, 0x2A, 0x03, 0x00, str("Eve"), 0x0A, 0x00, 0x00, 0x00,
              0x0B, 0x00, 0x01}),
       {msg(C::ChannelMemberLeft, {3, 9}), msg(C::ChannelMemberJoined, {3, 10, 11, 1}, {"Eve"})}},
      {"RoomNumbers",
       bytes({0x2B, 0x04, 0x00, 0x2C, 0x00, 0x01, 0x2E, 0x03, 0x00, 0x01, 0x2F,
              0x03, 0x00, 0x0C, 0x00, 0x30, 0x03, 0x00, 0x31, 0x03, 0x00, 0x01}),
       {msg(C::RoomExited, {4}), msg(C::RoomClosed, {256}), msg(C::RoomLockChanged, {3, 1}),
        msg(C::RoomMemberCount, {3, 12}), msg(C::ChannelJoined, {3}), msg(C::ChannelLeft, {3, 1})}},
      {"RoomOpened",
       bytes({0x2D, str("lobby"), 0x02, 0x03, 0x00}),
       {ServerMessage{.code = code(C::RoomOpened), .rooms = {openRoom("lobby", 0x02, 3)}}}},
      {"RoomOpenedWithPassword",
       bytes({0x2D, str("den"), 0x01}),
       {ServerMessage{.code = code(C::RoomOpened),
                      .rooms = {{"den", 0x01, true, false, false, 0, false, 0}}}}},
      {"ServerInfo",
       bytes({0x32, str("Velmor"), 0x40, 0x00, 0x20, 0x00, 0x01}),
       {msg(C::ServerInfo, {64, 32, 1}, {"Velmor"})}},
      {"BareLoginReplies",
       bytes({0x33, 0x36, 0x37, 0x43, 0x45}),
       {msg(C::AdminGranted), msg(C::LoginReplaced), msg(C::ServerPasswordWrong),
        msg(C::FileChunkAck), msg(C::RoomReset)}},
      {"LoginChallenge",
       bytes({0x34, str("salt"), str("k!3x")}),
       {msg(C::LoginChallenge, {}, {"salt", "k!3x"})}},
      {"GuestWelcome", bytes({0x35, str("abc")}), {msg(C::GuestWelcome, {}, {"abc"})}},
      {"RoomKickAndBan",
       bytes({0x38, str("bye"), 0x39, str("out"), 0x3C, str("Mal")}),
       {msg(C::KickedFromRoom, {}, {"bye"}), msg(C::BannedFromRoom, {}, {"out"}),
        msg(C::Banned, {}, {"Mal"})}},
      {"RoomBanList",
       bytes({0x3A, 0x01, 0x00, str("Mal"), str("Ann"), str("rude"), 0xFF, 0xFF, 0xFF, 0x00}),
       {ServerMessage{.code = code(C::RoomBanList),
                      .numbers = {1},
                      .bans = {{"Mal", "Ann", "rude", 0x00FFFFFF}}}}},
      {"ServerBanList",
       bytes({0x3B, 0x02, 0x00, str("X"), str("Y"), str(""), 0x00, 0x00, 0x00, 0x00, str("Z"),
              str(""), str("r"), 0x01, 0x02, 0x03, 0x04}),
       {ServerMessage{.code = code(C::ServerBanList),
                      .numbers = {2},
                      .bans = {{"X", "Y", "", 0}, {"Z", "", "r", 0x04030201}}}}},
      {"FileContentBlobWithNul",
       bytes({0x3D, 0x40, 0x1F, 0x00, 0x00, str(std::string("a\0b", 3)), str("notes"), 0x10, 0x20,
              0x30, 0x40, 0x01}),
       {msg(C::FileContent, {8000, 0x40302010, 1}, {std::string("a\0b", 3), "notes"})}},
      {"FileUnchanged",
       bytes({0x3E, str("notes"), 0x01, 0x00, 0x00, 0x00, 0x00}),
       {msg(C::FileUnchanged, {1, 0}, {"notes"})}},
      {"FileList",
       bytes({0x3F,      0x02, 0x00, str("a"), str("Ann"), str("Bob"), 0x05,
              0x00,      0x00, 0x00, 0x01,     0x00,       str("b"),   str("Cy"),
              str("Cy"), 0x06, 0x00, 0x00,     0x00,       0x00,       0x01}),
       {ServerMessage{.code = code(C::FileList),
                      .numbers = {2},
                      .files = {{"a", "Ann", "Bob", 5, 1, 0}, {"b", "Cy", "Cy", 6, 0, 1}}}}},
      {"RoomDirectory",
       bytes({0x41, 0x0A, 0x00, 0x02, 0x00, str("a"), str("Ann"), str("b"), str("Bob")}),
       {ServerMessage{.code = code(C::RoomDirectory),
                      .numbers = {10, 2},
                      .directory = {{"a", "Ann"}, {"b", "Bob"}}}}},
      {"FileChunkData", bytes({0x42, str("chunk")}), {msg(C::FileChunkData, {}, {"chunk"})}},
      {"EnemySighting",
       bytes({0x44, 0x02, 0x01, 0x00, 0x02, 0x00, 0x03}),
       {msg(C::EnemySighting, {2, 1, 2, 3})}},
      {"LoginProofRejected", bytes({0xFF, 0x04}), {msg(C::LoginProofRejected)}},
      {"EveryBareExtendedCode",
       bytes({0xFF, 0x00, 0xFF, 0x01, 0xFF, 0x02, 0xFF, 0x03, 0xFF, 0x05, 0xFF, 0x06, 0xFF,
              0x07, 0xFF, 0x08, 0xFF, 0x09, 0xFF, 0x0A, 0xFF, 0x0B, 0xFF, 0x0C, 0xFF, 0x0D,
              0xFF, 0x0F, 0xFF, 0x10, 0xFF, 0x11, 0xFF, 0x12, 0xFF, 0x13, 0xFF, 0x14}),
       {msg(C::RoomExists), msg(C::NoSuchRoom), msg(C::RoomExistsLocked), msg(C::WrongRoomPassword),
        msg(C::Registered), msg(C::RegistrationFailed), msg(C::NameInUse),
        msg(C::RoomCreationDenied), msg(C::RoomPasswordsChanged), msg(C::FileExists),
        msg(C::FileCreated), msg(C::FileNotFound), msg(C::FileAccessDenied), msg(C::MembersOnly),
        msg(C::FileDeleted), msg(C::FileTooLarge), msg(C::TooManyFiles), msg(C::NotRoomOwner),
        msg(C::TooManyChannels)}},
      {"FileSavedBareAfterAccessChange", bytes({0xFF, 0x0E}), {msg(C::FileSaved)}},
      {"FileSavedAfterWrite",
       bytes({0xFF, 0x0E, str("notes"), 0x2A, 0x00, 0x00, 0x00}),
       {msg(C::FileSaved, {42}, {"notes"})}},
      {"EmptyPayload", "", {}},

      // Compact steps.
      {"MemberStepsOfEverySubRange",
       bytes({0x6D, 0x55, 0x85, 0x60, 0x86, 0xFF, 0x9E, 0x80, 0xB6, 0x7F, 0xCF, 0x10, 0x0E, 0xE7,
              0x34, 0x12, 0xB7, 0x00, 0x00}),
       {memberStep(0x6D, 0, 0), memberStep(0x55, -3, -3), memberStep(0x85, 3, 3),
        memberStep(0x60, 1, -2), memberStep(0x86, -3, -3, StepDirection::Step, -1),
        memberStep(0x9E, 0, 0, StepDirection::Step, -128),
        memberStep(0xB6, 3, 3, StepDirection::Step, 127),
        memberStep(0xCF, 0, 0, StepDirection::Value, 0, 3600),
        memberStep(0xE7, 3, 3, StepDirection::Value, 0, 0x1234),
        memberStep(0xB7, -3, -3, StepDirection::Value, 0, 0)}},
      {"StepsChangeMeaningAtObjectBatch",
       bytes({0x60, 0x86, 0x05, 0x0D, 0x60, 0x86, 0xA9, 0x55, 0xFD, 0xE8, 0x19, 0x00, str("x")}),
       {memberStep(0x60, 1, -2), memberStep(0x86, -3, -3, StepDirection::Step, 5),
        msg(C::ObjectBatch), objectStep(0x60, 5, -6), objectStep(0x86, 4, -3),
        objectStep(0xA9, 0, 0), objectStep(0x55, -6, -6), objectStep(0xFD, 6, 6),
        objectStep(0xE8, -2, 5), msg(C::LocalLine, {0}, {"x"})}},
  };
  return rows;
}

class ServerLayouts : public testing::TestWithParam<LayoutRow> {};

TEST_P(ServerLayouts, DecodeToTheirFields) {
  const LayoutRow& row = GetParam();
  std::vector<ServerMessage> messages;
  std::string error;
  EXPECT_TRUE(decode(row.payload, messages, error, row.navigationRoom)) << error;
  EXPECT_EQ(messages, row.expected);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, ServerLayouts, testing::ValuesIn(layoutRows()),
                         [](const auto& info) { return std::string(info.param.name); });

// Ties the table to the catalogue: a code the decoder knows but no row decodes would be
// an untested layout.
TEST(ServerLayoutTable, CoversEveryCatalogueCode) {
  std::vector<bool> covered(0x200, false);
  for (const LayoutRow& row : layoutRows()) {
    for (const ServerMessage& m : row.expected) {
      if (m.kind == MessageKind::Message) covered[m.code] = true;
    }
  }
  for (unsigned c = 0; c < covered.size(); ++c) {
    if (serverCodeName(static_cast<std::uint16_t>(c)) != nullptr) {
      EXPECT_TRUE(covered[c]) << "no row for code " << std::hex << c;
    }
  }
}

TEST(MemberInfo, LayoutFollowsTheRoomKind) {
  const std::string chat = bytes({0x0A, str("Ann"), 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01});
  std::vector<ServerMessage> messages;
  std::string error;
  EXPECT_FALSE(decode(chat, messages, error, /*navigationRoom=*/true));
  EXPECT_TRUE(error.find("MemberInfo") != std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------
// Faults: each stops decoding with an error naming where it happened.

struct FaultRow {
  const char* name;
  std::string payload;
  std::vector<std::string> errorMentions;
};

void PrintTo(const FaultRow& row, std::ostream* os) {
  *os << row.name;
}

class DecodeFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(DecodeFaults, AreReportedWithOffsetAndCode) {
  const FaultRow& row = GetParam();
  std::vector<ServerMessage> messages;
  std::string error;
  ASSERT_FALSE(decode(row.payload, messages, error)) << testing::PrintToString(messages);
  for (const std::string& mention : row.errorMentions) {
    EXPECT_TRUE(error.find(mention) != std::string::npos)
        << "'" << mention << "' not in: " << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DecodeFaults,
    testing::Values(
        FaultRow{"CodeZero", bytes({0x00}), {"offset 0", "0x00"}},
        FaultRow{"GapInCatalogue", bytes({0x10, 0x1D}), {"offset 1", "0x1D"}},
        FaultRow{"UnusedCode26", bytes({0x26}), {"0x26"}},
        FaultRow{"JustBelowSteps", bytes({0x54}), {"0x54"}},
        FaultRow{"FE", bytes({0xFE}), {"0xFE"}},
        FaultRow{"UnknownExtended", bytes({0xFF, 0x04, 0xFF, 0x15}), {"offset 2", "0x115"}},
        FaultRow{"PrefixWithoutLowByte", bytes({0x22, 0xFF}), {"offset 1", "0xFF"}},
        FaultRow{"ObjectStepRangeBeforeBatch", bytes({0x6D, 0xE8}), {"offset 1", "0xE8"}},
        FaultRow{"MemberStepMissingI8", bytes({0x86}), {"offset 0", "0x86"}},
        FaultRow{"MemberStepHalfU16", bytes({0xCF, 0x10}), {"offset 0", "0xCF"}},
        FaultRow{"StringPastEnd", bytes({0x07, 0x05, 0x00, 'a', 'b'}), {"offset 0", "0x07"}},
        FaultRow{"StringLengthCut", bytes({0x10, 0x07, 0x05}), {"offset 1", "0x07"}},
        FaultRow{"RoomListShortOfCount", bytes({0x27, 0x02, 0x00, str("a"), 0x01}), {"0x27"}},
        FaultRow{"HugeCountFewBytes", bytes({0x3F, 0xFF, 0xFF, str("a")}), {"0x3F"}},
        FaultRow{"LimitDiffersWithoutMax", bytes({0x2D, str("a"), 0x00, 0x00, 0x7D}), {"0x2D"}},
        FaultRow{"FileSavedFieldsCut", bytes({0xFF, 0x0E, str("abc"), 0x01, 0x02}), {"0x10E"}},
        FaultRow{"RecentLinesShort", bytes({0x1C, 0x03, str("a"), str("b")}), {"0x1C"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ObjectPass, EndsWithTheFrame) {
  std::vector<ServerMessage> messages;
  std::string error;
  ASSERT_TRUE(decode(bytes({0x0D, 0xE8}), messages, error)) << error;
  EXPECT_FALSE(decode(bytes({0xE8}), messages, error));
}

// Cutting a frame anywhere inside a message must fail at that message, without reading
// past the cut; cutting between messages leaves a valid shorter frame.
struct RichFrame {
  const char* name;
  std::vector<std::string> messages;  // one hand-built message each
  bool navigationRoom;
};

const RichFrame kRichFrames[] = {
    {"Welcome",
     {bytes({0x32, str("Velmor"), 0x40, 0x00, 0x20, 0x00, 0x01}),
      bytes({0x27, 0x03, 0x00, str("lobby"), 0x02, 0x05, 0x00, str("den"), 0x01, str("hall"), 0x00,
             0x03, 0x7D, 0x64, 0x00})},
     false},
    {"NavigationRelay",
     {bytes({0x0F, 0x00}),
      bytes({0x0A, str("Bob"), 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03,       0x00,
             0x04, 0x00,       0x00, 0x00, 0x05, 0x06, 0x00, 0x07, 0x00, 0x01, str("cape")}),
      bytes({0x0B, 0x10, 0x27, 0x20, 0x4E, 0x03, 0x01, 0x5A, 0x00}), bytes({0x9E, 0xFD}),
      bytes({0xCF, 0x10, 0x0E}), bytes({0x6D}), bytes({0x0D}), bytes({0x08, str("crate")}),
      bytes({0x0C, 0x10, 0x00, 0x20, 0x01, 0x02}), bytes({0xE8}),
      bytes({0x1C, 0x02, str("one"), str("two")}), bytes({0x19, 0x01, str("hi")})},
     true},
    {"FilesAndLists",
     {bytes({0x3D, 0x03, 0x00, 0x00, 0x00, str("abc"), str("notes"), 0x10, 0x20, 0x30, 0x40, 0x01}),
      bytes({0x28, 0x03, 0x00, 0x01, 0x00, str("Ann"), 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01}),
      bytes({0x3A, 0x01, 0x00, str("Mal"), str("Ann"), str("rude"), 0xFF, 0xFF, 0xFF, 0x00}),
      bytes(
          {0x3F, 0x01, 0x00, str("a"), str("Ann"), str("Bob"), 0x05, 0x00, 0x00, 0x00, 0x01, 0x00}),
      bytes({0x41, 0x0A, 0x00, 0x01, 0x00, str("a"), str("Ann")}), bytes({0xFF, 0x04})},
     false},
};

TEST(Truncation, AtEveryOffsetFailsInsideAMessageAndNeverReadsPastTheCut) {
  for (const RichFrame& frame : kRichFrames) {
    SCOPED_TRACE(frame.name);
    std::string whole;
    std::vector<std::size_t> starts;
    for (const std::string& m : frame.messages) {
      starts.push_back(whole.size());
      whole += m;
    }
    std::vector<ServerMessage> all;
    std::string error;
    ASSERT_TRUE(decode(whole, all, error, frame.navigationRoom)) << error;
    ASSERT_EQ(all.size(), frame.messages.size());

    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      // An exactly sized heap copy, so the address sanitizer sees any read past the cut.
      std::vector<char> copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
      std::vector<ServerMessage> got;
      error.clear();
      const bool ok =
          decode(std::string_view(copy.data(), copy.size()), got, error, frame.navigationRoom);
      std::size_t index = 0;  // message the cut falls in or before
      while (index + 1 < starts.size() && starts[index + 1] <= cut) ++index;
      const bool atBoundary = starts[index] == cut;
      EXPECT_EQ(ok, atBoundary) << "cut " << cut << ": " << error;
      EXPECT_EQ(got, std::vector<ServerMessage>(all.begin(), all.begin() + index)) << "cut " << cut;
      if (!atBoundary) {
        EXPECT_TRUE(error.find("offset " + std::to_string(starts[index]) + " ") !=
                    std::string::npos)
            << "cut " << cut << ": " << error;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Joining frames across reads.

std::vector<std::string> drain(FrameDecoder& decoder) {
  std::vector<std::string> frames;
  std::string_view payload;
  while (decoder.nextFrame(payload)) frames.emplace_back(payload);
  return frames;
}

TEST(FrameJoining, EverySplitIntoThreeReadsYieldsEachFrameOnceAndWhole) {
  const std::vector<std::string> payloads = {
      bytes({0x32, str("Velmor"), 0x40, 0x00, 0x20, 0x00, 0x01}),
      "",
      bytes({0xFF, 0x04}),
      bytes({0x0F, 0x00, 0x6D, 0x0D, 0xA9, 0x19, 0x01, str("hello there")}),
  };
  std::string stream;
  for (const std::string& p : payloads) {
    stream += static_cast<char>(p.size() & 0xFF);
    stream += static_cast<char>(p.size() >> 8);
    stream += p;
  }
  for (std::size_t i = 0; i <= stream.size(); ++i) {
    for (std::size_t j = i; j <= stream.size(); ++j) {
      FrameDecoder decoder;
      std::vector<std::string> frames;
      const std::pair<std::size_t, std::size_t> reads[] = {{0, i}, {i, j}, {j, stream.size()}};
      for (auto [from, to] : reads) {
        decoder.feed(stream.data() + from, to - from);
        for (std::string& f : drain(decoder)) frames.push_back(std::move(f));
      }
      ASSERT_EQ(frames, payloads) << "reads cut at " << i << " and " << j;
      ASSERT_EQ(decoder.pendingBytes(), 0u);
    }
  }
}

TEST(FrameJoining, UnfinishedTailWaitsForTheRest) {
  FrameDecoder decoder;
  decoder.feed("\x05\x00\x01\x02\x03", 5);
  std::string_view payload;
  EXPECT_FALSE(decoder.nextFrame(payload));
  EXPECT_EQ(decoder.pendingBytes(), 5u);
  decoder.feed("\x04\x05\x00", 3);  // completes the frame and starts another header
  ASSERT_TRUE(decoder.nextFrame(payload));
  EXPECT_EQ(payload, std::string_view("\x01\x02\x03\x04\x05", 5));
  EXPECT_FALSE(decoder.nextFrame(payload));
  EXPECT_EQ(decoder.pendingBytes(), 1u);
}

TEST(FrameJoining, ZeroLengthFrameIsAnEmptyPayloadWithNoMessages) {
  FrameDecoder decoder;
  decoder.feed("\x00\x00", 2);
  std::string_view payload = "not empty";
  ASSERT_TRUE(decoder.nextFrame(payload));
  EXPECT_TRUE(payload.empty());
  std::vector<ServerMessage> messages;
  std::string error;
  EXPECT_TRUE(decode(payload, messages, error));
  EXPECT_TRUE(messages.empty());
}

// Both length bytes at 0xFF: a decoder reading them as signed chars gets this wrong.
TEST(FrameJoining, LargestFrameLengthReadsUnsigned) {
  std::string stream = "\xFF\xFF";
  stream.append(65535, 'x');
  FrameDecoder decoder;
  decoder.feed(stream.data(), stream.size() - 1);
  std::string_view payload;
  EXPECT_FALSE(decoder.nextFrame(payload));
  decoder.feed("x", 1);
  ASSERT_TRUE(decoder.nextFrame(payload));
  EXPECT_EQ(payload.size(), 65535u);
}

// ---------------------------------------------------------------------------------------
// Requests.

TEST(RequestWriter, LoginWritesEveryFieldInOrder) {
  LoginFields f;
  f.version = 2;
  f.profileWord1 = 0x04030201;
  f.profileWord2 = 0x08070605;
  f.profileShort = 0x0A09;
  f.loginWord = 0x0E0D0C0B;
  f.appearanceWord = 0x1211100F;
  f.appearanceByte = 0x13;
  f.appearanceShort1 = 0x1514;
  f.appearanceShort2 = 0x1716;
  f.ignored = 0x1B1A1918;
  f.name = "Ann";
  f.appearanceText = "";
  f.password = "pw";
  const std::string expected =
      bytes({0x28, 0x00, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
             0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
             0x19, 0x1A, 0x1B, 0x03, 0x00, 'A',  'n',  'n',  0x00, 0x00, 0x02, 0x00, 'p',  'w'});
  EXPECT_EQ(RequestWriter::frame([&](RequestWriter& w) { w.login(f); }), expected);
}

TEST(RequestWriter, PositionAndWriteFileMatchHandWrittenFrames) {
  EXPECT_EQ(RequestWriter::frame([](RequestWriter& w) { w.position(10000, 0x8001, 3, 1, 359); }),
            bytes({0x09, 0x00, 0x02, 0x10, 0x27, 0x01, 0x80, 0x03, 0x01, 0x67, 0x01}));
  EXPECT_EQ(RequestWriter::frame(
                [](RequestWriter& w) { w.writeFile(9000, "map", std::string("\x00\xFF\x01", 3)); }),
            bytes({0x0F, 0x00, 0x1E, 0x28, 0x23, 0x00, 0x00, 0x03, 0x00, 'm', 'a', 'p', 0x03, 0x00,
                   0x00, 0xFF, 0x01}));
}

TEST(RequestWriter, MessagesShareAFrameAndClearKeepsTheBuffer) {
  RequestWriter w;
  w.beginFrame().keepAlive().listRooms(0x0102);
  EXPECT_TRUE(w.endFrame());
  w.beginFrame();
  EXPECT_TRUE(w.endFrame());
  EXPECT_EQ(w.bytes(), bytes({0x04, 0x00, 0x12, 0x23, 0x02, 0x01, 0x00, 0x00}));

  const std::size_t capacity = w.bytes().capacity();
  w.clear();
  EXPECT_TRUE(w.bytes().empty());
  EXPECT_EQ(w.bytes().capacity(), capacity);
}

TEST(RequestWriter, StringsAreCutAndOversizedFramesReported) {
  RequestWriter w;
  w.beginFrame().localChat(std::string(70000, 'x'));
  EXPECT_EQ(w.size(), 2u + 1 + 2 + 65000);
  EXPECT_EQ(w.bytes().substr(3, 2), bytes({0xE8, 0xFD}));  // 65000
  EXPECT_TRUE(w.endFrame());
  w.beginFrame().fileChunk(std::string(65000, 'y')).u8(0).raw(std::string(600, 'z'));
  EXPECT_FALSE(w.endFrame());
}

// Each request's type byte and payload size, by hand: a wrong type or a missing or
// extra field shows here.
struct RequestRow {
  const char* name;
  std::function<void(RequestWriter&)> write;
  int type;
  std::size_t payload;
};

void PrintTo(const RequestRow& row, std::ostream* os) {
  *os << row.name;
}

const Hash16 kHash = {};

class Requests : public testing::TestWithParam<RequestRow> {};

TEST_P(Requests, StartWithTheirTypeAndCarryTheirFields) {
  const std::string frame = RequestWriter::frame(GetParam().write);
  ASSERT_GE(frame.size(), 3u);
  EXPECT_EQ(static_cast<unsigned char>(frame[2]), GetParam().type);
  EXPECT_EQ(frame.size() - 2, GetParam().payload);
  EXPECT_EQ(static_cast<unsigned char>(frame[0]) | static_cast<unsigned char>(frame[1]) << 8,
            static_cast<int>(frame.size() - 2));
}

using W = RequestWriter;

INSTANTIATE_TEST_SUITE_P(
    AllTypes, Requests,
    testing::Values(RequestRow{"Login", [](W& w) { w.login({.name = "a"}); }, 1, 29 + 6 + 1},
                    RequestRow{"Position", [](W& w) { w.position(1, 2, 3, 4, 5); }, 2, 9},
                    RequestRow{"ObjectReport", [](W& w) { w.objectReport("ab", 1, 2, 3); }, 3, 10},
                    RequestRow{"Appearance", [](W& w) { w.appearance(1, 2, 3, 4, "ab"); }, 4, 14},
                    RequestRow{"LocalChat", [](W& w) { w.localChat("ab"); }, 5, 5},
                    RequestRow{"RepeatLocalChat", [](W& w) { w.repeatLocalChat(); }, 6, 1},
                    RequestRow{"Whisper", [](W& w) { w.whisper("ab", "c"); }, 7, 8},
                    RequestRow{"RoomChat", [](W& w) { w.roomChat("ab"); }, 8, 5},
                    RequestRow{"RepeatRoomChat", [](W& w) { w.repeatRoomChat(); }, 9, 1},
                    RequestRow{"PrivateMessage", [](W& w) { w.privateMessage("ab", "c"); }, 10, 8},
                    RequestRow{"CreateRoom", [](W& w) { w.createRoom("a", "b", "c", 1); }, 11, 11},
                    RequestRow{"Nop", [](W& w) { w.nop(); }, 12, 1},
                    RequestRow{"JoinChannel", [](W& w) { w.joinChannel("a", "b"); }, 13, 7},
                    RequestRow{"LeaveChannel", [](W& w) { w.leaveChannel("a"); }, 14, 4},
                    RequestRow{"EnterRoom", [](W& w) { w.enterRoom("a", ""); }, 15, 6},
                    RequestRow{"LoginProof", [](W& w) { w.loginProof(kHash); }, 16, 17},
                    RequestRow{"Register", [](W& w) { w.registerAccount(kHash, kHash); }, 17, 33},
                    RequestRow{"KeepAlive", [](W& w) { w.keepAlive(); }, 18, 1},
                    RequestRow{"RoomKick", [](W& w) { w.roomKick("a", "b"); }, 19, 7},
                    RequestRow{"RoomBan", [](W& w) { w.roomBan("a", "b", 7); }, 20, 11},
                    RequestRow{"ServerKick", [](W& w) { w.serverKick("a", "b"); }, 21, 7},
                    RequestRow{"ServerBan", [](W& w) { w.serverBan("a", "b", 7); }, 22, 11},
                    RequestRow{"ListRoomBans", [](W& w) { w.listRoomBans(); }, 23, 1},
                    RequestRow{"ListServerBans", [](W& w) { w.listServerBans(); }, 24, 1},
                    RequestRow{"RoomUnban", [](W& w) { w.roomUnban("a"); }, 25, 4},
                    RequestRow{"ServerUnban", [](W& w) { w.serverUnban("a"); }, 26, 4},
                    RequestRow{"ClaimLeader", [](W& w) { w.claimLeader("a"); }, 27, 4},
                    RequestRow{"CreateFile", [](W& w) { w.createFile("a", 1, 0); }, 28, 6},
                    RequestRow{"ReadFile", [](W& w) { w.readFile("a", 9); }, 29, 8},
                    RequestRow{"WriteFile", [](W& w) { w.writeFile(3, "a", "xyz"); }, 30, 13},
                    RequestRow{"SetFileAccess", [](W& w) { w.setFileAccess("a", 0, 1); }, 31, 6},
                    RequestRow{"ListFiles", [](W& w) { w.listFiles(); }, 32, 1},
                    RequestRow{"DeleteFile", [](W& w) { w.deleteFile("a"); }, 33, 4},
                    RequestRow{"LeaveRoom", [](W& w) { w.leaveRoom(); }, 34, 1},
                    RequestRow{"ListRooms", [](W& w) { w.listRooms(5); }, 35, 3},
                    RequestRow{"SetRoomPasswords", [](W& w) { w.setRoomPasswords("a", "b"); }, 36,
                               7},
                    RequestRow{"FileChunk", [](W& w) { w.fileChunk("xyz"); }, 37, 6},
                    RequestRow{"FileChunkRequest", [](W& w) { w.fileChunkRequest(8000); }, 38, 5},
                    RequestRow{"EnemyReport", [](W& w) { w.enemyReport(1, 2, 3); }, 39, 6},
                    RequestRow{"RoomRefresh", [](W& w) { w.roomRefresh(); }, 40, 1},
                    RequestRow{"StatusRequest", [](W& w) { w.statusRequest("a"); }, 41, 4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmor::client
