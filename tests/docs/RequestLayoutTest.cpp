// The request layout table against the request writer: every request, written with sample
// values, parses exactly as the table spells it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <set>
#include <string>

#include "client/RequestLayout.h"
#include "client/RequestWriter.h"
#include "docs/ProtocolDoc.h"
#include "wire/MessageCatalogue.h"

namespace velmor::client {
namespace {

using wire::ClientType;

// Sample values by field index, distinct per index and per width, so that a field the table
// puts at the wrong place or gives the wrong width reads a value it does not expect.
class Samples {
 public:
  std::uint8_t b(int i) const { return static_cast<std::uint8_t>(0x10 + i); }
  std::uint16_t w(int i) const { return static_cast<std::uint16_t>(0x2100 + 0x0101 * i); }
  std::uint32_t d(int i) const { return 0x43000000u + 0x00010203u * static_cast<unsigned>(i); }
  // A different length for every index, the index in the text.
  const std::string& s(int i) {
    texts_.push_back("field " + std::to_string(i) + std::string(static_cast<std::size_t>(i), '*'));
    return texts_.back();
  }
  Hash16 h(int i) const {
    Hash16 hash{};
    for (int k = 0; k < 16; ++k) hash[k] = static_cast<std::uint8_t>(0xA0 + 16 * i + k);
    return hash;
  }
  std::string expectedText(int i) const {
    return "field " + std::to_string(i) + std::string(static_cast<std::size_t>(i), '*');
  }

