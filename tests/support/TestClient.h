#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/FrameDecoder.h"
#include "client/RequestWriter.h"
#include "client/ServerMessage.h"
#include "support/Sockets.h"

namespace velmor::test {

using client::ServerMessage;
using wire::ServerCode;

// A protocol client for tests: a loopback socket (from its own 127.0.0.0/8 source
// address), requests built with the client codec, and every server frame decoded message
// by message. Waits are bounded. For a server running in the test's own thread, `idle`
// turns its loop while the client waits.
class TestClient {
 public:
  explicit TestClient(std::uint16_t port, int sourceHost = 0,
                      std::function<void()> idle = std::function<void()>());

  bool connected() const { return socket_.valid(); }
  Socket& socket() { return socket_; }

  bool send(const std::string& frame);
  template <typename F>
  bool request(F&& write) {
    return send(client::RequestWriter::frame(std::forward<F>(write)));
  }

  // The next message, waiting up to the timeout.
  std::optional<ServerMessage> next(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Skips messages until one with the code arrives.
  std::optional<ServerMessage> waitFor(ServerCode code,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Skips messages that are not answers (relay traffic, announcements) and checks that the
  // next answer is `code`; it is stored in `out` when given.
  testing::AssertionResult answer(ServerCode code,
                                  const std::function<bool(const ServerMessage&)>& isAnswer,
                                  ServerMessage* out = nullptr,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything that arrives within the window.
  std::vector<ServerMessage> drain(std::chrono::milliseconds window);
  // Raw payloads of every frame received so far, in order.
  const std::vector<std::string>& frames() const { return frames_; }
  bool closedByServer(std::chrono::milliseconds timeout);

  // Decodes MemberInfo in the navigation layout.
  bool navigationRoom = false;

  // Login helpers. Each returns the challenge the server gave (the guest's challenge is
  // the salt of a later registration), or nothing if the expected reply did not come.
  std::optional<std::string> loginAsGuest(std::string_view name, std::string_view password = "");
  // Registers the logged-in guest with the hash; true when Registered came.
  bool registerAccount(const client::Hash16& passwordHash);
  // Logs in as the member `name` with the stored hash: challenge, proof, welcome.
  bool loginAsMember(std::string_view name, const client::Hash16& passwordHash,
                     std::string_view password = "");

 private:
  bool readMore(std::chrono::steady_clock::time_point deadline);

  Socket socket_;
  std::function<void()> idle_;
  client::FrameDecoder decoder_;
  std::deque<ServerMessage> pending_;
  std::vector<std::string> frames_;
};

// A fixed password hash for tests, different per seed.
client::Hash16 testHash(std::uint8_t seed);

}  // namespace velmor::test
