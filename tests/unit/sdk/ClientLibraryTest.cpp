// libvelmorclient through its C functions, against a loopback listener of the test's that
// plays the server: frames cut anywhere give the same events, the member login answers the
// challenge with the codec's proof, requests are the codec's bytes, and refusals and ends of
// connections give their status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <velmor/client.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/LoginProof.h"
#include "client/RequestWriter.h"
#include "support/Eventually.h"
#include "support/Sockets.h"
#include "wire/MessageBuilder.h"

namespace velmor {
namespace {

using client::RequestWriter;
using Code = wire::ServerCode;
using Handle = std::unique_ptr<velmor_client, void (*)(velmor_client*)>;

std::string text(const velmor_string& s) {
  return std::string(s.data, s.length);
}

// One line per event with the fields the tests look at.
std::string describe(const velmor_event& e) {
  std::string line = velmor_event_name(e.type) != nullptr ? velmor_event_name(e.type) : "?";
  const auto& d = e.data;
  switch (e.type) {
    case VELMOR_EVENT_DISCONNECTED:
    case VELMOR_EVENT_ERROR:
      return line + " " + velmor_status_text(d.error.status);
    case VELMOR_EVENT_MEMBER_STEP:
    case VELMOR_EVENT_OBJECT_STEP:
      return line + " " + std::to_string(d.step.dx) + "," + std::to_string(d.step.dy) + " " +
             std::to_string(d.step.direction_step);
    case VELMOR_EVENT_ROOM_LIST:
      return line + " " + text(d.room_list.rooms[0].name) + "," + text(d.room_list.rooms[1].name) +
             " " + std::to_string(d.room_list.rooms[1].member_count);
    case VELMOR_EVENT_MEMBER_INFO:
      return line + " " + text(d.member_info.name) +
             " nav=" + std::to_string(d.member_info.navigation_layout) + " " +
             std::to_string(d.member_info.appearance_word) + " " +
             text(d.member_info.appearance_text);
    case VELMOR_EVENT_RECENT_LINES:
      return line + " " + text(d.recent_lines.lines[0]);
    case VELMOR_EVENT_ROOM_LINE:
      return line + " " + std::to_string(d.room_line.slot) + " " + text(d.room_line.text);
    case VELMOR_EVENT_FILE_SAVED:
      return line + (d.file_saved.has_fields ? " " + text(d.file_saved.name) : " bare");
    default:
      return line;
  }
}

// A server frame holding what `write` builds.
std::string frame(const std::function<void(MessageBuilder&)>& write) {
  MessageBuilder b;
  write(b);
  b.finish();
  return std::string(b.data(), b.size());
}

// The welcome frame, a navigation room's state (its MemberInfo in the frame that changes the
// layout), relay steps on both sides of an ObjectBatch, and both layouts of FileSaved.
std::string sampleStream() {
  return frame([](MessageBuilder& b) {
           b.begin(Code::ServerInfo).string("Test").u16(64).u16(32).u8(1);
           b.begin(Code::RoomList)
               .u16(2)
               .string("Lobby")
               .u8(0)
               .u16(3)
               .string("Den")
               .u8(0)
               .u16(32005)
               .u16(9);
         }) +
         frame([](MessageBuilder& b) {
           b.begin(Code::RoomState).u16(1).u8(1).string("Ann").u16(0);
           b.begin(Code::RecentLines).u8(1).string("earlier");
           b.begin(Code::MemberInfo)
               .string("Bob")
               .u32(1)
               .u32(2)
               .u16(3)
               .u32(77)
               .u8(5)
               .u16(6)
               .u16(7)
               .u8(0)
               .string("cape");
           b.begin(Code::MemberPosition).u16(1).u16(2).u8(0).u8(0).u16(90);
         }) +
         frame([](MessageBuilder& b) {
           b.beginType(wire::memberStepType(1, -1) + wire::kMemberStepCount).i8(-5);
           b.begin(Code::ObjectBatch);
           b.beginType(wire::objectStepType(-6, 6));
           b.begin(Code::RoomLine).u8(0).string("hello");
         }) +
         frame([](MessageBuilder& b) { b.begin(Code::FileSaved); }) +
         frame([](MessageBuilder& b) { b.begin(Code::FileSaved).string("notes").u32(7); });
}

class ClientLibrary : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.valid());
    ASSERT_EQ(velmor_client_connect(c.get(), "127.0.0.1", port, nullptr), VELMOR_OK);
    peer = test::Socket(::accept(listener.fd(), nullptr, nullptr));
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(await("Connected"));
  }

  // Runs the loop until an event of that description came (or 5 s passed); true if it did.
  bool await(const std::string& wanted) {
    return test::eventually([&] {
      velmor_client_process(c.get(), 10);
      for (velmor_event e; velmor_client_next_event(c.get(), &e);) events.push_back(describe(e));
      return !events.empty() && events.back() == wanted;
    });
  }
  // The bytes the library sent, as many as `expected` holds (within 5 s).
  std::string sent(std::size_t size) {
    std::string bytes;
    test::eventually([&] {
      velmor_client_process(c.get(), 10);
      bytes += peer.receiveSome(std::chrono::milliseconds(1), size - bytes.size());
      return bytes.size() >= size;
    });
    return bytes;
  }

  const std::uint16_t port = test::freePort();
  test::Socket listener = test::listenOn(port);
  test::Socket peer;
  Handle c{velmor_client_create(), velmor_client_destroy};
  std::vector<std::string> events;
};

