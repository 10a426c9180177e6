#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "base/UvHandle.h"
#include "core/ServerCore.h"
#include "net/TCPServer.h"
#include "server/ConnectionCounts.h"
#include "server/ConnectionRateTable.h"
#include "settings/Settings.h"

namespace velmor {

class User;

// The application server: a TCPServer that gives every connection a User, applies the
// connection-rate limit and the server ban list when a connection arrives, hands the
// received bytes to the User, and drives the periodic processing of the ServerCore.
// Created once by the entry point with the main loop and the settings (not owned; they
// outlive the server). Main loop only; the status screen and the metrics endpoint read its
// figures (relaxed atomics) from their own threads through the const accessors.
class VelmorServer : public TCPServer {
 public:
  // Run on the query worker's loop when it starts (the server is complete by then) and
  // when it stops: the console screen lives there.
  struct WorkerHooks {
    std::function<void(uv_loop_t*, VelmorServer&)> onStart;
    std::function<void(uv_loop_t*)> onStop;
  };

  VelmorServer(uv_loop_t* loop, const Settings* settings, WorkerHooks workerHooks = {});
  ~VelmorServer() override;

  ClientData* createClient(uv_stream_t* client, uv_stream_t* serverHandle) override;
  void onData(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf) override;
  bool onConnect(uv_stream_t* client) override;
  void onDisconnect(uv_stream_t* client) override;

  // Reads the TLS certificate and key again (SIGHUP): new connections get them, open ones
  // keep theirs. A pair that does not load leaves the one in use, and the console says why.
  bool reloadCertificates();
  // Reads the web client's folder again (SIGHUP, with the certificates).
  void reloadWebFolder();

  // Ends serving: stops listening, closes every connection and every handle of the
  // server, so that the main loop runs out of work and uv_run returns. Idempotent.
  void shutdown();

  const Settings& settings() const { return *settings_; }
  ServerCore& core() { return *core_; }
  const ServerCore& core() const { return *core_; }
  ConnectionRateTable& connectionRates() { return connectionRates_; }
  const ConnectionCounts& connectionCounts() const { return connectionCounts_; }

 protected:
  // Stops the 20 ms timer: a test that calls ServerCore::tick itself decides when ticks
  // fall. Nothing in the server calls it.
  void stopTickTimer() { uv_timer_stop(tickTimer_.get()); }

 private:
  static void onTick(uv_timer_t* timer);
  // The WebSocket and TLS doors, the certificate and the proxies from the settings; a
  // setting that cannot work ends the start (fatalExit).
  void openDoors(const Settings& settings);
  // Received bytes, or bytes held earlier, through the frame loop; then reading is paused or
  // resumed by the user's queries in flight and held requests.
  void handleInput(User& user, const char* data, std::size_t length);
  // Each tick: the users whose requests may go on again (their queries came down, or the
  // storage fails) have their held requests handled and their reading resumed.
  void resumePausedInput();
  // Sends the refusal straight through the connection (not counted) and closes it.
  void refuse(uv_stream_t* client, const char* frame, std::size_t length);

  const Settings* settings_;
  std::unique_ptr<ServerCore> core_;
  UvHandle<uv_timer_t> tickTimer_;
  ConnectionRateTable connectionRates_;
  ConnectionCounts connectionCounts_;
  // Users whose reading paused for their queries (some with requests held); removed on
  // disconnect.
  std::vector<User*> paused_;
};

}  // namespace velmor
