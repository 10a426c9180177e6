#include "support/ProcessTest.h"

#include <signal.h>

#include <chrono>

namespace velmor::test {

using namespace std::chrono_literals;

void ProcessTest::start(const std::string& settings) {
  server = std::make_unique<ServerProcess>(settings);
  ASSERT_TRUE(server->start());
  ASSERT_TRUE(server->waitListening(10s)) << server->output();
}

void ProcessTest::restart() {
  server->signal(SIGINT);
  ASSERT_EQ(server->waitExit(10s), 0) << server->output();
  ASSERT_TRUE(server->start());
  ASSERT_TRUE(server->waitListening(10s)) << server->output();
}

std::unique_ptr<TestClient> ProcessTest::connect(int sourceHost) {
  return std::make_unique<TestClient>(server->port(), sourceHost);
}

std::unique_ptr<TestClient> ProcessTest::guest(std::string_view name, std::string_view password) {
  auto c = connect();
  EXPECT_TRUE(c->loginAsGuest(name, password)) << name;
  return c;
}

std::unique_ptr<TestClient> ProcessTest::member(std::string_view name, std::string_view password) {
  auto c = guest(name, password);
  EXPECT_TRUE(c->registerAccount(memberHash(name))) << name;
  return c;
}

client::Hash16 ProcessTest::memberHash(std::string_view name) {
  return testHash(static_cast<std::uint8_t>(name.size()));
}

}  // namespace velmor::test
