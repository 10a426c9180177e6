#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "base/RelaxedCounter.h"

namespace velmor {

// What a change acknowledged to a user holds while it waits for the storage, by the address
// of the user who made it (IPv4, network byte order). A change is charged when it is posted
// and let go when it comes back: stored, made needless by a newer change of the same file,
// or given up at the stop. It keeps counting against the address after the user goes, so a
// reconnection starts no fresh share. A new change that would pass the address's share, or
// the bound all addresses share, is refused before it is acknowledged: the memory a failing
// storage makes the server hold stays bounded, and no client fills it for the others.
//
// Owned by the query pipeline, which charges at post and lets go at the completion's
// dispatch. Main loop only; the total is also a figure any thread may read.
class ChangeShares {
 public:
  // What one change holds besides its content: the query and the record's fixed fields.
  static constexpr std::size_t kChangeOverhead = 512;
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;
  static constexpr std::size_t kMaxBytesPerAddress = std::size_t{8} << 20;
  static constexpr std::uint32_t kMaxChangesPerAddress = 256;

  // The charge of one change: whom it counts against and what it holds (0: nothing, the
  // server's own changes).
  struct Charge {
    std::uint32_t address = 0;
    std::uint32_t bytes = 0;
  };

  static Charge chargeOf(std::uint32_t address, std::size_t contentBytes) {
    return {address, static_cast<std::uint32_t>(contentBytes + kChangeOverhead)};
  }

  // Whether a change of `contentBytes` from `address` fits its share and the common bound.
  bool admits(std::uint32_t address, std::size_t contentBytes) const;
  void charge(const Charge& charge);
  void letGo(const Charge& charge);

  // Any thread: the bytes all changes in flight hold.
  std::size_t bytes() const { return bytes_.get(); }
  // The addresses with changes in flight.
  std::size_t addresses() const { return byAddress_.size(); }

 private:
  struct Share {
    std::size_t bytes = 0;
    std::uint32_t changes = 0;
  };
  std::unordered_map<std::uint32_t, Share> byAddress_;  // an entry only while it holds some
  RelaxedCounter<std::size_t> bytes_;
};

}  // namespace velmor
