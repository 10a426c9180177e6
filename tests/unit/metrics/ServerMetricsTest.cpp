// The server's figures as a scrape shows them, kept by a real server (in this process) that
// real clients use over loopback sockets.
#include "metrics/ServerMetrics.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/FixedText.h"
#include "base/Version.h"
#include "client/LoginProof.h"
#include "metrics/ProcessFigures.h"
#include "model/RoomRecord.h"
#include "support/HttpClient.h"
#include "support/InProcessServer.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using test::Samples;
using test::samplesOf;
using wire::ServerCode;

std::string login(const char* kind, const char* result) {
  return std::string("velmor_logins_total{kind=\"") + kind + "\",result=\"" + result + "\"}";
}

class ServerMetricsTest : public testing::Test {
 protected:
  ServerMetricsTest()
      : server([](Settings& s) {
          s.serverpassword = "door";
          s.rooms.push_back(RoomConfig{false, "Lobby", "", "lead", 0, true, true});
        }) {}

  std::unique_ptr<test::TestClient> connect(int sourceHost = 0) {
    return std::make_unique<test::TestClient>(server.port(), sourceHost,
                                              [this] { uv_run(server.loop(), UV_RUN_NOWAIT); });
  }
  std::unique_ptr<test::TestClient> guest(const char* name) {
    auto client = connect();
    EXPECT_TRUE(client->loginAsGuest(name, "door")) << name;
    return client;
  }
  Samples scrape(ExpositionFormat format = ExpositionFormat::Text) {
    return samplesOf(renderServerMetrics(server.server(), descriptors, format));
  }
  double value(const std::string& series) {
    const Samples samples = scrape();
    const auto found = samples.find(series);
    EXPECT_NE(found, samples.end()) << series << " is not in the scrape";
    return found == samples.end() ? -1 : found->second;
  }
  // Turns the server's loop until the series shows the value.
  bool shows(const std::string& series, double expected) {
    return server.pumpUntil([&] { return value(series) == expected; }, 5s);
  }

  test::InProcessServer server;
  DescriptorListing descriptors;
};

TEST_F(ServerMetricsTest, EveryFigureIsThereFromTheStart) {
  ASSERT_TRUE(shows("velmor_rooms_stored", 1)) << "no tick copied the stored rooms";
  const Samples s = scrape();
  const std::map<std::string, double> exactly{
      {"velmor_users_online", 0},
      {"velmor_users_waiting_for_admission", 0},
      {"velmor_connections_open", 0},
      {"velmor_rooms_live", 1},
      {"velmor_room_members", 0},
      {"velmor_channel_followers", 0},
      {"velmor_listening", 1},
      {"velmor_sent_packets_total", 0},
      {"velmor_received_packets_total", 0},
      {"velmor_sent_bytes_total", 0},
      {"velmor_received_bytes_total", 0},
      {"velmor_output_waiting_bytes", 0},
      {"velmor_slow_readers_closed_total", 0},
      {"velmor_connections_accepted_total", 0},
      {"velmor_connections_refused_total{reason=\"rate_limit\"}", 0},
      {"velmor_connections_refused_total{reason=\"ban\"}", 0},
      {login("guest", "admitted"), 0},
      {login("guest", "name_in_use"), 0},
      {login("guest", "banned"), 0},
      {login("member", "admitted"), 0},
      {login("member", "banned"), 0},
      {login("member", "wrong_password"), 0},
      {login("unknown", "version_rejected"), 0},
      {login("unknown", "banned"), 0},
      {login("unknown", "invalid_name"), 0},
      {login("unknown", "server_password_wrong"), 0},
      {"velmor_registrations_total{result=\"stored\"}", 0},
      {"velmor_registrations_total{result=\"refused\"}", 0},
      {"velmor_chat_lines_relayed_total", 0},
      {"velmor_expired_rooms_deleted_total", 0},
      {"velmor_expired_rooms_to_delete", 0},
      {"velmor_server_bans", 0},
      {"velmor_queries_posted_total{kind=\"account_lookup\"}", 0},
      {"velmor_queries_completed_total{kind=\"file_change\"}", 0},
      {"velmor_query_queue_depth", 0},
      {"velmor_storage_waiting_queries", 0},
      {"velmor_storage_waiting_oldest_age_seconds", 0},
      {"velmor_storage_held_change_bytes", 0},
      {std::string("velmor_build_info{version=\"") + kServerVersion + "\"}", 1},
  };
  for (const auto& [series, expected] : exactly) {
    const auto found = s.find(series);
    ASSERT_NE(found, s.end()) << series;
    EXPECT_EQ(found->second, expected) << series;
  }
  for (const char* positive :
       {"velmor_tick_duration_seconds_count", "process_cpu_seconds_total",
        "process_resident_memory_bytes", "process_virtual_memory_bytes", "process_open_fds",
        "process_max_fds", "process_start_time_seconds"}) {
    ASSERT_TRUE(s.count(positive)) << positive;
    EXPECT_GT(s.at(positive), 0) << positive;
  }
  for (const char* present : {"velmor_uptime_seconds", "velmor_tick_longest_seconds",
                              "velmor_tick_duration_seconds_bucket{le=\"0.02\"}",
                              "velmor_query_batch_duration_seconds_count"}) {
    EXPECT_TRUE(s.count(present)) << present;
  }
  EXPECT_EQ(s.at("velmor_tick_duration_seconds_bucket{le=\"+Inf\"}"),
            s.at("velmor_tick_duration_seconds_count"));
  EXPECT_NEAR(s.at("process_start_time_seconds"), static_cast<double>(std::time(nullptr)), 600);
}

