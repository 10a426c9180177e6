// Backups and other long reads while the server works: the README's backup recipe copies a
// busy file database of a few hundred megabytes without holding the server's saves up, and a
// read transaction that another program keeps open does not delay the server's writes.
// Against the real executable and the sqlite3 command an operator would use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using OnlineBackupTest = test::ProcessTest;
using test::TestClient;
using W = client::RequestWriter;
using wire::ServerCode;
using Clock = std::chrono::steady_clock;

using test::eventually;

const std::string kHall = test::roomsSetting({{"Hall"}});

// The commands of README's backup recipe, with the paths of the package replaced by the
// server's folder and `backups`, run as the operator runs them (here already root).
std::string backupRecipe(const std::string& serverFolder, const std::string& backups) {
  std::ifstream readme(VELMOR_README);
  std::string line;
  std::string commands;
  const auto replace = [](std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
      text.replace(at, from.size(), to);
    return text;
  };
  while (std::getline(readme, line)) {
    if (line.find("VACUUM INTO") == std::string::npos || line.rfind("sudo sqlite3", 0) != 0)
      continue;
    line = replace(line.substr(5), "/opt/velmorserver/", serverFolder);
    commands += replace(line, "/var/backups/", backups) + " && ";
  }
  return commands.empty() ? std::string() : commands + "true";
}

std::string content(test::SqlFile& files, const std::string& file) {
  return files.value(
      "SELECT CAST(Content AS TEXT) FROM files WHERE RoomName='Hall' AND "
      "FileName='" +
      file + "';");
}

