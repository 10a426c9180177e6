#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace velmor::test {

// CI (CI=true) runs as root with every tool installed: there, every test must run.
inline bool inContinuousIntegration() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace velmor::test

// What a test needs of the machine (root, a tool, a limit). When it is missing the test
// says why: it skips, except in CI, where a test that cannot run is a failure. Use in the
// test body or SetUp (it returns from the function).
#define VELMOR_REQUIRE(condition, reason)                              \
  do {                                                                 \
    if (!(condition)) {                                                \
      if (::velmor::test::inContinuousIntegration()) FAIL() << reason; \
      GTEST_SKIP() << reason;                                          \
    }                                                                  \
  } while (0)
