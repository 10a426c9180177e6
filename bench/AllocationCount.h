#pragma once

#include <cstddef>

namespace velmor::bench {

// Heap allocations made so far by this process: AllocationCount.cpp replaces operator new
// with one that counts. Any thread.
std::size_t allocationsSoFar();

}  // namespace velmor::bench
