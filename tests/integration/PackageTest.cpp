// The Debian package that `make package` builds: what it holds, what lintian and systemd
// make of it, and the server it installs, started from its installed folder as the
// package's user. Needs root and the Debian tools (CI has both).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/Databases.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/Sockets.h"
#include "support/TempDir.h"

#ifndef VELMOR_PACKAGE_DIR
#define VELMOR_PACKAGE_DIR ""
#endif
#ifndef VELMOR_MULTIARCH
#define VELMOR_MULTIARCH ""
#endif

namespace velmor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kUser = "velmorserver";

// The newest <package>_*.deb of the package folder, or "".
std::string packageFile(const std::string& package = "velmorserver") {
  std::string found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(VELMOR_PACKAGE_DIR, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(package + "_", 0) == 0 && entry.path().extension() == ".deb") {
      found = entry.path().string();
    }
  }
  return found;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class PackageTest : public testing::Test {
 protected:
  void SetUp() override {
    deb = packageFile();
    VELMOR_REQUIRE(!deb.empty(), "no package in " VELMOR_PACKAGE_DIR ": run make package first");
    for (const char* tool : {"dpkg-deb", "lintian", "systemd-analyze", "setpriv", "adduser"}) {
      VELMOR_REQUIRE(test::commandExists(tool), tool << " is not installed");
    }
    VELMOR_REQUIRE(geteuid() == 0, "running the server as the package's user needs root");
    // Extracted where the package's user can reach it.
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(test::run("dpkg-deb -x '" + deb + "' '" + root.path() + "'"), 0);
  }
  std::string installed(const std::string& path) const { return root.file(path); }

  std::string deb;
  test::TempDir root;
};

TEST_F(PackageTest, HoldsTheServerTheToolsTheUnitAndPassesLintianAndSystemd) {
  const std::string contents = test::capture("dpkg-deb -c '" + deb + "'");
  for (const char* path :
       {"./opt/velmorserver/velmorserver", "./opt/velmorserver/velmor-chat",
        "./opt/velmorserver/velmor-probe",
        "./opt/velmorserver/velmorserv.json -> /etc/velmorserver/velmorserv.json",
        "./etc/velmorserver/velmorserv.json", "./lib/systemd/system/velmorserver.service",
        "./usr/bin/velmor-chat -> /opt/velmorserver/velmor-chat",
        "./usr/bin/velmor-probe -> /opt/velmorserver/velmor-probe",
        "./usr/share/doc/velmorserver/README.md", "./usr/share/doc/velmorserver/copyright",
        "./usr/share/doc/velmorserver/changelog.gz", "./usr/share/velmorserver/web/index.html",
        "./usr/share/velmorserver/web/velmor-client/velmor-client.js"}) {
    EXPECT_TRUE(contains(contents, path)) << path << " is not in the package:\n" << contents;
  }
  const std::string control = test::capture("dpkg-deb -I '" + deb + "'");
  // The libraries actually linked, as dpkg-shlibdeps found them.
  for (const char* library :
       {"libuv1", "libsqlite3-0", "libssl3", "libminiupnpc", "libreadline8", "libmicrohttpd12"}) {
    EXPECT_TRUE(contains(control, library)) << library << " is no dependency:\n" << control;
  }
  EXPECT_EQ(test::capture("dpkg-deb -I '" + deb + "' conffiles"),
            "/etc/velmorserver/velmorserv.json\n");
  // The settings name the metrics endpoint's keys, and keep it off.
  const std::string settings = root.read("etc/velmorserver/velmorserv.json");
  EXPECT_TRUE(contains(settings, "\"metricsport\": 0,")) << settings;
  EXPECT_TRUE(contains(settings, "\"metricsaddress\": \"127.0.0.1\"")) << settings;

  // The unit as systemd reads it, its paths pointing into the extracted package.
  const std::string unit = root.read("lib/systemd/system/velmorserver.service");
  for (const char* directive :
       {"User=velmorserver", "ExecStart=/opt/velmorserver/velmorserver", "Restart=on-failure",
        "KillSignal=SIGTERM", "NoNewPrivileges=yes", "ProtectSystem=strict",
        "ReadWritePaths=/opt/velmorserver", "PrivateTmp=yes", "ProtectHome=yes"}) {
    EXPECT_TRUE(contains(unit, directive)) << directive;
  }
  test::TempDir check;
  const std::string folder = installed("opt/velmorserver");
  std::string relocated;
  for (std::size_t from = 0;;) {
    const std::size_t at = unit.find("/opt/velmorserver", from);
    relocated += unit.substr(from, at == std::string::npos ? std::string::npos : at - from);
    if (at == std::string::npos) break;
    relocated += folder;
    from = at + std::string("/opt/velmorserver").size();
  }
  check.write("velmorserver.service", relocated);
  const std::string verified = test::capture(
      "systemd-analyze verify '" + check.file("velmorserver.service") + "' 2>&1; echo rc=$?");
  EXPECT_TRUE(contains(verified, "rc=0")) << verified;

  const std::string lint = test::capture("lintian --fail-on error '" + deb + "' 2>&1; echo rc=$?");
  EXPECT_TRUE(contains(lint, "rc=0")) << lint;
  EXPECT_FALSE(contains(lint, "\nE: ") || lint.rfind("E: ", 0) == 0) << lint;
}

