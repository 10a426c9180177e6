// The process's standard figures, read from /proc as the endpoint reads them at a scrape.
#include "metrics/ProcessFigures.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace velmor {
namespace {

TEST(ProcessFigures, ParsesTheStatLineWhateverTheNameHolds) {
  // Fields 14, 15 (ticks), 22 (start), 23 (bytes), 24 (pages); a name with blanks and ')'.
  const char* line =
      "4242 (a b) c)) S 1 4242 4242 0 -1 4194560 500 0 0 0 120 30 0 0 20 0 3 0 98765 "
      "123456789 2048 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
  const std::optional<ProcessStat> stat = parseProcessStat(line);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->userTicks, 120u);
  EXPECT_EQ(stat->systemTicks, 30u);
  EXPECT_EQ(stat->startTicks, 98765u);
  EXPECT_EQ(stat->virtualBytes, 123456789u);
  EXPECT_EQ(stat->residentPages, 2048u);
  for (const char* broken : {"", "4242 no parenthesis 1 2 3", "1 (x) S 1 2 3"})
    EXPECT_FALSE(parseProcessStat(broken)) << broken;
}

TEST(ProcessFigures, ThisProcessAsProcAndTheLimitsSayIt) {
  DescriptorListing descriptors;
  const ProcessFigures figures = readProcessFigures(descriptors);
  ASSERT_TRUE(figures.residentBytes);
  std::uint64_t residentKb = 0;
  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) residentKb = std::stoull(line.substr(6));
    }
  }
  // Within a few megabytes of what the kernel's status says a moment later.
  EXPECT_NEAR(static_cast<double>(*figures.residentBytes), residentKb * 1024.0, 8e6);
  ASSERT_TRUE(figures.virtualBytes);
  EXPECT_GE(*figures.virtualBytes, *figures.residentBytes);

  ASSERT_TRUE(figures.openDescriptors);
  std::size_t open = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++open;
  EXPECT_EQ(*figures.openDescriptors + 1, open) << "this listing's own descriptor counts here";

  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_TRUE(figures.maxDescriptors);
  EXPECT_EQ(*figures.maxDescriptors, limit.rlim_cur);

  ASSERT_TRUE(figures.cpuSeconds);
  EXPECT_GE(*figures.cpuSeconds, 0.0);
  ASSERT_TRUE(figures.startTimeSeconds) << "this machine shows /proc/stat";
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_LE(*figures.startTimeSeconds, now + 1);
  EXPECT_GT(*figures.startTimeSeconds, now - 3600) << "a test process started an hour ago?";
}

// Work shows as CPU time (ticks of 10 ms): spinning, the figure grows within a bounded time.
TEST(ProcessFigures, CpuTimeGrowsWithWork) {
  DescriptorListing descriptors;
  const double before = readProcessFigures(descriptors).cpuSeconds.value_or(0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  volatile std::uint64_t spin = 0;
  double now = before;
  while (now - before < 0.05 && std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 1'000'000; ++i) spin = spin + 1;
    now = readProcessFigures(descriptors).cpuSeconds.value_or(0);
  }
  EXPECT_GE(now - before, 0.05);
}

}  // namespace
}  // namespace velmor
