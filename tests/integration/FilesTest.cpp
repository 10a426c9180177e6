// Room files end to end: transfers in chunks, versions, the permission table, the limits,
// broken input, and files that outlive a sleeping room and a restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::FileEntry;
using client::RequestWriter;
using W = client::RequestWriter;
using client::ServerMessage;
using test::TestClient;
using wire::ServerCode;

using test::kQuiet;
constexpr std::size_t kChunk = 8000;

// The answers of file requests; room announcements and relay traffic are not answers.
bool isAnswer(const ServerMessage& m) {
  using C = ServerCode;
  static constexpr C kAnswers[] = {
      C::FileCreated,  C::FileExists,       C::TooManyFiles,  C::NotRoomOwner, C::MembersOnly,
      C::FileNotFound, C::FileAccessDenied, C::FileTooLarge,  C::FileSaved,    C::FileDeleted,
      C::FileChunkAck, C::FileContent,      C::FileUnchanged, C::FileList,     C::FileChunkData};
  return std::any_of(std::begin(kAnswers), std::end(kAnswers), [&](C code) { return m.is(code); });
}

// The next answer is `code`; it is stored in `out` when given.
testing::AssertionResult answered(TestClient& c, ServerCode code, ServerMessage* out = nullptr) {
  return c.answer(code, isAnswer, out, 5s);
}

testing::AssertionResult silent(TestClient& c) {
  for (const auto& m : c.drain(kQuiet)) {
    if (isAnswer(m)) return testing::AssertionFailure() << "answered " << m.describe();
  }
  return testing::AssertionSuccess();
}

// `n` bytes in which every run of 256 holds each byte value once; `seed` tells contents apart.
std::string pattern(std::size_t n, unsigned seed) {
  std::string data(n, '\0');
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i + i / 256 + seed) & 0xFF);
  return data;
}

// Uploads `data`: WriteFile with the first chunk, then one FileChunk per FileChunkAck.
testing::AssertionResult upload(TestClient& c, const std::string& name, const std::string& data,
                                ServerMessage* saved = nullptr) {
  const auto total = static_cast<std::uint32_t>(data.size());
  for (std::size_t at = 0;; at += kChunk) {
    const std::string_view chunk = std::string_view(data).substr(at, kChunk);
    c.request([&](W& w) { at == 0 ? w.writeFile(total, name, chunk) : w.fileChunk(chunk); });
    if (at + kChunk >= data.size()) return answered(c, ServerCode::FileSaved, saved);
    if (auto acked = answered(c, ServerCode::FileChunkAck); !acked) return acked << " at " << at;
  }
}

// Collects a file whose ReadFile is already sent: FileContent, then FileChunkRequests.
testing::AssertionResult receive(TestClient& c, std::string& data, ServerMessage* head = nullptr) {
  ServerMessage content;
  if (auto got = answered(c, ServerCode::FileContent, &content); !got) return got;
  data = content.text(0);
  while (data.size() < content.number(0)) {
    c.request([&](W& w) { w.fileChunkRequest(static_cast<std::uint32_t>(data.size())); });
    ServerMessage chunk;
    if (auto got = answered(c, ServerCode::FileChunkData, &chunk); !got) return got;
    if (chunk.text(0).empty()) return testing::AssertionFailure() << "empty chunk";
    data += chunk.text(0);
  }
  if (head != nullptr) *head = std::move(content);
  return testing::AssertionSuccess();
}

testing::AssertionResult download(TestClient& c, const std::string& name, std::string& data,
                                  ServerMessage* head = nullptr) {
  c.request([&](W& w) { w.readFile(name, 0); });
  return receive(c, data, head);
}

class FilesTest : public test::ProcessTest {
 protected:
  // "Archive" is live from the start; "Vault" sleeps until someone enters it.
  void start(const std::string& extra = "") {
    ProcessTest::start(extra + R"("userscancreateroom": true,)" +
                       test::roomsSetting({{"Archive"}, {"Vault", "", "lead", false}}));
  }

