#pragma once

// The server's limit on connections per address, as the tools explain a ConnectionRefused:
// an address may open seven connections in ten seconds; the next attempt is refused and the
// address blocked for five minutes, and every attempt while it is blocked is refused and
// starts the five minutes again. Retrying at once therefore only prolongs the wait.
// Constants and one plain function; any thread.

#include <string>

namespace velmor::client {

inline constexpr int kConnectionsPerWindow = 7;
inline constexpr int kConnectionWindowSeconds = 10;
inline constexpr int kAddressBlockMinutes = 5;

// What happened and what to do, as one clause for a message ("this address made more than
// 7 connections in 10 seconds: ...").
std::string connectionLimitExplained();

}  // namespace velmor::client
