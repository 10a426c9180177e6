#include "support/ServerHarness.h"

#include <algorithm>
#include <memory>

#include "core/ServerCore.h"
#include "db/QueryPipeline.h"

#include "support/Sockets.h"

namespace velmor::test {

bool ServerHarness::Server::onConnect(uv_stream_t* client) {
  const bool admitted = VelmorServer::onConnect(client);
  if (admitted) users.push_back(static_cast<User*>(client->data));
  ++connects;
  return admitted;
}

void ServerHarness::Server::onDisconnect(uv_stream_t* client) {
  std::erase(users, static_cast<User*>(client->data));
  ++disconnects;
  VelmorServer::onDisconnect(client);
}

ServerHarness::ServerHarness(const std::function<void(Settings&)>& configure)
    : settings_(dir_.path()) {
  settings_.useupnp = false;
  settings_.bindaddress = "127.0.0.1";
  settings_.serverport = freePort();
  if (configure) configure(settings_);
  uv_loop_init(&loop_);
  server_ = std::make_unique<Server>(&loop_, &settings_);
  listening_ = pumpUntil([this] { return server_->isListening(); });
}

ServerHarness::~ServerHarness() {
  shutdown();
}

namespace {

// A query that does no work and comes back: its completion shows that the queries posted
// before it came back too.
class FenceQuery final : public VelmorBaseQuery {
 public:
  explicit FenceQuery(std::shared_ptr<bool> passed) : passed_(std::move(passed)) {}
  bool run(Storage&) override { return true; }
  bool deliver() override {
    *passed_ = true;
    return false;
  }

 private:
  std::shared_ptr<bool> passed_;
};

}  // namespace

bool ServerHarness::settleQueries(std::chrono::milliseconds timeout) {
  auto passed = std::make_shared<bool>(false);
  core().queries().post(nullptr, new FenceQuery(passed));
  return pumpUntil([&] { return *passed; }, timeout);
}

bool ServerHarness::shutdown() {
  if (shutDown_) return closedCleanly_;
  shutDown_ = true;
  server_->shutdown();
  uv_run(&loop_, UV_RUN_DEFAULT);
  server_.reset();
  uv_run(&loop_, UV_RUN_DEFAULT);
  closedCleanly_ = uv_loop_close(&loop_) == 0;
  return closedCleanly_;
}

}  // namespace velmor::test
