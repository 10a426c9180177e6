#include "net/WriteRequestPool.h"

#include <bit>
#include <cstdlib>
#include <new>

namespace velmor {

struct WriteRequestPool::Block {
  Block* older = nullptr;
  WriteRequest requests[kRequestsPerBlock];
};

namespace {
constexpr std::uint32_t kMinCapacity = 256;

bool reserve(WriteRequest& request, std::size_t length) {
  if (request.capacity >= length) return true;
  std::size_t capacity = std::bit_ceil(length < kMinCapacity ? std::size_t{kMinCapacity} : length);
  char* bytes = static_cast<char*>(std::malloc(capacity));
  if (bytes == nullptr) return false;
  std::free(request.bytes);
  request.bytes = bytes;
  request.capacity = static_cast<std::uint32_t>(capacity);
  return true;
}
}  // namespace

WriteRequestPool::~WriteRequestPool() {
  std::size_t carved = next_;
  while (newest_ != nullptr) {
    Block* block = newest_;
    for (std::size_t i = 0; i < carved; ++i) std::free(block->requests[i].bytes);
    newest_ = block->older;
    delete block;
    carved = kRequestsPerBlock;
  }
}

WriteRequest* WriteRequestPool::carve() {
  if (next_ == kRequestsPerBlock) {
    Block* block = new (std::nothrow) Block;
    if (block == nullptr) return nullptr;
    block->older = newest_;
    newest_ = block;
    next_ = 0;
    ++blockCount_;
  }
  return &newest_->requests[next_++];
}

WriteRequest* WriteRequestPool::acquire(std::size_t length) {
  WriteRequest* request = freeRequests_;
  if (request != nullptr) {
    freeRequests_ = request->nextFree;
    keptBytes_ -= request->capacity;
  } else {
    request = carve();
    if (request == nullptr) return nullptr;
  }
  request->nextFree = nullptr;
  if (!reserve(*request, length)) {
    release(request);
    return nullptr;
  }
  return request;
}

void WriteRequestPool::release(WriteRequest* request) {
  if (request->capacity > kMaxKeptCapacity || keptBytes_ + request->capacity > kMaxKeptBytes) {
    std::free(request->bytes);
    request->bytes = nullptr;
    request->capacity = 0;
  }
  keptBytes_ += request->capacity;
  request->nextFree = freeRequests_;
  freeRequests_ = request;
}

}  // namespace velmor
