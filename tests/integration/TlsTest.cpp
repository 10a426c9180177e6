// The native protocol inside TLS: a guest logs in, connections that never finish the handshake
// or do not speak TLS are closed unanswered, SIGHUP reloads the certificate (keeping the old one
// when the new is broken), and a bad certificate at start ends the server.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "support/Eventually.h"
#include "support/TlsClient.h"
#include "support/TransportTest.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;

constexpr std::uint8_t kGuestWelcome = 0x35, kServerInfo = 0x32, kStatusText = 0x06;

class Tls : public test::TransportTest {};

TEST_F(Tls, GuestLogsIn) {
  startDoors(true);
  test::TlsClient c(tlsPort);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(test::loginFrame("Sealed")));
  EXPECT_TRUE(c.waitFor(kGuestWelcome));
  EXPECT_TRUE(c.waitFor(kServerInfo));
}

// Nothing sent (the handshake never finishes: the login deadline closes it), or a Login in
// plain text (no TLS: closed, and no protocol reply).
TEST_F(Tls, ConnectionWithoutAHandshakeIsClosedUnanswered) {
  startDoors(true, R"("logintimeout": 2,)");
  for (const std::string& sent : {std::string(), test::loginFrame("Plain")}) {
    test::Socket s = test::connectTo(tlsPort);
    ASSERT_TRUE(s.sendAll(sent));
    const auto started = std::chrono::steady_clock::now();
    std::string received;
    for (std::string more; !(more = s.receiveSome(6s)).empty();) received += more;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "still open; sent " << sent.size();
    EXPECT_FALSE(received.size() >= 3 && received[2] == kGuestWelcome) << "answered in plain text";
    if (sent.empty()) {
      EXPECT_GT(std::chrono::steady_clock::now() - started, 1500ms) << "closed before the deadline";
    }
  }
}

// The connection made before the reload keeps working; new ones get the new certificate, or
// the old one when the new file is broken (and the server says why).
TEST_F(Tls, SighupReloadsTheCertificate) {
  for (const bool broken : {false, true}) {
    SCOPED_TRACE(broken ? "broken" : "good");
    startDoors(true);
    test::TlsClient before(tlsPort);
    ASSERT_TRUE(before.send(test::loginFrame("Early")) && before.waitFor(kServerInfo));
    if (broken) {
      certs.write("door.crt", "-----BEGIN CERTIFICATE-----\nbroken\n");
    } else {
      ASSERT_TRUE(test::makeCertificate(certificate, key, "second"));
    }
    const std::size_t printed = server->output().size();
    server->signal(SIGHUP);
    if (broken) {
      EXPECT_TRUE(test::eventually([&] {
        return server->output().find("door.crt", printed) != std::string::npos;
      })) << server->output();
    }
    const std::string expected = broken ? "/CN=first" : "/CN=second";
    EXPECT_TRUE(test::eventually([&] {
      return test::TlsClient(tlsPort).peerSubject() == expected;
    })) << test::TlsClient(tlsPort).peerSubject();
    ASSERT_TRUE(before.send(RequestWriter::frame([](RequestWriter& w) { w.statusRequest(""); })));
    EXPECT_TRUE(before.waitFor(kStatusText));
    stop();
  }
}

// The message names the file and OpenSSL's reason; the status is fatalExit's.
TEST_F(Tls, BadCertificateAtStartEndsTheServer) {
  certs.write("door.crt", "not a certificate");
  prepare(R"("tlsport": )" + std::to_string(tlsPort) + R"(, "tlscertificate": ")" + certificate +
          R"(", "tlskey": ")" + key + R"(",)");
  ASSERT_TRUE(server->start());
  EXPECT_EQ(server->waitExit(10s), 1);
  EXPECT_NE(server->output().find(certificate + ": error:"), std::string::npos) << server->output();
}

}  // namespace
}  // namespace velmor
