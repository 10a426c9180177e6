// docs/protocol.md against the code: its generated sections must be the ones the codec's
// tables give now, and what those sections say (field names, compact steps, the shapes of
// list messages, the login example) must read back through the decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/FrameDecoder.h"
#include "client/RequestLayout.h"
#include "client/ServerLayout.h"
#include "protocol-doc/LoginExample.h"
#include "protocol-doc/ProtocolDoc.h"
#include "wire/MessageBuilder.h"
#include "wire/MessageCatalogue.h"

#ifndef VELMOR_PROTOCOL_DOC
#error "VELMOR_PROTOCOL_DOC must name docs/protocol.md"
#endif

namespace velmor::docs {
namespace {

using client::MessageKind;
using client::ServerMessage;
using client::StepDirection;
using wire::ServerCode;

std::string readDocument() {
  std::ifstream in(VELMOR_PROTOCOL_DOC, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<ServerMessage> decode(std::string_view payload, bool navigation = false) {
  std::vector<ServerMessage> messages;
  std::string error;
  EXPECT_TRUE(client::decodeFrame(payload, {navigation}, messages, error)) << error;
  return messages;
}

std::string payloadOf(const std::string& frame) {
  EXPECT_GE(frame.size(), 2u);
  const std::size_t length = static_cast<unsigned char>(frame[0]) |
                             static_cast<std::size_t>(static_cast<unsigned char>(frame[1])) << 8;
  EXPECT_EQ(length, frame.size() - 2);
  return frame.substr(2);
}

std::string frameOf(MessageBuilder& builder) {
  builder.finish();
  return std::string(builder.data() + 2, builder.size() - 2);
}

const Section& section(const std::vector<Section>& sections, const std::string& name) {
  for (const Section& s : sections) {
    if (s.name == name) return s;
  }
  static const Section none;
  ADD_FAILURE() << "no section " << name;
  return none;
}

TEST(ProtocolDocument, HoldsTheGeneratedSectionsAsTheCodeHasThem) {
  const std::string document = readDocument();
  ASSERT_FALSE(document.empty()) << "cannot read " << VELMOR_PROTOCOL_DOC;
  const std::vector<Section> sections = generatedSections();
  const DocumentUpdate update = updateDocument(document, sections);
  for (const std::string& error : update.errors) {
    ADD_FAILURE() << VELMOR_PROTOCOL_DOC << ": " << error;
  }
  for (const Section& before : update.previous) {
    const Section& now = section(sections, before.name);
    EXPECT_TRUE(before.text == now.text)
        << "section \"" << now.name << "\" of " << VELMOR_PROTOCOL_DOC
        << " is not what the code generates (line numbers of the generated text):\n"
        << lineDiff(before.text, now.text) << "Regenerate with: " << kRegenerateHint;
  }
  EXPECT_TRUE(update.text == document) << "Regenerate with: " << kRegenerateHint;
}

TEST(ProtocolDocument, CompactStepTablesAgreeWithTheDecoder) {
  const std::vector<Section> sections = generatedSections();
  const std::string& steps = section(sections, "compact-steps").text;
  for (int dy = -wire::kMemberStepRange; dy <= wire::kMemberStepRange; ++dy) {
    for (int dx = -wire::kMemberStepRange; dx <= wire::kMemberStepRange; ++dx) {
      const std::uint8_t type = wire::memberStepType(dx, dy);
      // Form 0 alone, form 1 with an i8 turn, form 2 with a u16 direction.
      const std::string frame{static_cast<char>(type),
                              static_cast<char>(type + wire::kMemberStepCount),
                              '\xFE',
                              static_cast<char>(type + 2 * wire::kMemberStepCount),
                              '\x34',
                              '\x12'};
      const std::vector<ServerMessage> m = decode(frame);
      ASSERT_EQ(m.size(), 3u);
      for (const ServerMessage& step : m) {
        EXPECT_EQ(step.kind, MessageKind::MemberStep);
        EXPECT_EQ(step.step.dx, dx);
        EXPECT_EQ(step.step.dy, dy);
      }
      EXPECT_EQ(m[0].step.direction, StepDirection::Unchanged);
      EXPECT_EQ(m[1].step.direction, StepDirection::Step);
      EXPECT_EQ(m[1].step.directionStep, -2);
      EXPECT_EQ(m[2].step.direction, StepDirection::Value);
      EXPECT_EQ(m[2].step.directionValue, 0x1234);
    }
  }
  for (int dy = -wire::kObjectStepRange; dy <= wire::kObjectStepRange; ++dy) {
    for (int dx = -wire::kObjectStepRange; dx <= wire::kObjectStepRange; ++dx) {
      const std::string frame{static_cast<char>(ServerCode::ObjectBatch),
                              static_cast<char>(wire::objectStepType(dx, dy))};
      const std::vector<ServerMessage> m = decode(frame);
      ASSERT_EQ(m.size(), 2u);
      EXPECT_EQ(m[1].kind, MessageKind::ObjectStep);
      EXPECT_EQ(m[1].step.dx, dx);
      EXPECT_EQ(m[1].step.dy, dy);
    }
  }
  EXPECT_NE(steps.find("| -6 | 55 | 56 | 57 | 58 | 59 | 5A | 5B | 5C | 5D | 5E | 5F | 60 | 61 |"),
            std::string::npos)
      << "the object grid's first row is for dy = -6: " << steps;
  EXPECT_EQ(wire::memberStepType(0, 0), wire::kMemberStepNoMove);
  EXPECT_EQ(wire::objectStepType(0, 0), wire::kObjectStepNoMove);
}

// The list messages built as the tables describe them decode to what was put in.
TEST(ProtocolDocument, ShapedMessagesReadAsTheTablesDescribeThem) {
  MessageBuilder b;
  b.begin(ServerCode::RoomList).u16(3);
  b.string("Locked").u8(wire::kRoomHasPassword | wire::kRoomNavigation);
  b.string("Open").u8(0).u16(5);
  b.string("Big").u8(wire::kRoomNavigation).u16(wire::kRoomLimitDiffers + 2).u16(300);
  b.begin(ServerCode::MemberList).u16(4).u16(1).string("Ada").u32(7).u16(8).u8(1);
  b.begin(ServerCode::RoomBanList).u16(1).string("Bob").string("Ada").string("spam").u32(9);
  b.begin(ServerCode::FileList)
      .u16(1)
      .string("notes")
      .string("Ada")
      .string("Bob")
      .u32(10)
      .u8(1)
      .u8(0);
  b.begin(ServerCode::RoomDirectory).u16(20).u16(1).string("Hall").string("Ada");
  b.begin(ServerCode::RecentLines).u8(2).string("hi").string("there");
  const std::vector<ServerMessage> m = decode(frameOf(b));
  ASSERT_EQ(m.size(), 6u);
  ASSERT_EQ(m[0].rooms.size(), 3u);
  EXPECT_TRUE(m[0].rooms[0].hasPassword && m[0].rooms[0].navigation && !m[0].rooms[0].hasCount);
  EXPECT_TRUE(m[0].rooms[1].hasCount && m[0].rooms[1].memberCount == 5 &&
              !m[0].rooms[1].limitDiffers);
  EXPECT_TRUE(m[0].rooms[2].limitDiffers && m[0].rooms[2].memberCount == 2 &&
              m[0].rooms[2].maxUsers == 300);
  EXPECT_EQ(m[1].numbers, (std::vector<std::uint32_t>{4, 1}));
  EXPECT_EQ(m[1].members.at(0), (client::MemberEntry{"Ada", 7, 8, 1}));
  EXPECT_EQ(m[2].bans.at(0), (client::BanEntry{"Bob", "Ada", "spam", 9}));
  EXPECT_EQ(m[3].files.at(0), (client::FileEntry{"notes", "Ada", "Bob", 10, 1, 0}));
  EXPECT_EQ(m[4].numbers, (std::vector<std::uint32_t>{20, 1}));
  EXPECT_EQ(m[4].directory.at(0), (client::DirectoryEntry{"Hall", "Ada"}));
  EXPECT_EQ(m[5].texts, (std::vector<std::string>{"hi", "there"}));

  MessageBuilder saved;
  saved.begin(ServerCode::FileSaved);
  EXPECT_EQ(decode(frameOf(saved)).at(0).numbers.size(), 0u) << "bare when it ends the frame";
}

TEST(ProtocolDocument, LoginExampleFramesReadBackToTheExampleValues) {
  const LoginExample& e = loginExample();
  ASSERT_EQ(e.challenge.size(), 15u);
  ASSERT_EQ(e.guestChallenge.size(), 15u);
  for (char c : e.challenge + e.guestChallenge) EXPECT_TRUE(c >= '!' && c <= '}') << c;

  const std::vector<ServerMessage> guest = decode(payloadOf(e.guestWelcomeFrame));
  ASSERT_EQ(guest.size(), 1u);
  EXPECT_TRUE(guest[0].is(ServerCode::GuestWelcome));
  EXPECT_EQ(guest[0].texts, (std::vector<std::string>{e.guestChallenge}));

  const std::vector<ServerMessage> challenge = decode(payloadOf(e.loginChallengeFrame));
  ASSERT_EQ(challenge.size(), 1u);
  EXPECT_TRUE(challenge[0].is(ServerCode::LoginChallenge));
  EXPECT_EQ(challenge[0].texts, (std::vector<std::string>{e.guestChallenge, e.challenge}));

  const std::vector<ServerMessage> welcome = decode(payloadOf(e.welcomeFrame));
  ASSERT_EQ(welcome.size(), 2u);
  EXPECT_TRUE(welcome[0].is(ServerCode::ServerInfo));
  EXPECT_TRUE(welcome[1].is(ServerCode::RoomList));

  const std::vector<ServerMessage> registered = decode(payloadOf(e.registeredFrame));
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_TRUE(registered[0].is(ServerCode::Registered));
  EXPECT_EQ(e.registeredFrame, std::string("\x02\x00\xFF\x05", 4));

  // The request frames: a type byte and the table's fields, nothing more.
  const std::string proof(reinterpret_cast<const char*>(e.proof.data()), 16);
  EXPECT_EQ(e.loginProofFrame, std::string("\x11\x00\x10", 3) + proof);
  EXPECT_EQ(payloadOf(e.registerFrame).size(), 33u);
  EXPECT_EQ(static_cast<unsigned char>(e.loginFrame[2]),
            static_cast<unsigned>(wire::ClientType::Login));

  // The example shows each of them.
  const std::vector<Section> sections = generatedSections();
  const std::string& text = section(sections, "login-example").text;
  EXPECT_NE(text.find(e.proofText), std::string::npos);
  EXPECT_NE(text.find("\"" + e.challenge + "\""), std::string::npos);
}

TEST(ProtocolDocumentUpdate, ReplacesOnlyTheTextBetweenTheMarkers) {
  const std::vector<Section> sections = {{"one", "new 1\n"}, {"two", "new 2\n"}};
  const std::string document =
      "prose\n<!-- generated: one -->\nold\nlines\n<!-- end generated -->\n"
      "more `<!-- generated: one -->` prose\n<!-- generated: two -->\n<!-- end generated -->\n";
  const DocumentUpdate update = updateDocument(document, sections);
  EXPECT_TRUE(update.errors.empty());
  EXPECT_EQ(update.text,
            "prose\n<!-- generated: one -->\nnew 1\n<!-- end generated -->\n"
            "more `<!-- generated: one -->` prose\n<!-- generated: two -->\nnew 2\n"
            "<!-- end generated -->\n");
  ASSERT_EQ(update.previous.size(), 2u);
  EXPECT_EQ(update.previous[0].text, "old\nlines\n");
  EXPECT_EQ(update.previous[1].text, "");
  EXPECT_EQ(updateDocument(update.text, sections).text, update.text);
}

TEST(ProtocolDocumentUpdate, RefusesUnknownRepeatedUnterminatedAndMissingSections) {
  const std::vector<Section> sections = {{"one", "1\n"}, {"two", "2\n"}};
  EXPECT_EQ(updateDocument("<!-- generated: three -->\n<!-- end generated -->\n"
                           "<!-- generated: one -->\n<!-- end generated -->\n"
                           "<!-- generated: one -->\n<!-- end generated -->\n"
                           "<!-- end generated -->\n",
                           sections)
                .errors.size(),
            4u)
      << "unknown, repeated, stray end, missing \"two\"";
  EXPECT_EQ(
      updateDocument("<!-- generated: one -->\n<!-- generated: two -->\n", sections).errors.size(),
      2u)
      << "unterminated, and \"two\" is then missing";
}

TEST(ProtocolDocumentUpdate, DiffShowsTheChangedLinesOnly) {
  EXPECT_EQ(lineDiff("a\nb\nc\n", "a\nb\nc\n"), "");
  const std::string diff = lineDiff("a\nb\nc\nd\ne\nf\ng\n", "a\nb\nc\nD\ne\nf\ng\n");
  EXPECT_NE(diff.find("- d"), std::string::npos) << diff;
  EXPECT_NE(diff.find("+ D"), std::string::npos) << diff;
  EXPECT_EQ(diff.find("  a"), std::string::npos) << "beyond the context: " << diff;
}

}  // namespace
}  // namespace velmor::docs
