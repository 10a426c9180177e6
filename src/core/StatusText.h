#pragma once

#include <cstdint>
#include <string>

namespace velmor {

class ServerCore;

inline constexpr const char* kServerVersion = "1.0.1";

// Uptime as the console shows it: "MM:SS" under an hour, "%2d:MM:SS" under a day,
// "D:HH:MM:SS" beyond.
std::string formatUptime(std::uint64_t seconds);

// The status of the server as plain text lines (no escape sequences, under 4096 bytes):
// version, public address, port, uptime, users, rooms, packets, data and rates.
// Main loop only (the rates are those the tick sampled last).
std::string formatStatusText(const ServerCore& core);

}  // namespace velmor
