// A thousand short visits leave nothing behind: the server's memory after them is what it
// was before, and LeakSanitizer (in the sanitizer builds) finds nothing at its exit.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using LeakCycle = test::ProcessTest;
using client::RequestWriter;
using test::TestClient;
using wire::ServerCode;

// Ten at a time: connect, log in, enter the room, chat, leave, disconnect.
void visitBatch(std::uint16_t port, int first) {
  constexpr int kBatch = 10;
  std::vector<std::unique_ptr<TestClient>> visitors;
  for (int n = first; n < first + kBatch; ++n) {
    visitors.push_back(std::make_unique<TestClient>(port));
    ASSERT_TRUE(visitors.back()->loginAsGuest("Visitor" + std::to_string(n)));
    visitors.back()->request([](RequestWriter& w) { w.enterRoom("Lounge", ""); });
  }
  for (auto& c : visitors) ASSERT_TRUE(c->waitFor(ServerCode::RoomState));
  for (auto& c : visitors)
    c->request([](RequestWriter& w) { w.roomChat("hello there").leaveRoom(); });
  for (auto& c : visitors) ASSERT_TRUE(c->waitFor(ServerCode::RoomLeft));
}

TEST_F(LeakCycle, ThousandVisitsLeaveTheServerAsItWas) {
  // Freed memory goes straight back under the sanitizers too, so that the resident size
  // means what it says.
  setenv("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1:quarantine_size_mb=0", 1);
  start(test::roomsSetting({{"Lounge", "", "x", true, R"(, "neversleeps": true)"}}));
  for (int n = 0; n < 100; n += 10)
    visitBatch(server->port(), n);  // pools and tables reach their size
  const std::uint64_t before = server->residentKb();
  ASSERT_GT(before, 0u) << "the server's resident memory cannot be read";
  for (int n = 100; n < 1100; n += 10) {
    visitBatch(server->port(), n);
    if (testing::Test::HasFatalFailure()) return;
  }
  const std::uint64_t after = server->residentKb();
  EXPECT_LE(after, before + before / 10) << "resident KB before " << before << ", after " << after;
  server->signal(SIGINT);
  EXPECT_EQ(server->waitExit(10s), 0)
      << "a leak report at exit changes the status: " << server->output();
}

}  // namespace
}  // namespace velmor
