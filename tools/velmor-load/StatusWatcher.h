#pragma once

#include <uv.h>

#include <cstdint>
#include <optional>
#include <string>

#include "LoadClient.h"
#include "ScenarioSupport.h"

namespace velmor::load {

// The server's own account of its ticks during a measurement: one more client, logged in
// as a guest from an address of its own, that asks for the status text every second (with
// the administrator password, if given) and keeps the worst "Longest tick (5 s)" and
// "Tick p99 (5 s)" of the replies whose 5-second window lies inside the measurement, and
// of the reply to a last request at its end. Loop thread only.
class StatusWatcher {
 public:
  StatusWatcher(uv_loop_t* loop, std::uint32_t sourceAddress, std::string adminPassword,
                const TransportFactory* transports);
  ~StatusWatcher();
  StatusWatcher(const StatusWatcher&) = delete;
  StatusWatcher& operator=(const StatusWatcher&) = delete;

  void connect(std::uint16_t port);
  bool welcomed() const { return welcomed_; }
  // The measurement starts: requests every second from now.
  void start();
  // The measurement ended: one last request; done() once its reply came.
  void finish();
  bool done() const { return finished_ && answered_ >= asked_; }

  // The figures, when at least one reply counted.
  std::optional<double> longestTickMs() const { return longest_; }
  std::optional<double> tickP99Ms() const { return p99_; }
  // Whether every counted window lay wholly inside the measurement (false: short runs).
  bool windowsInside() const { return inside_; }

 private:
  void ask();
  void onFrame(std::string_view payload);

  uv_loop_t* loop_;
  LoadClient client_;
  std::string password_;
  Pacer poller_;  // started with the measurement, stopped at its end
  bool polling_ = false;
  std::uint64_t startNs_ = 0;
  bool welcomed_ = false;
  bool measuring_ = false;
  bool finished_ = false;
  bool inside_ = true;
  std::uint64_t asked_ = 0;
  std::uint64_t answered_ = 0;
  std::uint64_t countFrom_ = ~std::uint64_t{0};  // replies to requests from this one on count
  std::optional<double> longest_;
  std::optional<double> p99_;
};

// The value after `label` in a status text ("Tick p99 (5 s): " → 1.25), if there.
std::optional<double> statusValue(const std::string& text, const std::string& label);

}  // namespace velmor::load
