// The file system under the databases fills up while the server runs: it keeps serving the
// users online, answers as failed what it answers after storing (a registration, a room's
// creation), keeps what it acknowledged before storing (a file, a room's passwords) until
// there is room again, and stores it then, without a restart. The folder lives on a small
// tmpfs of the test's own (which needs root).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using StorageFaultTest = test::ProcessTest;
using test::TestClient;
using W = client::RequestWriter;
using wire::ServerCode;

// A tmpfs of `megabytes` mounted on a fresh folder, unmounted when the object goes.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(int megabytes) {
    const std::string options = "size=" + std::to_string(megabytes) + "m";
    mounted_ = ::mount("velmor-test", mountPoint_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(mountPoint_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& path() const { return mountPoint_.path(); }

  // Writes a file until the file system refuses more; true when it ended full.
  bool fill() {
    std::FILE* filler = std::fopen((path() + "filler").c_str(), "wb");
    if (filler == nullptr) return false;
    const std::string block(64 * 1024, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
    }
    std::fclose(filler);
    return std::filesystem::space(path()).available < block.size();
  }
  void free() { std::filesystem::remove(path() + "filler"); }

 private:
  test::TempDir mountPoint_;
  bool mounted_ = false;
};

TEST_F(StorageFaultTest, FullDiskIsSurvivedAndNothingUnstoredIsAcknowledged) {
  VELMOR_REQUIRE(::geteuid() == 0, "mounting a tmpfs for the databases needs root");
  SmallFileSystem disk(48);
  VELMOR_REQUIRE(disk.mounted(), "this machine does not let the test mount a tmpfs");

  start(R"("adminpassword": "root", "roomidletime": 1, "busytimeout": 200,)" +
            test::roomsSetting({{"Hall"}, {"Den", "", "lead", false}}),
        disk.path());
  TestClient admin(server->port());
  ASSERT_TRUE(admin.loginAsGuest("Warden", "root"));
  ASSERT_TRUE(admin.registerAccount(test::testHash(1)));
  TestClient talker(server->port());
  TestClient listener(server->port());
  ASSERT_TRUE(talker.loginAsGuest("Talker"));
  ASSERT_TRUE(listener.loginAsGuest("Listener"));
  for (TestClient* c : {&talker, &listener}) {
    c->request([](W& w) { w.enterRoom("Hall", ""); });
    ASSERT_TRUE(c->waitFor(ServerCode::MemberList));
  }

  // The leader of Den keeps a file there.
  admin.request([](W& w) { w.enterRoom("Den", "lead"); });
  ASSERT_TRUE(admin.waitFor(ServerCode::MemberList));
  admin.request([](W& w) { w.createFile("ledger", 1, 1).writeFile(6, "ledger", "before"); });
  ASSERT_TRUE(admin.waitFor(ServerCode::FileSaved));
  const auto storedText = [&](const std::string& db, const std::string& sql) {
    test::SqlFile file(server->dir().file(db));
    return file.value(sql);
  };
  const auto eventually = [](const std::function<bool()>& holds) {
    return test::eventually(holds, 10s);
  };
  const std::string ledger = "SELECT CAST(Content AS TEXT) FROM files WHERE FileName='ledger';";
  ASSERT_TRUE(eventually([&] { return storedText("velmorfiledata.db", ledger) == "before"; }));

  ASSERT_TRUE(disk.fill());
  // Acknowledged before they are stored: a rewritten file, and new passwords that Den takes
  // to sleep (a second after its leader left).
  admin.request(
      [](W& w) { w.writeFile(5, "ledger", "after").setRoomPasswords("fullpw", "").leaveRoom(); });
  ASSERT_TRUE(admin.waitFor(ServerCode::FileSaved));
  ASSERT_TRUE(admin.waitFor(ServerCode::RoomPasswordsChanged));
  ASSERT_TRUE(listener.waitFor(ServerCode::RoomClosed, 5s)) << "Den went to sleep";
  TestClient newcomer(server->port());
  ASSERT_TRUE(newcomer.loginAsGuest("Newcomer"));
  newcomer.request([](W& w) { w.registerAccount(test::testHash(2), test::testHash(2)); });
  auto refused = newcomer.answer(
      ServerCode::RegistrationFailed,
      [](const auto& m) {
        return m.is(ServerCode::Registered) || m.is(ServerCode::RegistrationFailed);
      },
      nullptr, 10s);
  EXPECT_TRUE(refused) << "a registration that could not be stored";
  admin.request([](W& w) { w.createRoom("Annex", "", "lead", 0); });
  auto notCreated = admin.answer(
      ServerCode::RoomCreateFailed,
      [](const auto& m) {
        return m.is(ServerCode::RoomCreated) || m.is(ServerCode::RoomCreateFailed);
      },
      nullptr, 10s);
  EXPECT_TRUE(notCreated) << "a room that could not be stored";

  // Users online are served meanwhile.
  talker.request([](W& w) { w.roomChat("still here"); });
  auto line = listener.waitFor(ServerCode::RoomLine);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->text(0), "still here");

  disk.free();
  EXPECT_TRUE(eventually([&] { return storedText("velmorfiledata.db", ledger) == "after"; }))
      << "the file saved while the disk was full";
  EXPECT_TRUE(eventually([&] {
    return storedText("velmordata.db", "SELECT Password FROM channels WHERE Name='Den';") ==
           "fullpw";
  })) << "the passwords of the room that slept while the disk was full";
  EXPECT_TRUE(newcomer.registerAccount(test::testHash(2))) << "registration works again";
  admin.request([](W& w) { w.createRoom("Annex", "", "lead", 0); });
  EXPECT_TRUE(admin.waitFor(ServerCode::RoomCreated, 5s));

  stop();
  EXPECT_EQ(test::integrityCheck(server->dir().file("velmordata.db")), "ok");
  EXPECT_EQ(test::integrityCheck(server->dir().file("velmorfiledata.db")), "ok");
  test::SqlFile stored(server->dir().file("velmordata.db"));
  EXPECT_EQ(stored.value("SELECT COUNT(*) FROM users WHERE Name='Newcomer';"), "1");
  EXPECT_EQ(stored.value("SELECT COUNT(*) FROM channels WHERE Name='Annex';"), "1");
  server.reset();  // the folder goes before the file system does
}

}  // namespace
}  // namespace velmor
