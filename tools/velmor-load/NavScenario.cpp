#include <array>

#include "Scenario.h"
#include "ScenarioSupport.h"

namespace velmor::load {

namespace {

// Bytes that follow a message type in a steady navigation pass; -1: not a steady-pass message.
int steadyPayload(std::uint8_t type) {
  if (type >= wire::kCompactStepBase && type <= wire::kLastMemberStep) {
    const int range = (type - wire::kCompactStepBase) / wire::kMemberStepCount;
    return range == 0 ? 0 : range == 1 ? 1 : 2;
  }
  switch (static_cast<ServerCode>(type)) {
    case ServerCode::MemberPosition:
      return 8;
    case ServerCode::MemberStopped:
      return 0;
    case ServerCode::MemberMoving:
    case ServerCode::MemberIdle:
    case ServerCode::MemberActive:
      return 1;
    default:
      return -1;
  }
}

}  // namespace

// R navigation rooms of M members each moving by small steps at H Hz. Latency is that of a
// move reaching the other members: a member's k-th pass item is member k, whose last move
// this process sent itself.
class NavScenario : public Scenario {
 public:
  using Scenario::Scenario;

 private:
  void begin() override {
    const int total = options_.rooms * options_.members;
    lastMove_.assign(static_cast<std::size_t>(total), 0);
    for (int i = 0; i < total; ++i) {
      LoadClient& c = addClient();
      c.room = i / options_.members;
      c.slot = i % options_.members;
      c.setFrameHandler(
          [this](LoadClient& client, std::string_view payload) { onFrame(client, payload); });
      c.connect(
          options_.port,
          [](LoadClient& client) { loginAsGuest(client, "Nav" + std::to_string(client.index())); },
          nullptr);
    }
  }

  LoadClient& member(int room, int slot) {
    return *clients_[static_cast<std::size_t>(room * options_.members + slot)];
  }

  void enter(LoadClient& c) {
    c.phase = 1;
    const std::string room = "Nav" + std::to_string(c.room + 1);
    c.send([&](client::RequestWriter& w) { w.enterRoom(room, ""); });
  }

  void onFrame(LoadClient& c, std::string_view payload) {
    if (c.phase == 2 && scanPass(c, payload)) return;
    const auto messages = decode(payload, true);
    if (c.phase == 0 && has(messages, ServerCode::RoomList)) {
      // Welcomed. Members enter their room one after another to keep slots in order, and
      // the first members of all rooms enter together once everyone is welcomed: the rooms
      // then fill up in the same ticks, the hardest case for spreading their passes.
      c.phase = 3;
      if (++welcomed_ == options_.rooms * options_.members) {
        for (int room = 0; room < options_.rooms; ++room) enter(member(room, 0));
      }
    } else if (c.phase == 1 && has(messages, ServerCode::RoomState)) {
      c.phase = 2;
      if (c.slot + 1 < options_.members) {
        LoadClient& next = member(c.room, c.slot + 1);
        if (next.phase == 3) {
          enter(next);
        } else {
          next.counter = 1;  // enter as soon as welcomed
        }
      }
      if (++joined_ == options_.rooms * options_.members) ready();
    } else if (c.phase == 1 &&
               (has(messages, ServerCode::WrongRoomPassword) ||
                has(messages, ServerCode::NoSuchRoom) || has(messages, ServerCode::RoomFull))) {
      fail("room Nav" + std::to_string(c.room + 1) + " did not admit a member");
    }
    if (c.phase == 3 && c.counter == 1) enter(c);
  }

  // A steady pass in place: member k's item is the k-th of steps, positions, stops and
  // idle notes. False: the frame holds something else.
  bool scanPass(LoadClient& c, std::string_view payload) {
    for (std::size_t at = 0; at < payload.size();) {
      const int extra = steadyPayload(static_cast<std::uint8_t>(payload[at]));
      if (extra < 0 || at + 1 + static_cast<std::size_t>(extra) > payload.size()) return false;
      at += 1 + static_cast<std::size_t>(extra);
    }
    if (!measuring()) return true;
    const std::uint64_t now = nowMicros();
    int item = 0;
    for (std::size_t at = 0; at < payload.size();) {
      const auto type = static_cast<std::uint8_t>(payload[at]);
      const int extra = steadyPayload(type);
      const bool moved = type == static_cast<std::uint8_t>(ServerCode::MemberPosition) ||
                         (type >= wire::kCompactStepBase && type <= wire::kLastMemberStep &&
                          type != wire::kMemberStepNoMove);
      if (type != static_cast<std::uint8_t>(ServerCode::MemberMoving)) {
        const std::size_t k = static_cast<std::size_t>(c.room * options_.members + item);
        if (moved && item < options_.members && item != c.slot && lastMove_[k] != 0 &&
            now >= lastMove_[k]) {
          metrics_->addLatency(now - lastMove_[k]);
          ++delivered_;
        }
        ++item;
      }
      at += 1 + static_cast<std::size_t>(extra);
    }
    return true;
  }

  void startLoad() override {
    const int total = options_.rooms * options_.members;
    metrics_->reserve(
        static_cast<std::size_t>(total * options_.members * options_.hz * options_.duration));
    pacers_ = std::vector<Pacer>(static_cast<std::size_t>(total));
    const auto interval = static_cast<std::uint64_t>(1000.0 / options_.hz);
    for (int i = 0; i < total; ++i) {
      LoadClient* c = clients_[static_cast<std::size_t>(i)].get();
      Pacer& pacer = pacers_[static_cast<std::size_t>(i)];
      pacer.tick = [this, c] { move(*c); };
      pacer.start(&loop_,
                  interval * static_cast<std::uint64_t>(i) / static_cast<std::uint64_t>(total),
                  interval);
    }
  }

  void move(LoadClient& c) {
    // A small step back and forth: always a compact step.
    const auto x = static_cast<std::uint16_t>(1000 + (c.counter++ % 2));
    c.send([&](client::RequestWriter& w) { w.position(x, 1000, 0, 0, 0); });
    lastMove_[c.index()] = nowMicros();
    ++moves_;
  }

  void stopLoad() override {
    for (Pacer& pacer : pacers_) pacer.stop();
    uv_run(&loop_, UV_RUN_NOWAIT);
  }

  void report(Metrics& m, double seconds) override {
    m.set("rooms", options_.rooms);
    m.set("members_per_room", options_.members);
    m.set("moves_per_s_per_member", options_.hz);
    m.set("moves_sent", static_cast<double>(moves_));
    m.set("delivered_per_s", static_cast<double>(delivered_) / seconds);
    // Of the moves sent, the share the other members saw. Moves still in flight when the
    // measurement stops (the last pass of each room) and two moves of one member that fall
    // into one pass (timer jitter) keep it a little under 1.
    const double expected = static_cast<double>(moves_) * (options_.members - 1);
    m.set("delivered_share", expected > 0 ? static_cast<double>(delivered_) / expected : 0);
    m.set("latency_p50_ms", m.percentileMs(50));
    m.set("latency_p95_ms", m.percentileMs(95));
    m.set("latency_p99_ms", m.percentileMs(99));
  }

  std::vector<std::uint64_t> lastMove_;
  std::vector<Pacer> pacers_;
  int welcomed_ = 0;
  int joined_ = 0;
  std::uint64_t moves_ = 0;
  std::uint64_t delivered_ = 0;
};

std::unique_ptr<Scenario> makeNavScenario(const Options& options) {
  return std::make_unique<NavScenario>(options);
}

}  // namespace velmor::load
