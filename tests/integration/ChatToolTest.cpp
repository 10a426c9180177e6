// velmor-chat in real terminals (tmux) against the real server: members and guests talking,
// moderation, the status text, how the tool ends; what it refuses at once and why, what it
// says of requests the server never confirms, and a prompt that stays whole around its
// output.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/Sockets.h"
#include "support/Terminals.h"

#ifndef VELMOR_CHAT_EXE
#define VELMOR_CHAT_EXE ""
#endif

namespace velmor {
namespace {

using namespace std::chrono_literals;
using ChatTool = test::ProcessTest;

// One window per velmor-chat, 150 × 50. Each window runs the tool, then prints its exit
// status as "EXIT=<n>" and stays open for the test to read.
class Terminals : public test::Terminals {
 public:
  Terminals() : test::Terminals("velmor-chat", 150, 50) {}

  bool open(const std::string& window, const std::string& arguments) {
    return test::Terminals::open(
        window, std::string(VELMOR_CHAT_EXE) + " " + arguments + "; echo EXIT=$?; sleep 600");
  }
  void eraseTyped(const std::string& window) { keys(window, "C-u"); }
  // Waits until the window's last line that is not blank is exactly `line`.
  testing::AssertionResult endsWith(const std::string& window, const std::string& line,
                                    std::chrono::milliseconds timeout = 10s) {
    std::string last;
    std::string seen;
    const auto found = [&] {
      return (last = lastLine(seen = screen(window, false, true))) == line;
    };
    if (test::eventually(found, timeout, 50ms)) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << window << " ends with \"" << last << "\", not \"" << line << "\":\n"
           << seen;
  }

