#include "core/StatusText.h"

#include <cstdio>

#include "base/Version.h"
#include "core/ServerCore.h"
#include "net/GenericServer.h"

namespace velmor {

StatusFigures statusFigures(const ServerCore& core) {
  StatusFigures f;
  f.publicAddress = core.settings.publicAddressText;
  f.port = core.settings.serverport;
  f.uptimeSeconds = core.uptimeSeconds();
  f.users = core.traffic.users.get();
  f.rooms = core.traffic.rooms.get();
  f.packetsSent = core.traffic.packetsSent.get();
  f.packetsReceived = core.traffic.packetsReceived.get();
  f.bytesSent = core.traffic.bytesSent.get();
  f.bytesReceived = core.traffic.bytesReceived.get();
  f.sendRate = core.traffic.sendRate();
  f.receiveRate = core.traffic.receiveRate();
  f.slowReaderCloses = core.connections().slowReaderCloses();
  const TickTimes::Summary ticks = core.tickTimes.summary();
  f.longestTickMs = ticks.longestMs;
  f.tickP99Ms = ticks.p99Ms;
  f.storageWaiting = core.storageWaiting();
  f.expiredToDelete = core.traffic.expiredToDelete.get();
  f.serverBans = core.traffic.serverBans.get();
  f.websocketPort = core.settings.websocketport;
  f.secureWebSocket = core.settings.secureWebSocket;
  f.tlsPort = core.settings.tlsport;
  for (std::size_t door = 0; door < kTransportKinds; ++door)
    f.doorConnections[door] =
        core.connections().doorTraffic(static_cast<TransportKind>(door)).connections.get();
  return f;
}

std::string formatUptime(std::uint64_t s) {
  const auto days = static_cast<int>(s / 86400);
  const auto hours = static_cast<int>(s / 3600 % 24);
  const auto minutes = static_cast<int>(s / 60 % 60);
  const auto seconds = static_cast<int>(s % 60);
  char text[64];
  if (days > 0) {
    std::snprintf(text, sizeof(text), "%d:%02d:%02d:%02d", days, hours, minutes, seconds);
  } else if (hours > 0) {
    std::snprintf(text, sizeof(text), "%2d:%02d:%02d", hours, minutes, seconds);
  } else {
    std::snprintf(text, sizeof(text), "%02d:%02d", minutes, seconds);
  }
  return text;
}

namespace {
std::string portText(std::uint32_t port, const char* kind) {
  if (port == 0) return "off";
  return std::to_string(port) + (kind[0] != '\0' ? std::string(" (") + kind + ")" : "");
}
}  // namespace

std::string formatStatusText(const StatusFigures& f) {
  char text[4096];
  const int length = std::snprintf(
      text, sizeof(text),
      "Version: %s\nPublic IP: %.1000s\nPort: %u\nUptime: %s\nUsers: %u\nRooms: %u\n"
      "Packets Sent: %llu\nPackets Recv: %llu\nData Sent: %.2f MB\nData Recv: %.2f MB\n"
      "Cur Send Rate: %.1f KB/s\nCur Recv Rate: %.1f KB/s\nSlow readers closed: %llu\n"
      "Longest tick (5 s): %.2f ms\nTick p99 (5 s): %.2f ms\nWaiting for storage: %llu\n"
      "Expired rooms to delete: %llu\nServer bans: %llu\n",
      kServerVersion, f.publicAddress.c_str(), f.port, formatUptime(f.uptimeSeconds).c_str(),
      f.users, f.rooms, static_cast<unsigned long long>(f.packetsSent),
      static_cast<unsigned long long>(f.packetsReceived), megabytes(f.bytesSent),
      megabytes(f.bytesReceived), f.sendRate, f.receiveRate,
      static_cast<unsigned long long>(f.slowReaderCloses), f.longestTickMs, f.tickP99Ms,
      static_cast<unsigned long long>(f.storageWaiting),
      static_cast<unsigned long long>(f.expiredToDelete),
      static_cast<unsigned long long>(f.serverBans));
  std::string status(text, length > 0 ? static_cast<std::size_t>(length) : 0);
  status += "WebSocket port: " + portText(f.websocketPort, f.secureWebSocket ? "wss" : "ws") +
            "\nTLS port: " + portText(f.tlsPort, "") + "\nConnections by door:";
  for (std::size_t door = 0; door < kTransportKinds; ++door) {
    status += std::string(door == 0 ? " " : ", ") +
              transportName(static_cast<TransportKind>(door)) + " " +
              std::to_string(f.doorConnections[door]);
  }
  return status + "\n";
}

}  // namespace velmor
