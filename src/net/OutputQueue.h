#pragma once

#include <uv.h>

#include <cstddef>

#include "net/OutputBuffer.h"
#include "net/OutputBufferPool.h"

namespace velmor {

// The output of one connection that its socket has not taken yet: a list of pooled buffers
// that appends fill one after another, and at most one write in flight, which sends the
// waiting bytes of the first few buffers.
//
//   head_                                      tail_
//   [ written | in flight ] -> [ in flight | waiting ] -> [ waiting | free ]
//
// Invariants: every buffer but the tail is full (write == kBytes); no buffer is empty of
// waiting bytes (emptied buffers go back to the pool at once, so an idle connection holds
// none); the write in flight covers the first inFlight_ waiting bytes. Appending never moves
// bytes, so the tail may be filled while its first bytes are being written.
// Owned by the connection's ClientData, driven by GenericServer; main loop only.
// REQUIRES for destruction: cleared (its buffers are the pool's).
class OutputQueue {
 public:
  // libuv copies up to four buffer descriptions into the request itself; more would allocate.
  static constexpr unsigned kMaxBuffersPerWrite = 4;

  OutputQueue() = default;
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  bool empty() const { return head_ == nullptr; }
  bool writing() const { return inFlight_ != 0; }
  // Bytes held: whole buffers, as the output limits count them.
  std::size_t heldBytes() const { return buffers_ * OutputBuffer::kSize; }
  // The bytes of the buffers appending `length` bytes would add.
  std::size_t growthFor(std::size_t length) const;

  // Copies the bytes in; false if the pool ran out of memory, and then only a part may have
  // been queued (the connection must go, the stream would lose bytes).
  bool append(const char* data, std::size_t length, OutputBufferPool& pool);

  // The request of the write in flight, and the waiting bytes it is to send.
  // REQUIRES: !empty() && !writing().
  uv_write_t* request() { return &request_; }
  unsigned beginWrite(uv_buf_t (&bufs)[kMaxBuffersPerWrite]);
  // The write in flight completed: its bytes are dropped, the buffers they emptied released.
  void endWrite(OutputBufferPool& pool);
  // Drops everything waiting (the connection is closing; its socket no longer writes).
  void clear(OutputBufferPool& pool);

 private:
  void dropHead(OutputBufferPool& pool);

  OutputBuffer* head_ = nullptr;
  OutputBuffer* tail_ = nullptr;
  std::size_t buffers_ = 0;
  std::size_t inFlight_ = 0;  // bytes
  uv_write_t request_{};
};

}  // namespace velmor
