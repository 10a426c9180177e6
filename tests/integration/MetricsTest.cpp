// The metrics endpoint of the real executable: scraped by Debian's Prometheus and checked by
// its promtool, hammered by a scraper while clients play, and sent what a careless or hostile
// HTTP client sends. Every process is started here and stopped by its pid.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/HttpClient.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/Sockets.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using test::eventually;
using test::Samples;
using test::samplesOf;
using wire::ServerCode;

std::string settingsWithMetrics(std::uint16_t metricsPort, const std::string& more = "") {
  return more + R"("metricsport": )" + std::to_string(metricsPort) + ",";
}

std::string percentEncoded(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The YAML examples of README's "Monitoring with Prometheus", in order: the scrape
// configuration, then the alerting rules.
std::vector<std::string> readmeYaml() {
  std::ifstream readme(VELMOR_README);
  std::vector<std::string> blocks;
  std::string line;
  bool inside = false;
  while (std::getline(readme, line)) {
    if (!inside && line == "```yaml") {
      inside = true;
      blocks.emplace_back();
    } else if (inside && line == "```") {
      inside = false;
    } else if (inside) {
      blocks.back() += line + "\n";
    }
  }
  return blocks;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// A Prometheus of its own, in a temporary folder, listening on 127.0.0.1 only: README's
// scrape configuration pointed at the endpoint, scraping and evaluating every second, with
// README's alerting rules.
class Prometheus {
 public:
  Prometheus(std::uint16_t target, const std::string& scrapeConfig, const std::string& rules)
      : port_(test::freePort()) {
    dir_.write("rules.yml", rules);
    dir_.write("prometheus.yml",
               "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n  - " +
                   dir_.file("rules.yml") + "\n" +
                   replaced(replaced(scrapeConfig, "127.0.0.1:9464",
                                     "127.0.0.1:" + std::to_string(target)),
                            "scrape_interval: 15s", "scrape_interval: 1s"));
    process_ = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"prometheus", "--config.file=" + dir_.file("prometheus.yml"),
                                 "--storage.tsdb.path=" + dir_.file("data"),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                                 "--log.level=warn"},
        dir_.file("prometheus.log"));
  }
  ~Prometheus() { process_.reset(); }  // stopped before its folder goes

  const test::TempDir& dir() const { return dir_; }
  bool running() { return process_->running(); }
  std::string log() const { return dir_.read("prometheus.log"); }

  // GET on its HTTP API, the parsed JSON answer when it succeeded.
  std::optional<rapidjson::Document> api(const std::string& pathAndQuery) const {
    const auto reply = test::httpGet(port_, pathAndQuery, {}, 5s);
    if (!reply || reply->status != 200) return std::nullopt;
    rapidjson::Document document;
    document.Parse(reply->body.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("status") ||
        std::string(document["status"].GetString()) != "success") {
      return std::nullopt;
    }
    return document;
  }
  // The value of an instant query's first series, as Prometheus writes it ("5").
  std::optional<std::string> query(const std::string& expression) const {
    const auto document = api("/api/v1/query?query=" + percentEncoded(expression));
    if (!document) return std::nullopt;
    const rapidjson::Value& result = (*document)["data"]["result"];
    if (!result.IsArray() || result.Empty()) return std::nullopt;
    return std::string(result[0]["value"][1].GetString());
  }

 private:
  test::TempDir dir_;
  std::uint16_t port_;
  std::unique_ptr<test::ChildProcess> process_;
};

// The server with its metrics endpoint on a free port of 127.0.0.1.
class MetricsTest : public test::ProcessTest {
 protected:
  // Starts it and waits until it says where the metrics are.
  bool startMetered(const std::string& more = "") {
    start(settingsWithMetrics(metricsPort, more));
    return server->waitForOutput(
        "Metrics for Prometheus at http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics\n",
        5s);
  }
  std::optional<Samples> scrape() {
    const auto reply = test::httpGet(metricsPort, "/metrics");
    if (!reply || reply->status != 200) return std::nullopt;
    return samplesOf(reply->body);
  }
  double value(const std::string& series) {
    const auto samples = scrape();
    if (!samples || !samples->count(series)) return -1;
    return samples->at(series);
  }

  const std::uint16_t metricsPort = test::freePort();
};

