#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "metrics/ExpositionFormat.h"

namespace velmor {

enum class MetricType : std::uint8_t { Counter, Gauge, Histogram, Info };

struct Label {
  std::string_view name;
  std::string_view value;
};

// Writes the body of a scrape in one of the two formats. The caller names each family once
// as OpenMetrics does, without the suffixes of its samples (a counter without "_total", an
// info without "_info"), then gives its samples; the writer adds the suffixes and, in the
// text format, names the family as its samples are named (a counter's family ends in
// "_total", an info is a gauge ending in "_info"). A unit, when given, must end the
// family's name ("_seconds"); OpenMetrics says it in a UNIT line. Durations come in
// nanoseconds and are written in seconds, the base unit. finish() ends an OpenMetrics body
// with "# EOF".
//
// One per scrape, on the thread that answers it.
class ExpositionWriter {
 public:
  explicit ExpositionWriter(ExpositionFormat format) : format_(format) {}

  void family(std::string_view name, MetricType type, std::string_view help,
              std::string_view unit = {});

  // A sample of the family named last (a counter, a gauge or an info).
  template <std::unsigned_integral Integer>
  void sample(Integer value, std::initializer_list<Label> labels = {}) {
    sampleName(labels);
    appendInteger(static_cast<std::uint64_t>(value));
    out_ += '\n';
  }
  void sample(double value, std::initializer_list<Label> labels = {});

  // The samples of the histogram family named last: a bucket per bound (`cumulative[i]`
  // observations at or below boundsNs[i]), the +Inf bucket (cumulative's last, which is
  // also the count) and the sum. REQUIRES: cumulative.size() == boundsNs.size() + 1.
  void histogram(std::span<const std::uint64_t> boundsNs, std::span<const std::uint64_t> cumulative,
                 std::uint64_t sumNs);

  std::string finish();

 private:
  void sampleName(std::initializer_list<Label> labels);
  void appendInteger(std::uint64_t value);
  void appendNumber(double value, bool bound = false);
  void appendEscaped(std::string_view text, bool quotes);

  const ExpositionFormat format_;
  std::string out_;
  std::string family_;
  MetricType type_ = MetricType::Gauge;
};

}  // namespace velmor
