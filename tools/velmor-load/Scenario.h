#pragma once

#include <sys/types.h>
#include <uv.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LoadClient.h"
#include "Metrics.h"
#include "Transport.h"

namespace velmor::load {

struct Options {
  std::string scenario = "chat";
  std::uint16_t port = 7175;  // of the door --transport names
  TransportKind transport = TransportKind::Tcp;
  pid_t serverPid = 0;
  int members = 50;           // chat: room size; nav: members per room
  int senders = 50;           // chat
  double rate = 500;          // chat: lines per second, all senders together
  int rooms = 40;             // nav
  double hz = 10;             // nav: moves per second per member
  int clients = 1000;         // login, churn, idle
  double duration = 20;       // s of measurement
  int sourceNet = 20;         // source addresses 127.<sourceNet>.0.1 upwards
  std::string json;           // where the figures go, if set
  std::string adminPassword;  // for the status text's tick figures
};

// A load scenario on the generator's loop. run() connects its clients, sets them up, measures
// for the duration and fills the metrics; bounded in time and count, it stops by itself.
class Scenario {
 public:
  explicit Scenario(const Options& options);
  virtual ~Scenario();
  // False when the setup did not complete (the reason is printed).
  bool run(Metrics& metrics);

 protected:
  // Starts the scenario's setup; call ready() once every client is in place.
  virtual void begin() = 0;
  // The measurement starts: start sending.
  virtual void startLoad() = 0;
  virtual void stopLoad() = 0;
  // Fills the scenario's own figures.
  virtual void report(Metrics& metrics, double seconds) = 0;

  LoadClient& addClient();
  void ready() { ready_ = true; }
  void fail(const std::string& why);
  bool measuring() const { return measuring_; }
  static std::uint64_t nowMicros() { return uv_hrtime() / 1000; }

  const Options options_;
  Metrics* metrics_ = nullptr;
  uv_loop_t loop_{};
  const TransportFactory transports_;  // outlives every client
  std::vector<std::unique_ptr<LoadClient>> clients_;
  std::uint64_t disconnects_ = 0;
  std::uint64_t errors_ = 0;

 private:
  std::uint32_t nextSource_;
  bool ready_ = false;
  bool measuring_ = false;
  bool failed_ = false;
};

std::unique_ptr<Scenario> makeChatScenario(const Options& options);
std::unique_ptr<Scenario> makeNavScenario(const Options& options);
std::unique_ptr<Scenario> makeLoginScenario(const Options& options);
std::unique_ptr<Scenario> makeChurnScenario(const Options& options);
std::unique_ptr<Scenario> makeIdleScenario(const Options& options);

}  // namespace velmor::load
