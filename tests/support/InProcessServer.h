#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "support/ServerHarness.h"

namespace velmor::test {

// The in-process server of the tests: the shared harness, with its checks made test
// failures (the server listened; no handle was left open at the end).
class InProcessServer : public ServerHarness {
 public:
  explicit InProcessServer(const std::function<void(Settings&)>& configure = {})
      : ServerHarness(configure) {
    EXPECT_TRUE(listening());
  }
  ~InProcessServer() { EXPECT_TRUE(shutdown()) << "a handle was left open"; }
};

}  // namespace velmor::test
