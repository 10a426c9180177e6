#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace velmor::load {

// CPU time (user + system, µs) and peak resident memory (KB) of a process, read from /proc.
struct ProcessSample {
  std::uint64_t cpuMicros = 0;
  std::uint64_t peakRssKb = 0;
  std::uint64_t rssKb = 0;
};

std::optional<ProcessSample> sampleProcess(pid_t pid);
// This process's own CPU time in µs.
std::uint64_t ownCpuMicros();

}  // namespace velmor::load
