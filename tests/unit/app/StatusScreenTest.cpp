#include "app/StatusScreen.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "base/Version.h"
#include "core/StatusText.h"

namespace velmor {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Uptime, ThreeForms) {
  EXPECT_EQ(formatUptime(59), "00:59");
  EXPECT_EQ(formatUptime(3599), "59:59");
  EXPECT_EQ(formatUptime(3600 + 2 * 60 + 3), " 1:02:03");
  EXPECT_EQ(formatUptime(86399), "23:59:59");
  EXPECT_EQ(formatUptime(86400 + 2 * 3600 + 3 * 60 + 4), "1:02:03:04");
}

TEST(StatusScreen, LayoutAndFigures) {
  StatusScreen::Figures f;
  f.publicAddress = "203.0.113.9";
  f.port = 7175;
  f.uptimeSeconds = 59;
  f.users = 12;
  f.rooms = 3;
  f.packetsSent = 42;
  f.packetsReceived = 7;
  f.bytesSent = 1048576;
  f.bytesReceived = 0;
  const std::string text = StatusScreen::format(f);
  ASSERT_EQ(text.rfind("\x1b[2J\x1b[H\x1b[37;1mServer Info\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 7), "\x1b[37;1m");
  const std::vector<std::string> lines = linesOf(text);
  ASSERT_GE(lines.size(), 15u);
  const std::string first = lines[1].substr(lines[1].find("Version"));  // after the colour
  EXPECT_EQ(first,
            "Version: " + std::string(17 - std::strlen(kServerVersion), ' ') + kServerVersion);
  EXPECT_EQ(lines[2], "Public IP:     203.0.113.9");
  EXPECT_EQ(lines[3], "Port:                 7175");
  EXPECT_EQ(lines[4], "Uptime:              00:59");
  EXPECT_EQ(lines[5], "Users:                  12");
  EXPECT_EQ(lines[6], "Rooms:                   3");
  for (int i = 2; i <= 6; ++i)
    EXPECT_EQ(lines[i].size(), 26u) << "values end in column 26: " << lines[i];
  EXPECT_EQ(lines[7], "");
  EXPECT_NE(lines[8].find("Usage Levels"), std::string::npos);
  EXPECT_NE(lines[9].find("Packets Sent:      42"), std::string::npos);
  EXPECT_EQ(lines[10], "Packets Recv:       7");
  EXPECT_EQ(lines[11], "Data Sent:       1.00 MB");
  EXPECT_EQ(lines[12], "Data Recv:       0.00 MB");
  EXPECT_EQ(lines[13], "Cur Send Rate:    0.0 KB/s");
  EXPECT_EQ(lines[14], "Cur Recv Rate:    0.0 KB/s");
}

TEST(StatusScreen, LongPublicAddressIsPrintedWholeWithoutShiftingTheRest) {
  StatusScreen::Figures f;
  f.publicAddress = "Unknown. You can check at: https://ifconfig.me";
  f.port = 7175;
  const std::vector<std::string> lines = linesOf(StatusScreen::format(f));
  EXPECT_EQ(lines[2], "Public IP: Unknown. You can check at: https://ifconfig.me");
  EXPECT_EQ(lines[3], "Port:                 7175");
}

TEST(StatusText, CountsServerBansAfterTheStorageLines) {
  StatusFigures f;
  f.expiredToDelete = 4;
  f.serverBans = 100000;
  const std::string text = formatStatusText(f);
  EXPECT_NE(text.find("\nExpired rooms to delete: 4\nServer bans: 100000\nWebSocket port: off\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace velmor
