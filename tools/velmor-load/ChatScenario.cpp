#include <cstdio>
#include <cstring>

#include "Scenario.h"
#include "ScenarioSupport.h"

namespace velmor::load {

namespace {
constexpr std::size_t kLineLength = 40;
}

// --- chat: one room, S of N members saying 40-byte lines at an aggregate rate ------------------

// One chat room of N members, S of them saying 40-byte lines at an aggregate rate R; the
// send time travels in each line. Every member counts what it receives.
class ChatScenario : public Scenario {
 public:
  using Scenario::Scenario;

 private:
  void begin() override {
    metricsReserve_ =
        static_cast<std::size_t>(options_.rate * options_.duration * options_.members);
    for (int i = 0; i < options_.members; ++i) {
      LoadClient& c = addClient();
      c.setFrameHandler(
          [this](LoadClient& client, std::string_view payload) { onFrame(client, payload); });
      c.connect(
          options_.port,
          [](LoadClient& client) { loginAsGuest(client, "Chat" + std::to_string(client.index())); },
          [this](LoadClient&) { ++closed_; });
    }
  }

  void onFrame(LoadClient& c, std::string_view payload) {
    if (c.phase == 2) {
      if (scanLines(c, payload)) return;
    }
    const auto messages = decode(payload, false);
    if (c.phase == 0 && has(messages, ServerCode::RoomList)) {
      c.phase = 1;
      c.send([](client::RequestWriter& w) { w.enterRoom("LoadChat", ""); });
    } else if (c.phase == 1 && has(messages, ServerCode::RoomState)) {
      c.phase = 2;
      if (++joined_ == options_.members) ready();
    } else if (c.phase == 1 &&
               (has(messages, ServerCode::WrongRoomPassword) ||
                has(messages, ServerCode::RoomFull) || has(messages, ServerCode::NoSuchRoom))) {
      fail(
          "the room \"LoadChat\" did not admit a member (is it configured live with room enough?)");
    }
    for (const auto& m : messages) {
      if (m.is(ServerCode::RoomLine)) countLine(c, m.text(0));
    }
  }

  // RoomLine messages in place, with no allocation. False: the frame holds something else.
  bool scanLines(LoadClient& c, std::string_view payload) {
    for (std::size_t at = 0; at < payload.size();) {
      if (static_cast<std::uint8_t>(payload[at]) !=
              static_cast<std::uint8_t>(ServerCode::RoomLine) ||
          at + 4 > payload.size()) {
        return false;
      }
      const std::size_t length =
          static_cast<std::uint8_t>(payload[at + 2]) |
          static_cast<std::size_t>(static_cast<std::uint8_t>(payload[at + 3])) << 8;
      if (at + 4 + length > payload.size()) return false;
      at += 4 + length;
    }
    for (std::size_t at = 0; at < payload.size();) {
      const std::size_t length =
          static_cast<std::uint8_t>(payload[at + 2]) |
          static_cast<std::size_t>(static_cast<std::uint8_t>(payload[at + 3])) << 8;
      countLine(c, payload.substr(at + 4, length));
      at += 4 + length;
    }
    return true;
  }

  void countLine(LoadClient& c, std::string_view text) {
    if (!measuring() || text.size() < 17 || text[0] != 'T') return;
    char hex[17];
    std::memcpy(hex, text.data() + 1, 16);
    hex[16] = '\0';
    const std::uint64_t sent = std::strtoull(hex, nullptr, 16);
    const std::uint64_t now = nowMicros();
    if (now >= sent) metrics_->addLatency(now - sent);
    ++delivered_;
    if (c.index() == 0) ++seenByFirst_;
  }

  void startLoad() override {
    metrics_->reserve(metricsReserve_);
    const double interval = 1000.0 * options_.senders / options_.rate;  // ms per line per sender
    pacers_.resize(static_cast<std::size_t>(options_.senders));
    for (int i = 0; i < options_.senders; ++i) {
      Pacer& pacer = pacers_[static_cast<std::size_t>(i)];
      LoadClient* c = clients_[static_cast<std::size_t>(i)].get();
      pacer.tick = [this, c] { say(*c); };
      pacer.start(&loop_, static_cast<std::uint64_t>(interval * i / options_.senders),
                  static_cast<std::uint64_t>(interval));
    }
  }

  void say(LoadClient& c) {
    char text[kLineLength + 1];
    std::snprintf(text, sizeof(text), "T%016llx", static_cast<unsigned long long>(nowMicros()));
    std::memset(text + 17, 'x', kLineLength - 17);
    c.send([&](client::RequestWriter& w) { w.roomChat(std::string_view(text, kLineLength)); });
    ++sent_;
    if (c.index() != 0) ++sentByOthers_;
  }

  void stopLoad() override {
    for (Pacer& pacer : pacers_) pacer.stop();
    uv_run(&loop_, UV_RUN_NOWAIT);
  }

  void report(Metrics& m, double seconds) override {
    m.set("members", options_.members);
    m.set("senders", options_.senders);
    m.set("rate_lines_per_s", options_.rate);
    m.set("lines_sent", static_cast<double>(sent_));
    m.set("lines_refused_by_limit",
          sentByOthers_ > seenByFirst_ ? static_cast<double>(sentByOthers_ - seenByFirst_) : 0);
    m.set("delivered_per_s", static_cast<double>(delivered_) / seconds);
    m.set("delivered", static_cast<double>(delivered_));
    m.set("latency_p50_ms", m.percentileMs(50));
    m.set("latency_p95_ms", m.percentileMs(95));
    m.set("latency_p99_ms", m.percentileMs(99));
  }

  std::size_t metricsReserve_ = 0;
  std::vector<Pacer> pacers_;
  int joined_ = 0;
  std::uint64_t closed_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t sentByOthers_ = 0;
  std::uint64_t seenByFirst_ = 0;
  std::uint64_t delivered_ = 0;
};

std::unique_ptr<Scenario> makeChatScenario(const Options& options) {
  return std::make_unique<ChatScenario>(options);
}

}  // namespace velmor::load