// Prometheus, configured as README shows, scrapes the endpoint (negotiating OpenMetrics) and
// stores what it read: the users online follow the clients who log in and out. promtool
// passes the text format and README's rules, and the rule for a server that is down fires
// once it is.
TEST_F(MetricsTest, PrometheusScrapesTheFiguresAndReadmeRulesHold) {
  VELMOR_REQUIRE(test::commandExists("prometheus"),
                 "prometheus is not installed (Debian package prometheus)");
  VELMOR_REQUIRE(test::commandExists("promtool"),
                 "promtool is not installed (Debian package prometheus)");
  const std::vector<std::string> yaml = readmeYaml();
  ASSERT_EQ(yaml.size(), 2u) << "README gives no scrape configuration and alerting rules";
  ASSERT_TRUE(startMetered()) << server->output();
  Prometheus prometheus(metricsPort, yaml[0], yaml[1]);
  ASSERT_TRUE(prometheus.running()) << prometheus.log();

  constexpr int kPlayers = 5;
  std::vector<std::unique_ptr<test::TestClient>> players;
  for (int i = 0; i < kPlayers; ++i) {
    players.push_back(std::make_unique<test::TestClient>(server->port()));
    ASSERT_TRUE(players.back()->loginAsGuest("Player" + std::to_string(i)));
  }
  EXPECT_TRUE(
      eventually([&] { return prometheus.query("velmor_users_online") == "5"; }, 60s, 200ms))
      << "Prometheus reads " << prometheus.query("velmor_users_online").value_or("nothing") << "\n"
      << prometheus.log();
  players.pop_back();
  EXPECT_TRUE(
      eventually([&] { return prometheus.query("velmor_users_online") == "4"; }, 30s, 200ms));

  // The target is healthy, its last scrape without error, and it was read as OpenMetrics
  // (the version is an info family there, and units are kept).
  EXPECT_EQ(prometheus.query("up"), "1");
  const auto targets = prometheus.api("/api/v1/targets");
  ASSERT_TRUE(targets);
  const rapidjson::Value& active = (*targets)["data"]["activeTargets"];
  ASSERT_TRUE(active.IsArray() && active.Size() == 1);
  EXPECT_EQ(std::string(active[0]["health"].GetString()), "up");
  EXPECT_EQ(std::string(active[0]["lastError"].GetString()), "");
  const auto metadata = prometheus.api("/api/v1/targets/metadata?metric=velmor_build");
  ASSERT_TRUE(metadata);
  ASSERT_TRUE((*metadata)["data"].IsArray() && !(*metadata)["data"].Empty());
  EXPECT_EQ(std::string((*metadata)["data"][0]["type"].GetString()), "info");
  EXPECT_EQ(prometheus.query("velmor_build_info{version=\"" + std::string(kServerVersion) + "\"}"),
            "1");
  EXPECT_TRUE(prometheus.query("velmor_tick_duration_seconds_count > 0"));
  EXPECT_TRUE(prometheus.query("velmor_connections_accepted_total >= " + std::to_string(kPlayers)));

  // promtool reads the text format as a scraper without OpenMetrics does, and lints it; it
  // checks README's rules too.
  const auto text = test::httpGet(metricsPort, "/metrics");
  ASSERT_TRUE(text && text->status == 200);
  prometheus.dir().write("metrics.txt", text->body);
  const std::string metricsCheck = test::capture(
      "promtool check metrics < " + prometheus.dir().file("metrics.txt") + " 2>&1; echo status $?");
  EXPECT_EQ(metricsCheck, "status 0\n") << metricsCheck;
  const std::string rulesCheck = test::capture(
      "promtool check rules " + prometheus.dir().file("rules.yml") + " 2>&1; echo status $?");
  EXPECT_NE(rulesCheck.find("SUCCESS: 3 rules found"), std::string::npos) << rulesCheck;
  EXPECT_NE(rulesCheck.find("status 0"), std::string::npos) << rulesCheck;

  // No alert while all is well; the server stopped, its `up` alert is on its way.
  EXPECT_EQ(prometheus.query("ALERTS"), std::nullopt);
  stop();
  EXPECT_TRUE(eventually(
      [&] {
        return prometheus.query(R"(ALERTS{alertname="VelmorServerDown",alertstate="pending"})") ==
               "1";
      },
      30s, 200ms))
      << prometheus.log();
}

