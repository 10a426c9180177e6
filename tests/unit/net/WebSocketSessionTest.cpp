#include "net/WebSocketSession.h"

#include <gtest/gtest.h>

#include <string>

namespace velmor {
namespace {

// The session's surroundings: what it emits is kept; what it delivers is answered at once,
// as the frame loop answers a request while the session is still reading.
class AnsweringIo final : public WebSocketSession::Io {
 public:
  bool emit(const char* head, std::size_t headLength, const char* body,
            std::size_t bodyLength) override {
    emitted.append(head, headLength).append(body, bodyLength);
    return true;
  }
  void deliver(const char* data, std::size_t length) override {
    delivered.append(data, length);
    session->send("reply", 5, *this);
  }
  bool closing() const override { return false; }

  WebSocketSession* session = nullptr;
  std::string emitted, delivered;
};

std::string maskedBinary(const std::string& payload) {
  const char mask[4] = {1, 2, 3, 4};
  std::string frame = {'\x82', static_cast<char>(0x80 | payload.size())};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) frame += payload[i] ^ mask[i % 4];
  return frame;
}

TEST(WebSocketSession, AnswersEachOfSeveralMessagesReadTogether) {
  DoorPolicy policy;
  WebSocketSession session(policy);
  AnsweringIo io;
  io.session = &session;
  const std::string request =
      "GET / HTTP/1.1\r\nHost: t\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  const std::string input =
      request + maskedBinary("one") + maskedBinary("two") + maskedBinary("three");
  std::size_t used = 0;
  ASSERT_EQ(session.receive(input.data(), input.size(), used, io),
            WebSocketSession::Result::Opened);
  EXPECT_NE(io.emitted.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
            std::string::npos);
  const std::size_t rest = input.size() - used;
  ASSERT_EQ(session.receive(input.data() + used, rest, used, io), WebSocketSession::Result::Going);
  EXPECT_EQ(io.delivered, "onetwothree");
  EXPECT_EQ(io.emitted.substr(io.emitted.size() - 21), std::string("\x82\x05reply", 7) +
                                                           std::string("\x82\x05reply", 7) +
                                                           std::string("\x82\x05reply", 7));
}

}  // namespace
}  // namespace velmor