 private:
  static std::string lastLine(const std::string& screen) {
    std::size_t end = screen.find_last_not_of(" \n");
    if (end == std::string::npos) return "";
    const std::size_t start = screen.rfind('\n', end);
    return screen.substr(start == std::string::npos ? 0 : start + 1,
                         end + 1 - (start == std::string::npos ? 0 : start + 1));
  }
};

TEST_F(ChatTool, TwoUsersTalkAndAreModeratedThenTheToolsEnd) {
  VELMOR_REQUIRE(test::commandExists("tmux"), "tmux is not installed");
  start(R"("adminpassword": "root", "userscancreateroom": true,)");
  const std::string port = " --port " + std::to_string(server->port());
  Terminals t;

  // Alice registers (as the administrator too) and creates a room she leads.
  ASSERT_TRUE(t.open("alice", "--name Alice --register secret --admin-password root" + port));
  ASSERT_TRUE(t.shows("alice", "Registered: Alice is a member account now."));
  EXPECT_TRUE(t.shows("alice", "Administrator rights granted."));
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
  EXPECT_TRUE(t.shows("bob", "Sent to Alice; the server does not confirm private messages"));

  // What only leaders and administrators may do is refused to Bob here, with the reason,
  // instead of being sent for the server to ignore.
  t.type("bob", "/kick Alice");
  EXPECT_TRUE(t.shows("bob",
                      "Only a room leader or an administrator may do that, and you do "
                      "not lead Lounge."));
  t.type("bob", "/serverban Alice spam");
  EXPECT_TRUE(t.shows("bob", "Only an administrator may do that"));

  // The tool's own lines leave a clean prompt: after /help the last line is the prompt and
  // what is typed, nothing of the command before.
  t.type("bob", "/help");
  ASSERT_TRUE(t.shows("bob", "What only leaders or administrators may do is refused here"));
  t.typeOnly("bob", "/enter");
  EXPECT_TRUE(t.endsWith("bob", "> /enter"));
  t.eraseTyped("bob");
  EXPECT_TRUE(t.endsWith("bob", ">"));
  // A line from the server while Bob types goes above what he typed, which stays whole.
  t.typeOnly("bob", "half a line");
  ASSERT_TRUE(t.endsWith("bob", "> half a line"));
  t.type("alice", "are you there");
  EXPECT_TRUE(t.shows("bob", "<Alice> are you there\n> half a line"));
  EXPECT_TRUE(t.endsWith("bob", "> half a line"));
  t.eraseTyped("bob");

  // The leader kicks the guest, who sees why.
  t.type("alice", "/kick Bob too loud");
  EXPECT_TRUE(t.shows("bob", "You were kicked from Lounge: too loud"));
  EXPECT_TRUE(t.shows("alice", "* Bob left."));
  EXPECT_TRUE(t.shows("alice", "Sent; the server does not confirm kicks and bans"));

  // The administrator bans Carol from the server by name, lists, unbans; reads the status.
  ASSERT_TRUE(t.open("carol", "--name Carol --server-password nothing" + port));
  ASSERT_TRUE(t.shows("carol", "Type /help"));
  t.type("alice", "/serverban Carol spam");
  EXPECT_TRUE(t.shows("carol", "You were banned from the server: spam"));
  t.type("alice", "/serverbans");
  EXPECT_TRUE(t.shows("alice", "  Carol by Alice: spam"));
  t.type("alice", "/serverunban Carol");
  EXPECT_TRUE(t.shows("alice", "Sent; the server does not confirm unbans"));
  t.type("alice", "/serverbans");
  EXPECT_TRUE(t.shows("alice", "  none"));
  t.type("alice", "/status");
  EXPECT_TRUE(t.shows("alice", std::string("Version: ") + kServerVersion));

  // In a room without a password, a password that is not the leader's gives leadership up:
  // the tool warns instead of passing the change on as any other.
  t.type("alice", "/lead wrong");
  EXPECT_TRUE(t.shows("alice", "Warning: you gave up leadership of Lounge."));
  t.type("alice", "/lead lead");
  EXPECT_TRUE(t.shows("alice", "You lead Lounge now."));

  // /quit leaves with 0; the server's end leaves the others with a message and non-zero.
  t.type("carol", "/quit");
  EXPECT_TRUE(t.shows("carol", "EXIT=0"));
  server->signal(SIGKILL);
  for (const char* window : {"alice", "bob"}) {
    EXPECT_TRUE(t.shows(window, "the connection to the server was lost")) << window;
    EXPECT_TRUE(t.shows(window, "EXIT=3")) << window;
  }
}

// What the server did with /status and --admin-password, never what it might have done: a
// server without an administrator password grants none for it and shows its status to
// anyone; one with a password ignores everyone else's request.
TEST_F(ChatTool, StatusSaysWhatTheServerGranted) {
  VELMOR_REQUIRE(test::commandExists("tmux"), "tmux is not installed");
  const struct {
    const char* settings;
    const char* window;
    const char* arguments;
    std::vector<std::string> shown;
  } cases[] = {
      {"",
       "open",
       "--name Gil --admin-password anything",
       {"The server granted no administrator rights for --admin-password: it is not the "
        "administrator password, or the server has none.",
        "The server has no administrator password, so it shows its status to anyone; you have "
        "no administrator rights.",
        std::string("Version: ") + kServerVersion}},
      {R"("adminpassword": "root",)",
       "closed",
       "--name Hal",
       {"No status: the server has an administrator password, and shows its status to "
        "administrators only; you have no administrator rights."}},
  };
  Terminals t;
  for (const auto& c : cases) {
    start(c.settings);
    ASSERT_TRUE(t.open(c.window, c.arguments + (" --port " + std::to_string(server->port()))));
    ASSERT_TRUE(t.shows(c.window, "Type /help"));
    t.type(c.window, "/status");
    for (const std::string& line : c.shown) EXPECT_TRUE(t.shows(c.window, line));
  }
}

// Refusals that come before any conversation: a name the server would drop without a word,
// a password option that named another secret in velmor-probe, and an address the
// connection limit has blocked.
TEST_F(ChatTool, RefusesAtOnceWhatWouldGoWrongLater) {
  VELMOR_REQUIRE(test::commandExists("tmux"), "tmux is not installed");
  start();
  const std::string port = " --port " + std::to_string(server->port());
  Terminals t;

  struct Case {
    const char* window;
    const char* arguments;
    const char* refusal;
  };
  const Case cases[] = {
      {"digit", "--name 9lives",
       "velmor-chat: --name: '9lives' starts with '9', not a letter; a name holds 1 to 31 "
       "characters"},
      {"space", "--name \"Bob \"", "'Bob ' ends with a space; a name holds 1 to 31 characters"},
      {"password", "--name Bob --password secret",
       "velmor-chat: --password is refused, as it named a different password in each tool: give "
       "the member account's password with --account-password, or the server's with "
       "--server-password"},
  };
  // Well before the 5 s the tool would wait for an answer to a login.
  for (const Case& c : cases) {
    ASSERT_TRUE(t.open(c.window, c.arguments + port));
    EXPECT_TRUE(t.shows(c.window, c.refusal, 3s));
    EXPECT_TRUE(t.shows(c.window, "EXIT=2", 3s));
  }

  // Seven connections from the tool's address use up its allowance: the eighth is refused,
  // and the tool tells how long the address stays blocked and why not to retry at once.
  std::vector<test::Socket> held;
  for (int i = 0; i < 7; ++i) {
    held.push_back(test::connectTo(server->port(), 1));
    ASSERT_TRUE(held.back().valid());
  }
  ASSERT_TRUE(t.open("blocked", "--name Dave" + port));
  EXPECT_TRUE(t.shows("blocked",
                      "The server refused the connection: this address made more "
                      "than 7 connections in 10 seconds, so the server blocks it for "
                      "5 minutes; every attempt while it is blocked starts the 5 "
                      "minutes again"));
  EXPECT_TRUE(t.shows("blocked", "EXIT=1"));
}

}  // namespace
}  // namespace velmor
