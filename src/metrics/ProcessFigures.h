#pragma once

#include <dirent.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace velmor {

// The process's standard figures, as Prometheus's client libraries name them (process_*),
// read from /proc at each scrape on the thread that answers it. A figure that cannot be
// read is left out rather than shown wrong: a hardened service (ProcSubset=pid) sees its
// own /proc/self but not /proc/stat, where the boot time is.
struct ProcessFigures {
  std::optional<double> cpuSeconds;  // user and system
  std::optional<std::uint64_t> residentBytes;
  std::optional<std::uint64_t> virtualBytes;
  std::optional<std::uint64_t> openDescriptors;
  std::optional<std::uint64_t> maxDescriptors;  // the soft limit
  std::optional<double> startTimeSeconds;       // since 1970
};

// The process's open descriptors, counted by listing /proc/self/fd through one descriptor
// opened at construction and kept to destruction: a count opens and closes none. That keeps
// the count clear of the main loop's descriptors under ThreadSanitizer: libuv closes them
// with a raw system call the sanitizer does not see, so a listing opened and closed on
// another thread on a number the loop had just freed looked like a race with the loop's
// accept of that number. The listing's own descriptor is one of those counted.
// Owned by the entry point, built on the main thread before the metrics endpoint starts;
// count() on one thread at a time (the endpoint's).
class DescriptorListing {
 public:
  DescriptorListing();
  // Nothing when /proc/self/fd could not be opened.
  std::optional<std::uint64_t> count();

 private:
  struct Close {
    void operator()(DIR* directory) const { ::closedir(directory); }
  };
  std::unique_ptr<DIR, Close> directory_;
};

ProcessFigures readProcessFigures(DescriptorListing& descriptors);

// The fields of a /proc/<pid>/stat line that the figures use; nothing when it is not one.
struct ProcessStat {
  std::uint64_t userTicks = 0;
  std::uint64_t systemTicks = 0;
  std::uint64_t startTicks = 0;  // after boot
  std::uint64_t virtualBytes = 0;
  std::uint64_t residentPages = 0;
};
std::optional<ProcessStat> parseProcessStat(std::string_view line);

}  // namespace velmor
