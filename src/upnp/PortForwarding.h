#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmor {

// Asks the local Internet gateway to forward `port` (TCP) to this host, writing what it
// does to the log file at `logPath`. Replaces the two address texts only with addresses
// it learnt. Returns the external port that was mapped, the given port when no gateway
// answered, or 65535 when no port could be forwarded. Blocks; start-up only.
std::uint16_t forwardPort(std::uint32_t port, const std::string& logPath,
                          std::string& publicAddressText, std::string& lanAddressText);

// The same for each of the server's doors in turn (the TCP port first), with one discovery
// and one log: a door never takes an external port an earlier one took. The results are in
// the order of `ports`.
std::vector<std::uint16_t> forwardPorts(const std::vector<std::uint32_t>& ports,
                                        const std::string& logPath, std::string& publicAddressText,
                                        std::string& lanAddressText);

}  // namespace velmor
