// Trusted reverse proxies: Debian's nginx in front of the WebSocket port (X-Forwarded-For) and
// of the TCP port (PROXY protocol v1; v2 is sent by hand). The rate limit and address bans count
// the client behind the proxy, not the proxy; a PROXY header from anyone else closes the
// connection unanswered.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Nginx.h"
#include "support/Requirements.h"
#include "support/TransportTest.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using wire::ServerCode;

// A PROXY protocol v2 header: TCP over IPv4 from 127.0.0.`sourceHost`:5000 to 127.0.0.1:7175.
std::string proxyV2(int sourceHost) {
  return std::string("\r\n\r\n\0\r\nQUIT\n\x21\x11\0\x0c\x7f\0\0", 19) +
         static_cast<char>(sourceHost) + std::string("\x7f\0\0\x01\x13\x88\x1c\x07", 8);
}

class Proxy : public test::TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    VELMOR_REQUIRE(::access("/usr/lib/nginx/modules/ngx_stream_module.so", R_OK) == 0,
                   "needs Debian's nginx with its stream module");
    startDoors(false, R"("adminpassword": "root", "trustedproxies": ["127.0.0.1"],)");
    nginx = std::make_unique<test::Nginx>(
        "server { listen 127.0.0.1:" + std::to_string(httpPort) +
            "; location / { proxy_pass http://127.0.0.1:" + std::to_string(wsPort) +
            "; proxy_http_version 1.1; proxy_set_header Upgrade $http_upgrade;"
            " proxy_set_header Connection upgrade;"
            " proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for; } }\n",
        "server { listen 127.0.0.1:" + std::to_string(streamPort) + "; proxy_pass 127.0.0.1:" +
            std::to_string(server->port()) + "; proxy_protocol on; }\n");
    ASSERT_TRUE(nginx->ready()) << nginx->errors();
  }

  // A native client through the proxy, from 127.0.0.`host`.
  std::unique_ptr<test::TestClient> viaProxy(int host) {
    return std::make_unique<test::TestClient>(streamPort, host);
  }

  const std::uint16_t httpPort = test::freePort();
  const std::uint16_t streamPort = test::freePort();
  std::unique_ptr<test::Nginx> nginx;
};

TEST_F(Proxy, RateLimitCountsTheClientBehindTheProxy) {
  std::vector<std::unique_ptr<test::TestClient>> seven;
  for (int i = 0; i < 7; ++i) {
    seven.push_back(viaProxy(21));
    ASSERT_TRUE(seven.back()->loginAsGuest("Held" + std::to_string(i))) << nginx->errors();
  }
  EXPECT_TRUE(viaProxy(21)->waitFor(ServerCode::ConnectionRefused)) << "the eighth from .21";
  EXPECT_TRUE(viaProxy(22)->loginAsGuest("Other")) << "another address behind the same proxy";
  EXPECT_EQ(wsClient(wsUrl(httpPort), 23, "refused", 8), "05 close 1008");
  EXPECT_EQ(wsClient(wsUrl(httpPort), 24, "login"), "GuestWelcome");
}

TEST_F(Proxy, AddressBanRefusesOnlyTheBannedClientBehindTheProxy) {
  auto admin = member("Warden", "root");
  auto victim = viaProxy(31);
  ASSERT_TRUE(victim->loginAsGuest("Victim"));
  admin->request([](RequestWriter& w) { w.serverBan("Victim", "out", 0xFFFFFFFF); });
  ASSERT_TRUE(victim->waitFor(ServerCode::BannedFromServer));

  auto again = viaProxy(31);
  EXPECT_TRUE(again->waitFor(ServerCode::Banned));
  EXPECT_TRUE(again->closedByServer(3s));
  EXPECT_EQ(wsClient(wsUrl(httpPort), 31, "refused"), "3c close 1008");
  auto forwarded = connect(1);  // from the proxy's address, a v2 header naming the client
  ASSERT_TRUE(forwarded->send(proxyV2(31)));
  EXPECT_TRUE(forwarded->waitFor(ServerCode::Banned));
  EXPECT_TRUE(viaProxy(32)->loginAsGuest("Bystander"));
  EXPECT_EQ(wsClient(wsUrl(httpPort), 32, "login"), "GuestWelcome");
}

TEST_F(Proxy, ProxyHeaderFromAnUntrustedPeerClosesTheConnectionUnanswered) {
  for (const std::string& header :
       {std::string("PROXY TCP4 10.1.2.3 127.0.0.1 5000 7175\r\n"), proxyV2(33)}) {
    auto sneak = connect();  // from an address of its own, not the proxy's
    ASSERT_TRUE(sneak->send(header + test::loginFrame("Sneak")));
    EXPECT_TRUE(sneak->closedByServer(3s)) << header.substr(0, 5);
    EXPECT_TRUE(sneak->frames().empty()) << header.substr(0, 5);
  }
}

}  // namespace
}  // namespace velmor
