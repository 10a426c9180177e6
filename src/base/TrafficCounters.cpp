#include "base/TrafficCounters.h"

namespace velmor {

void TrafficCounters::sampleRates(std::uint64_t nowMs) {
  constexpr std::uint64_t kSamplePeriodMs = 1000;
  if (!sampled_) {
    sampled_ = true;
    sampleTime_ = nowMs;
    sampledSent_ = bytesSent.get();
    sampledReceived_ = bytesReceived.get();
    return;
  }
  if (nowMs - sampleTime_ < kSamplePeriodMs) return;
  const double seconds = static_cast<double>(nowMs - sampleTime_) / 1000.0;
  sendRate_.set(static_cast<double>(bytesSent.get() - sampledSent_) / 1024.0 / seconds);
  receiveRate_.set(static_cast<double>(bytesReceived.get() - sampledReceived_) / 1024.0 / seconds);
  sampledSent_ = bytesSent.get();
  sampledReceived_ = bytesReceived.get();
  sampleTime_ = nowMs;
}

}  // namespace velmor
