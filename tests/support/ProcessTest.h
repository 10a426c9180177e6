#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "support/ServerProcess.h"
#include "support/TestClient.h"

namespace velmor::test {

// The fixture of the tests that run the real executable: its process, started with a
// settings file beside it, and clients that connect, log in as guests or register as
// members. Test thread only.
class ProcessTest : public testing::Test {
 protected:
  // Starts the server with these settings (JSON members, "useupnp" and the address are the
  // harness's) and waits until it listens.
  void start(const std::string& settings = "");
  // Stops it with SIGINT, expecting a clean exit, and starts it again on the same files.
  void restart();

  std::unique_ptr<TestClient> connect(int sourceHost = 0);
  std::unique_ptr<TestClient> guest(std::string_view name, std::string_view password = "");
  // A registered guest, a member from the Registered answer on; his password hash is
  // memberHash(name), for logging in as him again.
  std::unique_ptr<TestClient> member(std::string_view name, std::string_view password = "");
  static client::Hash16 memberHash(std::string_view name);

  std::unique_ptr<ServerProcess> server;
};

}  // namespace velmor::test
