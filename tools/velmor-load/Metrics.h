#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmor::load {

// Latency samples in µs and the figures of one run, printed as a table and as JSON.
class Metrics {
 public:
  void reserve(std::size_t n) { samples_.reserve(n); }
  void addLatency(std::uint64_t micros) { samples_.push_back(static_cast<std::uint32_t>(micros)); }
  std::size_t latencyCount() const { return samples_.size(); }
  // Percentile in ms (p in 0..100); 0 without samples.
  double percentileMs(double p);

  void set(const std::string& key, double value) { figures_.emplace_back(key, value); }
  void note(const std::string& key, const std::string& value) { notes_.emplace_back(key, value); }
  void print() const;
  bool writeJson(const std::string& path) const;

 private:
  std::vector<std::uint32_t> samples_;
  std::vector<std::pair<std::string, double>> figures_;
  std::vector<std::pair<std::string, std::string>> notes_;
};

}  // namespace velmor::load
