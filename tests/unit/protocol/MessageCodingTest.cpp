#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wire/BufferPool.h"
#include "wire/MessageBuilder.h"
#include "wire/MessageReader.h"

namespace velmor {
namespace {

using wire::ServerCode;

std::string bytesOf(const MessageBuilder& builder) {
  return std::string(builder.data(), builder.size());
}

std::size_t frameLength(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8;
}

TEST(MessageBuilder, WritesLittleEndianFieldsAndStrings) {
  MessageBuilder builder;
  builder.begin(ServerCode::RoomMemberCount).u16(0x0102).u16(7);
  builder.begin(ServerCode::FileSaved).string("ab").u32(0xA1B2C3D4);
  builder.finish();
  EXPECT_EQ(bytesOf(builder), std::string("\x0F\x00\x2F\x02\x01\x07\x00\xFF\x0E\x02\x00"
                                          "ab\xD4\xC3\xB2\xA1",
                                          17));
  EXPECT_EQ(builder.messageCount(), 2u);
  EXPECT_EQ(builder.frameCount(), 1u);
}

TEST(MessageBuilder, ExtendedCodesGoOutAsPrefixAndLowByte) {
  MessageBuilder builder;
  builder.begin(ServerCode::LoginProofRejected);
  builder.finish();
  EXPECT_EQ(bytesOf(builder), std::string("\x02\x00\xFF\x04", 4));
}

TEST(MessageBuilder, StringsAreCutTo65000Bytes) {
  MessageBuilder builder;
  builder.begin(ServerCode::RoomLine).u8(1).string(std::string(70000, 'x'));
  builder.finish();
  const std::string bytes = bytesOf(builder);
  ASSERT_EQ(bytes.size(), 2u + 2u + 2u + 65000u);
  EXPECT_EQ(frameLength(bytes, 4), 65000u);
}

TEST(MessageBuilder, MessageThatWouldCrossTheLimitMovesWholeToANewFrame) {
  MessageBuilder builder;
  // Fill the first frame to a few bytes short of 65535: one message of 65000 bytes of text
  // (1 + 1 + 2 + 65000 = 65004) and one of 500 (1 + 1 + 2 + 500 = 504): 65508 bytes.
  builder.begin(ServerCode::RoomLine).u8(1).string(std::string(65000, 'a'));
  builder.begin(ServerCode::RoomLine).u8(2).string(std::string(500, 'b'));
  // 27 bytes left. This message needs 1 + 1 + 2 + 40 = 44: it must open a second frame.
  builder.begin(ServerCode::RoomLine).u8(3).string(std::string(40, 'c'));
  builder.finish();
  const std::string bytes = bytesOf(builder);
  ASSERT_EQ(builder.frameCount(), 2u);
  EXPECT_EQ(frameLength(bytes, 0), 65508u);
  const std::size_t second = 2 + 65508;
  EXPECT_EQ(frameLength(bytes, second), 44u);
  EXPECT_EQ(bytes.substr(second + 2, 4), std::string("\x1B\x03\x28\x00", 4));
  EXPECT_EQ(bytes.substr(second + 6), std::string(40, 'c'));
  EXPECT_EQ(bytes.size(), second + 2 + 44);
}

TEST(MessageBuilder, FrameFilledExactlyToTheLimitThenNextMessageOpensNewFrame) {
  MessageBuilder builder;
  builder.begin(ServerCode::RoomLine).u8(1).string(std::string(65000, 'a'));  // 65004
  builder.begin(ServerCode::RoomLine).u8(2).string(std::string(527, 'b'));    // 531: 65535
  builder.begin(ServerCode::RoomReset);
  builder.finish();
  const std::string bytes = bytesOf(builder);
  ASSERT_EQ(builder.frameCount(), 2u);
  EXPECT_EQ(frameLength(bytes, 0), 65535u);
  EXPECT_EQ(bytes.substr(2 + 65535), std::string("\x01\x00\x45", 3));
}

TEST(MessageBuilder, GrowsFromAPoolBlockAndReturnsIt) {
  { MessageBuilder warm; }  // make sure a free block exists
  const std::size_t freeBefore = BufferPool::freeBlocks();
  {
    MessageBuilder builder;
    EXPECT_EQ(builder.capacity(), BufferPool::kBlockSize);
    EXPECT_EQ(BufferPool::freeBlocks(), freeBefore - 1);
    builder.begin(ServerCode::RoomLine).u8(0).string(std::string(20000, 'z'));
    EXPECT_EQ(builder.capacity(), 4 * BufferPool::kBlockSize);
    EXPECT_EQ(BufferPool::freeBlocks(), freeBefore) << "the block goes back when the buffer grows";
    builder.finish();
    EXPECT_EQ(bytesOf(builder).substr(6), std::string(20000, 'z'));
  }
  EXPECT_EQ(BufferPool::freeBlocks(), freeBefore) << "a grown buffer is freed, not pooled";
}

TEST(MessageBuilder, ClearKeepsTheBufferForReuse) {
  MessageBuilder builder;
  builder.begin(ServerCode::RoomReset);
  builder.finish();
  const char* buffer = builder.data();
  builder.clear();
  EXPECT_FALSE(builder.hasMessage());
  builder.begin(ServerCode::MemberStopped);
  builder.finish();
  EXPECT_EQ(builder.data(), buffer);
  EXPECT_EQ(bytesOf(builder), std::string("\x01\x00\x10", 3));
}

TEST(MessageBuilder, MessageLargerThanAFrameIsDroppedWhole) {
  MessageBuilder builder;
  builder.begin(ServerCode::RoomReset);
  builder.begin(ServerCode::RecentLines)
      .u8(2)
      .string(std::string(65000, 'a'))
      .string(std::string(600, 'b'));
  builder.begin(ServerCode::MemberStopped);
  builder.finish();
  EXPECT_TRUE(builder.overflowed());
  EXPECT_EQ(builder.messageCount(), 2u);
  // Every frame in the batch is well formed and only the two small messages remain.
  const std::string bytes = bytesOf(builder);
  std::string payloads;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = frameLength(bytes, at);
    ASSERT_LE(at + 2 + length, bytes.size());
    payloads += bytes.substr(at + 2, length);
    at += 2 + length;
  }
  EXPECT_EQ(payloads, std::string("\x45\x10", 2));
}

// A frame as the reader sees it: u16 length, then the payload.
std::string frameOf(const std::string& payload) {
  std::string frame(2, '\0');
  frame[0] = static_cast<char>(payload.size() & 0xFF);
  frame[1] = static_cast<char>(payload.size() >> 8);
  return frame + payload;
}

#ifdef VELMOR_CHECK_INVARIANTS
// A checking build (VELMOR_CHECK_INVARIANTS) checks each message, when it ends, against the fields
// its definition gives it (lists, optional parts and the two MemberInfo layouts included).
TEST(MessageBuilderDeathTest, MessageWrittenOtherwiseThanItsDefinitionAborts) {
  struct Row {
    const char* name;
    void (*write)(MessageBuilder&);
    bool accepted;
  };
  const Row rows[] = {
      {"as defined", [](MessageBuilder& b) { b.begin(ServerCode::RoomMemberCount).u16(1).u16(2); },
       true},
      {"a field short", [](MessageBuilder& b) { b.begin(ServerCode::RoomMemberCount).u16(1); },
       false},
      {"a field too many",
       [](MessageBuilder& b) { b.begin(ServerCode::RoomMemberCount).u16(1).u16(2).u8(3); }, false},
      {"another width",
       [](MessageBuilder& b) { b.begin(ServerCode::RoomMemberCount).u16(1).u8(2); }, false},
      {"a list of two",
       [](MessageBuilder& b) {
         b.begin(ServerCode::RoomBanList).u16(2).string("a").string("b").string("c").u32(1);
         b.string("d").string("e").string("f").u32(2);
       },
       true},
      {"a list entry cut",
       [](MessageBuilder& b) { b.begin(ServerCode::RoomBanList).u16(1).string("a").string("b"); },
       false},
      {"room entries with and without their counts",
       [](MessageBuilder& b) {
         b.begin(ServerCode::RoomList).u16(3).string("a").u8(1).string("b").u8(0).u16(2);
         b.string("c").u8(0).u16(32002).u16(300);
       },
       true},
      {"member info in a navigation room",
       [](MessageBuilder& b) {
         b.begin(ServerCode::MemberInfo).string("Ada").u32(1).u32(2).u16(3).u32(4).u8(5);
         b.u16(6).u16(7).u8(0).string("coat");
       },
       true},
      {"an optional part left out, then given",
       [](MessageBuilder& b) {
         b.begin(ServerCode::FileSaved);
         b.begin(ServerCode::FileSaved).string("notes").u32(1);
       },
       true},
      {"a code of no message", [](MessageBuilder& b) { b.beginCode(0x1F0).u8(1); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.accepted) {
      MessageBuilder builder;
      row.write(builder);
      builder.finish();
    } else {
      EXPECT_DEATH(
          {
            MessageBuilder builder;
            row.write(builder);
            builder.finish();
          },
          "MessageBuilder: message");
    }
  }
}
#endif

TEST(MessageReader, ReadsFieldsAndStopsAtTheFrameEnd) {
  const std::string frame = frameOf(std::string("\x01\x02\x03\x04\x05\x06\x07", 7));
  MessageReader reader;
  reader.startFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  EXPECT_EQ(reader.u8(), 0x01);
  EXPECT_EQ(reader.u16(), 0x0302);
  EXPECT_EQ(reader.u32(), 0x07060504u);
  EXPECT_TRUE(reader.ok());
  EXPECT_TRUE(reader.atFrameEnd());
  EXPECT_EQ(reader.u8(), 0);
  EXPECT_FALSE(reader.ok());
  EXPECT_EQ(reader.u32(), 0u) << "every read after an underflow fails";
}

TEST(MessageReader, UnderflowReadsZeroAndDoesNotMove) {
  const std::string frame = frameOf(std::string("\x01\x02\x03", 3));
  MessageReader reader;
  reader.startFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  EXPECT_EQ(reader.u8(), 1);
  EXPECT_EQ(reader.u32(), 0u);
  EXPECT_FALSE(reader.ok());
  EXPECT_EQ(reader.position(), 3u);
}

TEST(MessageReader, LongStringIsCutToTheFieldAndSkippedWhole) {
  std::string payload = std::string("\x28\x00", 2) + std::string(40, 'n') + "\x09";
  const std::string frame = frameOf(payload);
  MessageReader reader;
  reader.startFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  char name[32];
  std::memset(name, 'x', sizeof(name));
  ASSERT_TRUE(reader.string(name));
  EXPECT_EQ(std::string(name), std::string(31, 'n'));
  EXPECT_EQ(reader.position(), 2u + 42u);
  EXPECT_EQ(reader.u8(), 9);
}

TEST(MessageReader, StringRunningPastTheFrameLeavesTheFieldUntouched) {
  const std::string frame =
      frameOf(std::string("\x05\x00"
                          "abc",
                          5));
  MessageReader reader;
  reader.startFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  char name[32] = "keep";
  EXPECT_FALSE(reader.string(name));
  EXPECT_STREQ(name, "keep");
  EXPECT_FALSE(reader.ok());
  EXPECT_TRUE(reader.view().empty());
}

}  // namespace
}  // namespace velmor
