#include "support/TestClient.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "client/LoginProof.h"

namespace velmor::test {

TestClient::TestClient(std::uint16_t port, int sourceHost, std::function<void()> idle)
    : idle_(std::move(idle)) {
  socket_ = connectTo(port, sourceHost);
}

bool TestClient::send(const std::string& frame) {
  const bool sent = socket_.sendAll(frame);
  if (idle_) idle_();
  return sent;
}

bool TestClient::readMore(std::chrono::steady_clock::time_point deadline) {
  char buffer[65536];
  for (;;) {
    if (idle_) idle_();
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const int wait =
        idle_ ? 1
              : static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) +
                    1;
    pollfd p{socket_.fd(), POLLIN, 0};
    if (::poll(&p, 1, wait) <= 0) continue;
    const ssize_t n = ::recv(socket_.fd(), buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    decoder_.feed(buffer, static_cast<std::size_t>(n));
    std::string_view payload;
    bool any = false;
    while (decoder_.nextFrame(payload)) {
      frames_.emplace_back(payload);
      std::vector<ServerMessage> messages;
      std::string error;
      const bool decoded = client::decodeFrame(payload, {navigationRoom}, messages, error);
      for (ServerMessage& m : messages) pending_.push_back(std::move(m));
      if (!decoded) ADD_FAILURE() << "undecodable frame: " << error;
      any = true;
    }
    if (any) return true;
  }
}

std::optional<ServerMessage> TestClient::next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pending_.empty()) {
    if (!readMore(deadline)) return std::nullopt;
  }
  ServerMessage message = std::move(pending_.front());
  pending_.pop_front();
  return message;
}

std::optional<ServerMessage> TestClient::waitFor(ServerCode code,
                                                 std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<ServerMessage> message = next(left);
    if (!message) return std::nullopt;
    if (message->is(code)) return message;
  }
}

testing::AssertionResult TestClient::answer(
    ServerCode code, const std::function<bool(const ServerMessage&)>& isAnswer, ServerMessage* out,
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto m = left.count() > 0 ? next(left) : std::nullopt;
    if (!m) {
      return testing::AssertionFailure()
             << "no answer, expected " << client::serverCodeName(static_cast<std::uint16_t>(code));
    }
    if (!isAnswer(*m)) continue;
    if (!m->is(code)) return testing::AssertionFailure() << "answered " << m->describe();
    if (out != nullptr) *out = std::move(*m);
    return testing::AssertionSuccess();
  }
}

std::vector<ServerMessage> TestClient::drain(std::chrono::milliseconds window) {
  const auto deadline = std::chrono::steady_clock::now() + window;
  while (readMore(deadline)) {
  }
  std::vector<ServerMessage> messages(pending_.begin(), pending_.end());
  pending_.clear();
  return messages;
}

bool TestClient::closedByServer(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (idle_) idle_();
    pollfd p{socket_.fd(), POLLIN, 0};
    if (::poll(&p, 1, idle_ ? 1 : 50) <= 0) continue;
    char byte;
    if (::recv(socket_.fd(), &byte, 1, MSG_PEEK) <= 0) return true;
    readMore(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<std::string> TestClient::loginAsGuest(std::string_view name,
                                                    std::string_view password) {
  client::LoginFields fields;
  fields.name = name;
  fields.password = password;
  request([&](client::RequestWriter& w) { w.login(fields); });
  std::optional<ServerMessage> welcome = waitFor(ServerCode::GuestWelcome);
  if (!welcome) return std::nullopt;
  if (!waitFor(ServerCode::RoomList)) return std::nullopt;  // the last of the welcome
  return welcome->text(0);
}

bool TestClient::registerAccount(const client::Hash16& passwordHash) {
  request([&](client::RequestWriter& w) { w.registerAccount(testHash(99), passwordHash); });
  return waitFor(ServerCode::Registered).has_value();
}

bool TestClient::loginAsMember(std::string_view name, const client::Hash16& passwordHash,
                               std::string_view password) {
  client::LoginFields fields;
  fields.name = name;
  fields.password = password;
  request([&](client::RequestWriter& w) { w.login(fields); });
  std::optional<ServerMessage> challenge = waitFor(ServerCode::LoginChallenge);
  if (!challenge) return false;
  const client::Hash16 proof = client::loginProof(passwordHash, challenge->text(1));
  request([&](client::RequestWriter& w) { w.loginProof(proof); });
  return waitFor(ServerCode::RoomList).has_value();
}

client::Hash16 testHash(std::uint8_t seed) {
  client::Hash16 hash{};
  for (int i = 0; i < 16; ++i) hash[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
  return hash;
}

}  // namespace velmor::test
