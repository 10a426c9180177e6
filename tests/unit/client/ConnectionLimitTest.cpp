// What the tools tell a user refused by the connection limit holds for the server's table:
// the numbers of the message drive the real ConnectionRateTable.
#include "client/ConnectionLimit.h"

#include <gtest/gtest.h>

#include "server/ConnectionRateTable.h"

namespace velmor {
namespace {

constexpr std::uint32_t kAddress = 0x0100007F;  // 127.0.0.1 in network order
constexpr std::uint64_t kStart = 1'000'000;     // loop ms
constexpr std::uint64_t kWindowMs = client::kConnectionWindowSeconds * 1000ull;
constexpr std::uint64_t kBlockMs = client::kAddressBlockMinutes * 60'000ull;

TEST(ConnectionLimit, TheExplainedLimitIsTheServers) {
  ConnectionRateTable table;
  std::uint64_t now = kStart;
  const std::uint64_t gap = kWindowMs / (client::kConnectionsPerWindow + 1);
  for (int i = 0; i < client::kConnectionsPerWindow; ++i, now += gap) {
    ASSERT_TRUE(table.admit(kAddress, now)) << "connection " << i + 1;
  }
  ASSERT_LT(now, kStart + kWindowMs);
  EXPECT_FALSE(table.admit(kAddress, now)) << "one more within the window";

  // Every attempt while blocked is refused and starts the block again: one just before the
  // block ends keeps the address out for a whole block more.
  now += kBlockMs - 1;
  EXPECT_FALSE(table.admit(kAddress, now)) << "retried before the block ended";
  now += kBlockMs - 1;
  EXPECT_FALSE(table.admit(kAddress, now)) << "the retry restarted the block";
  now += kBlockMs;
  EXPECT_TRUE(table.admit(kAddress, now)) << "waited a whole block after the last try";
}

TEST(ConnectionLimit, TheExplanationGivesTheNumbersAndTheAdvice) {
  const std::string text = client::connectionLimitExplained();
  EXPECT_NE(text.find("more than 7 connections in 10 seconds"), std::string::npos) << text;
  EXPECT_NE(text.find("blocks it for 5 minutes"), std::string::npos) << text;
  EXPECT_NE(text.find("every attempt while it is blocked starts the 5 minutes again"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("wait 5 minutes before connecting again"), std::string::npos) << text;
}

}  // namespace
}  // namespace velmor
