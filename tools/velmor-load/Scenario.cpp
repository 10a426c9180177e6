#include "Scenario.h"

#include <cstdio>
#include <cstring>

#include "ProcessStats.h"
#include "ScenarioSupport.h"
#include "StatusWatcher.h"

namespace velmor::load {

namespace {
constexpr std::uint64_t kSetupLimitMs = 120000;
constexpr std::uint64_t kCloseLimitMs = 5000;
constexpr std::uint64_t kWatcherLimitMs = 3000;
// The status watcher's address: above every load client's (at most 60000 from .0.1 up).
constexpr std::uint32_t kWatcherHost = 0xFFFA;
}  // namespace

Scenario::Scenario(const Options& options)
    : options_(options),
      transports_(options.transport),
      nextSource_((127u << 24) | (static_cast<std::uint32_t>(options.sourceNet) << 16) | 1u) {
  uv_loop_init(&loop_);
}

Scenario::~Scenario() {
  clients_.clear();
  uv_run(&loop_, UV_RUN_NOWAIT);
  uv_loop_close(&loop_);
}

LoadClient& Scenario::addClient() {
  if ((nextSource_ & 0xFF) == 0xFF) nextSource_ += 2;
  clients_.push_back(
      std::make_unique<LoadClient>(&loop_, nextSource_++, clients_.size(), &transports_));
  return *clients_.back();
}

void Scenario::fail(const std::string& why) {
  std::fprintf(stderr, "velmor-load: %s\n", why.c_str());
  failed_ = true;
}

bool Scenario::run(Metrics& metrics) {
  metrics_ = &metrics;
  StatusWatcher watcher(
      &loop_, (127u << 24) | (static_cast<std::uint32_t>(options_.sourceNet) << 16) | kWatcherHost,
      options_.adminPassword, &transports_);
  watcher.connect(options_.port);
  begin();
  const std::uint64_t setupStart = uv_hrtime();
  // A connection that fails in the set-up (a door not open, a refused handshake) would fail
  // them all: the run stops at once with its reason rather than at the time limit.
  runUntil(&loop_, [&] {
    return ready_ || failed_ || transports_.failures() > 0 ||
           uv_hrtime() - setupStart > kSetupLimitMs * 1000000;
  });
  if (!ready_ && !failed_ && transports_.failures() > 0) fail("the set-up stopped");
  if (!ready_) {
    if (!failed_)
      fail("set-up did not complete within " + std::to_string(kSetupLimitMs / 1000) + " s");
    return false;
  }
  const std::uint64_t watcherStart = uv_hrtime();
  runUntil(&loop_, [&] {
    return watcher.welcomed() || uv_hrtime() - watcherStart > kWatcherLimitMs * 1000000;
  });
  auto serverBefore = options_.serverPid > 0 ? sampleProcess(options_.serverPid) : std::nullopt;
  const std::uint64_t ownBefore = ownCpuMicros();
  const std::uint64_t start = uv_hrtime();
  measuring_ = true;
  watcher.start();
  startLoad();
  const std::uint64_t limit = static_cast<std::uint64_t>(options_.duration * 1e9);
  runUntil(&loop_, [&] { return uv_hrtime() - start >= limit || failed_; });
  measuring_ = false;
  watcher.finish();
  stopLoad();
  const double seconds = static_cast<double>(uv_hrtime() - start) / 1e9;
  const std::uint64_t ownCpu = ownCpuMicros() - ownBefore;
  auto serverAfter = options_.serverPid > 0 ? sampleProcess(options_.serverPid) : std::nullopt;
  const std::uint64_t lastAsked = uv_hrtime();
  runUntil(&loop_,
           [&] { return watcher.done() || uv_hrtime() - lastAsked > kWatcherLimitMs * 1000000; });

  metrics.note("scenario", options_.scenario);
  metrics.note("transport", transportName(options_.transport));
  metrics.set("seconds", seconds);
  report(metrics, seconds);
  if (serverBefore && serverAfter) {
    const double cpu = static_cast<double>(serverAfter->cpuMicros - serverBefore->cpuMicros);
    metrics.set("server_cpu_percent_of_core", cpu / (seconds * 1e6) * 100.0);
    metrics.set("server_cpu_us", cpu);
    metrics.set("server_peak_rss_kb", static_cast<double>(serverAfter->peakRssKb));
    metrics.set("server_rss_kb", static_cast<double>(serverAfter->rssKb));
  }
  if (watcher.longestTickMs() && watcher.tickP99Ms()) {
    metrics.set("server_longest_tick_ms", *watcher.longestTickMs());
    metrics.set("server_tick_p99_ms", *watcher.tickP99Ms());
    if (!watcher.windowsInside())
      metrics.note("server_ticks", "the last 5 s window reaches back before the measurement");
  } else {
    metrics.note("server_ticks", "no status text (is --admin-password right?)");
  }
  metrics.set("generator_cpu_percent_of_core",
              static_cast<double>(ownCpu) / (seconds * 1e6) * 100.0);
  for (const auto& c : clients_) disconnects_ += c->closedByServer() ? 1 : 0;
  metrics.set("disconnects", static_cast<double>(disconnects_));
  metrics.set("errors", static_cast<double>(errors_));
  metrics.set("connection_failures", static_cast<double>(transports_.failures()));

  for (auto& c : clients_) c->close();
  const std::uint64_t closing = uv_hrtime();
  runUntil(&loop_, [&] {
    for (const auto& c : clients_) {
      if (!c->closed()) return uv_hrtime() - closing > kCloseLimitMs * 1000000;
    }
    return true;
  });
  return true;
}

}  // namespace velmor::load
