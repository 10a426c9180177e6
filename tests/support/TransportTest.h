#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/ProcessTest.h"
#include "support/Sockets.h"
#include "support/TempDir.h"

namespace velmor::test {

// Writes a self-signed certificate (subject CN=`commonName`, a P-256 key, a day's validity)
// and its key as PEM files with the openssl command line; true when it succeeded.
bool makeCertificate(const std::string& certificateFile, const std::string& keyFile,
                     const std::string& commonName);

// A frame holding one Login of the guest `name` (no password).
std::string loginFrame(std::string_view name);

// The fixture of the tests of the server's WebSocket and TLS ports: ProcessTest with a test
// certificate in a folder of its own, a free port for each door, and the Python WebSocket
// client (tests/integration/ws_client.py, run by Debian's /usr/bin/python3). SetUp requires
// openssl and python3-websockets. Test thread only.
class TransportTest : public ProcessTest {
 protected:
  void SetUp() override;
  // Starts the server with its WebSocket port open and, when `tls`, its TLS port too and the
  // certificate "door.crt" (CN=first) given (the WebSocket port is wss:// then); waits until
  // the doors listen. `more` is added to the settings.
  void startDoors(bool tls, const std::string& more = "");
  std::string wsUrl(std::uint16_t port = 0) const;
  // Runs one case of ws_client.py from 127.0.0.`sourceHost` against `url`: the line it printed.
  std::string wsClient(const std::string& url, int sourceHost, const std::string& what,
                       int count = 1) const;

  TempDir certs;
  const std::string certificate = certs.file("door.crt");
  const std::string key = certs.file("door.key");
  const std::uint16_t wsPort = freePort();
  const std::uint16_t tlsPort = freePort();
  bool tls = false;
};

}  // namespace velmor::test
