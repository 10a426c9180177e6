// What acknowledged changes may hold while they wait for the storage: an address's share, the
// bound all addresses share, and what letting go gives back.
#include "db/ChangeShares.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velmor {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::uint32_t kA = 1;
constexpr std::uint32_t kB = 2;

struct Held {
  std::uint32_t address;
  std::size_t contentBytes;
  std::uint32_t times = 1;
};

struct Row {
  const char* name;
  std::vector<Held> held;
  bool letGoAll;  // every change held comes back before the ask
  std::uint32_t askAddress;
  std::size_t askBytes;
  bool admitted;
};

std::vector<Row> rows() {
  std::vector<Held> eightFull;
  for (std::uint32_t address = 10; address < 18; ++address)
    eightFull.push_back({address, 8 * kMiB - ChangeShares::kChangeOverhead});
  return {
      {"a first change", {}, false, kA, 600000, true},
      {"within the share", {{kA, 6 * kMiB}}, false, kA, kMiB, true},
      {"past the share's bytes", {{kA, 7 * kMiB}}, false, kA, kMiB, false},
      {"another address beside a full share", {{kA, 8 * kMiB - 1024}}, false, kB, kMiB, true},
      {"past the share's count",
       {{kA, 0, ChangeShares::kMaxChangesPerAddress}},
       false,
       kA,
       0,
       false},
      {"one change larger than a share", {}, false, kA, 9 * kMiB, false},
      {"past the bound all share", eightFull, false, kB, 0, false},
      {"a full share let go", {{kA, 8 * kMiB - 1024, 1}, {kA, 0, 255}}, true, kA, 7 * kMiB, true},
  };
}

TEST(ChangeSharesTest, AdmitsAChangeWithinItsAddressShareAndTheCommonBound) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    ChangeShares shares;
    std::vector<ChangeShares::Charge> charges;
    for (const Held& held : row.held) {
      for (std::uint32_t i = 0; i < held.times; ++i) {
        charges.push_back(ChangeShares::chargeOf(held.address, held.contentBytes));
        shares.charge(charges.back());
      }
    }
    if (row.letGoAll) {
      for (const ChangeShares::Charge& charge : charges) shares.letGo(charge);
      EXPECT_EQ(shares.bytes(), 0u);
      EXPECT_EQ(shares.addresses(), 0u);
    }
    EXPECT_EQ(shares.admits(row.askAddress, row.askBytes), row.admitted);
  }
}

}  // namespace
}  // namespace velmor
