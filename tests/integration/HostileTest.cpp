// Hostile and careless clients against the real executable: none of them may take the
// server down, corrupt its databases or make it hold memory without bound.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/HttpClient.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/TestClient.h"
#include "wire/Schema.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using test::TestClient;
using wire::ServerCode;

// Closes with a reset instead of an orderly end, as a crashed client does.
void reset(test::Socket& socket) {
  linger hard{1, 0};
  setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  socket.close();
}

class HostileTest : public test::ProcessTest {
 protected:
  void start(const std::string& settings = "") {
    ProcessTest::start(settings +
                       test::roomsSetting({test::RoomSetting("Yard", "", "lead", true,
                                                             R"(, "neversleeps": true)", "nav")}));
  }
  // A normal client is served at once, and the databases are sound.
  void expectHealthy() {
    TestClient normal(server->port());
    ASSERT_TRUE(normal.loginAsGuest("Normal")) << "the server no longer serves";
    normal.request([](RequestWriter& w) { w.listRooms(0); });
    EXPECT_TRUE(normal.waitFor(ServerCode::RoomDirectory, 1s));
    stop();
    EXPECT_EQ(test::integrityCheck(server->dir().file("velmordata.db")), "ok");
    EXPECT_EQ(test::integrityCheck(server->dir().file("velmorfiledata.db")), "ok");
  }
};

TEST_F(HostileTest, EveryRequestTruncatedAtEveryByte) {
  start();
  TestClient attacker(server->port());
  attacker.navigationRoom = true;
  ASSERT_TRUE(attacker.loginAsGuest("Cutter"));
  attacker.request([](RequestWriter& w) { w.enterRoom("Yard", ""); });
  ASSERT_TRUE(attacker.waitFor(ServerCode::RoomState));
  attacker.drain(test::kQuiet);  // the room's welcome
  // Every request of the wire's definition alone, cut after each of its bytes, each cut in a
  // frame of its own: none may act, so nothing at all is answered.
  std::string frames;
  for (const wire::RequestInfo& request : wire::kRequests) {
    const std::string message = char(request.type) + std::string(request.example);
    for (std::size_t cut = 1; cut < message.size(); ++cut) {
      frames += std::string{char(cut), 0} + message.substr(0, cut);
      if (frames.size() > 60000) {
        ASSERT_TRUE(attacker.send(frames));
        frames.clear();
      }
    }
  }
  ASSERT_TRUE(attacker.send(frames));
  // A marker read with the last cut is dropped with it: sent again until it is answered.
  std::vector<std::string> answered;
  bool marked = false;
  for (int attempt = 0; attempt < 20 && !marked; ++attempt) {
    attacker.request([](RequestWriter& w) { w.listRooms(client::kMarkerRoomIndex); });
    while (auto m = attacker.next(500ms)) {
      marked = m->is(ServerCode::RoomDirectory);
      if (marked) break;
      answered.push_back(m->name());
    }
  }
  ASSERT_TRUE(marked);
  EXPECT_TRUE(answered.empty()) << testing::PrintToString(answered);
  expectHealthy();
}

TEST_F(HostileTest, NamesAndPasswordsOfEveryLength) {
  start();
  for (std::size_t length : {0u, 1u, 30u, 31u, 32u, 33u, 255u, 1000u, 30000u, 65000u}) {
    TestClient c(server->port());
    const std::string text(length, 'N');
    client::LoginFields login;
    login.name = text;
    login.password = text;
    login.appearanceText = text;
    c.request([&](RequestWriter& w) { w.login(login); });
    c.drain(50ms);
  }
  expectHealthy();
}

