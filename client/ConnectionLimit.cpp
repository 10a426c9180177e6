#include "client/ConnectionLimit.h"

namespace velmor::client {

std::string connectionLimitExplained() {
  const std::string block = std::to_string(kAddressBlockMinutes) + " minutes";
  return "this address made more than " + std::to_string(kConnectionsPerWindow) +
         " connections in " + std::to_string(kConnectionWindowSeconds) +
         " seconds, so the server blocks it for " + block +
         "; every attempt while it is blocked starts the " + block + " again, so wait " + block +
         " before connecting again";
}

}  // namespace velmor::client
