// Real browsers (headless Chromium over WebDriver) play the web client of web/, served by the
// server itself on its WebSocket port under its Content-Security-Policy: they log in, meet a
// native client in a room, chat, whisper, follow a room as a channel, and show the server's
// refusals.
//
// Every browser connects from 127.0.0.1, and the server admits seven connections from an
// address in ten seconds: a page load takes two (Chromium fetches the page's files over two
// kept-alive connections) and each login one more, so a test keeps to six. Native clients come
// from addresses of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "client/LoginProof.h"
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

// The page in one browser, driven by its elements' ids. Values go into scripts inside JSON
// strings: no quotes or backslashes in them.
class Page {
 public:
  explicit Page(const std::string& url) {
    EXPECT_TRUE(browser_.ready());
    EXPECT_TRUE(browser_.ready() && browser_.open(url));
  }

  void fill(std::initializer_list<std::pair<const char*, std::string>> fields) {
    std::string script;
    for (const auto& [id, value] : fields) {
      script += "document.getElementById('" + std::string(id) + "').value='" + value + "';";
    }
    browser_.evaluate(script);
  }
  void click(const std::string& id) {
    browser_.evaluate("document.getElementById('" + id + "').click();");
  }
  std::string text(const std::string& id) {
    return browser_.evaluate("return document.getElementById('" + id + "').textContent");
  }
  // Whether the element comes to hold `wanted` within 10 s.
  testing::AssertionResult shows(const std::string& id, const std::string& wanted) {
    if (test::eventually([&] { return text(id).find(wanted) != std::string::npos; }, 10s)) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "#" << id << " never showed '" << wanted << "'; the log: " << text("log");
  }

  void login(const std::string& name, const std::string& button, const std::string& password = "",
             const std::string& serverPassword = "") {
    fill({{"name", name}, {"password", password}, {"server-password", serverPassword}});
    click(button);
  }
  void enter(const std::string& room, const std::string& password = "") {
    fill({{"room-name", room}, {"room-password", password}});
    click("enter-room");
  }

 private:
  test::WebDriver browser_;
};

class Browser : public test::TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    VELMOR_REQUIRE(test::commandExists("chromedriver") && test::commandExists("chromium"),
                   "needs Debian's chromium and chromium-driver");
  }

  void startWithPage(bool withTls, const std::string& more) {
    startDoors(withTls, R"("webroot": ")" VELMOR_WEB_ROOT R"(", )" + more);
  }
  std::string pageUrl() const {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(wsPort) + "/";
  }
};

TEST_F(Browser, TwoPagesAndANativeClientChatWhisperAndFollowARoom) {
  startWithPage(false, test::roomsSetting({{"Lobby"}}));
  auto native = guest("Native");
  enter(*native, "Lobby");
  // Bob has an account whose password hash is MD5 of his password, as the page makes it.
  {
    auto registering = guest("Bob");
    ASSERT_TRUE(registering->registerAccount(client::passwordHashOf("bobs word")));
  }

  Page ann(pageUrl());
  ann.login("Ann", "guest-login");
  ASSERT_TRUE(ann.shows("status", "Online as Ann"));
  Page bob(pageUrl());
  bob.login("Bob", "member-login", "bobs word");
  ASSERT_TRUE(bob.shows("status", "Online as Bob on VelmorServer"));
  EXPECT_TRUE(ann.shows("rooms", "Lobby (1)"));

  ann.enter("Lobby");
  bob.enter("Lobby");
  for (Page* page : {&ann, &bob}) {
    for (const char* name : {"Native", "Ann", "Bob"}) EXPECT_TRUE(page->shows("members", name));
  }
  EXPECT_TRUE(native->waitFor(ServerCode::MemberInfo, 10s));

  ann.fill({{"chat-text", "from-ann"}});
  ann.click("chat-send");
  const auto line = native->waitFor(ServerCode::RoomLine, 10s);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->text(0), "from-ann");
  EXPECT_TRUE(bob.shows("log", "Ann: from-ann"));
  native->request([](RequestWriter& w) { w.roomChat("from-native"); });
  EXPECT_TRUE(ann.shows("log", "Native: from-native"));

  bob.fill({{"whisper-to", "Ann"}, {"whisper-text", "psst"}});
  bob.click("whisper-send");
  EXPECT_TRUE(ann.shows("log", "Whisper from Bob: psst"));
  native->request([](RequestWriter& w) { w.privateMessage("Ann", "in private"); });
  EXPECT_TRUE(ann.shows("log", "Private message from Native: in private"));

  // Bob leaves the room and follows it as a channel: he sees who is in it, and who leaves.
  bob.click("leave-room");
  EXPECT_TRUE(bob.shows("current-room", "no room"));
  bob.fill({{"channel-name", "Lobby"}, {"channel-password", ""}});
  bob.click("join-channel");
  EXPECT_TRUE(bob.shows("channels", "LobbyNativeAnn"));
  native.reset();
  EXPECT_TRUE(bob.shows("log", "Native left Lobby."));
  EXPECT_TRUE(bob.shows("channels", "LobbyAnn"));
  EXPECT_TRUE(ann.shows("log", "Native left."));
}

// Each refusal the server gives, as the page shows it: a row logs in anew on the same page.
struct RefusalRow {
  const char* name;
  std::function<void(Page&)> act;
  const char* shown;  // the page's line
};

TEST_F(Browser, ShowsTheServersRefusals) {
  startWithPage(
      true, R"("serverpassword": "door", )" + test::roomsSetting({{"Lobby"}, {"Vault", "key"}}));
  auto taken = guest("Taken", "door");
  {
    auto registering = guest("Acct", "door");
    ASSERT_TRUE(registering->registerAccount(client::passwordHashOf("right")));
  }
  const RefusalRow rows[] = {
      {"ServerPasswordWrong", [](Page& p) { p.login("Rowan", "guest-login", "", "wrong"); },
       "Wrong server password. (ServerPasswordWrong)"},
      {"LoginProofRejected", [](Page& p) { p.login("Acct", "member-login", "wrong", "door"); },
       "Wrong password for this account. Log in again to retry. (LoginProofRejected)"},
      {"NameInUse", [](Page& p) { p.login("Taken", "guest-login", "", "door"); }, "(NameInUse)"},
      {"WrongRoomPassword",
       [](Page& p) {
         p.login("Rowena", "guest-login", "", "door");
         ASSERT_TRUE(p.shows("status", "Online as Rowena"));
         p.enter("Vault", "nope");
       },
       "Wrong room password. (WrongRoomPassword)"},
  };
  Page page(pageUrl());
  for (const RefusalRow& row : rows) {
    SCOPED_TRACE(row.name);
    row.act(page);
    EXPECT_TRUE(page.shows("log", row.shown));
  }
}

}  // namespace
}  // namespace velmor
