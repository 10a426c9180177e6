// The worked login example of docs/protocol.md against the codec and the real server: the
// documented frames, sent byte for byte, are answered as the document says, and the proof
// computed by the documented steps admits the member.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "client/LoginProof.h"
#include "protocol-doc/LoginExample.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"
#include "wire/LoginProof.h"
#include "wire/MessageCatalogue.h"

namespace velmor {
namespace {

using docs::LoginExample;
using docs::loginExample;
using test::TestClient;
using wire::ServerCode;

std::string payloadOf(const std::string& frame) {
  return frame.substr(2);
}

std::string bytesOf(const client::Hash16& hash) {
  return std::string(reinterpret_cast<const char*>(hash.data()), hash.size());
}

bool isChallenge(const std::string& text) {
  if (text.size() != 15) return false;
  for (char c : text) {
    if (c < '!' || c > '}') return false;
  }
  return true;
}

TEST(DocumentedLoginProof, IsTheProofOfTheClientAndOfTheServer) {
  const LoginExample& e = loginExample();
  EXPECT_EQ(e.proof, client::loginProof(e.passwordHash, e.challenge));
  std::uint8_t stored[16];
  std::memcpy(stored, e.passwordHash.data(), 16);
  EXPECT_EQ(e.proofText, loginProofText(stored, e.challenge));
  const std::array<std::uint8_t, 16> expected = expectedLoginProof(stored, e.challenge);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), e.proof.begin()));
  // MD5("secret"), as any MD5 implementation gives it.
  EXPECT_EQ(bytesOf(e.passwordHash),
            std::string("\x5E\xBE\x22\x94\xEC\xD0\xE0\xF0\x8E\xAB\x76\x90\xD2\xA6\xEE\x69", 16));
}

class DocumentedLoginTest : public test::ProcessTest {
 protected:
  void SetUp() override { start(); }
};

TEST_F(DocumentedLoginTest, ServerAnswersTheDocumentedFramesAsDocumented) {
  const LoginExample& e = loginExample();

  // 1. The Login frame, byte for byte, logs in a guest: GuestWelcome, then the welcome frame.
  TestClient guest(server->port());
  ASSERT_TRUE(guest.send(e.loginFrame));
  const auto welcomed = guest.waitFor(ServerCode::GuestWelcome);
  ASSERT_TRUE(welcomed);
  const std::string guestChallenge = welcomed->text(0);
  EXPECT_TRUE(isChallenge(guestChallenge)) << guestChallenge;
  EXPECT_EQ(guest.frames().at(0), payloadOf(docs::guestWelcomeFrame(guestChallenge)));
  ASSERT_TRUE(guest.waitFor(ServerCode::RoomList));
  ASSERT_EQ(guest.frames().size(), 2u);
  EXPECT_EQ(guest.frames()[1], payloadOf(e.welcomeFrame)) << "the documented welcome frame";

  // 2. The Register frame, byte for byte: Registered, exactly the documented frame.
  ASSERT_TRUE(guest.send(e.registerFrame));
  ASSERT_TRUE(guest.waitFor(ServerCode::Registered));
  EXPECT_EQ(guest.frames().back(), payloadOf(e.registeredFrame));

  // 3. The same Login frame now meets the account: LoginChallenge with the salt (the guest's
  // challenge) and a fresh 15-character challenge, in the documented layout.
  TestClient member(server->port());
  ASSERT_TRUE(member.send(e.loginFrame));
  const auto challenged = member.waitFor(ServerCode::LoginChallenge);
  ASSERT_TRUE(challenged);
  ASSERT_EQ(challenged->texts.size(), 2u);
  EXPECT_EQ(challenged->text(0), guestChallenge) << "the salt is the registering guest's challenge";
  const std::string challenge = challenged->text(1);
  EXPECT_TRUE(isChallenge(challenge)) << challenge;
  EXPECT_EQ(member.frames().back(),
            payloadOf(docs::loginChallengeFrame(guestChallenge, challenge)));

  // 4. The proof by the documented steps, in a LoginProof frame laid out as documented (the
  // example's frame with this challenge's proof in place of the example's).
  const client::Hash16 proof = docs::documentedProof(docs::md5(e.accountPassword), challenge);
  std::string proofFrame = e.loginProofFrame;
  ASSERT_EQ(proofFrame.size(), 19u);
  proofFrame.replace(3, 16, bytesOf(proof));
  ASSERT_TRUE(member.send(proofFrame));
  ASSERT_TRUE(member.waitFor(ServerCode::RoomList)) << "the member is not admitted";
  EXPECT_EQ(member.frames().back(), payloadOf(e.welcomeFrame));

  // The guest session of the name is replaced by the member's login.
  EXPECT_TRUE(guest.waitFor(ServerCode::LoginReplaced));
}

TEST_F(DocumentedLoginTest, ExampleProofForAnotherChallengeIsRejected) {
  const LoginExample& e = loginExample();
  TestClient guest(server->port());
  ASSERT_TRUE(guest.send(e.loginFrame));
  ASSERT_TRUE(guest.waitFor(ServerCode::RoomList));
  ASSERT_TRUE(guest.send(e.registerFrame));
  ASSERT_TRUE(guest.waitFor(ServerCode::Registered));

  TestClient member(server->port());
  ASSERT_TRUE(member.send(e.loginFrame));
  const auto challenged = member.waitFor(ServerCode::LoginChallenge);
  ASSERT_TRUE(challenged);
  ASSERT_NE(challenged->text(1), e.challenge) << "a drawn challenge is the example's";
  ASSERT_TRUE(member.send(e.loginProofFrame));  // the proof of the example's challenge
  const auto answer = member.next();
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->is(ServerCode::LoginProofRejected)) << answer->describe();
  EXPECT_EQ(member.frames().back(), std::string("\xFF\x04", 2));
}

}  // namespace
}  // namespace velmor
