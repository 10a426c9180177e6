// A real browser (headless Chromium over WebDriver) plays on the WebSocket port, plain and
// over TLS: it logs in as a guest, enters a chat room and trades a line with a native client.
#include <gtest/gtest.h>

#include <chrono>

#include "support/Eventually.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/TransportTest.h"
#include "support/WebDriver.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using wire::ServerCode;

class Browser : public test::TransportTest, public testing::WithParamInterface<bool> {};

TEST_P(Browser, TradesChatLinesWithANativeClient) {
  VELMOR_REQUIRE(test::commandExists("chromedriver") && test::commandExists("chromium"),
                 "needs Debian's chromium and chromium-driver");
  startDoors(GetParam(), test::roomsSetting({{"Lobby"}}));
  auto native = guest("Native");
  enter(*native, "Lobby");
  test::WebDriver browser;
  ASSERT_TRUE(browser.ready());
  ASSERT_TRUE(browser.open("file://" VELMOR_WS_CHAT_PAGE "?url=" + wsUrl() +
                           "&name=Webby&room=Lobby&say=from-browser&hear=from-native"));

  const auto line = native->waitFor(ServerCode::RoomLine, 20s);
  ASSERT_TRUE(line) << browser.evaluate("return document.title");
  EXPECT_EQ(line->text(0), "from-browser");
  native->request([](RequestWriter& w) { w.roomChat("from-native"); });
  EXPECT_TRUE(
      test::eventually([&] { return browser.evaluate("return document.title") == "heard"; }, 10s))
      << browser.evaluate("return document.title");
}

INSTANTIATE_TEST_SUITE_P(Doors, Browser, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "wss" : "ws"; });

}  // namespace
}  // namespace velmor
