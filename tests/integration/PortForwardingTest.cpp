// Port forwarding against a real UPnP gateway, in network namespaces this test creates:
// nothing here reaches any network outside them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/Requirements.h"
#include "support/Shell.h"
#include "support/Terminals.h"

#ifndef VELMOR_TESTBED
#define VELMOR_TESTBED ""
#endif

namespace velmor {
namespace {

using namespace std::chrono_literals;

const std::string kPrefix = "vtv";
const std::string kLan = kPrefix + "-lan";
constexpr const char* kLanAddress = "10.77.0.2";
constexpr const char* kWanAddress = "45.45.45.7";
constexpr const char* kOtherHost = "10.77.0.3";

using test::capture;
using test::commandExists;
using test::run;

class PortForwardingTest : public test::ProcessTest {
 protected:
  void SetUp() override {
    VELMOR_REQUIRE(geteuid() == 0, "network namespaces need root");
    for (const char* tool : {"ip", "nft", "miniupnpd", "upnpc", "tmux"}) {
      VELMOR_REQUIRE(commandExists(tool), tool << " is not installed");
    }
    ASSERT_EQ(run(testbed("up")), 0) << "the test network could not be made";
    up = true;
  }
  void TearDown() override {
    if (up) run(testbed("down"));
  }

  static std::string testbed(const std::string& action) {
    return std::string(VELMOR_TESTBED) + " " + action + " " + kPrefix;
  }
  void mapForOther(const char* client, int port, const char* protocol) {
    ASSERT_EQ(run(testbed("map") + " " + client + " " + std::to_string(port) + " " + protocol), 0);
  }
  void stopGateway() { run("kill $(cat /tmp/" + kPrefix + "-miniupnpd.pid)"); }

  // A server in the host namespace with port forwarding on.
  void startServer(int port, const std::string& more = "") {
    prepare();
    // Discovery stays inside the test namespace: the server runs in it.
    const std::string netnsSettings = R"({"useupnp": true, "serverport": )";
    server->setSettingsText(netnsSettings + std::to_string(port) + more + "}");
    server->setLaunchPrefix({"ip", "netns", "exec", kLan});
    EXPECT_TRUE(server->start());
  }
  static bool listensOn(int port) {
    return test::eventually(
        [port] {
          return run("ip netns exec " + kLan + " bash -c 'exec 3<>/dev/tcp/" + kLanAddress + "/" +
                     std::to_string(port) + "'") == 0;
        },
        10s, 100ms);
  }
  // The gateway's mapping line of a TCP port, as its own client lists it.
  static std::string gatewayMapping(int port) {
    const std::string listing = capture("ip netns exec " + kLan + " upnpc -l");
    const std::string key = "->" + std::string(kLanAddress) + ":" + std::to_string(port);
    const std::size_t at = listing.find(key);
    return at == std::string::npos ? std::string()
                                   : listing.substr(listing.rfind('\n', at) + 1, 40);
  }

  bool up = false;
};

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(PortForwardingTest, FreePortIsMappedAndTheServerListensOnIt) {
  startServer(7175);
  ASSERT_TRUE(listensOn(7175));
  const std::string log = server->dir().read("upnp.log");
  const char* inOrder[] = {"UPnP Log Started. ",
                           "List of UPNP devices found on the network:\n",
                           "Found valid IGD: http://10.77.0.1:5555/",
                           "Local LAN IP address: 10.77.0.2\n",
                           "Public IP address: 45.45.45.7\n",
                           "\n i protocol exPort->inAddr:inPort description remoteHost leaseTime\n",
                           "Port '7175' is available. Proceeding with port forwarding\n",
                           "ExternalIPAddress = 45.45.45.7\n",
                           "Redirect success!"};
  std::size_t at = 0;
  for (const char* line : inOrder) {
    const std::size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
    at = found;
  }
  EXPECT_EQ(log.substr(log.size() - 2), "\n\n");
  EXPECT_NE(gatewayMapping(7175).find("TCP  7175->10.77.0.2:7175"), std::string::npos);
  stop(5s);
}

TEST_F(PortForwardingTest, PortAlreadyForwardedHereIsUsedAsItIs) {
  mapForOther(kLanAddress, 7175, "TCP");
  startServer(7175);
  ASSERT_TRUE(listensOn(7175));
  const std::string log = server->dir().read("upnp.log");
  EXPECT_NE(log.find("Port is already forwarded correctly.\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Proceeding with port forwarding"), std::string::npos) << log;
  stop(5s);
}

TEST_F(PortForwardingTest, PortsTakenByAnotherHostAreSkipped) {
  mapForOther(kOtherHost, 7175, "TCP");
  mapForOther(kOtherHost, 7176, "TCP");
  mapForOther(kOtherHost, 7175, "UDP");
  // The WebSocket door searches from 7176 too, and skips the port the TCP door took.
  startServer(7175, R"(, "websocketport": 7176)");
  ASSERT_TRUE(listensOn(7177));
  ASSERT_TRUE(listensOn(7178));
  const std::string log = server->dir().read("upnp.log");
  EXPECT_EQ(count(log, "There is someone already using your port: '"), 3u) << log;
  EXPECT_NE(log.find("Port '7177' is another door's. We'll try the next one\n"), std::string::npos);
  EXPECT_NE(gatewayMapping(7178).find("TCP  7178->10.77.0.2:7178"), std::string::npos);
  EXPECT_NE(log.find("There is someone already using your port: '7175'. We'll try the next one\n"),
            std::string::npos);
  EXPECT_NE(log.find("Port '7177' is available. Proceeding with port forwarding\n"),
            std::string::npos);
  stop(5s);
}

TEST_F(PortForwardingTest, UdpMappingDoesNotBlockThePort) {
  mapForOther(kOtherHost, 7175, "UDP");
  startServer(7175);
  ASSERT_TRUE(listensOn(7175));
  EXPECT_NE(server->dir().read("upnp.log").find("Port '7175' is available."), std::string::npos);
  stop(5s);
}

TEST_F(PortForwardingTest, WithoutAGatewayTheConfiguredPortIsUsed) {
  stopGateway();
  startServer(7180);
  ASSERT_TRUE(listensOn(7180));
  const std::string log = server->dir().read("upnp.log");
  const std::string last = "No IGD UPnP Device found on the network. error code: ";
  const std::size_t at = log.find(last);
  ASSERT_NE(at, std::string::npos) << log;
  const std::size_t lineEnd = log.find('\n', at);
  EXPECT_EQ(log.substr(lineEnd), "\n\n\n") << "the log ends after that line";
  stop(5s);
}

TEST_F(PortForwardingTest, StatusScreenShowsTheGatewaysPublicAddress) {
  prepare();
  server->setSettingsText(R"({"useupnp": true, "serverport": 7175})");  // run inside the test netns
  test::Terminals terminal("velmor-upnp");
  ASSERT_TRUE(terminal.open("server", "exec ip netns exec " + kLan + " " + server->executable()));
  std::string pane;
  terminal.shows("server", "Public IP:", 10s, &pane);
  terminal.keys("server", "C-c");
  test::eventually([&] { return !terminal.running("server"); }, 5s, 100ms);
  EXPECT_NE(pane.find(std::string("Public IP:      ") + kWanAddress + "\n"), std::string::npos)
      << pane;
}

}  // namespace
}  // namespace velmor
