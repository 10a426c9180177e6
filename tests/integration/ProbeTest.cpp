// velmor-probe, the operator's one-shot client, run as a process against the real server.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/Version.h"
#include "support/ChildProcess.h"
#include "support/ProcessTest.h"
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
  arguments.insert(arguments.begin(), VELMOR_PROBE_EXE);
  ProbeRun run;
  {
    test::ChildProcess probe(std::move(arguments), dir.file("out"), dir.file("err"));
    if (!probe.started()) return run;
    if (const auto status = probe.waitExit(20s)) run.status = *status;
  }
  run.out = dir.read("out");
  run.err = dir.read("err");
  return run;
}

const std::string kSettings =
    R"("servername": "Probe Test", "adminpassword": "root", "chatroommaxusers": 50,
       "navroommaxusers": 20, "userscancreateroom": false,)" +
    test::roomsSetting({{"Lobby", "", "x"},
                        {"Secret", "pw", "y", true, "", "nav"},
                        {"Small", "", "z", true, R"(, "maxusers": 10)", "nav"}});

class ProbeTest : public test::ProcessTest {
 protected:
  void start(const std::string& settings = kSettings) { ProcessTest::start(settings); }
  // The probe's arguments, pointed at the server.
  std::vector<std::string> at(std::vector<std::string> more = {}) const {
    std::vector<std::string> arguments{"--port", std::to_string(server->port())};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }
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
    std::string settings;
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
