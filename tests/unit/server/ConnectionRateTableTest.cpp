#include "server/ConnectionRateTable.h"

#include <gtest/gtest.h>

namespace velmor {
namespace {

constexpr std::uint32_t kA = 0x0100007F;  // 127.0.0.1 in network order
constexpr std::uint32_t kB = 0x0200007F;
constexpr std::uint64_t kStart = 1'000'000;

struct Step {
  std::uint64_t at;  // ms after kStart
  std::uint32_t address;
  bool admitted;
};

class RateTableSteps : public testing::TestWithParam<std::pair<const char*, std::vector<Step>>> {};

TEST_P(RateTableSteps, AdmitsAndRefusesInOrder) {
  ConnectionRateTable table;
  int i = 0;
  for (const Step& step : GetParam().second) {
    EXPECT_EQ(table.admit(step.address, kStart + step.at), step.admitted) << "step " << i;
    ++i;
  }
}

std::vector<Step> burst(std::uint32_t address, int count, std::uint64_t from = 0,
                        std::uint64_t gap = 100) {
  std::vector<Step> steps;
  for (int i = 0; i < count; ++i) steps.push_back({from + i * gap, address, true});
  return steps;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RateTableSteps,
    testing::Values(
        std::make_pair("SevenAdmittedEighthRefused",
                       burst(kA, 7) + std::vector<Step>{{700, kA, false}}),
        std::make_pair("BlockRenewedByEveryAttempt",
                       burst(kA, 7) +
                           std::vector<Step>{{700, kA, false},
                                             {200'000, kA, false},
                                             {450'000, kA, false},   // 250 s after the last
                                             {750'001, kA, true}}),  // 300.001 s after it
        std::make_pair("WindowRunsFromTheFirstConnection",
                       // The second connection's time is not stored: seven fit in ten seconds
                       // counted from the first, and the eighth at 9.9 s is refused.
                       burst(kA, 7, 0, 1000) + std::vector<Step>{{9'900, kA, false}}),
        std::make_pair("SlotsFreeAgainAfterTheWindow",
                       burst(kA, 7, 0, 1000) + std::vector<Step>{{10'000, kA, true}}),
        std::make_pair("PauseOfMoreThanTenSecondsStartsAfresh",
                       burst(kA, 6) + burst(kA, 7, 10'601) +
                           std::vector<Step>{{10'601 + 700, kA, false}}),
        std::make_pair("OtherAddressesAreCountedApart",
                       burst(kA, 7) + burst(kB, 7, 50) + std::vector<Step>{{800, kB, false}})),
    [](const auto& info) { return std::string(info.param.first); });

TEST(ConnectionRateTable, BlockedRecordRemovedByAnotherAddressWalk) {
  ConnectionRateTable table;
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(table.admit(kA, kStart + i));
  ASSERT_FALSE(table.admit(kA, kStart + 10));
  ASSERT_TRUE(table.blocked(kA));
  // Another address more than ten seconds after A was last seen (the refused eighth
  // attempt counts as seen): the walk drops A's stale record together with its block.
  ASSERT_TRUE(table.admit(kB, kStart + 10 + 10'001));
  EXPECT_FALSE(table.blocked(kA));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_TRUE(table.admit(kA, kStart + 10 + 10'002));
}

TEST(ConnectionRateTable, RecordsAfterTheMatchAreNotExamined) {
  ConnectionRateTable table;
  ASSERT_TRUE(table.admit(kA, kStart));
  ASSERT_TRUE(table.admit(kB, kStart + 1));
  // A is first: the walk stops at it and never reaches B, stale or not.
  ASSERT_TRUE(table.admit(kA, kStart + 20'000));
  EXPECT_EQ(table.size(), 2u);
  // A third address walks past both: B is stale and goes, A was just seen and stays.
  ASSERT_TRUE(table.admit(0x0300007F, kStart + 20'001));
  EXPECT_EQ(table.size(), 2u);
}

}  // namespace
}  // namespace velmor
