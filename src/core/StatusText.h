#pragma once

#include <cstdint>
#include <string>

#include "net/TransportKind.h"

namespace velmor {

class ServerCore;

// The figures of the server's status, as the status text (an administrator's request) and
// the console status screen both show them.
struct StatusFigures {
  std::string publicAddress;
  std::uint32_t port = 0;
  std::uint64_t uptimeSeconds = 0;
  std::uint32_t users = 0;
  std::uint32_t rooms = 0;
  std::uint64_t packetsSent = 0;
  std::uint64_t packetsReceived = 0;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  double sendRate = 0;     // KB/s over the last second the tick sampled
  double receiveRate = 0;  // KB/s
  std::uint64_t slowReaderCloses = 0;
  double longestTickMs = 0;  // over the last TickTimes::kWindow ticks
  double tickP99Ms = 0;
  std::uint64_t storageWaiting = 0;   // work the storage refused, kept to be tried again
  std::uint64_t expiredToDelete = 0;  // expired rooms whose deletion is not done
  std::uint64_t serverBans = 0;       // entries of the server ban list
  std::uint32_t websocketPort = 0;    // 0: off
  bool secureWebSocket = false;
  std::uint32_t tlsPort = 0;                            // 0: off
  std::uint64_t doorConnections[kTransportKinds] = {};  // accepted, by TransportKind
};

// The figures as they stand. Any thread: it reads counters and constant settings only.
StatusFigures statusFigures(const ServerCore& core);

// Uptime as the console shows it: "MM:SS" under an hour, "%2d:MM:SS" under a day,
// "D:HH:MM:SS" beyond.
std::string formatUptime(std::uint64_t seconds);
// Bytes as megabytes, for both texts.
inline double megabytes(std::uint64_t bytes) {
  return static_cast<double>(bytes) / 1048576.0;
}

// The status as plain text lines (no escape sequences, under 4096 bytes): version, public
// address, port, uptime, users, rooms, packets, data, rates, slow readers closed, and the
// longest and 99th-percentile tick of the last 5 seconds ("Longest tick (5 s): 1.23 ms"),
// the work waiting for the storage, the expired rooms still to delete and the server bans
// ("Server bans: 2"), then the doors:
// "WebSocket port: 7176 (wss)" or "off", "TLS port: 7177" or "off", and "Connections by
// door: tcp 12, tls 0, ws 3, wss 0".
std::string formatStatusText(const StatusFigures& figures);

}  // namespace velmor