TEST_F(HostileTest, ManyConnectionsOpenedAndResetAtOnce) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  const int count =
      static_cast<int>(std::min<rlim_t>(10000, limit.rlim_cur > 200 ? limit.rlim_cur - 200 : 0));
  VELMOR_REQUIRE(count >= 1000, "only " << limit.rlim_cur << " descriptors allowed here");
  start();
  std::vector<test::Socket> sockets;
  sockets.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) sockets.push_back(test::connectTo(server->port()));
  // Half of them send the start of a login and stay silent; the rest are reset at once.
  for (int i = 0; i < count; i += 2)
    sockets[static_cast<std::size_t>(i)].sendAll(std::string("\x40\x00\x01\x01", 4));
  for (int i = 1; i < count; i += 2) reset(sockets[static_cast<std::size_t>(i)]);
  // The server took the silent half in: it refused (answered and closed) all but the few one
  // address may open at a time.
  constexpr long kConnectionsPerAddress = 7;  // admitted from one address in ten seconds
  std::vector<pollfd> silent;
  for (int i = 0; i < count; i += 2)
    silent.push_back({sockets[static_cast<std::size_t>(i)].fd(), POLLIN, 0});
  EXPECT_TRUE(test::eventually(
      [&] {
        ::poll(silent.data(), silent.size(), 0);
        const auto answered = std::count_if(silent.begin(), silent.end(),
                                            [](const pollfd& p) { return p.revents != 0; });
        return answered + kConnectionsPerAddress >= static_cast<long>(silent.size());
      },
      std::chrono::seconds(30)));
  for (auto& socket : sockets) reset(socket);
  expectHealthy();
}

TEST_F(HostileTest, ClientsResettingWhileTheServerWritesDoNotEndIt) {
  start();
  TestClient mover(server->port());
  mover.navigationRoom = true;
  ASSERT_TRUE(mover.loginAsGuest("Mover"));
  mover.request([](RequestWriter& w) { w.enterRoom("Yard", ""); });
  ASSERT_TRUE(mover.waitFor(ServerCode::RoomState));
  for (int round = 0; round < 30; ++round) {
    TestClient victim(server->port());
    victim.navigationRoom = true;
    ASSERT_TRUE(victim.loginAsGuest("Victim" + std::to_string(round)));
    victim.request([](RequestWriter& w) { w.enterRoom("Yard", ""); });
    mover.request(
        [&](RequestWriter& w) { w.position(static_cast<std::uint16_t>(round), 0, 0, 0, 0); });
    reset(victim.socket());
  }
  expectHealthy();
}

