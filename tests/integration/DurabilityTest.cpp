// Stopping the server loses nothing it acknowledged: a scripted load, a stop signal in the
// middle of it, a restart on the same folder, and every acknowledged change checked.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using StopSignals = test::ProcessTest;
using client::RequestWriter;
using test::TestClient;
using wire::ServerCode;

std::string contentFor(int i) {
  return "file of user " + std::to_string(i) + std::string(100 + i, 'a' + i % 26);
}

// What the server said it did.
struct Acknowledged {
  std::set<int> registered;
  std::set<int> created;
  std::set<int> passwordsChanged;
  std::set<int> fileSaved;
};

class DurabilityTest : public test::ProcessTest {
 protected:
  void SetUp() override { start(R"("userscancreateroom": true,)"); }

  static std::string name(int i) { return "Worker" + std::to_string(i); }
  static std::string roomName(int i) { return "Shop" + std::to_string(i); }

  static void collect(TestClient& c, int i, Acknowledged& ack, std::chrono::milliseconds window) {
    for (const auto& m : c.drain(window)) note(m, i, ack);
  }
  static void note(const client::ServerMessage& m, int i, Acknowledged& ack) {
    if (m.is(ServerCode::Registered)) ack.registered.insert(i);
    if (m.is(ServerCode::RoomCreated)) ack.created.insert(i);
    if (m.is(ServerCode::RoomPasswordsChanged)) ack.passwordsChanged.insert(i);
    if (m.is(ServerCode::FileSaved) && !m.texts.empty()) ack.fileSaved.insert(i);
  }
  // Waits for one acknowledgement and notes it.
  static bool await(TestClient& c, int i, ServerCode code, Acknowledged& ack) {
    auto m = c.waitFor(code, 3s);
    if (m) note(*m, i, ack);
    return m.has_value();
  }

  // Each worker has registered; then it creates a room, enters it, changes its passwords,
  // creates a file and writes it. The first half does so one step after another; the
  // second half sends everything at once, and the signal comes while it is in flight.
  Acknowledged loadAndStop(int signum) {
    constexpr int kWorkers = 8;
    std::vector<std::unique_ptr<TestClient>> clients;
    Acknowledged ack;
    for (int i = 0; i < kWorkers; ++i) {
      clients.push_back(std::make_unique<TestClient>(server->port()));
      TestClient& c = *clients.back();
      EXPECT_TRUE(c.loginAsGuest(name(i)));
      c.request([&](RequestWriter& w) {
        w.registerAccount(test::testHash(0), test::testHash(static_cast<std::uint8_t>(i)));
      });
      EXPECT_TRUE(await(c, i, ServerCode::Registered, ack));
    }
    auto roomWork = [&](RequestWriter& w, int i) {
      const std::string content = contentFor(i);
      w.setRoomPasswords("new" + std::to_string(i), "lead" + std::to_string(i));
      w.createFile("notes", 1, 1);
      w.writeFile(static_cast<std::uint32_t>(content.size()), "notes", content);
    };
    for (int i = 0; i < kWorkers / 2; ++i) {
      TestClient& c = *clients[i];
      c.request([&](RequestWriter& w) { w.createRoom(roomName(i), "old", "oldlead", 0); });
      EXPECT_TRUE(await(c, i, ServerCode::RoomCreated, ack));
      c.request([&](RequestWriter& w) { w.enterRoom(roomName(i), "old"); });
      EXPECT_TRUE(c.waitFor(ServerCode::RoomState, 3s));
      c.request([&](RequestWriter& w) { roomWork(w, i); });
      EXPECT_TRUE(await(c, i, ServerCode::RoomPasswordsChanged, ack));
      EXPECT_TRUE(await(c, i, ServerCode::FileSaved, ack));
    }
    for (int i = kWorkers / 2; i < kWorkers; ++i) {
      clients[i]->request(
          [&](RequestWriter& w) { w.createRoom(roomName(i), "old", "oldlead", 0); });
    }
    server->signal(signum);
    for (int i = 0; i < kWorkers; ++i) collect(*clients[i], i, ack, 100ms);
    return ack;
  }

