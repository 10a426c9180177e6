#include "settings/Settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "support/TempDir.h"

namespace velmor {
namespace {

struct Case {
  const char* name;
  const char* json;
  std::function<void(const Settings&)> check;
  const char* said = "";  // on the console
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class SettingsRules : public testing::TestWithParam<Case> {};

TEST_P(SettingsRules, LoadsAsTheRuleSays) {
  Settings settings("/nowhere/");
  testing::internal::CaptureStdout();
  settings.loadFromText(GetParam().json);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().said);
  GetParam().check(settings);
}

void expectDefaults(const Settings& s) {
  EXPECT_EQ(s.chatroommaxusers, 64u);
  EXPECT_EQ(s.navroommaxusers, 32u);
  EXPECT_EQ(s.roomUpdateInterval, 50u);
  EXPECT_EQ(s.enemyupdateinterval, 500u);
  EXPECT_EQ(s.roomidletime, 600u);
  EXPECT_EQ(s.roomExpiryTime, 604800u);
  EXPECT_EQ(s.serverport, 7175u);
  EXPECT_FALSE(s.userscancreateroom);
  EXPECT_TRUE(s.useupnp);
  EXPECT_EQ(s.servername, "VelmorServer");
  EXPECT_EQ(s.adminpassword, "");
  EXPECT_EQ(s.serverpassword, "");
  EXPECT_EQ(s.publicAddressText.rfind("Unknown. You can check at: ", 0), 0u);
  EXPECT_GT(s.publicAddressText.size(), std::string("Unknown. You can check at: ").size());
  EXPECT_EQ(s.lanAddressText, "Unknown. You can check using ipconfig/ifconfig");
  EXPECT_TRUE(s.rooms.empty());
  EXPECT_EQ(s.metricsport, 0u);
  EXPECT_EQ(s.metricsaddress, "127.0.0.1");
}

const Case kCases[] = {
    {"EmptyObject", "{}", expectDefaults},
    {"SyntaxErrorKeepsEverythingBeforeItToo",
     R"({"serverport": 9000, "servername": "X", "useupnp": false,})", expectDefaults},
    {"ByteOrderMarkDoesNotParse", "\xEF\xBB\xBF{\"serverport\": 9000}", expectDefaults},
    {"RootArrayIgnored", "[1, 2]", expectDefaults},
    {"TwoRootValuesDoNotParse", R"({"serverport": 9000} {})", expectDefaults},
    {"CommentsDoNotParse", "{\"serverport\": 9000 // port\n}", expectDefaults},
    {"EveryKey",
     R"({"chatroommaxusers": 100, "navroommaxusers": 50, "enemyupdateinterval": 250,
         "roomidletime": 30, "serverport": 8000, "userscancreateroom": true, "useupnp": false,
         "servername": "Name", "adminpassword": "a", "serverpassword": "s"})",
     [](const Settings& s) {
       EXPECT_EQ(s.chatroommaxusers, 100u);
       EXPECT_EQ(s.navroommaxusers, 50u);
       EXPECT_EQ(s.enemyupdateinterval, 250u);
       EXPECT_EQ(s.roomidletime, 30u);
       EXPECT_EQ(s.serverport, 8000u);
       EXPECT_TRUE(s.userscancreateroom);
       EXPECT_FALSE(s.useupnp);
       EXPECT_EQ(s.servername, "Name");
       EXPECT_EQ(s.adminpassword, "a");
       EXPECT_EQ(s.serverpassword, "s");
     }},
    {"OperatorKeys",
     R"({"bindaddress": "127.0.0.2", "maxpendingoutput": 1000, "maxtotalpendingoutput": 5000,
         "busytimeout": 250, "logintimeout": 0, "keepalive": 7})",
     [](const Settings& s) {
       EXPECT_EQ(s.bindaddress, "127.0.0.2");
       EXPECT_EQ(s.maxpendingoutput, 1000u);
       EXPECT_EQ(s.maxtotalpendingoutput, 5000u);
       EXPECT_EQ(s.busytimeout, 250u);
       EXPECT_EQ(s.logintimeout, 0u);
       EXPECT_EQ(s.keepalive, 7u);
     }},
    {"MetricsKeys", R"({"MetricsPort": 9464, "metricsaddress": "127.0.0.2"})",
     [](const Settings& s) {
       EXPECT_EQ(s.metricsport, 9464u);
       EXPECT_EQ(s.metricsaddress, "127.0.0.2");
     }},
    {"MetricsPortHighestTaken", R"({"metricsport": 65535})",
     [](const Settings& s) { EXPECT_EQ(s.metricsport, 65535u); }},
    {"MetricsPortAboveLimitTurnsItOff", R"({"metricsport": 9464, "metricsport": 65536})",
     [](const Settings& s) { EXPECT_EQ(s.metricsport, 0u); }},
    {"NegativeMetricsPortTurnsItOff", R"({"metricsport": -1})",
     [](const Settings& s) { EXPECT_EQ(s.metricsport, 0u); }},
    {"MetricsWrongTypesKeepEarlierValues",
     R"({"metricsport": 9464, "metricsport": "9465", "metricsaddress": 127})",
     [](const Settings& s) {
       EXPECT_EQ(s.metricsport, 9464u);
       EXPECT_EQ(s.metricsaddress, "127.0.0.1");
     }},
    {"MetricsPortOnTheGamePortTookTheGameDown", R"({"metricsport": 9464, "serverport": 9464})",
     [](const Settings& s) {
       EXPECT_EQ(s.serverport, 9464u);
       EXPECT_EQ(s.metricsport, 0u);
     },
     "The metrics endpoint cannot listen on the game's port 9464; the server runs without it.\n"},
    {"DoorKeys",
     R"({"websocketport": 7176, "tlsport": 7177, "tlscertificate": "c.pem", "tlskey": "/k.pem",
         "trustedproxies": ["10.0.0.1", 5, "10.1.0.0/16"], "websocketorigins": ["https://g"],
         "webroot": "../web"})",
     [](const Settings& s) {
       EXPECT_EQ(s.websocketport, 7176u);
       EXPECT_EQ(s.tlsport, 7177u);
       EXPECT_EQ(s.certificatePath(s.tlscertificate), s.applicationDirectory + "c.pem");
       EXPECT_EQ(s.certificatePath(s.tlskey), "/k.pem");
       EXPECT_EQ(s.trustedproxies, (std::vector<std::string>{"10.0.0.1", "10.1.0.0/16"}));
       EXPECT_EQ(s.websocketorigins, std::vector<std::string>{"https://g"});
       EXPECT_EQ(s.certificatePath(s.webroot), s.applicationDirectory + "../web");
     }},
    {"DoorOnATakenPortStaysOff", R"({"websocketport": 7175, "tlsport": 9000, "metricsport": 9000})",
     [](const Settings& s) {
       EXPECT_EQ(s.websocketport, 0u);
       EXPECT_EQ(s.tlsport, 0u);
     },
     "The websocketport 7175 is taken by another of the server's ports; it stays off.\n"
     "The tlsport 9000 is taken by another of the server's ports; it stays off.\n"},
    {"DoorPortAboveLimitTurnsItOff", R"({"websocketport": 65536})",
     [](const Settings& s) { EXPECT_EQ(s.websocketport, 0u); }},
    {"MetricsPortOnTheDefaultGamePort", R"({"metricsport": 7175})",
     [](const Settings& s) { EXPECT_EQ(s.metricsport, 0u); },
     "The metrics endpoint cannot listen on the game's port 7175; the server runs without it.\n"},
    {"FixedValuesAreNotKeys", R"({"roomupdateinterval": 5, "roomexpirytime": 5})", expectDefaults},
    {"KeysInAnyCase", R"({"UseUPnP": false, "ServerPort": 9001, "SERVERNAME": "Up"})",
     [](const Settings& s) {
       EXPECT_FALSE(s.useupnp);
       EXPECT_EQ(s.serverport, 9001u);
       EXPECT_EQ(s.servername, "Up");
     }},
    {"LaterDuplicateWins", R"({"serverport": 1000, "serverport": 2000})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 2000u); }},
    {"WrongTypeKeepsEarlierValue", R"({"serverport": 1000, "serverport": "2000"})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 1000u); }},
    {"PortAboveLimit", R"({"serverport": 70000})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 65535u); }},
    {"PortExactlyLimit", R"({"serverport": 65535})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 65535u); }},
    {"PortJustBelowLimit", R"({"serverport": 65534})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 65534u); }},
    {"NegativePort", R"({"serverport": -1})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 65535u); }},
    {"PortAsString", R"({"serverport": "8000"})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 7175u); }},
    {"KeepAliveBeyondWhatTheSystemTakesIsLowered", R"({"keepalive": 2147484})",
     [](const Settings& s) { EXPECT_EQ(s.keepalive, Settings::kMaxKeepAlive); },
     "Setting keepalive 2147484 is more than the system accepts: 32767 seconds are used.\n"},
    {"RoomLimitsCapped", R"({"navroommaxusers": 20000, "chatroommaxusers": 10000})",
     [](const Settings& s) {
       EXPECT_EQ(s.navroommaxusers, 10000u);
       EXPECT_EQ(s.chatroommaxusers, 10000u);
     }},
    {"NegativeRoomLimitBecomesCap", R"({"chatroommaxusers": -5})",
     [](const Settings& s) { EXPECT_EQ(s.chatroommaxusers, 10000u); }},
    {"NegativeIdleTimeWraps", R"({"roomidletime": -1, "enemyupdateinterval": -2})",
     [](const Settings& s) {
       EXPECT_EQ(s.roomidletime, 4294967295u);
       EXPECT_EQ(s.enemyupdateinterval, 4294967294u);
     }},
    {"LargestUnsigned32Taken", R"({"roomidletime": 4294967295})",
     [](const Settings& s) { EXPECT_EQ(s.roomidletime, 4294967295u); }},
    {"BeyondThirtyTwoBitsIgnored", R"({"roomidletime": 4294967296, "serverport": -2147483649})",
     [](const Settings& s) {
       EXPECT_EQ(s.roomidletime, 600u);
       EXPECT_EQ(s.serverport, 7175u);
     }},
    {"FractionIgnored", R"({"serverport": 8000.5, "roomidletime": 30.0})",
     [](const Settings& s) {
       EXPECT_EQ(s.serverport, 7175u);
       EXPECT_EQ(s.roomidletime, 600u);
     }},
    {"ExponentIgnored", R"({"chatroommaxusers": 1e2})",
     [](const Settings& s) { EXPECT_EQ(s.chatroommaxusers, 64u); }},
    {"UseUpnpAsNumberIgnored", R"({"useupnp": 0, "userscancreateroom": 1})",
     [](const Settings& s) {
       EXPECT_TRUE(s.useupnp);
       EXPECT_FALSE(s.userscancreateroom);
     }},
    {"TextsCopiedWhole",
     R"({"servername": "A name far longer than sixty-four characters, kept whole in the record itself", "adminpassword": "x\u0000y"})",
     [](const Settings& s) {
       EXPECT_EQ(s.servername,
                 "A name far longer than sixty-four characters, kept whole in the record itself");
       EXPECT_EQ(s.adminpassword, std::string("x\0y", 3));
     }},
    {"UnknownKeysIgnored", R"({"colour": "blue", "serverport": 8100})",
     [](const Settings& s) { EXPECT_EQ(s.serverport, 8100u); }},
    {"FullRoom",
     R"({"rooms": [{"Type": "chat", "NAME": "Lobby", "password": "p", "leaderPassword": "l",
                    "maxusers": 12, "LoadAtStartup": true, "neversleeps": true}]})",
     [](const Settings& s) {
       ASSERT_EQ(s.rooms.size(), 1u);
       const RoomConfig& r = s.rooms[0];
       EXPECT_FALSE(r.navigation);
       EXPECT_EQ(r.name, "Lobby");
       EXPECT_EQ(r.password, "p");
       EXPECT_EQ(r.leaderpassword, "l");
       EXPECT_EQ(r.maxusers, 12u);
       EXPECT_TRUE(r.loadatstartup);
       EXPECT_TRUE(r.neversleeps);
     }},
    {"RoomDefaults",
     R"({"rooms": [{"type": "nav", "name": "N", "password": "", "leaderpassword": ""}]})",
     [](const Settings& s) {
       ASSERT_EQ(s.rooms.size(), 1u);
       const RoomConfig& r = s.rooms[0];
       EXPECT_TRUE(r.navigation);
       EXPECT_EQ(r.maxusers, 0u);
       EXPECT_FALSE(r.loadatstartup);
       EXPECT_FALSE(r.neversleeps);
     }},
    {"TypeChatIsCaseSensitive",
     R"({"rooms": [{"type": "Chat", "name": "N", "password": "", "leaderpassword": ""}]})",
     [](const Settings& s) {
       ASSERT_EQ(s.rooms.size(), 1u);
       EXPECT_TRUE(s.rooms[0].navigation);
     }},
    {"RoomWithoutLeaderPasswordDropped",
     R"({"rooms": [{"type": "chat", "name": "N", "password": ""},
                   {"type": "chat", "name": "M", "password": "", "leaderpassword": 5}]})",
     [](const Settings& s) { EXPECT_TRUE(s.rooms.empty()); }},
    {"RepeatedStringKeyCountsAgain",
     R"({"rooms": [{"type": "chat", "name": "A", "name": "B", "password": ""}]})",
     [](const Settings& s) {
       ASSERT_EQ(s.rooms.size(), 1u);
       EXPECT_EQ(s.rooms[0].name, "B");
     }},
    {"FiveStringsDropped",
     R"({"rooms": [{"type": "chat", "name": "A", "name": "B", "password": "", "leaderpassword": ""}]})",
     [](const Settings& s) { EXPECT_TRUE(s.rooms.empty()); }},
    {"RoomMaxUsersRules",
     R"({"rooms": [{"type": "x", "name": "A", "password": "", "leaderpassword": "", "maxusers": 4294967295},
                   {"type": "x", "name": "B", "password": "", "leaderpassword": "", "maxusers": -1},
                   {"type": "x", "name": "C", "password": "", "leaderpassword": "", "maxusers": 2.5}]})",
     [](const Settings& s) {
       ASSERT_EQ(s.rooms.size(), 3u);
       EXPECT_EQ(s.rooms[0].maxusers, 4294967295u);
       EXPECT_EQ(s.rooms[1].maxusers, 0u);
       EXPECT_EQ(s.rooms[2].maxusers, 0u);
     }},
    {"NonObjectRoomElementsSkippedAndSecondListAppends",
     R"({"rooms": [1, "x", {"type": "chat", "name": "A", "password": "", "leaderpassword": ""}],
         "rooms": [{"type": "chat", "name": "B", "password": "", "leaderpassword": ""}],
         "rooms": {"type": "chat"}})",
     [](const Settings& s) {
       ASSERT_EQ(s.rooms.size(), 2u);
       EXPECT_EQ(s.rooms[0].name, "A");
       EXPECT_EQ(s.rooms[1].name, "B");
     }},
};

