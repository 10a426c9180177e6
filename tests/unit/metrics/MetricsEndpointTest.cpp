// The HTTP side of the metrics endpoint, with a stand-in for the server's figures, over
// real loopback sockets: what each request is answered, and that no client (malformed,
// slow, greedy) holds the endpoint up.
#include "metrics/MetricsEndpoint.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/Eventually.h"
#include "support/HttpClient.h"
#include "support/Sockets.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using test::eventually;

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// This process out of descriptors, as a server whose clients took them all: the soft limit
// lowered a little above what is open, and the rest taken. Both undone on destruction.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &was_);
    rlimit low = was_;
    low.rlim_cur = openDescriptors() + 16;
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.emplace_back(fd);
  }
  ~DescriptorsExhausted() {
    held_.clear();
    setrlimit(RLIMIT_NOFILE, &was_);
  }
  // One descriptor back, for the test's own client.
  void spareOne() { held_.pop_back(); }

 private:
  rlimit was_{};
  std::vector<test::Socket> held_;  // owners of the descriptors, whatever they are
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class MetricsEndpointTest : public testing::Test {
 protected:
  void start(const MetricsEndpoint::Limits& limits = quick()) {
    std::string error;
    endpoint = MetricsEndpoint::start(
        "127.0.0.1", 0,
        [this](ExpositionFormat format) {
          renders.fetch_add(1);
          renderThread = std::this_thread::get_id();
          return std::string(format == ExpositionFormat::OpenMetrics ? "velmor_up 1\n# EOF\n"
                                                                     : "velmor_up 1\n");
        },
        error, limits);
    ASSERT_TRUE(endpoint) << error;
    ASSERT_NE(endpoint->port(), 0);
  }
  static MetricsEndpoint::Limits quick() {
    MetricsEndpoint::Limits limits;
    limits.requestTime = 1s;
    return limits;
  }
  std::uint16_t port() const { return endpoint->port(); }
  // Whether a plain scrape is answered as it should be.
  bool serves() const {
    const auto reply = test::httpGet(port(), "/metrics");
    return reply && reply->status == 200 && reply->body == "velmor_up 1\n";
  }

  std::atomic<int> renders{0};
  std::atomic<std::thread::id> renderThread{};
  std::unique_ptr<MetricsEndpoint> endpoint;
};

TEST_F(MetricsEndpointTest, GetMetricsIsAnsweredInTheFormatAskedFor) {
  start();
  const auto text = test::httpGet(port(), "/metrics");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->status, 200);
  EXPECT_EQ(text->header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(text->body, "velmor_up 1\n");

  const auto open = test::httpGet(port(), "/metrics",
                                  "application/openmetrics-text;version=1.0.0,text/plain;"
                                  "version=0.0.4;q=0.5,*/*;q=0.1");
  ASSERT_TRUE(open);
  EXPECT_EQ(open->status, 200);
  EXPECT_EQ(open->header("Content-Type"),
            "application/openmetrics-text; version=1.0.0; charset=utf-8");
  EXPECT_EQ(open->body, "velmor_up 1\n# EOF\n");

  EXPECT_EQ(renders.load(), 2);
  EXPECT_NE(renderThread.load(), std::this_thread::get_id()) << "rendered on the caller's thread";
}

TEST_F(MetricsEndpointTest, KeptAliveConnectionServesScrapeAfterScrape) {
  start();
  test::Socket socket = test::connectTo(port());
  ASSERT_TRUE(socket.valid());
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(socket.sendAll(test::getRequest("/metrics")));
    const auto reply = test::readResponse(socket, 5s);
    ASSERT_TRUE(reply) << "scrape " << i;
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "velmor_up 1\n");
  }
}

