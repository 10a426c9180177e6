// Connections that should not stay: silent ones that never log in, peers that vanish without
// a word, and the descriptors they would use up. Against the real executable.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/TestClient.h"

extern char** environ;

namespace velmor {
namespace {

using namespace std::chrono_literals;
using ConnectionLifetimeTest = test::ProcessTest;
using client::ServerMessage;
using test::TestClient;
using W = client::RequestWriter;
using wire::ServerCode;
using Clock = std::chrono::steady_clock;

using test::eventually;

// A user logged in is served: he is answered.
bool served(TestClient& user) {
  user.request([](W& w) { w.listRooms(0); });
  return user.waitFor(ServerCode::RoomDirectory, 2s).has_value();
}

// Connections that never log in are closed once the login time is over; a user who logged in
// and says nothing is never touched by it.
TEST_F(ConnectionLifetimeTest, SilentConnectionsAreClosedAfterTheLoginTime) {
  start(R"("logintimeout": 1,)");
  TestClient idle(server->port());
  ASSERT_TRUE(idle.loginAsGuest("Idle"));
  ASSERT_TRUE(idle.registerAccount(test::testHash(4)));
  std::vector<std::unique_ptr<TestClient>> silent;
  for (int i = 0; i < 3; ++i) silent.push_back(std::make_unique<TestClient>(server->port()));
  TestClient halfway(server->port());  // a member who never answers his challenge
  client::LoginFields fields;
  fields.name = "Idle";
  halfway.request([&](W& w) { w.login(fields); });
  ASSERT_TRUE(halfway.waitFor(ServerCode::LoginChallenge));
  for (auto& c : silent) EXPECT_TRUE(c->closedByServer(5s)) << "a silent connection stayed";
  EXPECT_FALSE(idle.closedByServer(500ms));
  EXPECT_TRUE(served(idle)) << "the idle user was touched";
  EXPECT_TRUE(halfway.closedByServer(3s)) << "a login left unfinished";
}

// The test's own network: the server in one namespace, a client in another, linked by a
// pair of virtual interfaces; removed (with the interfaces) when it goes.
class TwoHosts {
 public:
  TwoHosts()
      : server_("vks" + std::to_string(getpid())), client_("vkc" + std::to_string(getpid())) {
    run("ip netns del " + server_ + " 2>/dev/null; ip netns del " + client_ + " 2>/dev/null");
    ok_ = run("ip netns add " + server_) == 0 && run("ip netns add " + client_) == 0 &&
          run("ip link add " + server_ + " type veth peer name " + client_) == 0 &&
          run("ip link set " + server_ + " netns " + server_) == 0 &&
          run("ip link set " + client_ + " netns " + client_) == 0 &&
          run("ip -n " + server_ + " addr add 10.79.0.1/24 dev " + server_) == 0 &&
          run("ip -n " + client_ + " addr add 10.79.0.2/24 dev " + client_) == 0 &&
          run("ip -n " + server_ + " link set lo up") == 0 &&
          run("ip -n " + client_ + " link set lo up") == 0 &&
          run("ip -n " + server_ + " link set " + server_ + " up") == 0 &&
          run("ip -n " + client_ + " link set " + client_ + " up") == 0;
  }
  ~TwoHosts() { run("ip netns del " + server_ + "; ip netns del " + client_); }
  bool ok() const { return ok_; }
  const std::string& serverSide() const { return server_; }
  const std::string& clientSide() const { return client_; }
  // The client's link goes down: nothing more leaves or reaches it, no FIN, no reset.
  bool cut() { return run("ip -n " + client_ + " link set " + client_ + " down") == 0; }

 private:
  static int run(const std::string& command) { return test::run(command); }
  std::string server_;
  std::string client_;
  bool ok_ = false;
};

// velmor-chat, logged in and staying, in the client's namespace; stopped by its pid. What it
// prints goes to a file, read to know when it is welcomed.
class ChatClient {
 public:
  ChatClient(const std::string& netns, std::uint16_t port, const std::string& name,
             std::string printed)
      : printed_(std::move(printed)) {
    int in[2];
    if (pipe(in) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addopen(&actions, 1, printed_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string portText = std::to_string(port);
    std::vector<std::string> args{"ip",     "netns",     "exec",   netns,    VELMOR_CHAT_EXE,
                                  "--host", "10.79.0.1", "--port", portText, "--name",
                                  name};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "ip", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    input_ = in[1];  // kept open: the client waits for lines, connected
  }
  ~ChatClient() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) close(input_);
  }
  bool started() const { return pid_ > 0; }
  bool welcomed() const {
    std::ifstream in(printed_);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("Connected to") != std::string::npos;
  }

