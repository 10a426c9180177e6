#include "Metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmor::load {

double Metrics::percentileMs(double p) {
  if (samples_.empty()) return 0;
  const double exact = std::ceil(p / 100.0 * static_cast<double>(samples_.size()));
  const std::size_t rank =
      std::min(samples_.size() - 1, static_cast<std::size_t>(std::max(exact, 1.0)) - 1);
  std::nth_element(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(rank),
                   samples_.end());
  return samples_[rank] / 1000.0;
}

void Metrics::print() const {
  for (const auto& [key, value] : notes_) std::printf("%-34s %s\n", key.c_str(), value.c_str());
  for (const auto& [key, value] : figures_) std::printf("%-34s %.3f\n", key.c_str(), value);
}

bool Metrics::writeJson(const std::string& path) const {
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  std::fprintf(out, "{\n");
  bool first = true;
  for (const auto& [key, value] : notes_) {
    std::fprintf(out, "%s  \"%s\": \"%s\"", first ? "" : ",\n", key.c_str(), value.c_str());
    first = false;
  }
  for (const auto& [key, value] : figures_) {
    std::fprintf(out, "%s  \"%s\": %.6g", first ? "" : ",\n", key.c_str(), value);
    first = false;
  }
  std::fprintf(out, "\n}\n");
  return std::fclose(out) == 0;
}

}  // namespace velmor::load
