#include "support/InProcessServer.h"

#include <gtest/gtest.h>

#include "support/Sockets.h"

namespace velmor::test {

InProcessServer::InProcessServer(const std::function<void(Settings&)>& configure)
    : settings_(dir_.path()) {
  settings_.useupnp = false;
  settings_.bindaddress = "127.0.0.1";
  settings_.serverport = freePort();
  if (configure) configure(settings_);
  uv_loop_init(&loop_);
  server_ = std::make_unique<Server>(&loop_, &settings_);
  EXPECT_TRUE(pumpUntil([this] { return server_->isListening(); }));
}

InProcessServer::~InProcessServer() {
  server_->shutdown();
  uv_run(&loop_, UV_RUN_DEFAULT);
  server_.reset();
  uv_run(&loop_, UV_RUN_DEFAULT);
  EXPECT_EQ(uv_loop_close(&loop_), 0) << "a handle was left open";
}

}  // namespace velmor::test
