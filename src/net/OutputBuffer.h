#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor {

// One block of a connection's queued output, with explicit read and write positions:
//
//   bytes: [ written to the socket | waiting           | free for appending       ]
//          0                     read               write                    kBytes
//
// Invariant: 0 <= read <= write <= kBytes. A whole block is what one buffer costs, so the
// output limits count kSize per buffer held, however few bytes wait in it.
// Taken from and given back to an OutputBufferPool; linked into one OutputQueue at a time.
// Main loop only.
struct OutputBuffer {
  static constexpr std::size_t kSize = 4096;  // bytes, the header included

  OutputBuffer* next = nullptr;
  std::uint32_t read = 0;
  std::uint32_t write = 0;
  char bytes[kSize - sizeof(OutputBuffer*) - 2 * sizeof(std::uint32_t)];

  static constexpr std::uint32_t kBytes = sizeof(bytes);
  std::uint32_t waiting() const { return write - read; }
  std::uint32_t room() const { return kBytes - write; }
};

static_assert(sizeof(OutputBuffer) == OutputBuffer::kSize);

}  // namespace velmor
