#pragma once

#include <cstdint>

#include "base/RelaxedCounter.h"

namespace velmor {

// The connections the server's connection policy admitted and refused, by reason. Written
// by VelmorServer::onConnect on the main loop; read by any thread (the metrics endpoint).
struct ConnectionCounts {
  RelaxedCounter<std::uint64_t> accepted;
  RelaxedCounter<std::uint64_t> refusedRateLimit;  // more than the address may open
  RelaxedCounter<std::uint64_t> refusedBan;        // the address is on the server ban list
};

}  // namespace velmor