// Every other request gets its answer on a connection of its own, and the endpoint serves
// scrapes as before; none of them renders the figures.
TEST_F(MetricsEndpointTest, OtherPathsMethodsAndMalformedRequestsGetTheirAnswer) {
  start();
  struct Case {
    const char* what;
    std::string request;
    int status;  // 0: the connection is closed without an answer
    const char* allow = "";
  };
  const std::string huge(64 * 1024, 'x');
  for (const Case& c : {
           Case{"the root", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 404},
           Case{"a longer path", "GET /metrics/more HTTP/1.1\r\nHost: a\r\n\r\n", 404},
           Case{"a prefix", "GET /metricsx HTTP/1.1\r\nHost: a\r\n\r\n", 404},
           Case{"a POST", "POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", 405,
                "GET, HEAD"},
           Case{"a DELETE", "DELETE /metrics HTTP/1.1\r\nHost: a\r\n\r\n", 405, "GET, HEAD"},
           Case{"a GET with a body",
                "GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", 400},
           Case{"no request line", "\x01\x02\x03 garbage\r\n\r\n", 400},
           Case{"binary (a TLS hello)",
                std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 13), 0},
           Case{"a bad version", "GET /metrics HTTP/9.9\r\nHost: a\r\n\r\n", 505},
           Case{"a header past the memory limit",
                "GET /metrics HTTP/1.1\r\nHost: a\r\nX-Big: " + huge + "\r\n\r\n", 431},
       }) {
    test::Socket socket = test::connectTo(port());
    ASSERT_TRUE(socket.valid()) << c.what;
    socket.sendAll(c.request);
    const auto reply = test::readResponse(socket, 5s);
    if (c.status == 0) {
      EXPECT_FALSE(reply) << c.what;
      EXPECT_TRUE(socket.waitClosed(1s)) << c.what;
      continue;
    }
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->status, c.status) << c.what << ": " << reply->head;
    EXPECT_EQ(reply->header("Allow"), c.allow) << c.what;
  }
  EXPECT_EQ(renders.load(), 0);
  EXPECT_TRUE(serves());
}

TEST_F(MetricsEndpointTest, HeadAnswersWithoutABody) {
  start();
  test::Socket socket = test::connectTo(port());
  ASSERT_TRUE(socket.sendAll("HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n"));
  const auto reply = test::readResponse(socket, 5s, true);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  // Nothing follows the head: the next response on the connection starts cleanly.
  ASSERT_TRUE(socket.sendAll(test::getRequest("/metrics")));
  const auto next = test::readResponse(socket, 5s);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200);
  EXPECT_EQ(next->body, "velmor_up 1\n");
}

// A client that sends half a request and stalls holds nothing up: scrapes are answered at
// once meanwhile, and the staller is dropped at its deadline.
TEST_F(MetricsEndpointTest, SlowClientIsDroppedAndHoldsNoOneUp) {
  start();
  test::Socket slow = test::connectTo(port());
  ASSERT_TRUE(slow.sendAll("GET /metr"));
  test::Socket silent = test::connectTo(port());
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(serves());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_TRUE(slow.waitClosed(5s)) << "the half request was kept";
  EXPECT_TRUE(silent.waitClosed(5s)) << "the silent connection was kept";
  EXPECT_TRUE(serves());
}

// Clients trickling their requests, a byte at a time (no idle limit would drop them), in every
// slot the endpoint has (from four addresses, as many from each as it allows): a scrape waiting
// behind them is answered all the same, each request having a deadline however its bytes come.
TEST_F(MetricsEndpointTest, TricklingClientsKeptTheScraperOut) {
  const MetricsEndpoint::Limits limits = quick();
  ASSERT_EQ(limits.connections, 4 * limits.connectionsPerAddress);
  start(limits);
  std::vector<test::Socket> tricklers;
  for (unsigned i = 0; i < limits.connections; ++i) {
    tricklers.push_back(
        test::connectTo(port(), 81 + static_cast<int>(i / limits.connectionsPerAddress)));
    ASSERT_TRUE(tricklers.back().sendAll("GET /metrics HTTP/1.1\r\nX-Slow: "));
  }
  std::atomic<bool> answered{false};
  std::thread trickle([&] {
    // A byte every 300 ms on each (a request has 1 s), for 6 s at most.
    const auto end = std::chrono::steady_clock::now() + 6s;
    while (!answered && std::chrono::steady_clock::now() < end) {
      for (test::Socket& trickler : tricklers) trickler.sendAll("x");
      eventually([&] { return answered.load(); }, 300ms);
    }
  });
  test::Socket scraper = test::connectTo(port(), 85);
  const bool asked = scraper.sendAll(test::getRequest("/metrics"));
  const auto reply = asked ? test::readResponse(scraper, 4s) : std::nullopt;
  answered = true;
  trickle.join();
  ASSERT_TRUE(asked);
  ASSERT_TRUE(reply) << "the trickling clients kept the scraper out";
  EXPECT_EQ(reply->status, 200);
}

