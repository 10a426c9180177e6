// The status screen through a real terminal, and its absence without one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "base/Version.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/Terminals.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using Console = test::ProcessTest;

TEST_F(Console, StatusScreenInATerminalShowsTheServer) {
  VELMOR_REQUIRE(test::commandExists("tmux"), "tmux is not installed");
  prepare(R"("servername": "Screen",)");
  test::Terminals terminal("velmor-console");
  ASSERT_TRUE(terminal.open("server", "exec " + server->executable()));
  std::string pane;
  terminal.shows("server", "Cur Recv Rate", 10s, &pane);
  pane = terminal.screen("server");  // the screen alone, as the terminal shows it
  const std::string pid = terminal.pid("server");
  terminal.keys("server", "C-c");
  const bool ended = test::eventually([&] { return !terminal.running("server"); }, 5s, 100ms);
  if (!ended && !pid.empty()) ::kill(std::stoi(pid), SIGKILL);
  EXPECT_TRUE(ended) << "Ctrl-C ends the server";

  std::istringstream lines(pane);
  std::vector<std::string> screen;
  for (std::string line; std::getline(lines, line);) screen.push_back(line);
  ASSERT_GE(screen.size(), 15u) << pane;
  EXPECT_EQ(screen[0], "Server Info") << "the screen was cleared first";
  EXPECT_EQ(screen[1],
            "Version: " + std::string(17 - std::strlen(kServerVersion), ' ') + kServerVersion);
  EXPECT_EQ(screen[3].substr(0, 8), "Port:   ");
  EXPECT_EQ(std::stoi(screen[3].substr(8)), server->port());
  for (int i : {1, 3, 4, 5, 6}) EXPECT_EQ(screen[i].size(), 26u) << screen[i];
  EXPECT_EQ(screen[5], "Users:                   0");
  EXPECT_EQ(screen[8], "Usage Levels");
  EXPECT_EQ(screen[13].substr(0, 15), "Cur Send Rate: ");
}

// What the terminal shows after the server has ended is in the terminal's own attributes,
// not in the screen's bright white.
TEST_F(Console, TerminalAttributesAreRestoredWhenTheServerEnds) {
  VELMOR_REQUIRE(test::commandExists("tmux"), "tmux is not installed");
  prepare();
  test::Terminals terminal("velmor-console");
  // A shell that outlives the server and prints after it; Ctrl-C is for the server alone.
  ASSERT_TRUE(terminal.open(
      "shell", "sh -c 'trap : INT; " + server->executable() + "; echo after; sleep 60'"));
  std::string shown;
  const auto shows = [&](const char* text) {
    return test::eventually(
        [&] { return (shown = terminal.screen("shell", true)).find(text) != std::string::npos; },
        10s, 100ms);
  };
  shows("Cur Recv Rate");
  terminal.keys("shell", "C-c");
  shows("after");
  const std::size_t after = shown.find("after");
  ASSERT_NE(after, std::string::npos) << shown;
  // The pane's escapes mark where attributes change: after the last reset before "after",
  // nothing may have made the text bright, white or black again.
  const std::size_t reset = shown.rfind("\x1b[0m", after);
  ASSERT_NE(reset, std::string::npos) << "the attributes were never set back";
  const std::string since = shown.substr(reset, after - reset);
  for (const char* screenAttribute : {"\x1b[1m", "\x1b[37m", "\x1b[30m"})
    EXPECT_EQ(since.find(screenAttribute), std::string::npos) << since;
}

TEST_F(Console, NothingOfTheScreenGoesToAFile) {
  start();
  std::this_thread::sleep_for(1500ms);  // a redraw would have come by now
  stop(3s);
  const std::string output = server->output();
  EXPECT_EQ(output.find("Server Info"), std::string::npos) << output;
  EXPECT_EQ(output.find('\x1b'), std::string::npos) << output;
}

}  // namespace
}  // namespace velmor
