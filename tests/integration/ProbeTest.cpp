// velmor-probe, the operator's one-shot client, run as a process against the real server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "support/ServerProcess.h"
#include "support/Sockets.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

#ifndef VELMOR_PROBE_EXE
#define VELMOR_PROBE_EXE ""
#endif

namespace velmor {
namespace {

using namespace std::chrono_literals;

struct ProbeRun {
  int status = -1;  // exit status; -1 when it did not end in time (it is then killed)
  std::string out;
  std::string err;
};

// Runs the probe with `arguments`, its output captured in files; bounded wait.
ProbeRun runProbe(std::vector<std::string> arguments) {
  test::TempDir dir;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, dir.file("out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  arguments.insert(arguments.begin(), VELMOR_PROBE_EXE);
  std::vector<char*> argv;
  for (std::string& word : arguments) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ProbeRun run;
  if (rc != 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (status != -1) run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = dir.read("out");
  run.err = dir.read("err");
  return run;
}

constexpr const char* kSettings =
    R"("servername": "Probe Test", "adminpassword": "root", "chatroommaxusers": 50,
       "navroommaxusers": 20, "userscancreateroom": false, "rooms": [
    {"type": "chat", "name": "Lobby", "password": "", "leaderpassword": "x", "loadatstartup": true},
    {"type": "nav", "name": "Secret", "password": "pw", "leaderpassword": "y", "loadatstartup": true},
    {"type": "nav", "name": "Small", "password": "", "leaderpassword": "z", "maxusers": 10, "loadatstartup": true}],)";

class ProbeTest : public testing::Test {
 protected:
  void start(const std::string& settings = kSettings) {
    server = std::make_unique<test::ServerProcess>(settings);
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(server->waitListening(10s)) << server->output();
  }
  // The probe's arguments, pointed at the server.
  std::vector<std::string> at(std::vector<std::string> more = {}) const {
    std::vector<std::string> arguments{"--port", std::to_string(server->port())};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }

  std::unique_ptr<test::ServerProcess> server;
};

TEST_F(ProbeTest, GuestPrintsTheServerNameLimitsAndLiveRooms) {
  start();
  test::TestClient visitor(server->port());
  ASSERT_TRUE(visitor.loginAsGuest("Visitor"));
  visitor.request([](client::RequestWriter& w) { w.enterRoom("Lobby", ""); });
  ASSERT_TRUE(visitor.waitFor(wire::ServerCode::RoomState));

  const ProbeRun run = runProbe(at());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("Probe Test"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Probe (guest)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("50 users"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("20 users"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Users create rooms: no"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Live rooms:         3"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Lobby   chat        1/50 users"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Secret  navigation  locked"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Small   navigation  0/10 users"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Status text"), std::string::npos) << run.out;
}

// What --admin-password got from the server: the rights and the status text; nothing; or,
// from a server without an administrator password, no rights but the status text, which such
// a server shows to anyone.
TEST_F(ProbeTest, AdministratorPasswordReportsWhatTheServerGranted) {
  const std::string version = std::string("Version: ") + kServerVersion;
  const struct {
    const char* settings;
    const char* password;
    int status;
    const char* out;  // on standard output
    const char* err;  // on standard error
    bool shows;       // the status text
  } cases[] = {
      {kSettings, "root", 0, "Logged in as:       Probe (guest, administrator)\n", "", true},
      {kSettings, "wrong", 1,
       "Logged in as:       Probe (guest)\n"
       "Administrator:      no: --admin-password is not the administrator password\n",
       "velmor-probe: the administrator password was refused", false},
      {"", "anything", 0,
       "Logged in as:       Probe (guest)\n"
       "Administrator:      no: the server has no administrator password, so --admin-password "
       "granted nothing; it shows its status to anyone\n",
       "", true},
  };
  for (const auto& c : cases) {
    start(c.settings);
    const ProbeRun run = runProbe(at({"--admin-password", c.password}));
    EXPECT_EQ(run.status, c.status) << c.password << ": " << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(version) != std::string::npos, c.shows) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

TEST_F(ProbeTest, MemberLogsInWithThePasswordWhoseMd5IsTheStoredHash) {
  start();
  {
    // Registered with the hash the probe derives from "secret": MD5("secret").
    test::TestClient guest(server->port());
    ASSERT_TRUE(guest.loginAsGuest("Alice"));
    client::Hash16 hash{0x5e, 0xbe, 0x22, 0x94, 0xec, 0xd0, 0xe0, 0xf0,
                        0x8e, 0xab, 0x76, 0x90, 0xd2, 0xa6, 0xee, 0x69};
    ASSERT_TRUE(guest.registerAccount(hash));
  }
  const ProbeRun member = runProbe(at({"--name", "Alice", "--account-password", "secret"}));
  EXPECT_EQ(member.status, 0) << member.err;
  EXPECT_EQ(member.err, "");
  EXPECT_NE(member.out.find("(member)"), std::string::npos) << member.out;

  const ProbeRun wrong = runProbe(at({"--name", "Alice", "--account-password", "Secret"}));
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("LoginProofRejected"), std::string::npos) << wrong.err;
}

// A name the server would drop without a word, and a password option that named another
// secret in velmor-chat: refused before connecting, with the reason.
TEST_F(ProbeTest, BadCommandLineIsRefusedWithTheReason) {
  start();
  constexpr const char* kRule = "a letter first, then letters, digits, '_' or spaces";
  constexpr const char* kPassword =
      "--password is refused, as it named a different password in each tool: give the member "
      "account's password with --account-password, or the server's with --server-password";
  const struct {
    std::vector<std::string> arguments;
    const char* reason;
  } cases[] = {
      {{"--name", "9lives"}, kRule},      {{"--name", "Bad-Name"}, kRule},
      {{"--name", "Alice "}, kRule},      {{"--password", "secret"}, kPassword},
      {{"--password=secret"}, kPassword},
  };
  for (const auto& c : cases) {
    const ProbeRun run = runProbe(at(c.arguments));
    EXPECT_EQ(run.status, 2) << c.arguments[0];
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(ProbeTest, ConnectionLimitRefusalSaysTheAddressIsBlockedForFiveMinutes) {
  start();
  // Seven connections from the probe's address use up its allowance for ten seconds.
  std::vector<test::Socket> held;
  for (int i = 0; i < 7; ++i) {
    held.push_back(test::connectTo(server->port(), 1));
    ASSERT_TRUE(held.back().valid());
  }
  const ProbeRun run = runProbe(at());
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("ConnectionRefused"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("blocks it for 5 minutes; every attempt while it is blocked starts "
                         "the 5 minutes again"),
            std::string::npos)
      << run.err;
}

TEST_F(ProbeTest, WrongServerPasswordIsReported) {
  start(R"("serverpassword": "letmein",)");

  const ProbeRun run = runProbe(at({"--server-password", "guess"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("server password was refused"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");

  EXPECT_EQ(runProbe(at({"--server-password", "letmein"})).status, 0);
}

TEST_F(ProbeTest, ClosedPortFailsWithAClearMessage) {
  const std::uint16_t closedPort = test::freePort();
  const ProbeRun run = runProbe({"--port", std::to_string(closedPort), "--timeout", "2000"});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("cannot connect to 127.0.0.1:" + std::to_string(closedPort) +
                         ": Connection refused"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace velmor