// A connection past the limit from one address is closed at once. Past the limit of all
// connections, the next one waits in the listening socket's backlog, costing the server no
// descriptor, and is served as soon as one of the others goes.
TEST_F(MetricsEndpointTest, ConnectionsPastTheLimitsAreRefusedOrWait) {
  MetricsEndpoint::Limits limits;
  limits.connections = 4;
  limits.connectionsPerAddress = 2;
  limits.requestTime = 30s;  // the held connections stay
  start(limits);
  std::vector<test::Socket> held;
  for (int host : {77, 77}) held.push_back(test::connectTo(port(), host));
  test::Socket third = test::connectTo(port(), 77);
  EXPECT_TRUE(third.waitClosed(5s)) << "a third connection from one address was kept";
  for (int host : {78, 78}) held.push_back(test::connectTo(port(), host));
  ASSERT_TRUE(held[0].sendAll(test::getRequest("/metrics")));
  const auto reply = test::readResponse(held[0], 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);

  test::Socket waiting = test::connectTo(port(), 79);
  ASSERT_TRUE(waiting.valid());
  ASSERT_TRUE(waiting.sendAll(test::getRequest("/metrics")));
  EXPECT_FALSE(test::readResponse(waiting, test::kQuiet)) << "served past the limit";
  held[3].close();
  const auto late = test::readResponse(waiting, 5s);
  ASSERT_TRUE(late) << "not served once a connection went";
  EXPECT_EQ(late->status, 200);
}

// With every descriptor of the process taken, a client waits in the listening socket's backlog:
// the endpoint does not retry its accept without pause (it spun a core), and serves the
// client once descriptors are free again.
TEST_F(MetricsEndpointTest, DescriptorExhaustionSpunACore) {
  start();
  // Checked once descriptors are back: the sanitizers need some to report a failure.
  auto exhausted = std::make_unique<DescriptorsExhausted>();
  exhausted->spareOne();
  test::Socket waiting = test::connectTo(port(), 90);
  const bool asked = waiting.sendAll(test::getRequest("/metrics"));
  const double cpuBefore = cpuSeconds();
  const auto before = std::chrono::steady_clock::now();
  const bool servedAnyway = test::readResponse(waiting, 1s).has_value();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  const double cpu = cpuSeconds() - cpuBefore;
  exhausted.reset();
  RecordProperty("cpuMilliseconds", static_cast<int>(cpu * 1000));
  RecordProperty("wallMilliseconds", static_cast<int>(wall * 1000));
  ASSERT_TRUE(asked);
  EXPECT_FALSE(servedAnyway) << "served without a descriptor";
  EXPECT_LT(cpu, 0.2 * wall) << cpu << " s of CPU in " << wall << " s";
  const auto reply = test::readResponse(waiting, 5s);
  ASSERT_TRUE(reply) << "not served once descriptors were free";
  EXPECT_EQ(reply->status, 200);
}

TEST_F(MetricsEndpointTest, StopClosesTheListenerAndLeavesNoDescriptor) {
  start();
  endpoint.reset();
  const std::size_t before = openDescriptors();
  for (int i = 0; i < 10; ++i) {
    start();
    ASSERT_TRUE(serves());
    const std::uint16_t was = port();
    endpoint.reset();
    EXPECT_FALSE(test::connectTo(was).valid()) << "still listening after the stop";
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(MetricsEndpoint, AddressesItCannotListenOnAreRefusedWithTheReason) {
  const std::uint16_t busyPort = test::freePort();
  test::Socket taken = test::listenOn(busyPort);
  ASSERT_TRUE(taken.valid());
  struct Case {
    const char* address;
    std::uint16_t port;
    const char* reason;
  };
  for (const Case& c : {
           Case{"127.0.0.1", busyPort, "Address already in use"},
           Case{"localhost", 0, "\"localhost\" is not an IPv4 address"},
           Case{"::1", 0, "\"::1\" is not an IPv4 address"},
           Case{"192.0.2.1", 0, "Cannot assign requested address"},  // not this host's
       }) {
    std::string error;
    auto endpoint = MetricsEndpoint::start(
        c.address, c.port, [](ExpositionFormat) { return std::string(); }, error);
    EXPECT_FALSE(endpoint) << c.address;
    EXPECT_EQ(error, c.reason) << c.address;
  }
}

}  // namespace
}  // namespace velmor
