#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "client/FrameDecoder.h"
#include "client/RequestWriter.h"
#include "client/ServerMessage.h"
#include "unit/client/CodecRows.h"

namespace velmor::client {
namespace {

using namespace recorded;

bool decode(std::string_view payload, std::vector<ServerMessage>& out, std::string& error,
            bool navigationRoom = false) {
  return decodeFrame(payload, DecodeOptions{.navigationRoom = navigationRoom}, out, error);
}

// ---------------------------------------------------------------------------------------
// Every server message layout, one hand-built frame payload per row (CodecRows.cpp; the
// JavaScript client's test decodes the same rows).

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

INSTANTIATE_TEST_SUITE_P(Frames, DecodeFaults, testing::ValuesIn(faultRows()),
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