// A member saving a file every 100 ms on a file database of about 215 MB (written in the
// older journal mode, as an earlier version left it) while the operator runs the README's
// recipe: the backup completes, the copies are sound and hold every file, and each save
// acknowledged meanwhile is in the live database at once, seen by a second reader while the
// backup still runs.
TEST_F(OnlineBackupTest, ReadmeRecipeCopiesABusyServerWithoutHoldingItsSavesUp) {
  VELMOR_REQUIRE(test::commandExists("sqlite3"), "the sqlite3 command is not installed");
  start(kHall);
  stop();
  const std::string filesDb = server->dir().file("velmorfiledata.db");
  constexpr int kFiles = 2100;
  constexpr int kFileBytes = 102400;
  {
    test::SqlFile files(filesDb);
    ASSERT_EQ(files.value("PRAGMA journal_mode=DELETE;"), "delete");
    ASSERT_TRUE(files.exec(
        "BEGIN; WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kFiles - 1) +
        ") INSERT INTO files SELECT 'Room' || (i / 16), 'file' || (i % 16), 'maker', 'maker', "
        "randomblob(" +
        std::to_string(kFileBytes) + "), " + std::to_string(kFileBytes) +
        ", 1000, 1, 1 FROM n; COMMIT;"));
  }
  resume();
  test::SqlFile reader(filesDb);
  EXPECT_EQ(reader.value("PRAGMA journal_mode;"), "wal") << "the older mode was kept";

  TestClient member(server->port());
  ASSERT_TRUE(member.loginAsGuest("Scribe"));
  ASSERT_TRUE(member.registerAccount(test::testHash(3)));
  member.request([](W& w) { w.enterRoom("Hall", "lead"); });
  ASSERT_TRUE(member.waitFor(ServerCode::MemberList, 10s));
  member.request([](W& w) { w.createFile("diary", 1, 1).writeFile(6, "diary", "save 0"); });
  ASSERT_TRUE(member.waitFor(ServerCode::FileSaved));
  ASSERT_TRUE(eventually([&] { return content(reader, "diary") == "save 0"; }));

  test::TempDir backups;
  const std::string recipe = backupRecipe(server->dir().path(), backups.path());
  ASSERT_FALSE(recipe.empty()) << "README gives no backup recipe";
  // How far the copy of the file database has got: it grows while the backup reads.
  const auto copiedBytes = [&]() -> std::uintmax_t {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(backups.path(), error)) {
      if (entry.path().filename().string().rfind("velmorfiledata", 0) == 0)
        return entry.file_size(error);
    }
    return 0;
  };
  std::atomic<bool> backupDone{false};
  int backupStatus = -1;
  std::thread backup([&] {
    backupStatus = test::run(recipe + " 2>" + backups.file("errors.txt"));
    backupDone = true;
  });

  // Each save: acknowledged, then looked for by the second reader, which notes how far the
  // copy had got when it saw it.
  struct Save {
    bool ackedDuringBackup = false;
    bool seen = false;
    std::uintmax_t copiedWhenSeen = 0;
  };
  std::vector<Save> saves;
  for (int n = 1; n <= 600 && (!backupDone || saves.size() < 3); ++n) {  // 60 s at most
    const auto next = Clock::now() + 100ms;
    const std::string text = "save " + std::to_string(n);
    member.request(
        [&](W& w) { w.writeFile(static_cast<std::uint32_t>(text.size()), "diary", text); });
    ASSERT_TRUE(member.waitFor(ServerCode::FileSaved)) << text;
    Save save;
    save.ackedDuringBackup = !backupDone;
    save.seen = eventually([&] { return content(reader, "diary") == text; }, 3s);
    if (save.seen && !backupDone) save.copiedWhenSeen = copiedBytes();
    saves.push_back(save);
    std::this_thread::sleep_until(next);
  }
  backup.join();
  ASSERT_EQ(backupStatus, 0) << backups.read("errors.txt");

  // A save seen while the copy was still short of its full size reached the database while
  // the backup was reading it (a backup that held the server's writes up lets them through
  // only once it has read everything).
  const std::uintmax_t copySize = copiedBytes();
  int ackedDuring = 0;
  int seenWhileCopying = 0;
  for (const Save& save : saves) {
    if (save.ackedDuringBackup) {
      ++ackedDuring;
      EXPECT_TRUE(save.seen) << "a save acknowledged during the backup was not stored";
    }
    if (save.copiedWhenSeen > 0 && save.copiedWhenSeen < copySize) ++seenWhileCopying;
  }
  EXPECT_GT(ackedDuring, 0) << "the backup ended before any save";
  EXPECT_GT(seenWhileCopying, 0) << "no save reached the database while the backup read it ("
                                 << ackedDuring << " acknowledged during the backup)";

  const std::string copies = test::capture("ls " + backups.path() + " | grep -v errors.txt");
  std::istringstream names(copies);
  std::string name;
  std::string fileCopy;
  int copied = 0;
  while (std::getline(names, name)) {
    ++copied;
    EXPECT_EQ(test::integrityCheck(backups.file(name)), "ok") << name;
    if (name.rfind("velmorfiledata", 0) == 0) fileCopy = backups.file(name);
  }
  EXPECT_EQ(copied, 2) << copies;
  ASSERT_FALSE(fileCopy.empty()) << copies;
  test::SqlFile copy(fileCopy);
  EXPECT_EQ(copy.value("SELECT count(*) FROM files WHERE FileName LIKE 'file%';"),
            std::to_string(kFiles));
  EXPECT_EQ(copy.value("SELECT sum(length(Content)) FROM files WHERE FileName LIKE 'file%';"),
            std::to_string(static_cast<long long>(kFiles) * kFileBytes));
  EXPECT_EQ(copy.value("SELECT substr(CAST(Content AS TEXT), 1, 5) FROM files WHERE "
                       "FileName='diary';"),
            "save ")
      << "the copy lacks the file saved before it began";
  stop();
}