// Starts a program with its standard output and error in `log`; its pid.
pid_t spawn(const std::vector<std::string>& command, const std::string& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> words = command;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

TEST_F(PackageTest, InstalledServerRunsFromItsFolderAsItsUserAndStopsCleanly) {
  // What the package's postinst does: the user, and the folder it may write its files to.
  if (test::run(std::string("getent passwd ") + kUser + " >/dev/null") != 0) {
    ASSERT_EQ(test::run(std::string("adduser --system --group --no-create-home ") + kUser +
                        " >/dev/null"),
              0);
  }
  const std::string folder = installed("opt/velmorserver");
  ASSERT_EQ(test::run("chown root:" + std::string(kUser) + " '" + folder + "' && chmod 1775 '" +
                      folder + "'"),
            0);
  // The settings: here in place of the link to the conffile, which points out of this tree.
  const std::uint16_t port = test::freePort();
  fs::remove(folder + "/velmorserv.json");
  std::ofstream(folder + "/velmorserv.json")
      << R"({"useupnp": false, "bindaddress": "127.0.0.1", "serverport": )" << port << "}";

  test::TempDir logs;
  const pid_t server =
      spawn({"setpriv", "--reuid=" + std::string(kUser), "--regid=" + std::string(kUser),
             "--init-groups", "--", folder + "/velmorserver"},
            logs.file("server.txt"));
  ASSERT_GT(server, 0);
  bool listening = false;
  for (int attempt = 0; attempt < 200 && !listening; ++attempt) {
    listening = test::connectTo(port).valid();
    if (!listening) std::this_thread::sleep_for(25ms);
  }
  if (!listening) ::kill(server, SIGKILL);
  ASSERT_TRUE(listening) << logs.read("server.txt");

  const std::string probe = test::capture("'" + folder + "/velmor-probe' --port " +
                                          std::to_string(port) + " --name Visitor; echo rc=$?");
  EXPECT_TRUE(contains(probe, "rc=0")) << probe;
  EXPECT_TRUE(contains(probe, "VelmorServer")) << probe;

  ::kill(server, SIGTERM);
  const std::optional<int> status = waitExit(server, 15s);
  if (!status) ::kill(server, SIGKILL);
  ASSERT_TRUE(status.has_value()) << "not stopped by SIGTERM";
  EXPECT_EQ(*status, 0) << logs.read("server.txt");
  for (const char* database : {"velmordata.db", "velmorfiledata.db"}) {
    const std::string path = folder + "/" + database;
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0) << database << " is not in the installed folder";
    EXPECT_EQ(test::capture("stat -c %U '" + path + "'"), std::string(kUser) + "\n") << database;
    // A clean stop folds the write-ahead log into the database.
    EXPECT_FALSE(fs::exists(path + "-wal")) << database;
    EXPECT_FALSE(fs::exists(path + "-shm")) << database;
    EXPECT_EQ(test::integrityCheck(path), "ok") << database;
  }
}

// The C client library's packages: their files, their control (the runtime's symbols file and
// shlibs, the -dev's exact dependency on it) and lintian.
struct LibraryRow {
  const char* package;
  std::vector<std::string> paths;
  std::vector<std::string> control;  // `dpkg-deb -I` of the package and of its symbols and shlibs
};
void PrintTo(const LibraryRow& row, std::ostream* os) {
  *os << row.package;
}

const std::string kLibraryFolder = std::string("./usr/lib/") + VELMOR_MULTIARCH;

