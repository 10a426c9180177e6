// velmor-chat in real terminals (tmux) against the real server: members and guests talking,
// moderation, the status text, and how the tool ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/Requirements.h"
#include "support/ServerProcess.h"
#include "support/Shell.h"

#ifndef VELMOR_CHAT_EXE
#define VELMOR_CHAT_EXE ""
#endif

namespace velmor {
namespace {

using namespace std::chrono_literals;

// A tmux server of the test's own, with one window per velmor-chat. Each window runs the
// tool, then prints its exit status as "EXIT=<n>" and stays open for the test to read.
class Terminals {
 public:
  Terminals() : tmux_("tmux -L velmor-chat-" + std::to_string(getpid())) {}
  ~Terminals() { test::run(tmux_ + " kill-server"); }

  bool open(const std::string& window, const std::string& arguments) {
    const std::string command = "'" + std::string(VELMOR_CHAT_EXE) + " " + arguments +
                                "; echo EXIT=$?; sleep 600'";
    const std::string verb =
        first_ ? " new-session -d -x 150 -y 50 -s chat -n " : " new-window -t chat -n ";
    first_ = false;
    return test::run(tmux_ + verb + window + " " + command) == 0;
  }
  void type(const std::string& window, const std::string& line) {
    test::run(tmux_ + " send-keys -t chat:" + window + " -l '" + line + "'");
    test::run(tmux_ + " send-keys -t chat:" + window + " Enter");
  }
  std::string screen(const std::string& window) {
    return test::capture(tmux_ + " capture-pane -p -J -S -200 -t chat:" + window);
  }
  // Waits until the window shows `text`.
  testing::AssertionResult shows(const std::string& window, const std::string& text,
                                 std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string seen;
    while (std::chrono::steady_clock::now() < deadline) {
      seen = screen(window);
      if (seen.find(text) != std::string::npos) return testing::AssertionSuccess();
      std::this_thread::sleep_for(50ms);
    }
    return testing::AssertionFailure() << window << " never showed \"" << text << "\":\n" << seen;
  }

 private:
  std::string tmux_;
  bool first_ = true;
};

TEST(ChatTool, TwoUsersTalkAndAreModeratedThenTheToolsEnd) {
  VELMOR_REQUIRE(test::commandExists("tmux"), "tmux is not installed");
  test::ServerProcess server(R"("adminpassword": "root", "userscancreateroom": true,)");
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(server.waitListening(10s)) << server.output();
  const std::string port = " --port " + std::to_string(server.port());
  Terminals t;

  // Alice registers (as the administrator too) and creates a room she leads.
  ASSERT_TRUE(t.open("alice", "--name Alice --register secret --password root" + port));
  ASSERT_TRUE(t.shows("alice", "Registered: Alice is a member account now."));
  t.type("alice", "/create Lounge - lead");
  ASSERT_TRUE(t.shows("alice", "Room Lounge created."));
  t.type("alice", "/enter Lounge lead");
  ASSERT_TRUE(t.shows("alice", "In Lounge: Alice*"));

  // Bob, a guest, comes in; each sees the other's lines by name.
  ASSERT_TRUE(t.open("bob", "--name Bob" + port));
  ASSERT_TRUE(t.shows("bob", "Lounge"));
  t.type("bob", "/enter lounge");
  ASSERT_TRUE(t.shows("bob", "In Lounge: Alice*, Bob"));
  ASSERT_TRUE(t.shows("alice", "* Bob came in."));
  t.type("alice", "hello bob");
  EXPECT_TRUE(t.shows("bob", "<Alice> hello bob"));
  t.type("bob", "hi alice");
  EXPECT_TRUE(t.shows("alice", "<Bob> hi alice"));
  t.type("bob", "/msg Alice psst");
  EXPECT_TRUE(t.shows("alice", "[private] <Bob> psst"));

  // The leader kicks the guest, who sees why.
  t.type("alice", "/kick Bob too loud");
  EXPECT_TRUE(t.shows("bob", "You were kicked from Lounge: too loud"));
  EXPECT_TRUE(t.shows("alice", "* Bob left."));

  // The administrator bans Carol from the server by name, lists, unbans; reads the status.
  ASSERT_TRUE(t.open("carol", "--name Carol" + port));
  ASSERT_TRUE(t.shows("carol", "Type /help"));
  t.type("alice", "/serverban Carol spam");
  EXPECT_TRUE(t.shows("carol", "You were banned from the server: spam"));
  t.type("alice", "/serverbans");
  EXPECT_TRUE(t.shows("alice", "  Carol by Alice: spam"));
  t.type("alice", "/serverunban Carol");
  t.type("alice", "/serverbans");
  EXPECT_TRUE(t.shows("alice", "  none"));
  t.type("alice", "/status");
  EXPECT_TRUE(t.shows("alice", "Version: 1.0.1"));

  // /quit leaves with 0; the server's end leaves the others with a message and non-zero.
  t.type("carol", "/quit");
  EXPECT_TRUE(t.shows("carol", "EXIT=0"));
  server.signal(SIGKILL);
  for (const char* window : {"alice", "bob"}) {
    EXPECT_TRUE(t.shows(window, "the connection to the server was lost")) << window;
    EXPECT_TRUE(t.shows(window, "EXIT=3")) << window;
  }
}

}  // namespace
}  // namespace velmor