 private:
  std::deque<std::string> texts_;  // the writer takes views
};

// One request of the type, written with the samples. No default: a new type must be added.
void writeSample(ClientType type, Samples& v, RequestWriter& w) {
  switch (type) {
    case ClientType::Login: {
      LoginFields f;
      f.version = v.b(0);
      f.profileWord1 = v.d(1);
      f.profileWord2 = v.d(2);
      f.profileShort = v.w(3);
      f.loginWord = v.d(4);
      f.appearanceWord = v.d(5);
      f.appearanceByte = v.b(6);
      f.appearanceShort1 = v.w(7);
      f.appearanceShort2 = v.w(8);
      f.ignored = v.d(9);
      f.name = v.s(10);
      f.appearanceText = v.s(11);
      f.password = v.s(12);
      w.login(f);
      return;
    }
    case ClientType::Position:
      w.position(v.w(0), v.w(1), v.b(2), v.b(3), v.w(4));
      return;
    case ClientType::ObjectReport:
      w.objectReport(v.s(0), v.w(1), v.w(2), v.b(3));
      return;
    case ClientType::Appearance:
      w.appearance(v.d(0), v.b(1), v.w(2), v.w(3), v.s(4));
      return;
    case ClientType::LocalChat:
      w.localChat(v.s(0));
      return;
    case ClientType::RepeatLocalChat:
      w.repeatLocalChat();
      return;
    case ClientType::Whisper:
      w.whisper(v.s(0), v.s(1));
      return;
    case ClientType::RoomChat:
      w.roomChat(v.s(0));
      return;
    case ClientType::RepeatRoomChat:
      w.repeatRoomChat();
      return;
    case ClientType::PrivateMessage:
      w.privateMessage(v.s(0), v.s(1));
      return;
    case ClientType::CreateRoomRequest:
      w.createRoom(v.s(0), v.s(1), v.s(2), v.b(3));
      return;
    case ClientType::Nop:
      w.nop();
      return;
    case ClientType::JoinChannel:
      w.joinChannel(v.s(0), v.s(1));
      return;
    case ClientType::LeaveChannel:
      w.leaveChannel(v.s(0));
      return;
    case ClientType::EnterRoom:
      w.enterRoom(v.s(0), v.s(1));
      return;
    case ClientType::LoginProof:
      w.loginProof(v.h(0));
      return;
    case ClientType::Register:
      w.registerAccount(v.h(0), v.h(1));
      return;
    case ClientType::KeepAlive:
      w.keepAlive();
      return;
    case ClientType::RoomKick:
      w.roomKick(v.s(0), v.s(1));
      return;
    case ClientType::RoomBan:
      w.roomBan(v.s(0), v.s(1), v.d(2));
      return;
    case ClientType::ServerKick:
      w.serverKick(v.s(0), v.s(1));
      return;
    case ClientType::ServerBan:
      w.serverBan(v.s(0), v.s(1), v.d(2));
      return;
    case ClientType::ListRoomBans:
      w.listRoomBans();
      return;
    case ClientType::ListServerBans:
      w.listServerBans();
      return;
    case ClientType::RoomUnban:
      w.roomUnban(v.s(0));
      return;
    case ClientType::ServerUnban:
      w.serverUnban(v.s(0));
      return;
    case ClientType::ClaimLeader:
      w.claimLeader(v.s(0));
      return;
    case ClientType::CreateFile:
      w.createFile(v.s(0), v.b(1), v.b(2));
      return;
    case ClientType::ReadFile:
      w.readFile(v.s(0), v.d(1));
      return;
    case ClientType::WriteFile:
      w.writeFile(v.d(0), v.s(1), v.s(2));
      return;
    case ClientType::SetFileAccess:
      w.setFileAccess(v.s(0), v.b(1), v.b(2));
      return;
    case ClientType::ListFiles:
      w.listFiles();
      return;
    case ClientType::DeleteFile:
      w.deleteFile(v.s(0));
      return;
    case ClientType::LeaveRoom:
      w.leaveRoom();
      return;
    case ClientType::ListRooms:
      w.listRooms(v.w(0));
      return;
    case ClientType::SetRoomPasswords:
      w.setRoomPasswords(v.s(0), v.s(1));
      return;
    case ClientType::FileChunk:
      w.fileChunk(v.s(0));
      return;
    case ClientType::FileChunkRequest:
      w.fileChunkRequest(v.d(0));
      return;
    case ClientType::EnemyReport:
      w.enemyReport(v.w(0), v.w(1), v.b(2));
      return;
    case ClientType::RoomRefresh:
      w.roomRefresh();
      return;
    case ClientType::StatusRequest:
      w.statusRequest(v.s(0));
      return;
  }
  FAIL() << "no sample for request type " << static_cast<int>(type);
}

// Reads the payload by the table: the type byte, then every field with the sample value of
// its index, then nothing.
testing::AssertionResult parsesByTheTable(std::uint8_t type, std::string_view payload,
                                          const Samples& v) {
  const RequestLayout layout = requestLayout(type);
  if (layout.name == nullptr) return testing::AssertionFailure() << "no layout";
  std::size_t pos = 0;
  auto take = [&](std::size_t n, std::string_view& out) {
    if (n > payload.size() - pos) return false;
    out = payload.substr(pos, n);
    pos += n;
    return true;
  };
  auto integer = [](std::string_view bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return value;
  };
  std::string_view bytes;
  if (!take(1, bytes) || static_cast<unsigned char>(bytes[0]) != type)
    return testing::AssertionFailure() << "the type byte does not come first";
  for (int i = 0; layout.fields[i] != '\0'; ++i) {
    const char letter = layout.fields[i];
    const std::string where = std::string("field ") + std::to_string(i) + " ('" + letter + "')";
    if (letter == 's') {
      if (!take(2, bytes)) return testing::AssertionFailure() << where << ": count runs past";
      std::string_view text;
      if (!take(integer(bytes), text)) return testing::AssertionFailure() << where << ": runs past";
      if (text != v.expectedText(i))
        return testing::AssertionFailure()
               << where << ": \"" << text << "\", expected \"" << v.expectedText(i) << "\"";
      continue;
    }
    const unsigned size = fixedFieldSize(letter);
    if (size == 0) return testing::AssertionFailure() << where << ": no such letter";
    if (!take(size, bytes)) return testing::AssertionFailure() << where << ": runs past the end";
    if (letter == 'h') {
      const Hash16 expected = v.h(i);
      if (std::memcmp(bytes.data(), expected.data(), 16) != 0)
        return testing::AssertionFailure() << where << ": not the sample hash";
      continue;
    }
    const std::uint32_t expected = letter == 'b' ? v.b(i) : letter == 'w' ? v.w(i) : v.d(i);
    if (integer(bytes) != expected)
      return testing::AssertionFailure()
             << where << ": " << integer(bytes) << ", expected " << expected;
  }
  if (pos != payload.size())
    return testing::AssertionFailure() << payload.size() - pos << " bytes left over";
  return testing::AssertionSuccess();
}

TEST(RequestLayoutTest, EveryRequestParsesExactlyAsTheTableSpellsIt) {
  for (unsigned type = wire::kFirstClientType; type <= wire::kLastClientType; ++type) {
    const auto t = static_cast<std::uint8_t>(type);
    Samples samples;
    RequestWriter writer;
    writer.beginFrame();
    writeSample(static_cast<ClientType>(t), samples, writer);
    ASSERT_TRUE(writer.endFrame());
    const std::string& frame = writer.bytes();
    ASSERT_GE(frame.size(), 3u) << "type " << type;
    const std::size_t length = static_cast<unsigned char>(frame[0]) |
                               static_cast<std::size_t>(static_cast<unsigned char>(frame[1])) << 8;
    ASSERT_EQ(length, frame.size() - 2) << "type " << type;
    EXPECT_TRUE(parsesByTheTable(t, std::string_view(frame).substr(2), samples))
        << "type " << type << " (" << (requestLayout(t).name ? requestLayout(t).name : "?") << ")";
  }
}

TEST(RequestLayoutTest, EveryTypeHasANameAndOneNamePerField) {
  std::set<std::string> names;
  for (unsigned type = wire::kFirstClientType; type <= wire::kLastClientType; ++type) {
    const RequestLayout layout = requestLayout(static_cast<std::uint8_t>(type));
    ASSERT_NE(layout.name, nullptr) << "type " << type;
    EXPECT_TRUE(names.insert(layout.name).second) << layout.name << " twice";
    const std::vector<std::string> fieldNames = docs::splitNames(layout.fieldNames);
    EXPECT_EQ(fieldNames.size(), std::strlen(layout.fields)) << layout.name;
    EXPECT_EQ(std::set<std::string>(fieldNames.begin(), fieldNames.end()).size(), fieldNames.size())
        << layout.name << ": a field name twice";
    for (const char* f = layout.fields; *f != '\0'; ++f) {
      EXPECT_NE(std::string_view("bwdsh").find(*f), std::string_view::npos)
          << layout.name << ": letter " << *f;
    }
  }
}

TEST(RequestLayoutTest, BytesOutsideTheTypeRangeHaveNoLayout) {
  EXPECT_EQ(requestLayout(0).name, nullptr);
  for (unsigned type = wire::kLastClientType + 1; type <= 0xFF; ++type) {
    EXPECT_EQ(requestLayout(static_cast<std::uint8_t>(type)).name, nullptr) << type;
  }
}

}  // namespace
}  // namespace velmor::client
