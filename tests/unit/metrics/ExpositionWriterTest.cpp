// The text of the metrics endpoint, in both formats, as Prometheus's parsers read it.
#include "metrics/ExpositionWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace velmor {
namespace {

// One family of each type, written into a writer of the format.
std::string everyType(ExpositionFormat format) {
  ExpositionWriter w(format);
  w.family("velmor_users_online", MetricType::Gauge, "Users logged in and admitted.");
  w.sample(3u);
  w.family("velmor_connections_refused", MetricType::Counter, "Connections refused.");
  w.sample(std::uint64_t{7}, {{"reason", "rate_limit"}});
  w.sample(std::uint64_t{0}, {{"reason", "ban"}});
  w.family("velmor_build", MetricType::Info, "The server's version.");
  w.sample(1u, {{"version", "3.2.1"}});
  w.family("velmor_tick_duration_seconds", MetricType::Histogram, "Tick durations.", "seconds");
  const std::array<std::uint64_t, 3> bounds{100'000, 20'000'000, 1'000'000'000};
  const std::array<std::uint64_t, 4> cumulative{1, 2, 2, 3};
  w.histogram(bounds, cumulative, 1'020'050'000);
  w.family("process_cpu_seconds", MetricType::Counter, "CPU time.", "seconds");
  w.sample(0.25);
  return w.finish();
}

TEST(ExpositionWriter, TextFormatNamesCountersWithTotalAndInfoAsAGauge) {
  EXPECT_EQ(everyType(ExpositionFormat::Text),
            "# HELP velmor_users_online Users logged in and admitted.\n"
            "# TYPE velmor_users_online gauge\n"
            "velmor_users_online 3\n"
            "# HELP velmor_connections_refused_total Connections refused.\n"
            "# TYPE velmor_connections_refused_total counter\n"
            "velmor_connections_refused_total{reason=\"rate_limit\"} 7\n"
            "velmor_connections_refused_total{reason=\"ban\"} 0\n"
            "# HELP velmor_build_info The server's version.\n"
            "# TYPE velmor_build_info gauge\n"
            "velmor_build_info{version=\"3.2.1\"} 1\n"
            "# HELP velmor_tick_duration_seconds Tick durations.\n"
            "# TYPE velmor_tick_duration_seconds histogram\n"
            "velmor_tick_duration_seconds_bucket{le=\"0.0001\"} 1\n"
            "velmor_tick_duration_seconds_bucket{le=\"0.02\"} 2\n"
            "velmor_tick_duration_seconds_bucket{le=\"1\"} 2\n"
            "velmor_tick_duration_seconds_bucket{le=\"+Inf\"} 3\n"
            "velmor_tick_duration_seconds_sum 1.02005\n"
            "velmor_tick_duration_seconds_count 3\n"
            "# HELP process_cpu_seconds_total CPU time.\n"
            "# TYPE process_cpu_seconds_total counter\n"
            "process_cpu_seconds_total 0.25\n");
}

TEST(ExpositionWriter, OpenMetricsNamesFamiliesWithoutSuffixesGivesUnitsAndEnds) {
  EXPECT_EQ(everyType(ExpositionFormat::OpenMetrics),
            "# HELP velmor_users_online Users logged in and admitted.\n"
            "# TYPE velmor_users_online gauge\n"
            "velmor_users_online 3\n"
            "# HELP velmor_connections_refused Connections refused.\n"
            "# TYPE velmor_connections_refused counter\n"
            "velmor_connections_refused_total{reason=\"rate_limit\"} 7\n"
            "velmor_connections_refused_total{reason=\"ban\"} 0\n"
            "# HELP velmor_build The server's version.\n"
            "# TYPE velmor_build info\n"
            "velmor_build_info{version=\"3.2.1\"} 1\n"
            "# HELP velmor_tick_duration_seconds Tick durations.\n"
            "# TYPE velmor_tick_duration_seconds histogram\n"
            "# UNIT velmor_tick_duration_seconds seconds\n"
            "velmor_tick_duration_seconds_bucket{le=\"0.0001\"} 1\n"
            "velmor_tick_duration_seconds_bucket{le=\"0.02\"} 2\n"
            "velmor_tick_duration_seconds_bucket{le=\"1.0\"} 2\n"
            "velmor_tick_duration_seconds_bucket{le=\"+Inf\"} 3\n"
            "velmor_tick_duration_seconds_sum 1.02005\n"
            "velmor_tick_duration_seconds_count 3\n"
            "# HELP process_cpu_seconds CPU time.\n"
            "# TYPE process_cpu_seconds counter\n"
            "# UNIT process_cpu_seconds seconds\n"
            "process_cpu_seconds_total 0.25\n"
            "# EOF\n");
}

TEST(ExpositionWriter, LabelValuesAndHelpAreEscaped) {
  for (ExpositionFormat format : {ExpositionFormat::Text, ExpositionFormat::OpenMetrics}) {
    ExpositionWriter w(format);
    w.family("velmor_x", MetricType::Gauge, "A \\ back\nslash");
    w.sample(1u, {{"name", "a\"b\\c\nd"}, {"other", ""}});
    const std::string text = w.finish();
    EXPECT_NE(text.find("# HELP velmor_x A \\\\ back\\nslash\n"), std::string::npos) << text;
    EXPECT_NE(text.find("velmor_x{name=\"a\\\"b\\\\c\\nd\",other=\"\"} 1\n"), std::string::npos)
        << text;
  }
}

TEST(ExpositionWriter, NumbersAsTheParsersTakeThem) {
  struct Case {
    double value;
    const char* text;
  };
  for (const Case& c : {
           Case{0, "0"},
           Case{12, "12"},
           Case{-3, "-3"},
           Case{0.5, "0.5"},
           Case{1.0 / 3, "0.3333333333333333"},
           Case{123456789012.0, "123456789012"},
           Case{1e-9, "1e-09"},
           Case{std::numeric_limits<double>::infinity(), "+Inf"},
           Case{-std::numeric_limits<double>::infinity(), "-Inf"},
           Case{std::nan(""), "NaN"},
       }) {
    ExpositionWriter w(ExpositionFormat::Text);
    w.family("velmor_x", MetricType::Gauge, "x");
    w.sample(c.value);
    const std::string text = w.finish();
    EXPECT_NE(text.find(std::string("\nvelmor_x ") + c.text + "\n"), std::string::npos)
        << c.text << " in " << text;
  }
  ExpositionWriter w(ExpositionFormat::Text);
  w.family("velmor_big", MetricType::Counter, "x");
  w.sample(std::numeric_limits<std::uint64_t>::max());
  EXPECT_NE(w.finish().find("velmor_big_total 18446744073709551615\n"), std::string::npos);
}

}  // namespace
}  // namespace velmor
