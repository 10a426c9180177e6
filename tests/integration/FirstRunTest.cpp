// `make run` in a fresh checkout: with no settings file beside the built server it writes one
// for trying (listening on 127.0.0.1 only, port forwarding off) and says so; a settings file
// that exists is left exactly as it was. In a terminal, the server's console keeps what the
// operator needs in sight, and Ctrl-C ends `make run` as the server ended. The checkout holds
// the working tree's files (those git tracks or would track), built from scratch with the
// release preset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Eventually.h"
#include "support/HttpClient.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/Sockets.h"
#include "support/TempDir.h"
#include "support/Terminals.h"

namespace velmor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::eventually;

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// `make run` in `folder`, in a process group of its own, its output in `log`; stopped with
// SIGINT to that group (make and the server it started), as Ctrl-C in a terminal would.
class MakeRun {
 public:
  MakeRun(const std::string& folder, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> args{"make", "-C", folder, "run"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "make", &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~MakeRun() {
    if (pid_ <= 0) return;
    stop(SIGINT);
    if (!waitGone(20s)) stop(SIGKILL);
    if (!reaped_) waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }
  void stop(int signal) const { ::kill(-pid_, signal); }
  // Whether every process of the group has ended.
  bool waitGone(std::chrono::seconds timeout) {
    return eventually(
        [this] {
          // make, once ended, stays in the group until it is reaped.
          if (!reaped_ && waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
          return ::kill(-pid_, 0) != 0;
        },
        timeout);
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The local addresses the server listens on, from ss: "127.0.0.1:7175", ...
std::vector<std::string> listening(std::uint16_t port) {
  const std::string table = test::capture("ss -Hltnp 'sport = :" + std::to_string(port) + "'");
  std::vector<std::string> addresses;
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("velmorserver") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string state, received, sent, local;
    fields >> state >> received >> sent >> local;
    addresses.push_back(local);
  }
  return addresses;
}

TEST(FirstRunTest, MakeRunWritesTrialSettingsOnceAndNeverTouchesAnExistingFile) {
  for (const char* tool : {"make", "git", "ss", "tmux"})
    VELMOR_REQUIRE(test::commandExists(tool), tool << " is not installed");
  test::TempDir checkout;
  ASSERT_EQ(test::run("cd '" VELMOR_SOURCE_DIR "' && git ls-files -z --cached --others "
                      "--exclude-standard | xargs -0 cp --parents -t '" +
                      checkout.path() + "' 2>/dev/null"),
            0);
  const std::string folder = checkout.path();
  const std::string settings = checkout.file("build/release/velmorserv.json");
  const std::string log = checkout.file("make-run.txt");
  constexpr std::uint16_t kDefaultPort = 7175;
  ASSERT_TRUE(test::capture("ss -Hltn 'sport = :7175 or sport = :7176'").empty())
      << "port 7175 or 7176 is taken here: the trial settings listen on them";

  {
    MakeRun run(folder, log);
    ASSERT_TRUE(run.started());
    // The first run builds the server: minutes on a small machine.
    ASSERT_TRUE(eventually([&] { return !listening(kDefaultPort).empty(); }, 900s))
        << fileText(log);
    EXPECT_EQ(listening(kDefaultPort), std::vector<std::string>{"127.0.0.1:7175"})
        << "listening beyond this machine";
    EXPECT_EQ(listening(kDefaultPort + 1), std::vector<std::string>{"127.0.0.1:7176"})
        << "no WebSocket door for browsers";
    const std::string said = fileText(log);
    EXPECT_NE(said.find("make run: wrote " + folder + "build/release/velmorserv.json"),
              std::string::npos)
        << said;
    EXPECT_NE(fileText(settings).find(R"("useupnp": false)"), std::string::npos);
    // The web client a newcomer opens: its address said, its page served.
    EXPECT_NE(said.find("Web client: open http://127.0.0.1:7176/"), std::string::npos) << said;
    const auto page = test::httpGet(kDefaultPort + 1, "/");
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<script type=\"module\""), std::string::npos) << page->body;
    EXPECT_FALSE(fs::exists(checkout.file("build/release/upnp.log"))) << "port forwarding ran";
    run.stop(SIGINT);
    EXPECT_TRUE(run.waitGone(20s));
  }

  // A file of the operator's own, the metrics endpoint on: kept byte for byte, and the server
  // runs by it. In a terminal, the endpoint's address stays readable under the status screen,
  // and Ctrl-C, which reaches the server alone, ends `make run` as the server ended.
  const std::uint16_t port = test::freePort();
  std::uint16_t metricsPort = test::freePort();
  while (metricsPort == port) metricsPort = test::freePort();
  const std::string mine =
      "{\"useupnp\": false, \"bindaddress\": \"127.0.0.1\",\n"
      " \"serverport\": " +
      std::to_string(port) + ", \"metricsport\": " + std::to_string(metricsPort) + "}  ";
  std::ofstream(settings) << mine;
  test::Terminals terminal("velmor-firstrun");
  const std::string ended = checkout.file("make-run-status.txt");
  ASSERT_TRUE(terminal.open("run", "make -C " + folder + " run; echo $? > " + ended));
  const auto pane = [&] { return terminal.screen("run"); };
  const std::string metricsLine =
      "Metrics for Prometheus at http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics";
  EXPECT_TRUE(eventually([&] { return !listening(port).empty(); }, 300s)) << pane();
  EXPECT_TRUE(eventually(
      [&] {
        const std::string shown = pane();
        return shown.find("Cur Recv Rate") != std::string::npos &&
               shown.find(metricsLine) != std::string::npos;
      },
      10s))
      << pane();
  EXPECT_EQ(pane().find("make run: wrote"), std::string::npos) << pane();
  terminal.keys("run", "C-c");
  EXPECT_TRUE(eventually([&] { return fs::exists(ended); }, 20s)) << pane();
  EXPECT_EQ(fileText(ended), "0\n") << "make run after Ctrl-C";
  EXPECT_TRUE(fs::exists(checkout.file("build/release/velmor-load"))) << "the tools README lists";
  EXPECT_EQ(fileText(settings), mine);
}

}  // namespace
}  // namespace velmor
