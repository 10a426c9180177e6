#pragma once

#include <uv.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "server/VelmorServer.h"
#include "settings/Settings.h"
#include "support/LoopPump.h"
#include "support/TempDir.h"
#include "users/User.h"

namespace velmor::test {

// A VelmorServer on a loop that its user turns himself, with its files in a temporary
// folder, listening on 127.0.0.1 and a free port. It counts connection events, so callers
// can check what the framework reported. The one in-process server of the tests, the
// benchmarks and the fuzzers (no test framework in it). Main thread only.
class ServerHarness {
 public:
  class Server : public VelmorServer {
   public:
    using VelmorServer::VelmorServer;
    bool onConnect(uv_stream_t* client) override;
    void onDisconnect(uv_stream_t* client) override;
    // The tick runs only when the test calls ServerCore::tick.
    void holdTicks() { stopTickTimer(); }
    int connects = 0;
    int disconnects = 0;
    std::vector<User*> users;  // admitted and still open, in order
  };

  // `configure` may change the settings before the server is built.
  explicit ServerHarness(const std::function<void(Settings&)>& configure = {});
  ~ServerHarness();
  ServerHarness(const ServerHarness&) = delete;
  ServerHarness& operator=(const ServerHarness&) = delete;

  // Whether the server listened within a few seconds of its start.
  bool listening() const { return listening_; }
  // Shuts the server down, runs the loop until everything has closed and destroys the
  // server; false when a handle was left open. Idempotent (the destructor calls it).
  bool shutdown();

  Server& server() { return *server_; }
  ServerCore& core() { return server_->core(); }
  uv_loop_t* loop() { return &loop_; }
  std::uint16_t port() const { return static_cast<std::uint16_t>(settings_.serverport); }
  const Settings& settings() const { return settings_; }

  bool pumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    return test::pumpUntil(&loop_, done, timeout);
  }
  void pumpFor(std::chrono::milliseconds duration) { test::pumpFor(&loop_, duration); }
  // Runs the loop until every query posted so far came back (a query that does nothing,
  // posted last, completes after them: the pipeline answers in order); false when it did
  // not within the timeout. Queries kept for a busy storage are not waited for.
  bool settleQueries(std::chrono::milliseconds timeout = std::chrono::seconds(3));

 private:
  TempDir dir_;
  Settings settings_;
  uv_loop_t loop_{};
  std::unique_ptr<Server> server_;
  bool listening_ = false;
  bool shutDown_ = false;
  bool closedCleanly_ = true;
};

}  // namespace velmor::test
