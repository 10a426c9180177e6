#pragma once

#include <uv.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "settings/Settings.h"
#include "users/User.h"
#include "server/VelmorServer.h"
#include "support/LoopPump.h"
#include "support/TempDir.h"

namespace velmor::test {

// A VelmorServer on a loop that the test turns itself, with its files in a temporary
// folder, listening on 127.0.0.1 and a free port. It counts connection events, so tests
// can check what the framework reported. The fixture closes everything and checks that no
// handle was left open.
class InProcessServer {
 public:
  class Server : public VelmorServer {
   public:
    using VelmorServer::VelmorServer;
    bool onConnect(uv_stream_t* client) override {
      const bool admitted = VelmorServer::onConnect(client);
      if (admitted) users.push_back(static_cast<User*>(client->data));
      ++connects;
      return admitted;
    }
    void onDisconnect(uv_stream_t* client) override {
      std::erase(users, static_cast<User*>(client->data));
      ++disconnects;
      VelmorServer::onDisconnect(client);
    }
    int connects = 0;
    int disconnects = 0;
    std::vector<User*> users;  // admitted and still open, in order
  };

  // `configure` may change the settings before the server is built.
  explicit InProcessServer(const std::function<void(Settings&)>& configure = {});
  ~InProcessServer();

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

 private:
  TempDir dir_;
  Settings settings_;
  uv_loop_t loop_{};
  std::unique_ptr<Server> server_;
};

}  // namespace velmor::test
