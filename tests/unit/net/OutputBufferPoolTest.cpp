#include "net/OutputBufferPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace velmor {
namespace {

// A reader that stopped reading left thousands of buffers behind, and the pool kept every one
// for the life of the process: it keeps kMaxFree, reuses them first, and gives back the rest.
TEST(OutputBufferPool, KeepsABoundedFreeListAndReusesItBeforeAllocating) {
  OutputBufferPool pool;
  std::vector<OutputBuffer*> taken;
  for (std::size_t i = 0; i < 4 * OutputBufferPool::kMaxFree; ++i) taken.push_back(pool.acquire());
  for (OutputBuffer* buffer : taken) pool.release(buffer);
  EXPECT_EQ(pool.inUse(), 0u);
  EXPECT_EQ(pool.freeCount(), OutputBufferPool::kMaxFree);
  std::vector<OutputBuffer*> again;
  for (std::size_t i = 0; i < OutputBufferPool::kMaxFree; ++i) again.push_back(pool.acquire());
  const auto kept = taken.begin() + OutputBufferPool::kMaxFree;  // the first ones given back
  for (OutputBuffer* buffer : again) {
    EXPECT_NE(std::find(taken.begin(), kept, buffer), kept);
    EXPECT_EQ(buffer->waiting(), 0u);
  }
  for (OutputBuffer* buffer : again) pool.release(buffer);
}

}  // namespace
}  // namespace velmor