// Another program keeps a read transaction open on each database, here for longer than the
// server's busy timeout: a registration, a new room and a file save are stored and answered
// meanwhile, and a third connection sees them while the reader still holds its transaction.
TEST_F(OnlineBackupTest, ReaderHeldOpenPastTheBusyTimeoutDoesNotDelayWrites) {
  constexpr int kBusyTimeoutMs = 2000;
  start(kHall + R"("userscancreateroom": true, "busytimeout": )" + std::to_string(kBusyTimeoutMs) +
        ",");
  const std::string mainDb = server->dir().file("velmordata.db");
  const std::string filesDb = server->dir().file("velmorfiledata.db");
  TestClient member(server->port());
  ASSERT_TRUE(member.loginAsGuest("Reeve"));
  member.request([](W& w) { w.enterRoom("Hall", "lead"); });
  ASSERT_TRUE(member.waitFor(ServerCode::MemberList, 10s));

  test::SqlFile mainReader(mainDb);
  test::SqlFile filesReader(filesDb);
  ASSERT_TRUE(mainReader.exec("BEGIN; SELECT count(*) FROM users;"));
  ASSERT_TRUE(filesReader.exec("BEGIN; SELECT count(*) FROM files;"));

  // Each answered well within the busy timeout, which a writer held up would wait out.
  const auto within = std::chrono::milliseconds(kBusyTimeoutMs / 2);
  auto asked = Clock::now();
  EXPECT_TRUE(member.registerAccount(test::testHash(5)));
  EXPECT_LT(Clock::now() - asked, within) << "the registration waited for the reader";
  asked = Clock::now();
  member.request([](W& w) { w.createRoom("Annex", "", "lead", 0); });
  EXPECT_TRUE(member.waitFor(ServerCode::RoomCreated));
  EXPECT_LT(Clock::now() - asked, within) << "the new room waited for the reader";
  member.request([](W& w) { w.createFile("memo", 1, 1).writeFile(4, "memo", "kept"); });
  EXPECT_TRUE(member.waitFor(ServerCode::FileSaved));

  test::SqlFile look(mainDb);
  test::SqlFile lookFiles(filesDb);
  EXPECT_EQ(look.value("SELECT count(*) FROM users WHERE Name='Reeve';"), "1");
  EXPECT_EQ(look.value("SELECT count(*) FROM channels WHERE Name='Annex';"), "1");
  EXPECT_TRUE(eventually([&] { return content(lookFiles, "memo") == "kept"; }, within))
      << "the file save waited for the reader";
  // The readers still see the state their transactions began with.
  EXPECT_EQ(mainReader.value("SELECT count(*) FROM users WHERE Name='Reeve';"), "0");
  EXPECT_TRUE(mainReader.exec("COMMIT;"));
  EXPECT_TRUE(filesReader.exec("COMMIT;"));
  stop();
}

// A database of an earlier version that another program holds open at the start cannot be
// converted then: the server says so, serves in the older mode, and converts it at the next
// start.
TEST_F(OnlineBackupTest, DatabaseHeldAtTheStartIsConvertedAtTheNext) {
  start(R"("busytimeout": 200,)");
  stop();
  const std::string mainDb = server->dir().file("velmordata.db");
  {
    test::SqlFile holder(mainDb);
    ASSERT_EQ(holder.value("PRAGMA journal_mode=DELETE;"), "delete");
    ASSERT_TRUE(holder.exec("BEGIN; SELECT count(*) FROM users;"));
    resume();
    EXPECT_NE(server->output().find("velmordata.db keeps its rollback journal for this run"),
              std::string::npos)
        << server->output();
    ASSERT_TRUE(holder.exec("COMMIT;"));
  }
  {
    TestClient member(server->port());
    ASSERT_TRUE(member.loginAsGuest("Early"));
    EXPECT_TRUE(member.registerAccount(test::testHash(2)));
  }
  restart();
  test::SqlFile look(mainDb);
  EXPECT_EQ(look.value("PRAGMA journal_mode;"), "wal");
  EXPECT_EQ(look.value("SELECT count(*) FROM users WHERE Name='Early';"), "1");
  stop();
}

}  // namespace
}  // namespace velmor
