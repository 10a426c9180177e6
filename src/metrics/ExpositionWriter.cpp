#include "metrics/ExpositionWriter.h"

#include <charconv>
#include <cmath>

namespace velmor {

namespace {

const char* typeName(MetricType type, ExpositionFormat format) {
  switch (type) {
    case MetricType::Counter:
      return "counter";
    case MetricType::Gauge:
      return "gauge";
    case MetricType::Histogram:
      return "histogram";
    case MetricType::Info:
      return format == ExpositionFormat::OpenMetrics ? "info" : "gauge";
  }
  return "untyped";
}

// The suffix a family's samples carry.
std::string_view sampleSuffix(MetricType type) {
  switch (type) {
    case MetricType::Counter:
      return "_total";
    case MetricType::Info:
      return "_info";
    case MetricType::Gauge:
    case MetricType::Histogram:
      return {};
  }
  return {};
}

constexpr double kNsPerSecond = 1e9;
// Integers up to 2^53 are exact in a double, and written as integers.
constexpr double kExactIntegers = 9007199254740992.0;

}  // namespace

void ExpositionWriter::family(std::string_view name, MetricType type, std::string_view help,
                              std::string_view unit) {
  type_ = type;
  family_.assign(name);
  // The text format names a family as its samples are named.
  if (format_ == ExpositionFormat::Text) family_ += sampleSuffix(type);
  out_ += "# HELP ";
  out_ += family_;
  out_ += ' ';
  appendEscaped(help, format_ == ExpositionFormat::OpenMetrics);
  out_ += "\n# TYPE ";
  out_ += family_;
  out_ += ' ';
  out_ += typeName(type, format_);
  out_ += '\n';
  if (format_ == ExpositionFormat::OpenMetrics && !unit.empty()) {
    out_ += "# UNIT ";
    out_ += family_;
    out_ += ' ';
    out_ += unit;
    out_ += '\n';
  }
  family_.assign(name);  // the samples' stem
}

void ExpositionWriter::sample(double value, std::initializer_list<Label> labels) {
  sampleName(labels);
  appendNumber(value);
  out_ += '\n';
}

void ExpositionWriter::histogram(std::span<const std::uint64_t> boundsNs,
                                 std::span<const std::uint64_t> cumulative, std::uint64_t sumNs) {
  for (std::size_t i = 0; i < boundsNs.size() && i < cumulative.size(); ++i) {
    out_ += family_;
    out_ += "_bucket{le=\"";
    appendNumber(static_cast<double>(boundsNs[i]) / kNsPerSecond, true);
    out_ += "\"} ";
    appendInteger(cumulative[i]);
    out_ += '\n';
  }
  const std::uint64_t count = cumulative.empty() ? 0 : cumulative.back();
  out_ += family_;
  out_ += "_bucket{le=\"+Inf\"} ";
  appendInteger(count);
  out_ += '\n';
  out_ += family_;
  out_ += "_sum ";
  appendNumber(static_cast<double>(sumNs) / kNsPerSecond);
  out_ += '\n';
  out_ += family_;
  out_ += "_count ";
  appendInteger(count);
  out_ += '\n';
}

std::string ExpositionWriter::finish() {
  if (format_ == ExpositionFormat::OpenMetrics) out_ += "# EOF\n";
  return std::move(out_);
}

void ExpositionWriter::sampleName(std::initializer_list<Label> labels) {
  out_ += family_;
  out_ += sampleSuffix(type_);
  if (labels.size() != 0) {
    out_ += '{';
    bool first = true;
    for (const Label& label : labels) {
      if (!first) out_ += ',';
      first = false;
      out_ += label.name;
      out_ += "=\"";
      appendEscaped(label.value, true);
      out_ += '"';
    }
    out_ += '}';
  }
  out_ += ' ';
}

void ExpositionWriter::appendInteger(std::uint64_t value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  out_.append(text, result.ptr);
}

// Shortest text that reads back as the same double: integers as integers (OpenMetrics
// wants a bucket bound as a float, "1.0"), others as printf's %g would write them with
// just enough digits.
void ExpositionWriter::appendNumber(double value, bool bound) {
  if (std::isnan(value)) {
    out_ += "NaN";
  } else if (std::isinf(value)) {
    out_ += value > 0 ? "+Inf" : "-Inf";
  } else if (value == std::trunc(value) && std::fabs(value) < kExactIntegers) {
    if (value < 0) out_ += '-';
    appendInteger(static_cast<std::uint64_t>(std::fabs(value)));
    if (bound && format_ == ExpositionFormat::OpenMetrics) out_ += ".0";
  } else {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof(text), value, std::chars_format::general);
    out_.append(text, result.ptr);
  }
}

void ExpositionWriter::appendEscaped(std::string_view text, bool quotes) {
  for (char c : text) {
    if (c == '\\') {
      out_ += "\\\\";
    } else if (c == '\n') {
      out_ += "\\n";
    } else if (c == '"' && quotes) {
      out_ += "\\\"";
    } else {
      out_ += c;
    }
  }
}

}  // namespace velmor
