#include "support/ProcessTest.h"

#include <signal.h>

#include <chrono>

namespace velmor::test {

using namespace std::chrono_literals;

std::string roomsSetting(const std::vector<RoomSetting>& rooms) {
  std::string text = R"("rooms": [)";
  for (const RoomSetting& r : rooms) {
    text += (text.back() == '[' ? "{" : ", {") + std::string(R"("type": ")") + r.type +
            R"(", "name": ")" + r.name + R"(", "password": ")" + r.password +
            R"(", "leaderpassword": ")" + r.leader + R"(", "loadatstartup": )" +
            (r.live ? "true" : "false") + r.more + "}";
  }
  return text + "],";
}

void ProcessTest::start(const std::string& settings, const std::string& base) {
  prepare(settings, base);
  resume();
}

void ProcessTest::prepare(const std::string& settings, const std::string& base) {
  server = base.empty() ? std::make_unique<ServerProcess>(settings)
                        : std::make_unique<ServerProcess>(settings, base);
}

void ProcessTest::stop(std::chrono::milliseconds within) {
  server->signal(SIGINT);
  ASSERT_EQ(server->waitExit(within), 0) << server->output();
}

void ProcessTest::resume() {
  ASSERT_TRUE(server->start());
  ASSERT_TRUE(server->waitListening(30s)) << server->output();
}

std::unique_ptr<TestClient> ProcessTest::connect(int sourceHost) {
  return std::make_unique<TestClient>(server->port(), sourceHost);
}

std::unique_ptr<TestClient> ProcessTest::guest(std::string_view name, std::string_view password,
                                               int sourceHost) {
  auto c = connect(sourceHost);
  EXPECT_TRUE(c->loginAsGuest(name, password)) << name;
  return c;
}

std::unique_ptr<TestClient> ProcessTest::member(std::string_view name, std::string_view password,
                                                int sourceHost) {
  auto c = guest(name, password, sourceHost);
  EXPECT_TRUE(c->registerAccount(memberHash(name))) << name;
  return c;
}

void ProcessTest::enter(TestClient& c, std::string_view room, std::string_view password,
                        EnterWait wait) {
  c.request([&](client::RequestWriter& w) { w.enterRoom(room, password); });
  if (wait == kAwaitMembers) {
    EXPECT_TRUE(c.waitFor(wire::ServerCode::MemberList, 10s)) << room;
  }
}

client::Hash16 ProcessTest::memberHash(std::string_view name) {
  return testHash(static_cast<std::uint8_t>(name.size()));
}

}  // namespace velmor::test