// A scraper asking as fast as it can, on two kept-alive connections, a few thousand times:
// every answer is whole and right, the clients' chat goes on, and the main loop's tick keeps
// its period and its duration.
TEST_F(MetricsTest, HammeringScraperGetsRightAnswersAndLeavesTheTickAlone) {
  ASSERT_TRUE(startMetered(test::roomsSetting({{"Hall", "", "l"}}))) << server->output();
  constexpr int kPlayers = 6;
  std::vector<std::unique_ptr<test::TestClient>> players;
  for (int i = 0; i < kPlayers; ++i) {
    players.push_back(std::make_unique<test::TestClient>(server->port()));
    ASSERT_TRUE(players.back()->loginAsGuest("Player" + std::to_string(i)));
    players.back()->request([](RequestWriter& w) { w.enterRoom("Hall", ""); });
    ASSERT_TRUE(players.back()->waitFor(ServerCode::RoomState));
  }
  ASSERT_TRUE(eventually([&] { return value("velmor_room_members") == kPlayers; }));
  const std::optional<Samples> before = scrape();
  ASSERT_TRUE(before);
  const double descriptorsBefore = before->at("process_open_fds");

  constexpr int kScrapers = 2;
  constexpr int kScrapesEach = 1500;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::atomic<bool> stop{false};
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> scrapers;
  for (int s = 0; s < kScrapers; ++s) {
    scrapers.emplace_back([&] {
      test::Socket socket = test::connectTo(metricsPort);
      double lastSent = 0;
      double lastTicks = 0;
      for (int i = 0; i < kScrapesEach && !stop && std::chrono::steady_clock::now() < deadline;
           ++i) {
        if (!socket.sendAll(test::getRequest("/metrics"))) break;
        const auto reply = test::readResponse(socket, 5s);
        if (!reply) break;
        const Samples samples = samplesOf(reply->body);
        const auto at = [&](const char* name) {
          return samples.count(name) ? samples.at(name) : -1.0;
        };
        const bool right = reply->status == 200 && at("velmor_users_online") == kPlayers &&
                           at("velmor_room_members") == kPlayers &&
                           at("velmor_sent_bytes_total") >= lastSent &&
                           at("velmor_tick_duration_seconds_count") >= lastTicks &&
                           at("velmor_tick_duration_seconds_bucket{le=\"+Inf\"}") ==
                               at("velmor_tick_duration_seconds_count") &&
                           at("velmor_query_batch_duration_seconds_bucket{le=\"+Inf\"}") ==
                               at("velmor_query_batch_duration_seconds_count");
        if (!right) wrong.fetch_add(1);
        lastSent = at("velmor_sent_bytes_total");
        lastTicks = at("velmor_tick_duration_seconds_count");
        answered.fetch_add(1);
      }
    });
  }
  // Meanwhile one player talks, within the chat allowance (10 lines a second), and another
  // hears every line.
  int said = 0;
  int heard = 0;
  auto nextLine = std::chrono::steady_clock::now();
  while (answered < kScrapers * kScrapesEach && std::chrono::steady_clock::now() < deadline) {
    if (std::chrono::steady_clock::now() >= nextLine) {
      const std::string line = "line " + std::to_string(said++);
      players[0]->request([&](RequestWriter& w) { w.roomChat(line); });
      nextLine += 150ms;
    }
    if (const auto message = players[1]->next(20ms); message && message->is(ServerCode::RoomLine))
      ++heard;
  }
  stop = true;
  for (std::thread& scraper : scrapers) scraper.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  while (heard < said) {
    const auto message = players[1]->next(2s);
    if (!message) break;
    if (message->is(ServerCode::RoomLine)) ++heard;
  }
  const std::optional<Samples> after = scrape();
  ASSERT_TRUE(after);

  testing::Test::RecordProperty("scrapes", answered.load());
  testing::Test::RecordProperty("milliseconds", static_cast<int>(seconds * 1000));
  EXPECT_GE(answered.load(), 2000) << "in " << seconds << " s";
  EXPECT_EQ(wrong.load(), 0) << "of " << answered.load() << " answers";
  EXPECT_EQ(heard, said) << "chat lines lost while the endpoint was hammered";
  // The tick: it kept its 20 ms period (most of the ticks due ran) and hardly any took as
  // long as a period.
  const auto delta = [&](const std::string& series) {
    return after->at(series) - before->at(series);
  };
  const double ticks = delta("velmor_tick_duration_seconds_count");
  const double slow = ticks - delta("velmor_tick_duration_seconds_bucket{le=\"0.02\"}");
  testing::Test::RecordProperty("ticks", static_cast<int>(ticks));
  testing::Test::RecordProperty("ticksOver20ms", static_cast<int>(slow));
  EXPECT_GE(ticks, 0.7 * seconds / 0.02) << "ticks ran in " << seconds << " s";
  EXPECT_LE(slow, std::max(1.0, 0.01 * ticks)) << "ticks over 20 ms of " << ticks;
  // The scrapers' connections are gone with them.
  EXPECT_TRUE(eventually([&] { return value("process_open_fds") <= descriptorsBefore + 1; }));
}

