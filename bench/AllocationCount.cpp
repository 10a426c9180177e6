#include "AllocationCount.h"

#include <atomic>
#include <cstdlib>
#include <new>

// ThreadSanitizer's runtime defines operator new itself, and a second definition does not
// link: under it nothing is counted (the release build is where allocations are measured).
#if defined(__SANITIZE_THREAD__)
#define VELMOR_RUNTIME_OWNS_NEW 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMOR_RUNTIME_OWNS_NEW 1
#endif
#endif

namespace {
std::atomic<std::size_t> allocations{0};
}

#ifndef VELMOR_RUNTIME_OWNS_NEW
// The replaced operator new takes its memory from malloc, so free is the matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#endif

namespace velmor::bench {

std::size_t allocationsSoFar() {
  return allocations.load(std::memory_order_relaxed);
}

}  // namespace velmor::bench
