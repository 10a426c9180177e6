#pragma once

#include <cstdint>
#include <string_view>

namespace velmor {

// The two formats a scraper may ask the metrics endpoint for: Prometheus's text format
// 0.0.4, the default, and OpenMetrics 1.0.0.
enum class ExpositionFormat : std::uint8_t { Text, OpenMetrics };

// The Content-Type of a body in the format.
const char* contentType(ExpositionFormat format);

// The format a request's Accept header asks for: OpenMetrics when it accepts
// "application/openmetrics-text" in version 1.0.0 (or without a version) with a quality
// above 0 and not below that of the text format ("text/plain" in version 0.0.4 or without
// one, "text/*", "*/*"); the text format otherwise, also for an empty, unknown or garbled
// header. Any thread; no allocation.
ExpositionFormat chooseFormat(std::string_view accept);

}  // namespace velmor
