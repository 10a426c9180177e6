#pragma once

#include "app/Settings.h"
#include "net/TCPServer.h"

namespace velmor {

// The application server: a TCPServer listening on the configured port.
// Created once by the entry point with the main loop and the settings (not owned,
// outlives the server). Main loop only.
class VelmorServer : public TCPServer {
 public:
  VelmorServer(uv_loop_t* loop, const Settings* settings);
  ~VelmorServer() override;

  void onData(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf) override;
  bool onConnect(uv_stream_t* client) override;
  void onDisconnect(uv_stream_t* client) override;

  // Ends serving: stops listening and closes every connection and handle of the server,
  // so that the main loop runs out of work and uv_run returns. Idempotent.
  void shutdown();

  const Settings& settings() const { return *settings_; }

 private:
  const Settings* settings_;
};

}  // namespace velmor
