// The frame loop of a User: frames and messages found in received chunks, the login
// gate, stops, and frames split across reads.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/Dispatch.h"
#include "support/InProcessServer.h"
#include "support/UserProbe.h"
#include "users/FrameLoop.h"
#include "users/User.h"
#include "wire/MessageCatalogue.h"
#include "wire/MessageReader.h"

namespace velmor {
namespace {

using wire::ClientType;

std::vector<std::string>* records = nullptr;

// Stands in for a real handler: reads one byte and records the type with it.
template <std::uint8_t Type>
bool recordingHandler(ServerCore&, User&, MessageReader& reader) {
  const std::uint8_t value = reader.u8();
  if (reader.ok()) records->push_back(std::to_string(Type) + ":" + std::to_string(value));
  return true;
}

constexpr std::uint8_t kNop = static_cast<std::uint8_t>(ClientType::Nop);
constexpr std::uint8_t kKeepAlive = static_cast<std::uint8_t>(ClientType::KeepAlive);
constexpr std::uint8_t kRoomChat = static_cast<std::uint8_t>(ClientType::RoomChat);
constexpr std::uint8_t kLoginProof = static_cast<std::uint8_t>(ClientType::LoginProof);

std::string message(std::uint8_t type, std::uint8_t value) {
  return std::string{char(type), char(value)};
}

std::string frame(const std::string& payload) {
  return std::string{char(payload.size() & 0xFF), char(payload.size() >> 8)} + payload;
}

class FramingTest : public testing::Test {
 protected:
  void SetUp() override {
    records = &seen;
    for (std::uint8_t type : {kNop, kKeepAlive, kRoomChat, kLoginProof}) {
      RequestHandler handler = type == kNop         ? recordingHandler<kNop>
                               : type == kKeepAlive ? recordingHandler<kKeepAlive>
                               : type == kRoomChat  ? recordingHandler<kRoomChat>
                                                    : recordingHandler<kLoginProof>;
      replaced.emplace_back(type, replaceHandler(type, handler));
    }
    user = std::make_unique<User>(nullptr, nullptr, server.core().traffic);
    UserProbe::setLoggedIn(*user, true);
  }
  void TearDown() override {
    if (user) server.core().forgetUser(*user);
    user.reset();
    for (auto& [type, handler] : replaced) replaceHandler(type, handler);
    replaced.clear();
    records = nullptr;
  }

  bool feed(const std::string& chunk) {
    return receiveChunk(*user, chunk.data(), chunk.size(), requestDispatch(server.core()));
  }

