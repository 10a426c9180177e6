// What a connecting client sees of the server's connection policy, over real sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "base/FixedText.h"
#include "support/InProcessServer.h"
#include "support/Sockets.h"
#include "users/Sending.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;

std::uint32_t ip(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

class ConnectionPolicyTest : public testing::Test {
 protected:
  test::Socket connectFrom(int host) { return test::connectTo(server.port(), host); }
  test::InProcessServer server;
};

TEST_F(ConnectionPolicyTest, EighthConnectionWithinTenSecondsIsRefusedAndBlocked) {
  std::vector<test::Socket> admitted;
  for (int i = 0; i < 7; ++i) {
    admitted.push_back(connectFrom(201));
    ASSERT_TRUE(server.pumpUntil([&] { return server.server().connects == i + 1; }));
  }
  EXPECT_EQ(server.server().users.size(), 7u);

  test::Socket eighth = connectFrom(201);
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().disconnects == 1; }));
  EXPECT_EQ(eighth.receiveExactly(3, 1s), std::string("\x01\x00\x05", 3));
  EXPECT_TRUE(eighth.waitClosed(1s));
  EXPECT_TRUE(server.server().connectionRates().blocked(ip("127.0.0.201")));

  // Refused again while blocked; each refusal is one disconnect and nothing else.
  test::Socket ninth = connectFrom(201);
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().disconnects == 2; }));
  EXPECT_EQ(ninth.receiveExactly(3, 1s), std::string("\x01\x00\x05", 3));
  EXPECT_TRUE(ninth.waitClosed(1s));
  server.pumpFor(20ms);
  EXPECT_EQ(server.server().disconnects, 2);
  EXPECT_EQ(server.server().users.size(), 7u);
  EXPECT_EQ(server.core().traffic.packetsSent.get(), 0u) << "refusals are not counted";

  // Another address is not affected.
  test::Socket other = connectFrom(202);
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().users.size() == 8; }));
}

TEST_F(ConnectionPolicyTest, ServerBanOfASubnetRefusesItsAddressesWithTheEntryName) {
  BanEntry subnet;
  copyText(subnet.name, "Mallory");
  subnet.address = ip("127.0.9.0");
  subnet.mask = ip("255.255.255.0");  // FF FF FF 00 in network order
  BanEntry never;
  copyText(never.name, "Nobody");
  never.address = ip("127.0.10.1");
  never.mask = 0;
  server.core().serverBans.add(never);
  server.core().serverBans.add(subnet);

  test::Socket banned = test::connectTo(server.port(), (9 << 8) | 7);  // 127.0.9.7
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().disconnects == 1; }));
  EXPECT_EQ(banned.receiveExactly(12, 1s), std::string("\x0A\x00\x3C\x07\x00Mallory", 12));
  EXPECT_TRUE(banned.waitClosed(1s));

  test::Socket zeroMask = test::connectTo(server.port(), (10 << 8) | 1);  // 127.0.10.1
  test::Socket outside = test::connectTo(server.port(), (8 << 8) | 7);    // 127.0.8.7
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().users.size() == 2; }));
  server.pumpFor(20ms);
  EXPECT_EQ(server.server().disconnects, 1);
}

TEST_F(ConnectionPolicyTest, ReceivedBytesAreCountedAndRepliesGoOutCounted) {
  test::Socket client = connectFrom(0);
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().users.size() == 1; }));
  User& user = *server.server().users[0];

  ASSERT_TRUE(client.sendAll(std::string("\x01\x00\x12", 3)));  // KeepAlive
  ASSERT_TRUE(server.pumpUntil([&] { return server.core().traffic.bytesReceived.get() == 3; }));
  EXPECT_EQ(server.core().traffic.packetsReceived.get(), 1u);

  ASSERT_TRUE(sendCode(user, wire::ServerCode::LoginProofRejected));
  ASSERT_TRUE(sendCode(user, wire::ServerCode::RoomFull));
  EXPECT_EQ(client.receiveExactly(7, 1s), std::string("\x02\x00\xFF\x04\x01\x00\x25", 7));
  EXPECT_EQ(server.core().traffic.packetsSent.get(), 2u);
  EXPECT_EQ(server.core().traffic.bytesSent.get(), 7u);
}

TEST_F(ConnectionPolicyTest, LoginWithAnotherVersionIsRejectedAndTheRestIgnored) {
  test::Socket client = connectFrom(0);
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().users.size() == 1; }));
  // Two logins with version 2 in one chunk: the first answer stops the chunk.
  ASSERT_TRUE(client.sendAll(std::string("\x02\x00\x01\x02\x02\x00\x01\x02", 8)));
  ASSERT_TRUE(server.pumpUntil([&] { return server.core().traffic.bytesSent.get() == 3; }));
  EXPECT_EQ(client.receiveSome(200ms), std::string("\x01\x00\x01", 3));
  // A missing version byte is rejected as well.
  ASSERT_TRUE(client.sendAll(std::string("\x01\x00\x01", 3)));
  ASSERT_TRUE(server.pumpUntil([&] { return server.core().traffic.bytesSent.get() == 6; }));
  EXPECT_EQ(client.receiveSome(200ms), std::string("\x01\x00\x01", 3));
  EXPECT_EQ(server.server().users.size(), 1u) << "the connection stays open";
}

TEST_F(ConnectionPolicyTest, UserCountFollowsConnections) {
  test::Socket a = connectFrom(0);
  test::Socket b = connectFrom(0);
  ASSERT_TRUE(server.pumpUntil([&] { return server.core().traffic.users.get() == 2; }));
  a.close();
  ASSERT_TRUE(server.pumpUntil([&] { return server.core().traffic.users.get() == 1; }));
}

}  // namespace
}  // namespace velmor
