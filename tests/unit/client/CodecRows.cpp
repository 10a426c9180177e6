#include "unit/client/CodecRows.h"

namespace velmor::client::recorded {

using C = wire::ServerCode;

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

namespace {

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

}  // namespace

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

const std::vector<FaultRow>& faultRows() {
  static const std::vector<FaultRow> rows = {
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
      FaultRow{"RecentLinesShort", bytes({0x1C, 0x03, str("a"), str("b")}), {"0x1C"}},
  };
  return rows;
}

}  // namespace velmor::client::recorded
