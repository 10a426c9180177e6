// velmor-load, the load generator, run as a process against the real server through each of
// its doors: its clients log in, enter a chat room and hear one another's lines, for longer
// than the login deadline (which closes only those who never finish their handshakes or
// their login).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TransportTest.h"

#ifndef VELMOR_LOAD_EXE
#define VELMOR_LOAD_EXE ""
#endif

namespace velmor {
namespace {

using namespace std::chrono_literals;
using LoadToolTest = test::TransportTest;

// A figure of velmor-load's JSON ("key": number); -1 when it is not there.
double figure(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return -1;
  return std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

TEST_F(LoadToolTest, ChatThroughEveryDoorOutlastsTheLoginDeadlineAndDeliversEveryLine) {
  const struct {
    const char* transport;
    bool secure;  // the server has a certificate and a TLS door: its WebSocket door is wss
  } cases[] = {{"tcp", false}, {"ws", false}, {"wss", true}, {"tls", true}};
  int sourceNet = 201;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.transport);
    startDoors(c.secure, R"("logintimeout": 2,)" + test::roomsSetting({{"LoadChat"}}));
    const std::string transport = c.transport;
    const std::uint16_t port = transport == "tcp"   ? server->port()
                               : transport == "tls" ? tlsPort
                                                    : wsPort;

    test::TempDir dir;
    test::ChildProcess load(
        {VELMOR_LOAD_EXE, "chat", "--members", "3", "--senders", "3", "--rate", "6", "--duration",
         "3", "--transport", transport, "--port", std::to_string(port), "--source-net",
         std::to_string(sourceNet++), "--json", dir.file("figures.json")},
        dir.file("out"), dir.file("err"));
    ASSERT_EQ(load.waitExit(60s), 0) << dir.read("err") << server->output();
    const std::string json = dir.read("figures.json");
    const double sent = figure(json, "lines_sent");
    EXPECT_GE(sent, 6) << json;
    // Every line reaches the three members, but for the last ones still on their way.
    EXPECT_GE(figure(json, "delivered"), 3 * (sent - 3)) << json;
    EXPECT_EQ(figure(json, "lines_refused_by_limit"), 0) << json;
    EXPECT_EQ(figure(json, "disconnects"), 0) << json;
    EXPECT_EQ(figure(json, "connection_failures"), 0) << json;
    EXPECT_NE(json.find("\"transport\": \"" + transport + "\""), std::string::npos) << json;
  }
}

}  // namespace
}  // namespace velmor