TEST_F(HostileTest, ReaderThatNeverReadsIsClosedAndOthersKeepReceiving) {
  start(R"("maxpendingoutput": 1048576, "userscancreateroom": true,)");
  // A member fills a large file in a room of his own.
  TestClient owner(server->port());
  ASSERT_TRUE(owner.loginAsGuest("Owner"));
  ASSERT_TRUE(owner.registerAccount(test::testHash(6)));
  owner.request([](RequestWriter& w) { w.createRoom("Store", "", "lead", 0); });
  ASSERT_TRUE(owner.waitFor(ServerCode::RoomCreated));
  owner.request([](RequestWriter& w) { w.enterRoom("Store", "lead"); });
  ASSERT_TRUE(owner.waitFor(ServerCode::RoomState));
  owner.request([](RequestWriter& w) { w.createFile("big", 1, 1); });
  ASSERT_TRUE(owner.waitFor(ServerCode::FileCreated));
  const std::string chunk(60000, 'b');
  owner.request([&](RequestWriter& w) { w.writeFile(600000, "big", chunk); });
  for (int i = 1; i < 10; ++i) owner.request([&](RequestWriter& w) { w.fileChunk(chunk); });
  ASSERT_TRUE(owner.waitFor(ServerCode::FileSaved, 5s));

  // The slow reader asks for the file again and again and never reads an answer.
  TestClient slow(server->port());
  ASSERT_TRUE(slow.loginAsGuest("Slow"));
  slow.request([](RequestWriter& w) { w.enterRoom("Store", ""); });
  ASSERT_TRUE(slow.waitFor(ServerCode::RoomState));
  int small = 4096;
  setsockopt(slow.socket().fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  const std::uint64_t before = server->residentKb();
  for (int round = 0; round < 60; ++round) {
    RequestWriter w;
    w.beginFrame();
    w.readFile("big", 0);
    for (std::uint32_t offset = 8000; offset < 600000; offset += 8000) w.fileChunkRequest(offset);
    w.endFrame();
    if (!slow.socket().sendAll(w.bytes())) break;  // closed by the server
  }
  // Meanwhile the others are served.
  owner.request([](RequestWriter& w) { w.listFiles(); });
  EXPECT_TRUE(owner.waitFor(ServerCode::FileList, 2s));
  EXPECT_TRUE(slow.closedByServer(5s)) << "the reader that never reads is closed";
  EXPECT_LT(server->residentKb(), before + 64 * 1024) << "memory stays bounded";
  expectHealthy();
}

// A guest who stops reading and asks for tiny answers by the thousand: each answer that waited
// took a write request of its own, a hundred times its bytes, and the memory stayed after him.
// What waits for him must cost about the bytes the limits count, and go when he goes.
TEST_F(HostileTest, SmallRepliesToAReaderThatNeverReadsCostAboutTheirBytes) {
  // Freed memory goes straight back to the system under the sanitizers too.
  setenv(
      "ASAN_OPTIONS",
      "detect_leaks=1:abort_on_error=1:quarantine_size_mb=0:allocator_release_to_os_interval_ms=0",
      1);
  const std::uint16_t metricsPort = test::freePort();
  start(R"("maxpendingoutput": 33554432, "metricsport": )" + std::to_string(metricsPort) + ",");
  auto waitingBytes = [&] {
    const auto reply = test::httpGet(metricsPort, "/metrics");
    if (!reply || reply->status != 200) return -1.0;
    return test::samplesOf(reply->body)["velmor_output_waiting_bytes"];
  };
  TestClient slow(server->port());
  slow.navigationRoom = true;
  ASSERT_TRUE(slow.loginAsGuest("Slow"));
  slow.request([](RequestWriter& w) { w.enterRoom("Yard", ""); });
  ASSERT_TRUE(slow.waitFor(ServerCode::RoomState));
  const std::uint64_t before = server->residentKb();

  // 80 frames of 60,000 ListFiles, each answered by 5 bytes: 24 MB, of which the sockets take
  // about 4 MB. Then the count of what waits stops moving.
  RequestWriter w;
  w.beginFrame();
  for (int i = 0; i < 60000; ++i) w.listFiles();
  w.endFrame();
  for (int frame = 0; frame < 80; ++frame) ASSERT_TRUE(slow.socket().sendAll(w.bytes()));
  double waiting = 0;
  ASSERT_TRUE(test::eventually(
      [&] {
        const double previous = waiting;
        waiting = waitingBytes();
        return waiting > 8e6 && waiting == previous;
      },
      60s, 200ms))
      << "output waiting: " << waiting;
  const std::uint64_t grownKb = server->residentKb() - before;
  const auto waitingKb = static_cast<std::uint64_t>(waiting / 1024);
  EXPECT_LE(grownKb, 3 * waitingKb + 8 * 1024)
      << "resident KB grew by " << grownKb << " for " << waitingKb << " KB counted as waiting";

  // Once he is gone, what stays is the pool's few free buffers and the allocator's own
  // bookkeeping (under the sanitizers, the shadow of the memory given back).
  slow.socket().close();
  ASSERT_TRUE(test::eventually([&] { return waitingBytes() == 0; }));
  std::uint64_t after = 0;
  EXPECT_TRUE(test::eventually(
      [&] {
        after = server->residentKb();
        return after <= before + 12 * 1024;
      },
      10s))
      << "resident KB before " << before << ", after the reader left " << after;
  RecordProperty("grown_kb", std::to_string(grownKb));
  RecordProperty("waiting_kb", std::to_string(waitingKb));
  RecordProperty("left_after_close_kb", std::to_string(after - before));
  expectHealthy();
}

}  // namespace
}  // namespace velmor
