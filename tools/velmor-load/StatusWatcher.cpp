#include "StatusWatcher.h"

#include <cstdlib>

namespace velmor::load {

namespace {
constexpr std::uint64_t kPollMs = 1000;
// The server's window is 256 ticks of 20 ms: a reply counts once that much of the
// measurement has passed.
constexpr std::uint64_t kWindowNs = 5'200'000'000;

void keepMax(std::optional<double>& kept, std::optional<double> value) {
  if (value && (!kept || *value > *kept)) kept = value;
}
}  // namespace

std::optional<double> statusValue(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return std::nullopt;
  const char* start = text.c_str() + at + label.size();
  char* end = nullptr;
  const double value = std::strtod(start, &end);
  if (end == start) return std::nullopt;
  return value;
}

StatusWatcher::StatusWatcher(uv_loop_t* loop, std::uint32_t sourceAddress,
                             std::string adminPassword, const TransportFactory* transports)
    : loop_(loop),
      client_(loop, sourceAddress, 0, transports),
      password_(std::move(adminPassword)) {}

StatusWatcher::~StatusWatcher() {
  if (polling_) poller_.stop();
  client_.close();
}

void StatusWatcher::connect(std::uint16_t port) {
  client_.setFrameHandler([this](LoadClient&, std::string_view payload) { onFrame(payload); });
  client_.connect(
      port, [](LoadClient& c) { loginAsGuest(c, "LoadWatch"); }, nullptr);
}

void StatusWatcher::start() {
  if (!welcomed_) return;
  measuring_ = true;
  startNs_ = uv_hrtime();
  poller_.tick = [this] {
    if (uv_hrtime() - startNs_ >= kWindowNs && countFrom_ == ~std::uint64_t{0}) countFrom_ = asked_;
    ask();
  };
  poller_.start(loop_, kPollMs, kPollMs);
  polling_ = true;
}

void StatusWatcher::finish() {
  if (polling_) poller_.stop();
  polling_ = false;
  finished_ = true;
  if (!measuring_) return;
  measuring_ = false;
  if (countFrom_ == ~std::uint64_t{0}) {
    countFrom_ = asked_;  // a short run: the last window reaches back before it
    inside_ = false;
  }
  ask();
}

void StatusWatcher::ask() {
  if (!client_.connected()) return;
  ++asked_;
  client_.send([&](client::RequestWriter& w) { w.statusRequest(password_); });
}

void StatusWatcher::onFrame(std::string_view payload) {
  for (const auto& m : decode(payload, false)) {
    if (m.is(ServerCode::RoomList)) welcomed_ = true;
    if (!m.is(ServerCode::StatusText)) continue;
    const std::uint64_t request = answered_++;  // replies come in the order asked
    if (request < countFrom_) continue;
    const std::string text = m.text(0);
    keepMax(longest_, statusValue(text, "Longest tick (5 s): "));
    keepMax(p99_, statusValue(text, "Tick p99 (5 s): "));
  }
}

}  // namespace velmor::load