 private:
  std::string printed_;
  pid_t pid_ = -1;
  int input_ = -1;
};

// Whether a guest of that name is welcomed now (velmor-probe, in the server's namespace).
bool nameFree(const TwoHosts& hosts, std::uint16_t port, const std::string& name) {
  return test::run("ip netns exec " + hosts.serverSide() + " " + VELMOR_PROBE_EXE + " --port " +
                   std::to_string(port) + " --name " + name + " >/dev/null 2>&1") == 0;
}

// A client whose network vanishes (no FIN) goes offline within the keep-alive time, through
// the teardown of any disconnect: his guest name can be used again.
TEST_F(ConnectionLifetimeTest, VanishedPeerGoesOfflineWithinTheKeepAliveTime) {
  VELMOR_REQUIRE(geteuid() == 0, "network namespaces need root");
  VELMOR_REQUIRE(test::commandExists("ip"), "ip (iproute2) is not installed");
  TwoHosts hosts;
  ASSERT_TRUE(hosts.ok()) << "could not make the test's network";
  prepare();
  server->setSettingsText(R"({"useupnp": false, "keepalive": 2, "serverport": )" +
                          std::to_string(server->port()) + "}");  // every interface of its host
  server->setLaunchPrefix({"ip", "netns", "exec", hosts.serverSide()});
  ASSERT_TRUE(server->start());
  const std::string listening = "ip netns exec " + hosts.serverSide() +
                                " bash -c 'exec 3<>/dev/tcp/127.0.0.1/" +
                                std::to_string(server->port()) + "' 2>/dev/null";
  ASSERT_TRUE(eventually([&] { return test::run(listening) == 0; }, 10s)) << server->output();

  ChatClient ghost(hosts.clientSide(), server->port(), "Ghost", server->dir().file("ghost.txt"));
  ASSERT_TRUE(ghost.started());
  // Looked at only once he is welcomed: a look logs in under his name and would take it first.
  ASSERT_TRUE(eventually([&] { return ghost.welcomed(); }, 10s)) << "the client never logged in";
  // Each look is a connection from 127.0.0.1, which the server admits seven times in ten
  // seconds: one every 2.5 s.
  const auto every = [](const std::function<bool()>& holds, int times) {
    for (int i = 0; i < times; ++i) {
      if (holds()) return true;
      std::this_thread::sleep_for(2500ms);
    }
    return false;
  };
  ASSERT_TRUE(every([&] { return !nameFree(hosts, server->port(), "Ghost"); }, 3))
      << "the client never came online";
  ASSERT_TRUE(hosts.cut());
  const auto cut = Clock::now();
  EXPECT_TRUE(every([&] { return nameFree(hosts, server->port(), "Ghost"); }, 10))
      << "the vanished client is still online";
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - cut);
  EXPECT_LE(took.count(), 15) << "keep-alive 2 s: about 2 + 6 probes a second apart";
  stop();
}

std::uint64_t cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  std::uint64_t utime = 0;
  std::uint64_t stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return utime + stime;
}

// With its descriptors used up, the server refuses (closes) further connections, says so once,
// does not spin, keeps serving its users, and accepts again once descriptors are free.
TEST_F(ConnectionLifetimeTest, DescriptorExhaustionIsSurvived) {
  VELMOR_REQUIRE(test::commandExists("prlimit"), "prlimit (util-linux) is not installed");
  start();
  TestClient user(server->port());
  ASSERT_TRUE(user.loginAsGuest("Keeper"));
  const std::size_t limit = server->openDescriptors() + 4;
  ASSERT_EQ(test::run("prlimit --pid " + std::to_string(server->pid()) +
                      " --nofile=" + std::to_string(limit) + ":" + std::to_string(limit)),
            0);

  std::vector<std::unique_ptr<TestClient>> crowd;
  int refused = 0;
  for (int i = 0; i < 12; ++i) {
    crowd.push_back(std::make_unique<TestClient>(server->port()));
    if (crowd.back()->closedByServer(300ms)) ++refused;
  }
  EXPECT_GT(refused, 0) << "every connection was kept";
  EXPECT_TRUE(served(user)) << "the user online is no longer served";

  const std::uint64_t before = cpuTicks(server->pid());
  std::this_thread::sleep_for(1s);
  const std::uint64_t used = cpuTicks(server->pid()) - before;
  EXPECT_LT(used, static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK) / 10)) << "it spins";

  crowd.clear();  // descriptors come free
  std::this_thread::sleep_for(200ms);
  TestClient later(server->port());
  EXPECT_TRUE(later.loginAsGuest("Later")) << "no connection accepted once descriptors are free";
  const std::string out = server->output();
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = out.find("new connection error", at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_EQ(lines, 1u) << out;
}

}  // namespace
}  // namespace velmor
