#include "net/OutputQueue.h"

#include <algorithm>
#include <cstring>

namespace velmor {

std::size_t OutputQueue::growthFor(std::size_t length) const {
  const std::size_t room = tail_ != nullptr ? tail_->room() : 0;
  if (length <= room) return 0;
  const std::size_t buffers = (length - room + OutputBuffer::kBytes - 1) / OutputBuffer::kBytes;
  return buffers * OutputBuffer::kSize;
}

bool OutputQueue::append(const char* data, std::size_t length, OutputBufferPool& pool) {
  while (length > 0) {
    if (tail_ == nullptr || tail_->room() == 0) {
      OutputBuffer* buffer = pool.acquire();
      if (buffer == nullptr) return false;
      (tail_ != nullptr ? tail_->next : head_) = buffer;
      tail_ = buffer;
      ++buffers_;
    }
    const std::size_t taken = std::min<std::size_t>(length, tail_->room());
    std::memcpy(tail_->bytes + tail_->write, data, taken);
    tail_->write += static_cast<std::uint32_t>(taken);
    data += taken;
    length -= taken;
  }
  return true;
}

unsigned OutputQueue::beginWrite(uv_buf_t (&bufs)[kMaxBuffersPerWrite]) {
  unsigned count = 0;
  for (OutputBuffer* buffer = head_; buffer != nullptr && count < kMaxBuffersPerWrite;
       buffer = buffer->next) {
    bufs[count++] = uv_buf_init(buffer->bytes + buffer->read, buffer->waiting());
    inFlight_ += buffer->waiting();
  }
  return count;
}

void OutputQueue::endWrite(OutputBufferPool& pool) {
  while (inFlight_ > 0) {
    const std::uint32_t sent =
        static_cast<std::uint32_t>(std::min<std::size_t>(inFlight_, head_->waiting()));
    head_->read += sent;
    inFlight_ -= sent;
    if (head_->waiting() == 0) dropHead(pool);
  }
}

void OutputQueue::clear(OutputBufferPool& pool) {
  while (head_ != nullptr) dropHead(pool);
  inFlight_ = 0;
}

void OutputQueue::dropHead(OutputBufferPool& pool) {
  OutputBuffer* buffer = head_;
  head_ = buffer->next;
  if (head_ == nullptr) tail_ = nullptr;
  --buffers_;
  pool.release(buffer);
}

}  // namespace velmor