// What a careless or hostile HTTP client sends gets its answer, and harms nothing: the game
// and the scrapes go on meanwhile, a client that stalls half-way is dropped, and the server
// still stops cleanly with a scraper connected.
TEST_F(MetricsTest, MalformedSlowAndStrayRequestsHarmNothing) {
  ASSERT_TRUE(startMetered()) << server->output();
  test::Socket stalled = test::connectTo(metricsPort);
  ASSERT_TRUE(stalled.sendAll("GET /metr"));
  test::Socket silent = test::connectTo(metricsPort);

  struct Case {
    const char* what;
    std::string request;
    int status;  // 0: closed without an answer
  };
  for (const Case& c : {
           Case{"another path", test::getRequest("/"), 404},
           Case{"a POST", "POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nhi", 405},
           Case{"a line that is no request", "HELLO THERE\r\n\r\n", 400},
           Case{"binary (a TLS hello)",
                std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 13), 0},
           Case{
               "a header beyond every limit",
               "GET /metrics HTTP/1.1\r\nHost: a\r\nX: " + std::string(64 * 1024, 'x') + "\r\n\r\n",
               431},
       }) {
    test::Socket socket = test::connectTo(metricsPort);
    socket.sendAll(c.request);
    const auto reply = test::readResponse(socket, 5s);
    if (c.status == 0) {
      EXPECT_FALSE(reply) << c.what;
      EXPECT_TRUE(socket.waitClosed(1s)) << c.what;
      continue;
    }
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->status, c.status) << c.what;
  }

  // While the stalled client waits, a player logs in and the figures show him at once.
  test::TestClient player(server->port());
  ASSERT_TRUE(player.loginAsGuest("Player"));
  EXPECT_TRUE(eventually([&] { return value("velmor_users_online") == 1; }));
  EXPECT_TRUE(stalled.waitClosed(15s)) << "the half request was kept past its deadline";
  EXPECT_TRUE(silent.waitClosed(15s));

  test::TestClient second(server->port());
  ASSERT_TRUE(second.loginAsGuest("Second"));
  EXPECT_TRUE(eventually([&] { return value("velmor_users_online") == 2; }));

  test::Socket scraper = test::connectTo(metricsPort);
  ASSERT_TRUE(scraper.sendAll(test::getRequest("/metrics")));
  ASSERT_TRUE(test::readResponse(scraper, 5s));
  server->signal(SIGINT);
  EXPECT_EQ(server->waitExit(10s), 0) << server->output();
  EXPECT_TRUE(scraper.waitClosed(5s));
}

// Game connections open and close on the main loop while the endpoint is scraped on its
// thread, so that the descriptor numbers one thread frees the other takes again. The tsan
// preset builds this server with ThreadSanitizer, whose first report ends it: a scrape's
// descriptor count raced the loop's accept on a recycled number (the loop closes with a raw
// system call the sanitizer does not see). The race needs the two threads to meet within a
// few microseconds, hence the many connections.
TEST_F(MetricsTest, DescriptorCountRacedTheLoopsAcceptOnARecycledNumber) {
  ASSERT_TRUE(startMetered()) << server->output();
  constexpr int kConnections = 4000;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::atomic<bool> scraping{true};
  std::atomic<int> churned{0};
  std::thread churn([&] {
    // Each from an address of its own, within the admission rate, and closed at once.
    while (scraping && churned < kConnections && std::chrono::steady_clock::now() < deadline) {
      test::connectTo(server->port());
      ++churned;
    }
  });
  int scrapes = 0;
  while (churned < kConnections && std::chrono::steady_clock::now() < deadline && scrape())
    ++scrapes;
  scraping = false;
  churn.join();
  EXPECT_EQ(churned.load(), kConnections) << "in " << scrapes << " scrapes";
  server->signal(SIGINT);
  EXPECT_EQ(server->waitExit(10s), 0);
  EXPECT_EQ(server->output().find("ThreadSanitizer"), std::string::npos) << server->output();
}

// An endpoint that cannot listen is said on the console, and the game server runs on.
TEST_F(MetricsTest, EndpointThatCannotListenIsSaidAndTheServerRunsOn) {
  const std::uint16_t taken = test::freePort();
  test::Socket holder = test::listenOn(taken);
  ASSERT_TRUE(holder.valid());
  struct Case {
    std::string settings;
    std::string line;
  };
  for (const Case& c : {
           Case{settingsWithMetrics(taken),
                "The metrics endpoint cannot listen on 127.0.0.1:" + std::to_string(taken) +
                    " (Address already in use); the server runs without it.\n"},
           Case{settingsWithMetrics(taken, R"("metricsaddress": "localhost",)"),
                "The metrics endpoint cannot listen on localhost:" + std::to_string(taken) +
                    " (\"localhost\" is not an IPv4 address); the server runs without it.\n"},
       }) {
    start(c.settings);
    EXPECT_TRUE(server->waitForOutput(c.line, 5s)) << server->output();
    test::TestClient player(server->port());
    EXPECT_TRUE(player.loginAsGuest("Player"));
  }
}

// Without "metricsport" nothing listens for metrics and nothing is said of them.
TEST_F(MetricsTest, OffUnlessThePortIsSet) {
  start();
  test::TestClient player(server->port());
  ASSERT_TRUE(player.loginAsGuest("Player"));
  EXPECT_EQ(server->output().find("etrics"), std::string::npos) << server->output();
}

}  // namespace
}  // namespace velmor
