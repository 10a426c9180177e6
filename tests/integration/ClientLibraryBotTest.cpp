// The C library's example bot (sdk/c/examples/bot.c) against the real server, over TCP and
// over TLS (its certificate unchecked, as a test server's self-signed one, or checked against
// it as the trusted one): a native client in the room says a line and hears the bot's answer.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TransportTest.h"

#ifndef VELMOR_BOT_EXE
#define VELMOR_BOT_EXE ""
#endif

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using wire::ServerCode;

struct BotRow {
  const char* name;
  bool tls;
  bool verify;  // the server's certificate checked, with it as the trusted one
};
void PrintTo(const BotRow& row, std::ostream* os) {
  *os << row.name;
}

class ClientLibraryBot : public test::TransportTest, public testing::WithParamInterface<BotRow> {};

TEST_P(ClientLibraryBot, AnswersALineSaidInItsRoom) {
  startDoors(GetParam().tls, test::roomsSetting({{"Lobby"}}));
  auto alice = guest("Alice");
  enter(*alice, "Lobby");

  const std::uint16_t port = GetParam().tls ? tlsPort : server->port();
  std::vector<std::string> command = {
      VELMOR_BOT_EXE, "127.0.0.1", std::to_string(port), "Robo", "Lobby", "1", "20"};
  if (GetParam().tls) command.push_back("tls");
  if (GetParam().verify) command.insert(command.end(), {certificate, "first"});
  test::TempDir out;
  test::ChildProcess bot(command, out.file("bot.out"));
  ASSERT_TRUE(bot.started());

  const auto joined = alice->waitFor(ServerCode::MemberInfo, 10s);
  ASSERT_TRUE(joined) << out.read("bot.out");
  EXPECT_EQ(joined->text(0), "Robo");
  ASSERT_TRUE(alice->request([](RequestWriter& w) { w.roomChat("hello bot"); }));
  bool answered = false;
  while (!answered) {
    const auto line = alice->waitFor(ServerCode::RoomLine, 10s);
    if (!line) break;
    answered = line->text(0) == "bot heard: hello bot";
  }
  EXPECT_TRUE(answered) << out.read("bot.out");
  EXPECT_EQ(bot.waitExit(10s), 0) << out.read("bot.out");
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientLibraryBot,
                         testing::Values(BotRow{"Tcp", false, false}, BotRow{"Tls", true, false},
                                         BotRow{"TlsVerified", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmor
