#include "net/OutputBufferPool.h"

#include <new>

namespace velmor {

OutputBufferPool::~OutputBufferPool() {
  while (free_ != nullptr) {
    OutputBuffer* buffer = free_;
    free_ = buffer->next;
    delete buffer;
  }
}

OutputBuffer* OutputBufferPool::acquire() {
  OutputBuffer* buffer = free_;
  if (buffer != nullptr) {
    free_ = buffer->next;
    --freeCount_;
  } else {
    buffer = new (std::nothrow) OutputBuffer;
    if (buffer == nullptr) return nullptr;
  }
  buffer->next = nullptr;
  buffer->read = buffer->write = 0;
  ++inUse_;
  return buffer;
}

void OutputBufferPool::release(OutputBuffer* buffer) {
  --inUse_;
  if (freeCount_ == kMaxFree) {
    delete buffer;
    return;
  }
  buffer->next = free_;
  free_ = buffer;
  ++freeCount_;
}

}  // namespace velmor