  test::InProcessServer server;
  std::unique_ptr<User> user;
  std::vector<std::string> seen;
  std::vector<std::pair<std::uint8_t, RequestHandler>> replaced;
};

TEST_F(FramingTest, TwoFramesOfTwoMessagesDispatchFourInOrder) {
  EXPECT_TRUE(feed(frame(message(kNop, 1) + message(kKeepAlive, 2)) +
                   frame(message(kRoomChat, 3) + message(kNop, 4))));
  EXPECT_EQ(seen, (std::vector<std::string>{"12:1", "18:2", "8:3", "12:4"}));
}

TEST_F(FramingTest, ZeroLengthFrameIsSkipped) {
  EXPECT_TRUE(feed(frame("") + frame(message(kNop, 1)) + frame("")));
  EXPECT_EQ(seen, (std::vector<std::string>{"12:1"}));
}

TEST_F(FramingTest, TypesOutsideTheCatalogueStopTheChunkOnly) {
  for (std::uint8_t bad : {std::uint8_t{0}, std::uint8_t{42}, std::uint8_t{255}}) {
    seen.clear();
    EXPECT_FALSE(feed(frame(message(kNop, 1) + std::string(1, char(bad)) + message(kNop, 2)) +
                      frame(message(kNop, 3))));
    EXPECT_EQ(seen, (std::vector<std::string>{"12:1"})) << int(bad);
    EXPECT_TRUE(feed(frame(message(kNop, 4))));
    EXPECT_EQ(seen, (std::vector<std::string>{"12:1", "12:4"})) << "the next chunk is handled";
  }
}

TEST_F(FramingTest, UnderflowInsideAMessageStopsTheChunk) {
  EXPECT_FALSE(
      feed(frame(message(kNop, 1) + std::string(1, char(kNop))) + frame(message(kNop, 2))));
  EXPECT_EQ(seen, (std::vector<std::string>{"12:1"}));
}

TEST_F(FramingTest, LoginGateLetsOnlyLoginAndKeepAliveThrough) {
  UserProbe::setLoggedIn(*user, false);
  EXPECT_FALSE(
      feed(frame(message(kKeepAlive, 1) + message(kRoomChat, 2) + message(kKeepAlive, 3))));
  EXPECT_EQ(seen, (std::vector<std::string>{"18:1"}));

  seen.clear();
  EXPECT_FALSE(feed(frame(message(kLoginProof, 1))));
  EXPECT_TRUE(seen.empty()) << "a proof passes only while a login is pending";
  UserProbe::login(*user).loginPending = 1;
  EXPECT_TRUE(feed(frame(message(kLoginProof, 2))));
  EXPECT_EQ(seen, (std::vector<std::string>{"16:2"}));
}

TEST_F(FramingTest, FrameSplitAtEveryByteIsHandledOnceAndWhole) {
  const std::string chunk = frame(message(kNop, 1) + message(kKeepAlive, 2)) + frame("") +
                            frame(message(kRoomChat, 3)) +
                            frame(message(kNop, 4) + message(kNop, 5));
  const std::vector<std::string> whole{"12:1", "18:2", "8:3", "12:4", "12:5"};
  for (std::size_t cut = 0; cut <= chunk.size(); ++cut) {
    seen.clear();
    EXPECT_TRUE(feed(chunk.substr(0, cut)));
    EXPECT_TRUE(feed(chunk.substr(cut)));
    EXPECT_EQ(seen, whole) << "cut at " << cut;
  }
  seen.clear();
  for (char byte : chunk) EXPECT_TRUE(feed(std::string(1, byte)));
  EXPECT_EQ(seen, whole) << "one byte per read";
}

TEST_F(FramingTest, LargeFrameAcrossManyReads) {
  // A frame of 60000 bytes of Nop messages arrives in 2048-byte reads.
  std::string payload;
  for (int i = 0; i < 30000; ++i) payload += message(kNop, static_cast<std::uint8_t>(i));
  const std::string chunk = frame(payload) + frame(message(kKeepAlive, 9));
  for (std::size_t at = 0; at < chunk.size(); at += 2048) EXPECT_TRUE(feed(chunk.substr(at, 2048)));
  ASSERT_EQ(seen.size(), 30001u);
  EXPECT_EQ(seen.back(), "18:9");
}

TEST_F(FramingTest, StopDropsTheUnfinishedTailToo) {
  // The chunk stops at type 0; the following frame is dropped with it, the part that comes
  // in the next read too, so that the frame after it is read from its start.
  EXPECT_FALSE(feed(frame(std::string(1, '\0')) + std::string("\x05\x00\x0C", 3)));
  EXPECT_TRUE(feed(std::string(4, '\x0C') + frame(message(kNop, 7))));
  EXPECT_EQ(seen, (std::vector<std::string>{"12:7"}));
}

TEST_F(FramingTest, FrameLongerThanWhatArrivesWaitsThenGoesWithTheUser) {
  EXPECT_TRUE(feed(std::string("\xFF\xFF\x0C\x01", 4)));
  EXPECT_TRUE(seen.empty());
  user.reset();  // the connection closes with the frame unfinished: nothing leaks
}

TEST_F(FramingTest, RandomBytesNeverCrash) {
  std::mt19937 random(12345);
  std::string bytes(64 * 1024, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = 1 + random() % 2048;
    feed(bytes.substr(at, n));
    at += n;
  }
  // The real handlers of Login, Nop and KeepAlive too, before and after login.
  TearDown();
  for (std::uint8_t loggedIn : {0, 1}) {
    user = std::make_unique<User>(nullptr, nullptr, server.core().traffic);
    UserProbe::setLoggedIn(*user, loggedIn != 0);
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t n = 1 + random() % 2048;
      feed(bytes.substr(at, n));
      at += n;
    }
    server.core().forgetUser(*user);
    user.reset();
  }
  SetUp();
}

}  // namespace
}  // namespace velmor
