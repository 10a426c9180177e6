#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velmor {

// The per-address connection limit: one address may open seven connections within ten
// seconds; the eighth is refused and blocks the address for five minutes, renewed by every
// refused attempt. Records of addresses unseen for ten seconds are dropped while the table
// is walked, so it holds only recent addresses. Times are loop milliseconds, passed in by
// the caller (tests move them freely). One per server; main loop only.
class ConnectionRateTable {
 public:
  static constexpr std::uint64_t kWindowMs = 10000;
  static constexpr std::uint64_t kBlockMs = 300000;
  static constexpr std::size_t kRecentTimes = 6;

  // True admits a connection from `address` (network byte order) at time `now`.
  bool admit(std::uint32_t address, std::uint64_t now);

  std::size_t size() const { return records_.size(); }
  bool blocked(std::uint32_t address) const;

 private:
  struct Record {
    std::uint32_t address;
    std::uint64_t lastSeen;                        // last admitted connection
    std::unique_ptr<std::uint64_t[]> recentTimes;  // from the second connection in a window
    std::uint64_t bannedAt;                        // last refused attempt while blocked; 0: never
  };

  std::vector<Record> records_;
};

}  // namespace velmor