  // A registered member logged in on a connection of its own; null on failure.
  std::unique_ptr<TestClient> member(const std::string& name) {
    if (registered.insert(name).second) {
      TestClient guest(server->port());
      if (!guest.loginAsGuest(name) || !guest.registerAccount(test::testHash(3))) {
        ADD_FAILURE() << "could not register " << name;
        return nullptr;
      }
    }
    auto c = std::make_unique<TestClient>(server->port());
    if (!c->loginAsMember(name, test::testHash(3))) {
      ADD_FAILURE() << name << " could not log in";
      return nullptr;
    }
    return c;
  }

  // The joiner's RoomState tells that the user is in.
  static testing::AssertionResult entered(TestClient& c, const std::string& room,
                                          const std::string& password) {
    c.request([&](W& w) { w.enterRoom(room, password); });
    if (c.waitFor(ServerCode::RoomState, 5s)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not in " << room;
  }

  // A member who has entered `room`; null on failure.
  std::unique_ptr<TestClient> memberIn(const std::string& name, const std::string& room,
                                       const std::string& password) {
    auto c = member(name);
    if (c && !entered(*c, room, password)) c.reset();
    if (!c) ADD_FAILURE() << name << " is not in " << room;
    return c;
  }

  std::set<std::string> registered;
};

TEST_F(FilesTest, LargeFileTravelsInChunksOfEightThousandBytes) {
  start();
  auto writer = memberIn("Writer", "Archive", "lead");
  auto reader = memberIn("Reader", "Archive", "");
  ASSERT_TRUE(writer && reader);
  writer->request([](W& w) { w.createFile("big", 1, 0); });
  ASSERT_TRUE(answered(*writer, ServerCode::FileCreated));
  const std::string data = pattern(20000, 1);
  ServerMessage saved;
  ASSERT_TRUE(upload(*writer, "big", data, &saved));
  EXPECT_EQ(saved.text(0), "big");
  const std::uint32_t version = saved.number(0);

  reader->request([](W& w) { w.readFile("big", 0); });
  ServerMessage head;
  ASSERT_TRUE(answered(*reader, ServerCode::FileContent, &head));
  EXPECT_EQ(head.number(0), 20000u);
  EXPECT_EQ(head.text(0), data.substr(0, 8000));
  EXPECT_EQ(head.text(1), "big");
  EXPECT_EQ(head.number(1), version);
  EXPECT_EQ(head.number(2), 0u) << "neither the leader nor may users write";
  for (std::uint32_t offset : {8000u, 16000u}) {
    reader->request([&](W& w) { w.fileChunkRequest(offset); });
    ServerMessage chunk;
    ASSERT_TRUE(answered(*reader, ServerCode::FileChunkData, &chunk));
    EXPECT_EQ(chunk.text(0), data.substr(offset, 8000)) << "8000 bytes, then the last 4000";
  }
  // The last chunk ended the download: a chunk request without a transfer is passed over.
  reader->request([](W& w) { w.fileChunkRequest(0).listFiles(); });
  ServerMessage list;
  ASSERT_TRUE(answered(*reader, ServerCode::FileList, &list));
  EXPECT_EQ(list.files, (std::vector<FileEntry>{{"big", "Writer", "Writer", version, 1, 0}}));
  EXPECT_TRUE(silent(*reader));

  // During a download, an offset at the end stops the frame: the ListFiles behind it is
  // not read, and the connection goes on with the next frame.
  reader->request([](W& w) { w.readFile("big", 0); });
  ASSERT_TRUE(answered(*reader, ServerCode::FileContent));
  reader->request([](W& w) { w.fileChunkRequest(20000).listFiles(); });
  EXPECT_TRUE(silent(*reader));
  reader->request([](W& w) { w.listFiles(); });
  EXPECT_TRUE(answered(*reader, ServerCode::FileList));
}

TEST_F(FilesTest, EachWriteIsANewVersionAndAHeldVersionIsNotSentAgain) {
  start();
  auto keeper = memberIn("Keeper", "Archive", "lead");
  ASSERT_TRUE(keeper);
  // One frame: both writes fall within the same second.
  keeper->request([](W& w) {
    w.createFile("notes", 0, 0).writeFile(5, "notes", "first").writeFile(6, "notes", "second");
  });
  ServerMessage first, second;
  ASSERT_TRUE(answered(*keeper, ServerCode::FileCreated));
  ASSERT_TRUE(answered(*keeper, ServerCode::FileSaved, &first));
  ASSERT_TRUE(answered(*keeper, ServerCode::FileSaved, &second));
  EXPECT_EQ(second.number(0), first.number(0) + 1);

  keeper->request([&](W& w) { w.readFile("notes", second.number(0)); });
  ServerMessage unchanged;
  ASSERT_TRUE(answered(*keeper, ServerCode::FileUnchanged, &unchanged));
  EXPECT_EQ(unchanged.texts, std::vector<std::string>{"notes"});
  EXPECT_EQ(unchanged.numbers, (std::vector<std::uint32_t>{second.number(0), 1}));
  keeper->request([&](W& w) { w.readFile("notes", first.number(0)); });
  ServerMessage content;
  ASSERT_TRUE(answered(*keeper, ServerCode::FileContent, &content));
  EXPECT_EQ(content.text(0), "second");
  EXPECT_EQ(content.number(1), second.number(0));
}

enum class Grant { Always, WhenFlag, Never };
using enum Grant;

struct Role {
  const char* name;
  Grant read, write, permissions;
  ServerCode onCreate;
  bool member;  // a guest's changes are refused with MembersOnly
  bool leader;  // FileContent's may-write byte is (leader or users can write)
};

// The owner created the files as leader and then gave the leadership up.
constexpr Role kRoles[] = {
    {"owner", Always, Always, Always, ServerCode::NotRoomOwner, true, false},
    {"leader", Always, Always, Always, ServerCode::FileCreated, true, true},
    {"room creator", WhenFlag, WhenFlag, Never, ServerCode::FileCreated, true, false},
    {"member", WhenFlag, WhenFlag, Never, ServerCode::NotRoomOwner, true, false},
    {"guest", WhenFlag, WhenFlag, Never, ServerCode::NotRoomOwner, false, false},
};

struct FileFlags {
  const char* file;
  std::uint8_t usersCanRead, usersCanWrite;
  std::size_t deleter;  // index in kRoles of the role that deletes the file at the end
};
constexpr FileFlags kFiles[] = {
    {"f00", 0, 0, 1}, {"f10", 1, 0, 0}, {"f01", 0, 1, 2}, {"f11", 1, 1, 3}};

bool granted(Grant grant, std::uint8_t flag) {
  return grant == Always || (grant == WhenFlag && flag != 0);
}

TEST_F(FilesTest, RightsFollowThePermissionTable) {
  start();
  auto owner = member("Owner");
  auto boss = member("Boss");
  auto maker = member("Maker");
  auto other = member("Other");
  ASSERT_TRUE(owner && boss && maker && other);
  auto visitor = std::make_unique<TestClient>(server->port());
  ASSERT_TRUE(visitor->loginAsGuest("Visitor"));
  maker->request([](W& w) { w.createRoom("Hall", "", "lead", 0); });
  ASSERT_TRUE(maker->waitFor(ServerCode::RoomCreated));
  ASSERT_TRUE(entered(*maker, "Hall", ""));
  ASSERT_TRUE(entered(*owner, "Hall", "lead"));
  ASSERT_TRUE(entered(*boss, "Hall", "lead"));
  ASSERT_TRUE(entered(*other, "Hall", ""));
  ASSERT_TRUE(entered(*visitor, "Hall", ""));
  for (const FileFlags& f : kFiles) {
    owner->request([&](W& w) { w.createFile(f.file, f.usersCanRead, f.usersCanWrite); });
    ASSERT_TRUE(answered(*owner, ServerCode::FileCreated));
  }
  owner->request([](W& w) { w.claimLeader("not the leader password"); });

  TestClient* clients[] = {owner.get(), boss.get(), maker.get(), other.get(), visitor.get()};
  for (const FileFlags& f : kFiles) {
    for (std::size_t i = 0; i < std::size(kRoles); ++i) {
      const Role& role = kRoles[i];
      TestClient& c = *clients[i];
      SCOPED_TRACE(std::string(role.name) + " on " + f.file);
      const bool read = granted(role.read, f.usersCanRead);
      const bool write = granted(role.write, f.usersCanWrite);
      const bool permissions = granted(role.permissions, 0);
      const ServerCode refused =
          role.member ? ServerCode::FileAccessDenied : ServerCode::MembersOnly;

      c.request([](W& w) { w.listFiles(); });
      ServerMessage list;
      ASSERT_TRUE(answered(c, ServerCode::FileList, &list));
      auto entry = std::find_if(list.files.begin(), list.files.end(),
                                [&](const FileEntry& e) { return e.name == f.file; });
      ASSERT_NE(entry, list.files.end());
      EXPECT_EQ(entry->mayRead != 0, read);
      EXPECT_EQ(entry->mayWrite != 0, write);

      c.request([&](W& w) { w.readFile(f.file, 0); });
      ServerMessage content;
      ASSERT_TRUE(
          answered(c, read ? ServerCode::FileContent : ServerCode::FileAccessDenied, &content));
      if (read) {
        EXPECT_EQ(content.number(2), role.leader || f.usersCanWrite ? 1u : 0u) << "may write";
      }
      c.request([&](W& w) { w.writeFile(4, f.file, "text"); });
      EXPECT_TRUE(answered(c, write && role.member ? ServerCode::FileSaved : refused));
      c.request([&](W& w) { w.setFileAccess(f.file, f.usersCanRead, f.usersCanWrite); });
      EXPECT_TRUE(answered(c, permissions && role.member ? ServerCode::FileSaved : refused));
      if (!write || !role.member) {
        c.request([&](W& w) { w.deleteFile(f.file); });
        EXPECT_TRUE(answered(c, refused)) << "delete";
      }
    }
    TestClient& deleter = *clients[f.deleter];
    deleter.request([&](W& w) { w.deleteFile(f.file).readFile(f.file, 0); });
    EXPECT_TRUE(answered(deleter, ServerCode::FileDeleted)) << kRoles[f.deleter].name;
    EXPECT_TRUE(answered(deleter, ServerCode::FileNotFound));
  }

  for (std::size_t i = 0; i < std::size(kRoles); ++i) {
    clients[i]->request([&](W& w) { w.createFile(std::to_string(i), 0, 0); });
    EXPECT_TRUE(answered(*clients[i], kRoles[i].onCreate)) << "create by " << kRoles[i].name;
  }
  visitor->request([](W& w) { w.claimLeader("lead").createFile("guestfile", 0, 0); });
  EXPECT_TRUE(answered(*visitor, ServerCode::MembersOnly)) << "a guest leader creates nothing";

  // A change of permissions takes effect at once; "1" was created by the leader.
  other->request([](W& w) { w.readFile("1", 0); });
  EXPECT_TRUE(answered(*other, ServerCode::FileAccessDenied));
  boss->request([](W& w) { w.setFileAccess("1", 1, 1); });
  EXPECT_TRUE(answered(*boss, ServerCode::FileSaved));
  other->request([](W& w) { w.readFile("1", 0).writeFile(3, "1", "new"); });
  EXPECT_TRUE(answered(*other, ServerCode::FileContent));
  EXPECT_TRUE(answered(*other, ServerCode::FileSaved));
}

TEST_F(FilesTest, RoomHoldsSixteenFilesOfAtMost650000Bytes) {
  start();
  auto keeper = memberIn("Keeper", "Archive", "lead");
  ASSERT_TRUE(keeper);
  keeper->request(
      [](W& w) { w.createFile("Notes", 1, 1).createFile("NOTES", 1, 1).readFile("notes", 0); });
  EXPECT_TRUE(answered(*keeper, ServerCode::FileCreated));
  EXPECT_TRUE(answered(*keeper, ServerCode::FileExists)) << "names are unique whatever their case";
  EXPECT_TRUE(answered(*keeper, ServerCode::FileNotFound)) << "but looked up exactly";
  for (int i = 2; i <= 17; ++i) {
    keeper->request([&](W& w) { w.createFile("file" + std::to_string(i), 1, 1); });
    ASSERT_TRUE(answered(*keeper, i <= 16 ? ServerCode::FileCreated : ServerCode::TooManyFiles))
        << i;
  }

  const std::string data = pattern(650000, 2);
  const std::string_view first = std::string_view(data).substr(0, kChunk);
  // The refused chunk is skipped: the ListFiles behind it is answered.
  keeper->request([&](W& w) { w.writeFile(650001, "Notes", first).listFiles(); });
  EXPECT_TRUE(answered(*keeper, ServerCode::FileTooLarge));
  ServerMessage list;
  ASSERT_TRUE(answered(*keeper, ServerCode::FileList, &list));
  EXPECT_EQ(list.files.size(), 16u);
  ASSERT_TRUE(upload(*keeper, "Notes", data));
  std::string got;
  ASSERT_TRUE(download(*keeper, "Notes", got));
  EXPECT_TRUE(got == data) << "read back " << got.size() << " bytes";
}

TEST_F(FilesTest, OthersSeeAnUploadOnlyWhenCompleteAndADisconnectLosesOnlyThatUpload) {
  start();
  auto writer = memberIn("Writer", "Archive", "lead");
  auto reader = memberIn("Reader", "Archive", "");
  ASSERT_TRUE(writer && reader);
  const std::string side = pattern(9000, 7), before = pattern(100, 1), after = pattern(24000, 2);
  writer->request([](W& w) { w.createFile("doc", 1, 1).createFile("side", 1, 1); });
  ASSERT_TRUE(answered(*writer, ServerCode::FileCreated));
  ASSERT_TRUE(answered(*writer, ServerCode::FileCreated));
  ASSERT_TRUE(upload(*writer, "side", side));
  ServerMessage saved;
  ASSERT_TRUE(upload(*writer, "doc", before, &saved));
  const std::uint32_t previous = saved.number(0);

  // Permissions changed while the upload runs are those the new version keeps.
  writer->request(
      [&](W& w) { w.writeFile(24000, "doc", after.substr(0, kChunk)).setFileAccess("doc", 1, 0); });
  ASSERT_TRUE(answered(*writer, ServerCode::FileChunkAck));
  ASSERT_TRUE(answered(*writer, ServerCode::FileSaved));
  for (std::size_t at = kChunk; at < after.size(); at += kChunk) {
    reader->request([](W& w) { w.readFile("doc", 0); });
    ServerMessage seen;
    ASSERT_TRUE(answered(*reader, ServerCode::FileContent, &seen));
    EXPECT_EQ(seen.text(0), before) << "with " << at << " bytes uploaded";
    EXPECT_EQ(seen.number(1), previous);
    writer->request([&](W& w) { w.fileChunk(after.substr(at, kChunk)); });
    const bool last = at + kChunk >= after.size();
    ASSERT_TRUE(answered(*writer, last ? ServerCode::FileSaved : ServerCode::FileChunkAck, &saved));
  }
  std::string got;
  ServerMessage head;
  ASSERT_TRUE(download(*reader, "doc", got, &head));
  EXPECT_TRUE(got == after);
  EXPECT_EQ(head.number(2), 0u) << "users may no longer write";

  // Half an upload, then the connection is gone.
  writer->request([&](W& w) { w.writeFile(16000, "doc", pattern(kChunk, 3)); });
  ASSERT_TRUE(answered(*writer, ServerCode::FileChunkAck));
  writer.reset();
  writer = memberIn("Writer", "Archive", "lead");
  ASSERT_TRUE(writer);
  writer->request([&](W& w) { w.fileChunk(pattern(kChunk, 4)).listFiles(); });
  ServerMessage list;
  ASSERT_TRUE(answered(*writer, ServerCode::FileList, &list)) << "the chunk has no upload to join";
  EXPECT_TRUE(silent(*writer));
  ASSERT_TRUE(download(*reader, "doc", got));
  EXPECT_TRUE(got == after) << "the completed version stays";
  ASSERT_TRUE(download(*reader, "side", got));
  EXPECT_TRUE(got == side);
  ASSERT_EQ(list.files.size(), 2u);
  EXPECT_EQ(list.files[0].lastEdited, saved.number(0));
}

TEST_F(FilesTest, FilesOutliveASleepingRoomAndARestart) {
  start(R"("roomidletime": 1,)");
  const std::string data = pattern(20000, 5);
  auto writer = member("Writer");
  auto reader = member("Reader");
  ASSERT_TRUE(writer && reader);
  ASSERT_TRUE(entered(*writer, "Vault", "lead"));
  writer->request([](W& w) { w.createFile("bytes", 1, 0).createFile("empty", 1, 0); });
  ASSERT_TRUE(answered(*writer, ServerCode::FileCreated));
  ASSERT_TRUE(answered(*writer, ServerCode::FileCreated));
  ServerMessage saved;
  ASSERT_TRUE(upload(*writer, "bytes", data, &saved));
  const std::uint32_t version = saved.number(0);
  writer->request([](W& w) { w.listFiles(); });
  ServerMessage before;
  ASSERT_TRUE(answered(*writer, ServerCode::FileList, &before));

  // The last one out leaves; the room goes to sleep after the idle second.
  const auto sleepVault = [](TestClient& last) {
    last.request([](W& w) { w.leaveRoom(); });
    return last.waitFor(ServerCode::RoomLeft) && last.waitFor(ServerCode::RoomClosed, 5s);
  };
  ASSERT_TRUE(sleepVault(*writer));
  ASSERT_TRUE(entered(*reader, "Vault", ""));
  reader->request([&](W& w) { w.readFile("bytes", version); });
  EXPECT_TRUE(answered(*reader, ServerCode::FileUnchanged)) << "the version came back too";
  std::string got;
  ServerMessage head;
  ASSERT_TRUE(download(*reader, "bytes", got, &head));
  EXPECT_TRUE(got == data);
  EXPECT_EQ(head.number(1), version);
  ASSERT_TRUE(sleepVault(*reader));

  writer.reset();
  reader.reset();
  stop(5s);  // the stop executes and commits every save posted
  resume();

  // Entering loads the room; two first reads load the content once and both get it.
  reader = memberIn("Reader", "Vault", "");
  writer = memberIn("Writer", "Vault", "");
  ASSERT_TRUE(writer && reader);
  reader->request([](W& w) { w.listFiles(); });
  ServerMessage after;
  ASSERT_TRUE(answered(*reader, ServerCode::FileList, &after));
  const auto byName = [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; };
  std::sort(before.files.begin(), before.files.end(), byName);
  std::sort(after.files.begin(), after.files.end(), byName);
  for (FileEntry& entry : before.files) entry.mayWrite = 0;  // the writer listed them as leader
  EXPECT_EQ(after.files, before.files);

  reader->request([](W& w) { w.readFile("bytes", 0); });
  writer->request([](W& w) { w.readFile("bytes", 0); });
  for (TestClient* c : {reader.get(), writer.get()}) {
    ASSERT_TRUE(receive(*c, got, &head));
    EXPECT_TRUE(got == data) << "byte for byte";
    EXPECT_EQ(head.number(1), version);
  }
  reader->request([](W& w) { w.readFile("empty", 0); });
  ASSERT_TRUE(answered(*reader, ServerCode::FileContent, &head));
  EXPECT_EQ(head.number(0), 0u);
  EXPECT_EQ(head.text(0), "");
}

TEST_F(FilesTest, BrokenAndStrayRequestsChangeNothing) {
  start();
  auto keeper = memberIn("Keeper", "Archive", "lead");
  ASSERT_TRUE(keeper);
  keeper->request([](W& w) { w.createFile("f", 1, 1).writeFile(4, "f", "old!"); });
  ASSERT_TRUE(answered(*keeper, ServerCode::FileCreated));
  ASSERT_TRUE(answered(*keeper, ServerCode::FileSaved));
  const auto keepsOldContent = [&] {
    keeper->request([](W& w) { w.readFile("f", 0); });
    ServerMessage content;
    ASSERT_TRUE(answered(*keeper, ServerCode::FileContent, &content));
    EXPECT_EQ(content.text(0), "old!");
  };

  // Without a transfer, a chunk and a chunk request are passed over.
  keeper->request([](W& w) { w.fileChunk("stray").fileChunkRequest(0).listFiles(); });
  EXPECT_TRUE(answered(*keeper, ServerCode::FileList));
  EXPECT_TRUE(silent(*keeper));

  // Each of these stops its frame: nothing is answered, not even the ListFiles behind it.
  const struct {
    const char* what;
    bool uploading;  // an upload of 10 bytes is under way first
    std::function<void(W&)> write;
  } kStops[] = {
      {"a chunk past the announced total", true, [](W& w) { w.fileChunk("1234567").listFiles(); }},
      {"a first chunk larger than the total", false,
       [](W& w) { w.writeFile(3, "f", "abcdef").listFiles(); }},
      {"a first chunk running past its frame", false,
       [](W& w) {
         w.type(wire::ClientType::WriteFile).u32(10).string("f").u16(100).raw("abc").listFiles();
       }},
      {"a chunk running past its frame", true,
       [](W& w) { w.type(wire::ClientType::FileChunk).u16(100).raw("abc").listFiles(); }},
  };
  for (const auto& stop : kStops) {
    SCOPED_TRACE(stop.what);
    if (stop.uploading) {
      keeper->request([](W& w) { w.writeFile(10, "f", "12345"); });
      ASSERT_TRUE(answered(*keeper, ServerCode::FileChunkAck));
    }
    keeper->request(stop.write);
    EXPECT_TRUE(silent(*keeper));
    keepsOldContent();
  }

  // Leaving the room ends an upload; a chunk sent outside the room is skipped.
  keeper->request([](W& w) { w.writeFile(10, "f", "12345"); });
  ASSERT_TRUE(answered(*keeper, ServerCode::FileChunkAck));
  keeper->request([](W& w) { w.leaveRoom(); });
  ASSERT_TRUE(keeper->waitFor(ServerCode::RoomLeft));
  keeper->request([](W& w) { w.fileChunk("67890").listRooms(0); });
  EXPECT_TRUE(keeper->waitFor(ServerCode::RoomDirectory));
  EXPECT_TRUE(silent(*keeper));
  ASSERT_TRUE(entered(*keeper, "Archive", "lead"));
  keeper->request([](W& w) { w.fileChunk("67890").listFiles(); });
  EXPECT_TRUE(answered(*keeper, ServerCode::FileList));
  EXPECT_TRUE(silent(*keeper));
  keepsOldContent();

  // Names are cut to 31 characters, when created and when looked up.
  const std::string name = "abcdefghijklmnopqrstuvwxyz0123456789";
  keeper->request([&](W& w) {
    w.createFile(name, 1, 1).createFile(name.substr(0, 31) + "X", 1, 1).readFile(name, 0);
  });
  EXPECT_TRUE(answered(*keeper, ServerCode::FileCreated));
  EXPECT_TRUE(answered(*keeper, ServerCode::FileExists)) << "32 characters, cut to the same 31";
  ServerMessage content;
  ASSERT_TRUE(answered(*keeper, ServerCode::FileContent, &content));
  EXPECT_EQ(content.text(1), name.substr(0, 31));
}

}  // namespace
}  // namespace velmor
