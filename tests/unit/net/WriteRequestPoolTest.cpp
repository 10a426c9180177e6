#include "net/WriteRequestPool.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmor {
namespace {

TEST(WriteRequestPool, ReusesReturnedRequestsAndTheirBuffers) {
  WriteRequestPool pool;
  WriteRequest* first = pool.acquire(100);
  ASSERT_NE(first, nullptr);
  char* bytes = first->bytes;
  EXPECT_GE(first->capacity, 100u);
  pool.release(first);
  WriteRequest* again = pool.acquire(50);
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->bytes, bytes) << "a smaller write must not reallocate";
  pool.release(again);
}

TEST(WriteRequestPool, GrowsBufferOnlyForLargerWritesAndDropsHugeOnes) {
  WriteRequestPool pool;
  WriteRequest* request = pool.acquire(10);
  pool.release(request);
  request = pool.acquire(5000);
  EXPECT_GE(request->capacity, 5000u);
  pool.release(request);
  request = pool.acquire(WriteRequestPool::kMaxKeptCapacity + 1);
  EXPECT_GT(request->capacity, WriteRequestPool::kMaxKeptCapacity);
  pool.release(request);
  EXPECT_EQ(request->bytes, nullptr);
  EXPECT_EQ(request->capacity, 0u);
}

TEST(WriteRequestPool, BlockHolds4095RequestsThenASecondBlockIsAdded) {
  WriteRequestPool pool;
  std::vector<WriteRequest*> taken;
  for (std::size_t i = 0; i < WriteRequestPool::kRequestsPerBlock; ++i)
    taken.push_back(pool.acquire(1));
  EXPECT_EQ(pool.blockCount(), 1u);
  taken.push_back(pool.acquire(1));
  EXPECT_EQ(pool.blockCount(), 2u);
  for (WriteRequest* r : taken) pool.release(r);
  for (std::size_t i = 0; i < taken.size(); ++i) pool.acquire(1);
  EXPECT_EQ(pool.blockCount(), 2u) << "returned requests are reused before a new block";
}

// Many slow readers each leave megabytes of queued output behind when they go: the free list
// keeps at most kMaxKeptBytes of buffers, not all of it.
TEST(WriteRequestPool, FreeListKeepsABoundedAmountOfBuffers) {
  WriteRequestPool pool;
  std::vector<WriteRequest*> taken;
  for (int i = 0; i < 1000; ++i) taken.push_back(pool.acquire(60 * 1024));
  for (WriteRequest* r : taken) pool.release(r);
  EXPECT_LE(pool.keptBytes(), WriteRequestPool::kMaxKeptBytes);
  EXPECT_GT(pool.keptBytes(), 0u) << "small buffers are still kept for reuse";
  for (std::size_t i = 0; i < taken.size(); ++i) pool.acquire(100);
  EXPECT_EQ(pool.keptBytes(), 0u);
}

}  // namespace
}  // namespace velmor
