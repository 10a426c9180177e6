#include "net/WebSocketSession.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "net/WebFolder.h"
#include "support/TempDir.h"

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

// The web client's folder as a browser fetches it: each row one request on a fresh
// connection, with the status line and a piece of the answer it must hold.
class PageRequests : public testing::Test {
 protected:
  void SetUp() override {
    folder.write("index.html", "<p>home</p>");
    folder.write("app.js", "export {};");
    ASSERT_EQ(std::system(("mkdir -p " + folder.file("sub") + " " + folder.file(".git")).c_str()),
              0);
    folder.write("sub/page.css", "p{}");
    folder.write(".git/config", "secret");
    folder.write(".env", "secret");
    folder.write("big.bin", std::string(WebFolder::kMaxFileBytes + 1, 'x'));
    std::string report;
    policy.web = WebFolder::load(folder.path(), report);
    ASSERT_NE(policy.web, nullptr) << report;
    ASSERT_NE(report.find("1 left out"), std::string::npos) << report;
  }

  // What the session answers to `input`, and how it ended.
  WebSocketSession::Result fetch(const std::string& input, std::string& answer) {
    WebSocketSession session(policy);
    AnsweringIo io;
    io.session = &session;
    WebSocketSession::Result result = WebSocketSession::Result::Going;
    for (std::size_t at = 0; at < input.size() && result == WebSocketSession::Result::Going;) {
      std::size_t used = 0;
      result = session.receive(input.data() + at, input.size() - at, used, io);
      at += used;
    }
    answer = io.emitted;
    return result;
  }

  test::TempDir folder;
  DoorPolicy policy;
};

TEST_F(PageRequests, AnswerFromTheFolderOnly) {
  struct Row {
    const char* request;
    const char* status;
    const char* holds;
  };
  const Row rows[] = {
      {"GET / HTTP/1.1", "200 OK", "Content-Type: text/html; charset=utf-8"},
      {"GET / HTTP/1.1", "200 OK", "Content-Security-Policy: default-src 'self'"},
      {"GET /index.html HTTP/1.1", "200 OK", "\r\n\r\n<p>home</p>"},
      {"GET /app.js?v=2#x HTTP/1.1", "200 OK", "Content-Type: text/javascript"},
      {"GET /%61pp.js HTTP/1.1", "200 OK", "export {};"},
      {"HEAD /app.js HTTP/1.1", "200 OK", "Content-Length: 10\r\n"},
      {"GET /sub/page.css HTTP/1.1", "200 OK", "Content-Type: text/css"},
      {"GET /sub/ HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /sub HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /../index.html HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /%2e%2e/index.html HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /.env HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /.git/config HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /big.bin HTTP/1.1", "404 Not Found", "Not found"},
      {"GET /app.js%00 HTTP/1.1", "400 Bad Request", "Connection: close"},
      {"GET /%zz HTTP/1.1", "400 Bad Request", "Connection: close"},
      {"POST / HTTP/1.1\r\nContent-Length: 0", "405 Method Not Allowed", "Allow: GET, HEAD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.request);
    std::string answer;
    fetch(std::string(row.request) + "\r\nHost: t\r\n\r\n", answer);
    EXPECT_EQ(answer.rfind(std::string("HTTP/1.1 ") + row.status + "\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find(row.holds), std::string::npos) << answer;
  }
  std::string head;
  fetch("HEAD /app.js HTTP/1.1\r\nHost: t\r\n\r\n", head);
  EXPECT_EQ(head.find("export"), std::string::npos) << "HEAD sends no body";
}

TEST_F(PageRequests, ShareOneConnectionUntilTheClientEndsIt) {
  std::string answer;
  const std::string request = "GET /app.js HTTP/1.1\r\nHost: t\r\n\r\n";
  EXPECT_EQ(fetch(request + request, answer), WebSocketSession::Result::Going);
  EXPECT_EQ(answer.find("200 OK"), answer.rfind("200 OK") - answer.size() / 2) << answer;

  const std::size_t tagAt = answer.find("ETag: ") + 6;
  const std::string tag = answer.substr(tagAt, answer.find("\r\n", tagAt) - tagAt);
  EXPECT_EQ(fetch("GET /app.js HTTP/1.1\r\nHost: t\r\nIf-None-Match: " + tag +
                      "\r\nConnection: close\r\n\r\n",
                  answer),
            WebSocketSession::Result::Close);
  EXPECT_EQ(answer.rfind("HTTP/1.1 304 Not Modified\r\n", 0), 0u) << answer;
  EXPECT_EQ(answer.find("export"), std::string::npos);

  // An upgrade after a page on the same connection still opens the session.
  const std::string upgrade =
      "GET / HTTP/1.1\r\nHost: t\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  EXPECT_EQ(fetch(request + upgrade, answer), WebSocketSession::Result::Opened);
  EXPECT_NE(answer.find("101 Switching Protocols"), std::string::npos) << answer;
}

}  // namespace
}  // namespace velmor