class LibraryPackages : public testing::TestWithParam<LibraryRow> {};

TEST_P(LibraryPackages, HoldTheirFilesAndPassLintian) {
  const std::string deb = packageFile(GetParam().package);
  VELMOR_REQUIRE(!deb.empty(), "no " << GetParam().package << " package: run make package first");
  VELMOR_REQUIRE(test::commandExists("lintian"), "lintian is not installed");
  const std::string contents = test::capture("dpkg-deb -c '" + deb + "'");
  for (const std::string& path : GetParam().paths) {
    EXPECT_TRUE(contains(contents, path)) << path << " is not in the package:\n" << contents;
  }
  const std::string control = test::capture("dpkg-deb -I '" + deb + "'; dpkg-deb -I '" + deb +
                                            "' symbols shlibs 2>/dev/null");
  for (const std::string& line : GetParam().control) {
    EXPECT_TRUE(contains(control, line)) << line << " is not in the control:\n" << control;
  }
  const std::string lint = test::capture("lintian --fail-on error '" + deb + "' 2>&1; echo rc=$?");
  EXPECT_TRUE(contains(lint, "rc=0")) << lint;
}

INSTANTIATE_TEST_SUITE_P(
    PackageTest, LibraryPackages,
    testing::Values(LibraryRow{"libvelmorclient0",
                               {kLibraryFolder + "/libvelmorclient.so.0 -> libvelmorclient.so.",
                                "./usr/share/doc/libvelmorclient0/copyright",
                                "./usr/share/doc/libvelmorclient0/changelog.gz"},
                               {"Section: libs", "libssl3", " velmor_client_create@Base ",
                                "libvelmorclient 0 libvelmorclient0 (= "}},
                    LibraryRow{"libvelmorclient-dev",
                               {"./usr/include/velmor/client.h",
                                kLibraryFolder + "/libvelmorclient.so -> libvelmorclient.so.0",
                                kLibraryFolder + "/pkgconfig/velmorclient.pc",
                                "./usr/share/doc/libvelmorclient-dev/examples/bot.c",
                                "./usr/share/doc/libvelmorclient-dev/copyright"},
                               {"Section: libdevel", "Depends: libvelmorclient0 (= "}}),
    [](const auto& info) {
      std::string name = info.param.package;
      std::erase(name, '-');
      return name;
    });

// A game author's build: the example of the -dev package compiled as C99 with what
// `pkg-config --cflags --libs velmorclient` says, against a copy of both packages extracted
// into a folder of the test's (the pkg-config system root), and started (its usage, status 2).
TEST(PackageTestDev, BuildsTheExampleWithPkgConfig) {
  const std::string runtime = packageFile("libvelmorclient0"),
                    dev = packageFile("libvelmorclient-dev");
  VELMOR_REQUIRE(!runtime.empty() && !dev.empty(), "no client library packages: run make package");
  VELMOR_REQUIRE(test::commandExists("pkg-config") && test::commandExists("cc"),
                 "pkg-config and a C compiler are needed");
  test::TempDir root;
  ASSERT_EQ(test::run("dpkg-deb -x '" + runtime + "' '" + root.path() + "' && dpkg-deb -x '" + dev +
                      "' '" + root.path() + "'"),
            0);
  const std::string libraries = root.path() + "/usr/lib/" + VELMOR_MULTIARCH;
  const std::string pkgConfig =
      "PKG_CONFIG_SYSROOT_DIR='" + root.path() + "' PKG_CONFIG_LIBDIR='" + libraries +
      "/pkgconfig' PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 " +
      "PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs velmorclient";
  const std::string build =
      test::capture("cc -std=c99 -Wall -Wextra -Wpedantic -Werror '" + root.path() +
                    "/usr/share/doc/libvelmorclient-dev/examples/bot.c' $(" + pkgConfig + ") -o '" +
                    root.file("bot") + "' 2>&1; echo rc=$?");
  ASSERT_TRUE(contains(build, "rc=0")) << build;
  const std::string run = test::capture("LD_LIBRARY_PATH='" + libraries + "' '" + root.file("bot") +
                                        "' 2>&1; echo rc=$?");
  EXPECT_TRUE(contains(run, "usage:")) << run;
  EXPECT_TRUE(contains(run, "rc=2")) << run;
}

}  // namespace
}  // namespace velmor
