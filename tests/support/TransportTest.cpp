#include "support/TransportTest.h"

#include <chrono>
#include <filesystem>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/Requirements.h"
#include "support/Shell.h"

#ifndef VELMOR_WS_CLIENT
#define VELMOR_WS_CLIENT ""
#endif

namespace velmor::test {

using namespace std::chrono_literals;

bool makeCertificate(const std::string& certificateFile, const std::string& keyFile,
                     const std::string& commonName) {
  return run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
             "-subj /CN=" +
             commonName + " -keyout '" + keyFile + "' -out '" + certificateFile + "'") == 0;
}

std::string loginFrame(std::string_view name) {
  return client::RequestWriter::frame([&](client::RequestWriter& w) {
    client::LoginFields fields;
    fields.name = name;
    w.login(fields);
  });
}

void TransportTest::SetUp() {
  VELMOR_REQUIRE(commandExists("openssl"), "openssl makes the test certificate");
  VELMOR_REQUIRE(run("/usr/bin/python3 -c 'import websockets'") == 0,
                 "the WebSocket client needs Debian's python3-websockets");
}

void TransportTest::startDoors(bool withTls, const std::string& more) {
  tls = withTls;
  std::string doors = R"("websocketport": )" + std::to_string(wsPort) + ",";
  if (tls) {
    ASSERT_TRUE(makeCertificate(certificate, key, "first"));
    doors += R"("tlsport": )" + std::to_string(tlsPort) + R"(, "tlscertificate": ")" + certificate +
             R"(", "tlskey": ")" + key + R"(",)";
  }
  start(doors + more);
  for (std::uint16_t port : {wsPort, tls ? tlsPort : wsPort}) {
    ASSERT_TRUE(eventually([&] { return connectTo(port).valid(); }, 10s)) << server->output();
  }
}

std::string TransportTest::wsUrl(std::uint16_t port) const {
  return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port ? port : wsPort) +
         "/";
}

std::string TransportTest::wsClient(const std::string& url, int sourceHost, const std::string& what,
                                    int count) const {
  TempDir dir;
  ChildProcess python({"/usr/bin/python3", VELMOR_WS_CLIENT, url,
                       "127.0.0." + std::to_string(sourceHost), what, std::to_string(count)},
                      dir.file("out.txt"));
  if (!python.waitExit(30s)) return "still running after 30 s";
  std::string out = dir.read("out.txt");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace velmor::test
