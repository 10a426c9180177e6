// Scenarios about connections: member logins, connection churn, idle clients.
#include "Scenario.h"
#include "ScenarioSupport.h"

#include "ProcessStats.h"

namespace velmor::load {

namespace {
constexpr int kChurnLoops = 50;  // concurrent connect-login-enter-leave loops
}

// L registered members logging in with challenge and proof, all at once: how many the
// server admits per second. The members register during the set-up.
class LoginScenario : public Scenario {
 public:
  using Scenario::Scenario;

 private:
  // Names differ from run to run (the source net), so that a run finds its accounts new.
  std::string memberName(std::size_t i) const {
    std::string name = "M";
    name.append(std::to_string(options_.sourceNet)).append("x").append(std::to_string(i));
    return name;
  }

  void begin() override {
    for (int i = 0; i < options_.clients; ++i) {
      LoadClient& c = addClient();
      const std::size_t member = c.index();
      c.setFrameHandler([this, member](LoadClient& client, std::string_view payload) {
        const auto messages = decode(payload, false);
        if (client.phase == 0 && has(messages, ServerCode::RoomList)) {
          client.phase = 1;
          client.send(
              [&](client::RequestWriter& w) { w.registerAccount(hashFor(0), hashFor(member)); });
        } else if (client.phase == 1 && (has(messages, ServerCode::Registered) ||
                                         has(messages, ServerCode::RegistrationFailed))) {
          client.phase = 2;
          client.close();
          if (++registered_ == options_.clients) ready();
        }
      });
      c.connect(
          options_.port,
          [this, member](LoadClient& client) { loginAsGuest(client, memberName(member)); },
          nullptr);
    }
  }

  void startLoad() override {
    started_ = uv_hrtime();
    for (int i = 0; i < options_.clients; ++i) {
      LoadClient& c = addClient();
      const std::size_t member = static_cast<std::size_t>(i);
      c.setFrameHandler([this, member](LoadClient& client, std::string_view payload) {
        const auto messages = decode(payload, false);
        for (const auto& m : messages) {
          if (m.is(ServerCode::LoginChallenge)) {
            const client::Hash16 proof = client::loginProof(hashFor(member), m.text(1));
            client.send([&](client::RequestWriter& w) { w.loginProof(proof); });
          } else if (m.is(ServerCode::RoomList)) {
            if (++loggedIn_ == static_cast<std::uint64_t>(options_.clients))
              finished_ = uv_hrtime();
            client.close();
          } else if (m.is(ServerCode::LoginProofRejected) || m.is(ServerCode::NameInUse)) {
            ++errors_;
          }
        }
      });
      c.connect(
          options_.port,
          [this, member](LoadClient& client) {
            client::LoginFields fields;
            const std::string name = memberName(member);
            fields.name = name;
            client.send([&](client::RequestWriter& w) { w.login(fields); });
          },
          nullptr);
    }
  }

  void stopLoad() override {}

  void report(Metrics& m, double seconds) override {
    const double elapsed =
        finished_ != 0 ? static_cast<double>(finished_ - started_) / 1e9 : seconds;
    m.set("members", options_.clients);
    m.set("logins", static_cast<double>(loggedIn_));
    m.set("logins_per_s", static_cast<double>(loggedIn_) / elapsed);
    m.set("login_seconds", elapsed);
  }

  int registered_ = 0;
  std::uint64_t loggedIn_ = 0;
  std::uint64_t started_ = 0;
  std::uint64_t finished_ = 0;
};

// Connect, log in as a guest, enter a room, leave, disconnect: in a loop.
class ChurnScenario : public Scenario {
 public:
  using Scenario::Scenario;

 private:
  void begin() override { ready(); }

  void startLoad() override {
    for (int i = 0; i < kChurnLoops; ++i) cycle();
  }

  void cycle() {
    if (!measuring() || clients_.size() >= static_cast<std::size_t>(options_.clients) * 1000)
      return;
    LoadClient& c = addClient();
    c.setFrameHandler([this](LoadClient& client, std::string_view payload) {
      const auto messages = decode(payload, false);
      if (client.phase == 0 && has(messages, ServerCode::RoomList)) {
        client.phase = 1;
        client.send([](client::RequestWriter& w) { w.enterRoom("LoadChat", ""); });
      } else if (client.phase == 1 && has(messages, ServerCode::RoomState)) {
        client.phase = 2;
        client.send([](client::RequestWriter& w) { w.leaveRoom(); });
      } else if (client.phase == 2 && has(messages, ServerCode::RoomLeft)) {
        client.phase = 3;
        ++cycles_;
        client.close();
      }
    });
    c.connect(
        options_.port,
        [](LoadClient& client) { loginAsGuest(client, "Churn" + std::to_string(client.index())); },
        [this](LoadClient& client) {
          if (client.phase != 3) ++errors_;
          cycle();
        });
  }

  void stopLoad() override {}

  void report(Metrics& m, double seconds) override {
    m.set("cycles", static_cast<double>(cycles_));
    m.set("cycles_per_s", static_cast<double>(cycles_) / seconds);
  }

  std::uint64_t cycles_ = 0;
};

// L guests logged in and idle: the server's memory per idle client.
class IdleScenario : public Scenario {
 public:
  using Scenario::Scenario;

 private:
  void begin() override {
    if (options_.serverPid > 0) {
      if (auto sample = sampleProcess(options_.serverPid)) rssBefore_ = sample->rssKb;
    }
    for (int i = 0; i < options_.clients; ++i) {
      LoadClient& c = addClient();
      c.setFrameHandler([this](LoadClient& client, std::string_view payload) {
        if (client.phase == 0 && has(decode(payload, false), ServerCode::RoomList)) {
          client.phase = 1;
          if (++welcomed_ == options_.clients) ready();
        }
      });
      c.connect(
          options_.port,
          [](LoadClient& client) { loginAsGuest(client, "Idle" + std::to_string(client.index())); },
          nullptr);
    }
  }

  void startLoad() override {}
  void stopLoad() override {}

  void report(Metrics& m, double) override {
    m.set("clients", welcomed_);
    if (options_.serverPid > 0) {
      if (auto sample = sampleProcess(options_.serverPid)) {
        m.set("server_rss_before_kb", static_cast<double>(rssBefore_));
        m.set("server_rss_idle_kb", static_cast<double>(sample->rssKb));
        m.set("server_kb_per_idle_client", static_cast<double>(sample->rssKb - rssBefore_) /
                                               static_cast<double>(std::max(welcomed_, 1)));
      }
    }
  }

  int welcomed_ = 0;
  std::uint64_t rssBefore_ = 0;
};

std::unique_ptr<Scenario> makeLoginScenario(const Options& options) {
  return std::make_unique<LoginScenario>(options);
}
std::unique_ptr<Scenario> makeChurnScenario(const Options& options) {
  return std::make_unique<ChurnScenario>(options);
}
std::unique_ptr<Scenario> makeIdleScenario(const Options& options) {
  return std::make_unique<IdleScenario>(options);
}

}  // namespace velmor::load
