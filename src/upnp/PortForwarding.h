#pragma once

#include <cstdint>
#include <string>

namespace velmor {

// Asks the local Internet gateway to forward `port` (TCP) to this host, writing what it
// does to the log file at `logPath`. Replaces the two address texts only with addresses
// it learnt. Returns the external port that was mapped, the given port when no gateway
// answered, or 65535 when no port could be forwarded. Blocks; start-up only.
std::uint16_t forwardPort(std::uint32_t port, const std::string& logPath,
                          std::string& publicAddressText, std::string& lanAddressText);

}  // namespace velmor
