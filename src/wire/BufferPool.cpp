#include "wire/BufferPool.h"

#include <vector>

namespace velmor {

namespace {
struct FreeBlocks {
  std::vector<char*> blocks;
  ~FreeBlocks() {
    for (char* block : blocks) delete[] block;
  }
};

FreeBlocks& freeList() {
  static FreeBlocks list;
  return list;
}
}  // namespace

char* BufferPool::acquire() {
  std::vector<char*>& blocks = freeList().blocks;
  if (blocks.empty()) return new char[kBlockSize];
  char* block = blocks.back();
  blocks.pop_back();
  return block;
}

void BufferPool::release(char* block) {
  freeList().blocks.push_back(block);
}

std::size_t BufferPool::freeBlocks() {
  return freeList().blocks.size();
}

}  // namespace velmor