  void expectStored(const Acknowledged& ack, bool roomStateToo) {
    for (int i : ack.registered) {
      TestClient member(server->port());
      EXPECT_TRUE(member.loginAsMember(name(i), test::testHash(static_cast<std::uint8_t>(i))))
          << name(i);
    }
    for (int i : ack.created) {
      TestClient visitor(server->port());
      ASSERT_TRUE(visitor.loginAsGuest("Visitor" + std::to_string(i)));
      const bool newPasswords = roomStateToo && ack.passwordsChanged.contains(i);
      const std::string password = newPasswords ? "new" + std::to_string(i) : "old";
      visitor.request([&](RequestWriter& w) { w.enterRoom(roomName(i), password); });
      EXPECT_TRUE(visitor.waitFor(ServerCode::RoomState, 3s))
          << roomName(i) << " with " << password;
      if (!roomStateToo || !ack.fileSaved.contains(i)) continue;
      visitor.request([&](RequestWriter& w) { w.readFile("notes", 0); });
      auto content = visitor.waitFor(ServerCode::FileContent);
      ASSERT_TRUE(content) << roomName(i);
      EXPECT_EQ(content->text(0), contentFor(i));
    }
  }

  void expectIntact() {
    EXPECT_EQ(test::integrityCheck(server->dir().file("velmordata.db")), "ok");
    EXPECT_EQ(test::integrityCheck(server->dir().file("velmorfiledata.db")), "ok");
  }
};

TEST_F(DurabilityTest, InterruptKeepsEverythingAcknowledged) {
  const Acknowledged ack = loadAndStop(SIGINT);
  ASSERT_EQ(server->waitExit(10s), 0) << server->output();
  EXPECT_FALSE(ack.registered.empty());
  EXPECT_FALSE(ack.passwordsChanged.empty());
  expectIntact();
  resume();
  expectStored(ack, true);
}

TEST_F(DurabilityTest, TerminateKeepsEverythingAcknowledged) {
  const Acknowledged ack = loadAndStop(SIGTERM);
  ASSERT_EQ(server->waitExit(10s), 0) << server->output();
  EXPECT_FALSE(ack.created.empty());
  expectIntact();
  resume();
  expectStored(ack, true);
}

TEST_F(DurabilityTest, KillLeavesIntactDatabasesWithEveryCommittedChange) {
  const Acknowledged ack = loadAndStop(SIGKILL);
  ASSERT_TRUE(server->waitExit(5s).has_value());
  expectIntact();
  resume();
  // Registrations and creations are acknowledged only once committed.
  expectStored(ack, false);
}

TEST_F(DurabilityTest, ShutdownWithFiveHundredClientsIsQuick) {
  std::vector<test::Socket> clients;
  for (int i = 0; i < 500; ++i) {
    clients.push_back(test::connectTo(server->port()));
    ASSERT_TRUE(clients.back().valid()) << i;
  }
  ASSERT_TRUE(test::eventually([&] { return server->openDescriptors() >= 500; }))
      << "not all accepted";
  const auto signalled = std::chrono::steady_clock::now();
  server->signal(SIGINT);
  ASSERT_EQ(server->waitExit(2s), 0) << "not ended within 2 s";
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
  int closed = 0;
  for (auto& client : clients) closed += client.waitClosed(500ms) ? 1 : 0;
  EXPECT_EQ(closed, 500);
}

// Further stop signals during the shutdown change nothing: the test holds the database so
// that the shutdown's last batch waits, then lets it go and keeps signalling until the
// process has ended. Its saves finish and its exit status is 0.
TEST_F(StopSignals, FurtherSignalsDuringTheShutdownAreIgnored) {
  start(test::roomsSetting({{"Hall"}}));
  test::SqlFile holder(server->dir().file("velmordata.db"));
  ASSERT_TRUE(holder.exec("BEGIN EXCLUSIVE;"));
  server->signal(SIGTERM);
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(holder.exec("COMMIT;"));
  std::optional<int> status;
  for (int i = 0; i < 2000 && !status; ++i) {
    server->signal(i % 2 == 0 ? SIGTERM : SIGINT);
    status = server->waitExit(1ms);
  }
  if (!status) status = server->waitExit(10s);
  EXPECT_EQ(status, 0) << server->output();
  EXPECT_EQ(test::integrityCheck(server->dir().file("velmordata.db")), "ok");
}

}  // namespace
}  // namespace velmor
