#include "metrics/ExpositionFormat.h"

#include <algorithm>
#include <charconv>

namespace velmor {

namespace {

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// What comes before the first `separator` (all of it when there is none); `rest` keeps what
// follows.
std::string_view nextPart(std::string_view& rest, char separator) {
  const std::size_t at = rest.find(separator);
  const std::string_view part = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return part;
}

// A quality is a number from 0 to 1; anything else makes the range unacceptable.
double quality(std::string_view text) {
  double q = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), q);
  if (error != std::errc() || end != text.data() + text.size() || !(q >= 0 && q <= 1)) return 0;
  return q;
}

// One element of an Accept header: "type/subtype; version=...; q=...".
struct MediaRange {
  std::string_view type;
  std::string_view version;
  double quality = 1;
};

MediaRange parseRange(std::string_view text) {
  MediaRange range;
  range.type = trim(nextPart(text, ';'));
  while (!text.empty()) {
    std::string_view parameter = nextPart(text, ';');
    const std::string_view name = trim(nextPart(parameter, '='));
    std::string_view value = trim(parameter);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (sameIgnoringCase(name, "version")) {
      range.version = value;
    } else if (sameIgnoringCase(name, "q")) {
      range.quality = quality(value);
    }
  }
  return range;
}

bool offersOpenMetrics(const MediaRange& range) {
  return sameIgnoringCase(range.type, "application/openmetrics-text") &&
         (range.version.empty() || range.version == "1.0.0");
}

bool offersText(const MediaRange& range) {
  if (sameIgnoringCase(range.type, "text/plain"))
    return range.version.empty() || range.version == "0.0.4";
  return sameIgnoringCase(range.type, "text/*") || range.type == "*/*";
}

}  // namespace

const char* contentType(ExpositionFormat format) {
  switch (format) {
    case ExpositionFormat::Text:
      return "text/plain; version=0.0.4; charset=utf-8";
    case ExpositionFormat::OpenMetrics:
      return "application/openmetrics-text; version=1.0.0; charset=utf-8";
  }
  return "text/plain; version=0.0.4; charset=utf-8";
}

ExpositionFormat chooseFormat(std::string_view accept) {
  double openMetrics = 0;
  double text = 0;
  while (!accept.empty()) {
    const MediaRange range = parseRange(nextPart(accept, ','));
    if (offersOpenMetrics(range)) openMetrics = std::max(openMetrics, range.quality);
    if (offersText(range)) text = std::max(text, range.quality);
  }
  return openMetrics > 0 && openMetrics >= text ? ExpositionFormat::OpenMetrics
                                                : ExpositionFormat::Text;
}

}  // namespace velmor
