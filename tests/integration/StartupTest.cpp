// The real executable, started in a temporary folder with its settings beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Sockets.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using Startup = test::ProcessTest;

constexpr const char* kStartLine = "Wait while we initialize your VelmorServer...";

TEST_F(Startup, InterruptEndsTheProcessWithStatusZero) {
  start();
  test::Socket client = test::connectTo(server->port());
  ASSERT_TRUE(client.valid());

  auto interrupted = std::chrono::steady_clock::now();
  server->signal(SIGINT);
  auto status = server->waitExit(2s);
  ASSERT_TRUE(status.has_value()) << "still running 2 s after SIGINT";
  EXPECT_EQ(*status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 2s);
  EXPECT_EQ(server->output().rfind(kStartLine, 0), 0u) << server->output();
  EXPECT_TRUE(client.waitClosed(1s)) << "open connections are closed by the shutdown";
}

TEST_F(Startup, SecondInterruptDuringShutdownDoesNothingHarmful) {
  start();
  server->signal(SIGINT);
  server->signal(SIGINT);
  auto status = server->waitExit(2s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
}

TEST_F(Startup, PortInUseRetriesEverySecondAndInterruptStillEnds) {
  prepare();
  test::Socket blocker = test::listenOn(server->port());
  ASSERT_TRUE(blocker.valid());
  ASSERT_TRUE(server->start());
  ASSERT_TRUE(server->waitForOutput("EADDRINUSE", 5s)) << server->output();
  const auto attemptsSeen = [this] {
    const std::string output = server->output();
    std::size_t seen = 0;
    for (std::size_t at = output.find("EADDRINUSE"); at != std::string::npos;
         at = output.find("EADDRINUSE", at + 1)) {
      ++seen;
    }
    return seen;
  };
  // Every second another attempt: the second comes about a second after the first.
  EXPECT_TRUE(test::eventually([&] { return attemptsSeen() >= 2; }, 5s)) << server->output();
  blocker.close();
  ASSERT_TRUE(server->waitListening(3s)) << server->output();
  server->signal(SIGINT);
  auto status = server->waitExit(2s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
}

TEST_F(Startup, DatabaseThatCannotBeOpenedEndsWithStatusOne) {
  struct Case {
    const char* file;
    const char* message;
  };
  for (const Case& c : {Case{"velmordata.db", "Unable to open database."},
                        Case{"velmorfiledata.db", "Error opening file data database."}}) {
    prepare();
    // A folder in place of the database file cannot be opened as one.
    ASSERT_EQ(::mkdir(server->dir().file(c.file).c_str(), 0755), 0);
    ASSERT_TRUE(server->start());
    auto status = server->waitExit(10s);
    ASSERT_TRUE(status.has_value()) << c.file;
    EXPECT_EQ(*status, 1) << c.file;
    EXPECT_EQ(server->output(), std::string(kStartLine) + c.message);
  }
}

// A bindaddress that is no IPv4 address ends the start with a message: listening on every
// interface instead of the one the operator named would be unsafe.
TEST_F(Startup, BindAddressThatIsNoAddressEndsWithStatusOne) {
  prepare();
  server->setSettingsText(R"({"useupnp": false, "bindaddress": "localhost", "serverport": )" +
                          std::to_string(server->port()) + "}");
  ASSERT_TRUE(server->start());
  auto status = server->waitExit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  EXPECT_NE(server->output().find(R"(The bindaddress "localhost" is not an IPv4 address.)"),
            std::string::npos)
      << server->output();
}

TEST_F(Startup, StoredDataSurvivesARestart) {
  start(test::roomsSetting({{"Lobby", "", "x"}}));
  stop(3s);
  EXPECT_NE(server->output().find("Exiting Query Event Thread"), std::string::npos)
      << server->output();
  resume();
  stop(3s);
}

}  // namespace
}  // namespace velmor
