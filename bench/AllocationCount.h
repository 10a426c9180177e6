#pragma once

#include <cstddef>

namespace velmor::bench {

// Heap allocations made so far by this process: AllocationCount.cpp replaces operator new
// with one that counts (not under ThreadSanitizer, whose runtime keeps its own: always 0
// there). Any thread.
std::size_t allocationsSoFar();

}  // namespace velmor::bench
