#pragma once

#include <cstddef>

namespace velmor {

// The process-wide stack of free 8192-byte blocks that message builders start from.
// A block is allocated only when the stack is empty; released blocks are kept for
// reuse until the process ends. Main loop only.
class BufferPool {
 public:
  static constexpr std::size_t kBlockSize = 8192;

  static char* acquire();
  static void release(char* block);
  static std::size_t freeBlocks();
};

}  // namespace velmor