INSTANTIATE_TEST_SUITE_P(All, SettingsRules, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(SettingsFile, MissingFileKeepsDefaults) {
  test::TempDir dir;
  Settings settings(dir.path());
  settings.load();
  expectDefaults(settings);
}

TEST(SettingsFile, ReadsFileFromApplicationDirectory) {
  test::TempDir dir;
  dir.write("velmorserv.json", R"({"serverport": 7300, "useupnp": false})");
  Settings settings(dir.path());
  settings.load();
  EXPECT_EQ(settings.serverport, 7300u);
  EXPECT_FALSE(settings.useupnp);
}

TEST(SettingsFile, UnreadableFileKeepsDefaults) {
  test::TempDir dir;
  // A directory in place of the file cannot be read as one.
  ASSERT_EQ(::mkdir(dir.file("velmorserv.json").c_str(), 0755), 0);
  Settings settings(dir.path());
  settings.load();
  expectDefaults(settings);
}

TEST(SettingsFile, ConstructorFindsExecutableDirectory) {
  Settings settings;
  ASSERT_FALSE(settings.applicationDirectory.empty());
  EXPECT_EQ(settings.applicationDirectory.back(), '/');
}

TEST(ApplicationDirectory, KeepsUpToLastSeparator) {
  EXPECT_EQ(directoryOfPath("/a/b/velmorserver"), "/a/b/");
  EXPECT_EQ(directoryOfPath("/velmorserver"), "/");
  EXPECT_EQ(directoryOfPath("velmorserver"), std::nullopt);
  EXPECT_EQ(directoryOfPath(""), std::nullopt);
}

}  // namespace
}  // namespace velmor
