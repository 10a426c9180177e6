#pragma once

#include <cstddef>

#include "net/OutputBuffer.h"

namespace velmor {

// The free output buffers of one server's connections. A buffer is allocated only when the
// free list is empty, so ordinary traffic (short backlogs that come and go) reuses the same
// buffers without allocating; the free list keeps at most kMaxFree of them and gives the
// rest back to the allocator, so that what a slow reader's backlog took goes back when his
// backlog goes.
// Owned by GenericServer; main loop only.
// REQUIRES for destruction: every buffer taken was given back.
class OutputBufferPool {
 public:
  static constexpr std::size_t kMaxFree = 256;  // 1 MiB of buffers

  OutputBufferPool() = default;
  ~OutputBufferPool();
  OutputBufferPool(const OutputBufferPool&) = delete;
  OutputBufferPool& operator=(const OutputBufferPool&) = delete;

  // An empty buffer; nullptr only if memory ran out.
  OutputBuffer* acquire();
  void release(OutputBuffer* buffer);

  std::size_t freeCount() const { return freeCount_; }
  // Buffers taken and not given back yet.
  std::size_t inUse() const { return inUse_; }

 private:
  OutputBuffer* free_ = nullptr;  // linked through OutputBuffer::next
  std::size_t freeCount_ = 0;
  std::size_t inUse_ = 0;
};

}  // namespace velmor
