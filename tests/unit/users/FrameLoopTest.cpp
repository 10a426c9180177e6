// The frame loop on its own: a user without a connection, a recording dispatch, and no
// server at all (no database, no worker thread, no socket).
#include "users/FrameLoop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/TrafficCounters.h"
#include "users/User.h"
#include "wire/MessageReader.h"

namespace velmor {
namespace {

// Records each message as "type:first byte"; type 99 stops the chunk.
bool record(void* context, std::uint8_t type, User&, MessageReader& reader) {
  auto& seen = *static_cast<std::vector<std::string>*>(context);
  if (type == 99) return false;
  const std::uint8_t value = reader.u8();
  if (reader.ok()) seen.push_back(std::to_string(type) + ":" + std::to_string(value));
  return true;
}

std::string frame(const std::string& payload) {
  return std::string{char(payload.size() & 0xFF), char(payload.size() >> 8)} + payload;
}
std::string message(std::uint8_t type, std::uint8_t value) {
  return std::string{char(type), char(value)};
}

class FrameLoopTest : public testing::Test {
 protected:
  bool feed(const std::string& chunk) {
    return receiveChunk(user, chunk.data(), chunk.size(), MessageDispatch{record, &seen});
  }

  TrafficCounters traffic;
  User user{nullptr, nullptr, traffic};
  std::vector<std::string> seen;
};

TEST_F(FrameLoopTest, EveryMessageOfEveryFrameInOrderWhateverTheCut) {
  const std::string chunk = frame(message(1, 1) + message(2, 2)) + frame("") +
                            frame(message(3, 3)) + frame(message(4, 4) + message(5, 5));
  const std::vector<std::string> whole{"1:1", "2:2", "3:3", "4:4", "5:5"};
  for (std::size_t cut = 0; cut <= chunk.size(); ++cut) {
    seen.clear();
    ASSERT_TRUE(feed(chunk.substr(0, cut)));
    ASSERT_TRUE(feed(chunk.substr(cut)));
    EXPECT_EQ(seen, whole) << "cut at " << cut;
  }
  EXPECT_TRUE(user.input().partialFrame.empty());
}

// A stop drops the rest of the read and all of the frame the read cut, up to its last byte
// in the reads that follow, wherever the cut fell (after the first byte of its length too):
// no byte of it runs as a request, and the next frame is read from its start.
TEST_F(FrameLoopTest, StopDropsTheRestOfTheReadAndAllOfTheFrameItCut) {
  std::string payload;
  for (int i = 0; i < 10; ++i) payload += message(5, 5);  // bytes that read as requests
  const std::string read =
      frame(message(1, 1) + std::string(1, char(99)) + message(2, 2)) + frame(message(3, 3));
  const std::string cut = frame(payload);
  for (std::size_t at = 1; at < cut.size(); ++at) {
    seen.clear();
    EXPECT_FALSE(feed(read + cut.substr(0, at)));
    const std::string rest = cut.substr(at) + frame(message(4, 4));
    for (std::size_t piece = 0; piece < rest.size(); piece += 3)
      EXPECT_TRUE(feed(rest.substr(piece, 3)));
    EXPECT_EQ(seen, (std::vector<std::string>{"1:1", "4:4"})) << "cut at " << at;
    EXPECT_TRUE(user.input().partialFrame.empty());
  }
}

TEST_F(FrameLoopTest, AFrameCarriedOverKeepsAtMostItselfAndGivesBackALargeBuffer) {
  std::string payload;
  for (int i = 0; i < 20000; ++i) payload += message(1, static_cast<std::uint8_t>(i));
  const std::string chunk = frame(payload);
  for (std::size_t at = 0; at < chunk.size(); at += 2048) {
    ASSERT_TRUE(feed(chunk.substr(at, 2048)));
    EXPECT_LE(user.input().partialFrame.size(), chunk.size());
  }
  EXPECT_EQ(seen.size(), 20000u);
  EXPECT_EQ(user.input().partialFrame.capacity(), 0u) << "a 40 KB frame's buffer is not kept";
}

}  // namespace
}  // namespace velmor
