#include "core/StatusText.h"

#include <cstdio>

#include "core/ServerCore.h"
#include "server/VelmorServer.h"

namespace velmor {

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

std::string formatStatusText(const ServerCore& core) {
  const Settings& settings = core.server.settings();
  const std::uint64_t uptime = (core.now() - core.startTime) / 1000;
  constexpr double kMegabyte = 1048576.0;
  char text[4096];
  const int length = std::snprintf(
      text, sizeof(text),
      "Version: %s\nPublic IP: %.1000s\nPort: %u\nUptime: %s\nUsers: %u\nRooms: %u\n"
      "Packets Sent: %llu\nPackets Recv: %llu\nData Sent: %.2f MB\nData Recv: %.2f MB\n"
      "Cur Send Rate: %.1f KB/s\nCur Recv Rate: %.1f KB/s\nSlow readers closed: %llu\n",
      kServerVersion, settings.publicAddressText.c_str(), settings.serverport,
      formatUptime(uptime).c_str(), core.userCount.get(), core.roomCount.get(),
      static_cast<unsigned long long>(core.packetsSent.get()),
      static_cast<unsigned long long>(core.packetsReceived.get()), core.bytesSent.get() / kMegabyte,
      core.bytesReceived.get() / kMegabyte, core.sendRate, core.receiveRate,
      static_cast<unsigned long long>(core.server.slowReaderCloses()));
  return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace velmor