struct SplitRow {
  const char* name;
  std::size_t piece;  // bytes per write
};
void PrintTo(const SplitRow& row, std::ostream* os) {
  *os << row.name;
}

class FramesCutAnywhere : public ClientLibrary, public testing::WithParamInterface<SplitRow> {};

TEST_P(FramesCutAnywhere, GiveTheSameEvents) {
  const std::string stream = sampleStream();
  for (std::size_t at = 0; at < stream.size(); at += GetParam().piece) {
    ASSERT_TRUE(peer.sendAll(stream.substr(at, GetParam().piece)));
    velmor_client_process(c.get(), 0);
  }
  ASSERT_TRUE(await("FileSaved notes")) << testing::PrintToString(events);
  EXPECT_EQ(events, (std::vector<std::string>{
                        "Connected", "ServerInfo", "RoomList Lobby,Den 5", "RoomState",
                        "RecentLines earlier", "MemberInfo Bob nav=1 77 cape", "MemberPosition",
                        "MemberStep 1,-1 -5", "ObjectBatch", "ObjectStep -6,6 0",
                        "RoomLine 0 hello", "FileSaved bare", "FileSaved notes"}));
  EXPECT_EQ(velmor_client_navigation_room(c.get()), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, FramesCutAnywhere,
                         testing::Values(SplitRow{"Whole", 100000}, SplitRow{"EveryByte", 1},
                                         SplitRow{"EverySecondByte", 2},
                                         SplitRow{"EverySeventhByte", 7}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClientLibrary, MemberLoginAnswersTheChallengeWithTheCodecsProof) {
  ASSERT_EQ(velmor_login_member(c.get(), "Ann", "secret", ""), VELMOR_OK);
  const std::string login =
      RequestWriter::frame([](RequestWriter& w) { w.login(client::LoginFields{.name = "Ann"}); });
  EXPECT_EQ(sent(login.size()), login);
  const std::string challenge = "abcdefghijklmno";
  ASSERT_TRUE(peer.sendAll(frame(
      [&](MessageBuilder& b) { b.begin(Code::LoginChallenge).string("salt").string(challenge); })));
  const std::string proof = RequestWriter::frame([&](RequestWriter& w) {
    w.loginProof(client::loginProof(client::passwordHashOf("secret"), challenge));
  });
  EXPECT_EQ(sent(proof.size()), proof);
  EXPECT_TRUE(await("LoginChallenge"));
}

struct RequestRow {
  const char* name;
  std::function<velmor_status(velmor_client*)> call;
  std::function<void(RequestWriter&)> expected;
};
void PrintTo(const RequestRow& row, std::ostream* os) {
  *os << row.name;
}

const client::Hash16 kHash{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

class RequestsAreTheCodecsBytes : public ClientLibrary,
                                  public testing::WithParamInterface<RequestRow> {};

TEST_P(RequestsAreTheCodecsBytes, Row) {
  ASSERT_EQ(GetParam().call(c.get()), VELMOR_OK) << velmor_client_last_error(c.get());
  const std::string expected = RequestWriter::frame(GetParam().expected);
  EXPECT_EQ(sent(expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RequestsAreTheCodecsBytes,
    testing::Values(
        RequestRow{"RoomChat", [](velmor_client* c) { return velmor_room_chat(c, "hello"); },
                   [](RequestWriter& w) { w.roomChat("hello"); }},
        RequestRow{"EnterRoom", [](velmor_client* c) { return velmor_enter_room(c, "Den", "pw"); },
                   [](RequestWriter& w) { w.enterRoom("Den", "pw"); }},
        RequestRow{"Position", [](velmor_client* c) { return velmor_position(c, 1, 2, 3, 4, 500); },
                   [](RequestWriter& w) { w.position(1, 2, 3, 4, 500); }},
        RequestRow{
            "WriteFileBlob",
            [](velmor_client* c) { return velmor_write_file(c, 5, "notes", "he\0lo", 5); },
            [](RequestWriter& w) { w.writeFile(5, "notes", std::string_view("he\0lo", 5)); }},
        RequestRow{
            "RegisterAccountHashes",
            [](velmor_client* c) { return velmor_register_account(c, kHash.data(), kHash.data()); },
            [](RequestWriter& w) { w.registerAccount(kHash, kHash); }},
        RequestRow{
            "RegisterHelper", [](velmor_client* c) { return velmor_register(c, "a@b.c", "pw"); },
            [](RequestWriter& w) {
              w.registerAccount(client::passwordHashOf("a@b.c"), client::passwordHashOf("pw"));
            }},
        RequestRow{"GuestLogin",
                   [](velmor_client* c) { return velmor_login_guest(c, "Bob", "door"); },
                   [](RequestWriter& w) {
                     w.login(client::LoginFields{.name = "Bob", .password = "door"});
                   }},
        RequestRow{"KeepAlive", [](velmor_client* c) { return velmor_keep_alive(c); },
                   [](RequestWriter& w) { w.keepAlive(); }}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalRow {
  const char* name;
  std::function<velmor_status(velmor_client*)> call;
  velmor_status status;
};
void PrintTo(const RefusalRow& row, std::ostream* os) {
  *os << row.name;
}

class RefusedRequests : public ClientLibrary, public testing::WithParamInterface<RefusalRow> {};

// Nothing of a refused request is sent: the KeepAlive after it is the first bytes out.
TEST_P(RefusedRequests, QueueNothing) {
  EXPECT_EQ(GetParam().call(c.get()), GetParam().status);
  EXPECT_STRNE(velmor_client_last_error(c.get()), "");
  ASSERT_EQ(velmor_keep_alive(c.get()), VELMOR_OK);
  const std::string keepAlive = RequestWriter::frame([](RequestWriter& w) { w.keepAlive(); });
  EXPECT_EQ(sent(keepAlive.size()), keepAlive);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefusedRequests,
    testing::Values(
        RefusalRow{
            "RoomLineOver1024Bytes",
            [](velmor_client* c) { return velmor_room_chat(c, std::string(1025, 'a').c_str()); },
            VELMOR_ERR_TEXT_SIZE},
        RefusalRow{"EmptyLocalLine", [](velmor_client* c) { return velmor_local_chat(c, ""); },
                   VELMOR_ERR_TEXT_SIZE},
        RefusalRow{"WhisperOver65000Bytes",
                   [](velmor_client* c) {
                     return velmor_whisper(c, "Bob", std::string(65001, 'a').c_str());
                   },
                   VELMOR_ERR_TEXT_SIZE},
        RefusalRow{"NullText", [](velmor_client* c) { return velmor_room_chat(c, nullptr); },
                   VELMOR_ERR_ARGUMENT},
        RefusalRow{
            "SecondConnect",
            [](velmor_client* c) { return velmor_client_connect(c, "127.0.0.1", 1, nullptr); },
            VELMOR_ERR_STATE}),
    [](const auto& info) { return std::string(info.param.name); });

struct EndRow {
  const char* name;
  std::function<void(test::Socket& peer, velmor_client* c)> act;
  std::string disconnected;
};
void PrintTo(const EndRow& row, std::ostream* os) {
  *os << row.name;
}

class ConnectionEnds : public ClientLibrary, public testing::WithParamInterface<EndRow> {};

// What came before the end is delivered first; afterwards requests and the loop say so.
TEST_P(ConnectionEnds, AreReportedOnceWithTheirStatus) {
  ASSERT_TRUE(
      peer.sendAll(frame([](MessageBuilder& b) { b.begin(Code::RoomLine).u8(1).string("last"); })));
  ASSERT_TRUE(await("RoomLine 1 last"));
  GetParam().act(peer, c.get());
  ASSERT_TRUE(await(GetParam().disconnected)) << testing::PrintToString(events);
  EXPECT_EQ(velmor_client_fd(c.get()), -1);
  EXPECT_EQ(velmor_room_chat(c.get(), "hi"), VELMOR_ERR_NOT_CONNECTED);
  EXPECT_EQ(velmor_client_process(c.get(), 0), VELMOR_ERR_NOT_CONNECTED);
  velmor_event e;
  EXPECT_EQ(velmor_client_next_event(c.get(), &e), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConnectionEnds,
    testing::Values(EndRow{"ServerCloses", [](test::Socket& peer, velmor_client*) { peer.close(); },
                           "Disconnected closed by the server"},
                    EndRow{"ClientCloses",
                           [](test::Socket&, velmor_client* c) { velmor_client_close(c); },
                           "Disconnected ok"}),
    [](const auto& info) { return std::string(info.param.name); });

// A frame the codec cannot read is skipped with an Error event; the next one is read.
TEST_F(ClientLibrary, UndecodableFrameIsSkippedAndTheConnectionGoesOn) {
  ASSERT_TRUE(peer.sendAll(std::string("\x01\x00\x02", 3) + frame([](MessageBuilder& b) {
                             b.begin(Code::RoomLine).u8(2).string("next");
                           })));
  ASSERT_TRUE(await("RoomLine 2 next")) << testing::PrintToString(events);
  EXPECT_EQ(events, (std::vector<std::string>{"Connected", "Error frame did not decode",
                                              "RoomLine 2 next"}));
}

TEST(ClientLibraryConnect, NothingListeningEndsInAConnectError) {
  Handle c{velmor_client_create(), velmor_client_destroy};
  EXPECT_EQ(velmor_room_chat(c.get(), "early"), VELMOR_ERR_NOT_CONNECTED);
  // The refusal may come at once (the return value says it) or later (the loop does).
  velmor_status status = velmor_client_connect(c.get(), "127.0.0.1", test::freePort(), nullptr);
  if (status == VELMOR_OK) {
    EXPECT_TRUE(test::eventually(
        [&] { return (status = velmor_client_process(c.get(), 10)) != VELMOR_OK; }));
    velmor_event e;
    ASSERT_EQ(velmor_client_next_event(c.get(), &e), 1);
    EXPECT_EQ(e.type, VELMOR_EVENT_DISCONNECTED);
  }
  EXPECT_EQ(status, VELMOR_ERR_CONNECT) << velmor_client_last_error(c.get());
  EXPECT_EQ(velmor_client_version(), static_cast<std::uint32_t>(VELMOR_CLIENT_VERSION));
}

}  // namespace
}  // namespace velmor
