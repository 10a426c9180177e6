// Frames made by the server's builder, read back by the client codec.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/FrameDecoder.h"
#include "wire/MessageBuilder.h"

namespace velmor {
namespace {

using wire::ServerCode;

std::vector<client::ServerMessage> decodeAll(const MessageBuilder& builder,
                                             std::size_t* frames = nullptr) {
  client::FrameDecoder decoder;
  decoder.feed(builder.data(), builder.size());
  std::vector<client::ServerMessage> messages;
  std::string_view payload;
  std::size_t count = 0;
  while (decoder.nextFrame(payload)) {
    std::string error;
    EXPECT_TRUE(client::decodeFrame(payload, {}, messages, error)) << error;
    ++count;
  }
  EXPECT_EQ(decoder.pendingBytes(), 0u);
  if (frames != nullptr) *frames = count;
  return messages;
}

TEST(RoundTrip, EveryBareCodeDecodesToItself) {
  for (ServerCode code :
       {ServerCode::VersionRejected, ServerCode::ConnectionRefused, ServerCode::RoomCreated,
        ServerCode::RoomFull, ServerCode::AdminGranted, ServerCode::LoginReplaced,
        ServerCode::RoomExists, ServerCode::LoginProofRejected, ServerCode::NameInUse,
        ServerCode::TooManyChannels}) {
    MessageBuilder builder;
    builder.begin(code);
    builder.finish();
    auto messages = decodeAll(builder);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].is(code)) << messages[0].describe();
  }
}

TEST(RoundTrip, FieldsOfSeveralMessagesInOneFrame) {
  MessageBuilder builder;
  builder.begin(ServerCode::Banned).string("Mallory");
  builder.begin(ServerCode::StatusText).u8(0).string("up 1:02:03");
  builder.begin(ServerCode::ServerInfo).string("Velmor").u16(64).u16(32).u8(1);
  builder.begin(ServerCode::ChannelLeaderState).u16(3).u16(2).u8(1);
  builder.finish();
  auto messages = decodeAll(builder);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_TRUE(messages[0].is(ServerCode::Banned));
  EXPECT_EQ(messages[0].text(0), "Mallory");
  EXPECT_EQ(messages[1].text(0), "up 1:02:03");
  EXPECT_EQ(messages[2].text(0), "Velmor");
  EXPECT_EQ(messages[2].numbers, (std::vector<std::uint32_t>{64, 32, 1}));
  EXPECT_EQ(messages[3].numbers, (std::vector<std::uint32_t>{3, 2, 1}));
}

TEST(RoundTrip, BatchSplitIntoFramesKeepsEveryMessageWhole) {
  MessageBuilder builder;
  const std::string line(1000, 'x');
  for (int i = 0; i < 200; ++i)
    builder.begin(ServerCode::RoomLine).u8(static_cast<std::uint8_t>(i)).string(line);
  builder.finish();
  std::size_t frames = 0;
  auto messages = decodeAll(builder, &frames);
  EXPECT_EQ(frames, builder.frameCount());
  EXPECT_GE(frames, 4u);
  ASSERT_EQ(messages.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(messages[i].number(0), static_cast<std::uint32_t>(i));
    EXPECT_EQ(messages[i].text(0), line);
  }
}

TEST(RoundTrip, CompactStepsAroundAnObjectBatch) {
  MessageBuilder builder;
  builder.beginType(wire::memberStepType(1, -2));
  builder.beginType(static_cast<std::uint8_t>(wire::memberStepType(0, 0) + 49)).i8(-5);
  builder.begin(ServerCode::ObjectBatch);
  builder.beginType(wire::objectStepType(-6, 6));
  builder.beginType(wire::kObjectStepNoMove);
  builder.finish();
  auto messages = decodeAll(builder);
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0].kind, client::MessageKind::MemberStep);
  EXPECT_EQ(messages[0].step.dx, 1);
  EXPECT_EQ(messages[0].step.dy, -2);
  EXPECT_EQ(messages[1].step.direction, client::StepDirection::Step);
  EXPECT_EQ(messages[1].step.directionStep, -5);
  EXPECT_EQ(messages[3].kind, client::MessageKind::ObjectStep);
  EXPECT_EQ(messages[3].step.dx, -6);
  EXPECT_EQ(messages[3].step.dy, 6);
  EXPECT_EQ(messages[4].step.dx, 0);
}

}  // namespace
}  // namespace velmor
