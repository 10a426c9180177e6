#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>

namespace velmor {

// One pending write: the libuv request and the copy of the bytes it sends.
// The bytes belong to the request and stay valid until the write completes, so the
// caller of GenericServer::write may reuse its own buffer as soon as write returns.
struct WriteRequest {
  uv_write_t request;
  char* bytes = nullptr;
  std::uint32_t capacity = 0;
  std::uint32_t length = 0;  // the bytes of the write in flight
  WriteRequest* nextFree = nullptr;
};

// Pool of write requests carved from blocks of 4095, reused through a free list and
// never freed one by one; the blocks (and the byte buffers of their requests) are
// freed by the destructor. Each request keeps its byte buffer between uses and grows
// it only when a write is larger, so the steady state does not allocate. The buffers the
// free list keeps hold at most kMaxKeptBytes together: what slow readers queued before
// they left is given back, not kept for the life of the process.
// Owned by GenericServer; main loop only.
//
//   block: [ link to older block | request 0 | request 1 | ... | request 4094 ]
//   carved requests of the newest block: [0, next); older blocks are full.
class WriteRequestPool {
 public:
  static constexpr std::size_t kRequestsPerBlock = 4095;
  // Buffers larger than this are released when their write completes, so a burst of
  // big frames does not pin memory in every request of the pool.
  static constexpr std::uint32_t kMaxKeptCapacity = 64 * 1024;
  static constexpr std::size_t kMaxKeptBytes = 4 * 1024 * 1024;

  WriteRequestPool() = default;
  ~WriteRequestPool();
  WriteRequestPool(const WriteRequestPool&) = delete;
  WriteRequestPool& operator=(const WriteRequestPool&) = delete;

  // A request whose buffer holds at least `length` bytes; nullptr only if memory ran out.
  WriteRequest* acquire(std::size_t length);
  void release(WriteRequest* request);

  std::size_t blockCount() const { return blockCount_; }
  // The bytes of the buffers held by free requests.
  std::size_t keptBytes() const { return keptBytes_; }

 private:
  struct Block;
  WriteRequest* carve();

  Block* newest_ = nullptr;
  std::size_t next_ = kRequestsPerBlock;  // carved requests of the newest block
  std::size_t blockCount_ = 0;
  WriteRequest* freeRequests_ = nullptr;
  std::size_t keptBytes_ = 0;
};

}  // namespace velmor