// The same figures in OpenMetrics: families named without their samples' suffixes, the
// version as an info, units said, and the end marked.
TEST_F(ServerMetricsTest, OpenMetricsBodyNamesFamiliesAsOpenMetricsDoes) {
  const std::string body =
      renderServerMetrics(server.server(), descriptors, ExpositionFormat::OpenMetrics);
  for (const char* line :
       {"# TYPE velmor_logins counter\n", "# TYPE velmor_build info\n",
        "# TYPE velmor_tick_duration_seconds histogram\n",
        "# UNIT velmor_tick_duration_seconds seconds\n", "# UNIT velmor_sent_bytes bytes\n",
        "# TYPE process_cpu_seconds counter\n",
        "velmor_tick_duration_seconds_bucket{le=\"1.0\"} "}) {
    EXPECT_NE(body.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(body.find("_total counter"), std::string::npos);
  ASSERT_GE(body.size(), 6u);
  EXPECT_EQ(body.substr(body.size() - 6), "# EOF\n");
  const Samples open = samplesOf(body);
  const Samples text = scrape();
  EXPECT_EQ(open.size(), text.size()) << "the two formats hold different samples";
}

// Every way a login ends counts once, under its kind and result, and in nothing else.
TEST_F(ServerMetricsTest, LoginsAreCountedByKindAndResult) {
  struct Case {
    const char* what;
    std::function<void()> attempt;
    std::map<std::string, double> grew;
  };
  std::vector<std::unique_ptr<test::TestClient>> kept;  // online until the test ends
  const auto refusedAtLogin = [&](client::LoginFields fields, std::optional<ServerCode> answer) {
    auto client = connect();
    client->request([&](RequestWriter& w) { w.login(fields); });
    if (answer) {
      EXPECT_TRUE(client->waitFor(*answer));
    }
    kept.push_back(std::move(client));
  };
  BanEntry ban;
  copyText(ban.name, "Mallory");
  server.core().serverBans.add(ban);
  const std::vector<Case> cases{
      {"a guest", [&] { kept.push_back(guest("Guesty")); }, {{login("guest", "admitted"), 1}}},
      {"a registered guest, then the member",
       [&] {
         auto first = guest("Memo");
         EXPECT_TRUE(first->registerAccount(test::testHash(5)));
         first.reset();
         auto member = connect();
         EXPECT_TRUE(member->loginAsMember("Memo", test::testHash(5), "door"));
         kept.push_back(std::move(member));
       },
       {{login("guest", "admitted"), 1},
        {login("member", "admitted"), 1},
        {"velmor_registrations_total{result=\"stored\"}", 1}}},
      {"a member's wrong password",
       [&] {
         auto member = connect();
         member->request([](RequestWriter& w) { w.login({.name = "Memo", .password = "door"}); });
         const auto challenge = member->waitFor(ServerCode::LoginChallenge);
         ASSERT_TRUE(challenge);
         const client::Hash16 proof = client::loginProof(test::testHash(6), challenge->text(1));
         member->request([&](RequestWriter& w) { w.loginProof(proof); });
         EXPECT_TRUE(member->waitFor(ServerCode::LoginProofRejected));
       },
       {{login("member", "wrong_password"), 1}}},
      {"a guest whose name is online",
       [&] {
         auto twin = connect();
         client::LoginFields fields;
         fields.name = "Guesty";
         fields.password = "door";
         twin->request([&](RequestWriter& w) { w.login(fields); });
         EXPECT_TRUE(twin->waitFor(ServerCode::NameInUse));
       },
       {{login("guest", "name_in_use"), 1}}},
      {"a wrong server password",
       [&] {
         refusedAtLogin({.name = "Nopass", .password = "wall"}, ServerCode::ServerPasswordWrong);
       },
       {{login("unknown", "server_password_wrong"), 1}}},
      {"an old client",
       [&] {
         refusedAtLogin({.version = 2, .name = "Oldie", .password = "door"},
                        ServerCode::VersionRejected);
       },
       {{login("unknown", "version_rejected"), 1}}},
      {"a banned name",
       [&] { refusedAtLogin({.name = "mallory", .password = "door"}, ServerCode::Banned); },
       {{login("unknown", "banned"), 1}}},
      {"a name against the rule",
       [&] { refusedAtLogin({.name = "9lives", .password = "door"}, std::nullopt); },
       {{login("unknown", "invalid_name"), 1}}},
  };
  for (const Case& c : cases) {
    const Samples before = scrape();
    c.attempt();
    std::map<std::string, double> expected;
    for (const auto& [series, was] : before) {
      if (series.rfind("velmor_logins_total", 0) != 0 &&
          series.rfind("velmor_registrations_total", 0) != 0)
        continue;
      const auto grew = c.grew.find(series);
      expected[series] = was + (grew == c.grew.end() ? 0 : grew->second);
    }
    const auto countsNow = [&] {
      const Samples now = scrape();
      for (const auto& [series, want] : expected) {
        if (now.at(series) != want) return false;
      }
      return true;
    };
    EXPECT_TRUE(server.pumpUntil(countsNow, 5s)) << c.what;
    const Samples now = scrape();
    for (const auto& [series, want] : expected) EXPECT_EQ(now.at(series), want) << c.what;
  }
}

// A finished login waits for the next tick to be admitted: the figure shows it waiting, and
// a ban that came meanwhile ends it at admission.
TEST_F(ServerMetricsTest, LoginWaitingForAdmissionAndBannedThere) {
  server.server().holdTicks();
  auto client = connect();
  client::LoginFields fields;
  fields.name = "Latecomer";
  fields.password = "door";
  client->request([&](RequestWriter& w) { w.login(fields); });
  ASSERT_TRUE(client->waitFor(ServerCode::GuestWelcome));
  EXPECT_EQ(value("velmor_users_waiting_for_admission"), 1);
  EXPECT_EQ(value("velmor_users_online"), 0);
  BanEntry ban;
  copyText(ban.name, "Latecomer");
  server.core().serverBans.add(ban);
  server.core().tick();
  EXPECT_TRUE(client->waitFor(ServerCode::Banned));
  EXPECT_EQ(value("velmor_users_waiting_for_admission"), 0);
  EXPECT_EQ(value(login("guest", "banned")), 1);
  EXPECT_EQ(value(login("guest", "admitted")), 0);
}

TEST_F(ServerMetricsTest, UsersMembersFollowersAndChatFollowWhatTheyDo) {
  auto ada = guest("Ada");
  auto bob = guest("Bob");
  EXPECT_EQ(value("velmor_users_online"), 2);
  EXPECT_EQ(value("velmor_connections_open"), 2);
  ada->request([](RequestWriter& w) { w.enterRoom("Lobby", ""); });
  ASSERT_TRUE(ada->waitFor(ServerCode::RoomState));
  bob->request([](RequestWriter& w) { w.joinChannel("Lobby", ""); });
  ASSERT_TRUE(bob->waitFor(ServerCode::ChannelJoined));
  EXPECT_EQ(value("velmor_room_members"), 1);
  EXPECT_EQ(value("velmor_channel_followers"), 1);

  const double passes = value("velmor_relay_passes_total");
  ada->request([](RequestWriter& w) { w.roomChat("hello"); });
  EXPECT_TRUE(shows("velmor_chat_lines_relayed_total", 1));
  EXPECT_TRUE(server.pumpUntil([&] { return value("velmor_relay_passes_total") > passes; }));
  const Samples s = scrape();
  EXPECT_EQ(s.at("velmor_sent_bytes_total"),
            static_cast<double>(server.core().traffic.bytesSent.get()));
  EXPECT_EQ(s.at("velmor_received_bytes_total"),
            static_cast<double>(server.core().traffic.bytesReceived.get()));
  EXPECT_GT(s.at("velmor_sent_packets_total"), 0);

  bob->request([](RequestWriter& w) { w.leaveChannel("Lobby"); });
  EXPECT_TRUE(shows("velmor_channel_followers", 0));
  ada->socket().close();  // leaves the room as it goes
  EXPECT_TRUE(shows("velmor_room_members", 0));
  EXPECT_TRUE(shows("velmor_users_online", 1));
  EXPECT_TRUE(shows("velmor_connections_open", 1));
}

TEST_F(ServerMetricsTest, ConnectionsAreCountedAcceptedOrRefusedByReason) {
  std::vector<test::Socket> sockets;
  for (int i = 0; i < 8; ++i) sockets.push_back(test::connectTo(server.port(), 201));
  EXPECT_TRUE(shows("velmor_connections_refused_total{reason=\"rate_limit\"}", 1));
  EXPECT_TRUE(shows("velmor_connections_accepted_total", 7));
  BanEntry subnet;
  copyText(subnet.name, "Mallory");
  inet_pton(AF_INET, "127.0.9.0", &subnet.address);
  inet_pton(AF_INET, "255.255.255.0", &subnet.mask);
  server.core().serverBans.add(subnet);
  EXPECT_EQ(value("velmor_server_bans"), 1);
  sockets.push_back(test::connectTo(server.port(), (9 << 8) | 7));  // 127.0.9.7
  EXPECT_TRUE(shows("velmor_connections_refused_total{reason=\"ban\"}", 1));
  EXPECT_EQ(value("velmor_connections_accepted_total"), 7);
}

TEST_F(ServerMetricsTest, QueriesAreCountedByKindWhenPostedAndCompleted) {
  const std::string posted = "velmor_queries_posted_total{kind=\"account_lookup\"}";
  const std::string completed = "velmor_queries_completed_total{kind=\"account_lookup\"}";
  auto client = connect();  // stays: a lookup whose poster went is cancelled, not completed
  {
    std::lock_guard<std::mutex> hold(server.core().pipeline().queryLock());
    client::LoginFields fields;
    fields.name = "Waits";
    fields.password = "door";
    client->request([&](RequestWriter& w) { w.login(fields); });
    EXPECT_TRUE(shows(posted, 1));
    EXPECT_EQ(value("velmor_query_queue_depth"), 1);
    EXPECT_EQ(value(completed), 0);
  }
  auto guesty = guest("Guesty");
  EXPECT_TRUE(shows(completed, 2));
  EXPECT_EQ(value(posted), 2);
  EXPECT_EQ(value("velmor_query_queue_depth"), 0);
  EXPECT_GE(value("velmor_query_batch_duration_seconds_count"), 1);
  ASSERT_TRUE(guesty->registerAccount(test::testHash(1)));
  EXPECT_TRUE(shows("velmor_queries_completed_total{kind=\"account_registration\"}", 1));
}

// An expired stored room deleted by the sweep counts once its deletion is done.
TEST(ServerMetrics, ExpiredRoomDeletedIsCounted) {
  ManualClock clock{0, static_cast<std::uint32_t>(std::time(nullptr))};  // outlives the server
  test::InProcessServer server;
  DescriptorListing descriptors;
  server.server().holdTicks();
  clock.setLoopMs(uv_now(server.loop()));
  server.core().clock.use(clock);
  server.core().tick();
  RoomRecord old = makeRoomRecord("Forgotten", "x", "", "l", 64, false, false);
  old.lastAccessed = clock.wallSeconds() - server.core().settings.limits.roomExpiryTime - 1;
  server.core().rooms.addStored(old);
  clock.advanceMs(5001);  // the next sweep is due
  server.core().tick();
  const auto deleted = [&] {
    return samplesOf(renderServerMetrics(server.server(), descriptors, ExpositionFormat::Text))
               .at("velmor_expired_rooms_deleted_total") == 1;
  };
  EXPECT_TRUE(server.pumpUntil(deleted, 5s));
  server.core().tick();
  const Samples s =
      samplesOf(renderServerMetrics(server.server(), descriptors, ExpositionFormat::Text));
  EXPECT_EQ(s.at("velmor_expired_rooms_to_delete"), 0);
  EXPECT_EQ(s.at("velmor_rooms_stored"), 0);
}

}  // namespace
}  // namespace velmor
