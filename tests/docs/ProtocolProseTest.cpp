// The prose of docs/protocol.md against the code: the limits, defaults and codes it quotes are
// the server's and the codec's, the requests and messages it names are the catalogue's, every
// one of them is described, and what it says of the frames of a relay pass holds for the
// largest pass the layouts allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/RequestLayout.h"
#include "client/ServerLayout.h"
#include "model/BanEntry.h"
#include "model/ChatLine.h"
#include "model/FileRecord.h"
#include "model/RoomRecord.h"
#include "net/OutputBuffer.h"
#include "protocol-doc/ProtocolDoc.h"
#include "rooms/RelaySchedule.h"
#include "rooms/Room.h"
#include "rooms/RoomRegistry.h"
#include "server/ConnectionRateTable.h"
#include "settings/Settings.h"
#include "users/User.h"
#include "wire/MessageCatalogue.h"

namespace velmor::docs {
namespace {

using wire::ServerCode;

// The document outside its generated sections, each run of white space made one space, so
// that a phrase is found however its paragraph wraps.
std::string prose() {
  std::ifstream in(VELMOR_PROTOCOL_DOC, std::ios::binary);
  std::ostringstream read;
  read << in.rdbuf();
  std::string text = read.str();
  const std::string open = "<!-- generated: ", close = "<!-- end generated -->";
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
    const std::size_t end = text.find(close, at);
    if (end == std::string::npos) break;
    text.erase(at, end + close.size() - at);
  }
  std::string out;
  for (char c : text) {
    const bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
    if (!space) out += c;
    if (space && !out.empty() && out.back() != ' ') out += ' ';
  }
  return out;
}

// The prose without code blocks and code spans: the text that names things.
std::string withoutCode(std::string text) {
  for (const std::string fence : {"```", "`"}) {
    for (std::size_t at = text.find(fence); at != std::string::npos; at = text.find(fence, at)) {
      const std::size_t end = text.find(fence, at + fence.size());
      if (end == std::string::npos) break;
      text.erase(at, end + fence.size() - at);
    }
  }
  return text;
}

std::string n(std::size_t value) {
  return std::to_string(value);
}
std::string grouped(std::size_t value) {  // 65555 -> "65,555"
  std::string digits = n(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}
std::string hex(unsigned value, int digits = 2) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}
std::string word(std::size_t value) {
  static const char* const words[] = {"zero", "one",   "two",   "three", "four", "five",
                                      "six",  "seven", "eight", "nine",  "ten"};
  return value < std::size(words) ? words[value] : n(value);
}

// The bytes of a message at its largest: every string at a name's 31 bytes.
std::size_t largest(ServerCode code, bool navigation = false) {
  const client::ServerLayout layout = client::serverLayout(static_cast<std::uint16_t>(code));
  std::size_t size = static_cast<std::uint16_t>(code) >= wire::kFirstExtendedCode ? 2 : 1;
  for (const char* f = navigation ? layout.navigationFields : layout.fields; *f != '\0'; ++f) {
    size += *f == 's' ? 2 + User::kNameSize - 1 : client::fixedFieldSize(*f);
  }
  return size;
}

// What a pass writes before its lines, at its largest: departures, RoomReset, the member part
// (a new member's entry, or a stopped one that moved with a new appearance), enemy sightings
// and the object part (a new object, or a stopped one taken over by a new name that moved).
std::size_t largestCompactStepPart() {
  constexpr std::size_t kEnemyReports = 255;  // the handler's limit per pass
  using C = ServerCode;
  const std::size_t member =
      std::max(largest(C::MemberInfo, true) + largest(C::MemberPosition),
               largest(C::MemberMoving) + largest(C::MemberUpdate) + largest(C::MemberPosition));
  const std::size_t object =
      std::max(largest(C::ObjectInfo) + largest(C::ObjectPosition),
               largest(C::ObjectMoving) + largest(C::ObjectName) + largest(C::ObjectPosition));
  return Room::kMaxMembers * (largest(C::MemberLeft) + member) + largest(C::RoomReset) +
         kEnemyReports * largest(C::EnemySighting) + largest(C::ObjectBatch) +
         Room::kMaxObjects * object;
}

struct Quote {
  const char* phrase;  // as the document words it, each {} standing for the next value
  std::vector<std::string> values;
};

std::string quoted(const Quote& quote) {
  std::string text = quote.phrase;
  std::size_t at = 0;
  for (const std::string& value : quote.values) {
    at = text.find("{}", at);
    if (at == std::string::npos) return "(more values than {} in: " + text + ")";
    text.replace(at, 2, value);
    at += value.size();
  }
  return text;
}

TEST(ProtocolProse, QuotesTheLimitsDefaultsAndCodesOfTheCode) {
  const Settings settings("/nonexistent/");
  const RoomLimits limits;
  const std::size_t look =
      RelaySchedule(settings.roomUpdateInterval, limits.tickInterval).phases() *
      limits.tickInterval;
  const std::size_t objectPart = (settings.enemyupdateinterval + look - 1) / look * look;
  const std::size_t nameBytes = sizeof(User::Identity::name) - 1;
  const std::size_t listedRooms = (wire::kMaxFramePayload - 3) / (2 + nameBytes + 1 + 2 + 2);
  const std::string channels = word(User::kMaxChannels);
  const std::size_t listedBans = (wire::kMaxFramePayload - 3) /
                                 (2 + sizeof(BanEntry::name) - 1 + 2 + sizeof(BanEntry::issuer) -
                                  1 + 2 + sizeof(BanEntry::reason) - 1 + 4);
  const std::string stepPart = grouped(largestCompactStepPart());
  const Quote quotes[] = {
      {"port {} unless the settings say otherwise", {n(settings.serverport)}},
      {"a type outside {}..{}, or a request",
       {n(wire::kFirstClientType), n(wire::kLastClientType)}},
      {"| Frame payload | {} bytes;", {n(wire::kMaxFramePayload)}},
      {"| String on the wire | {} bytes", {n(wire::kMaxWireString)}},
      {"Senders cut a string at {} bytes", {n(wire::kMaxWireString)}},
      {"names, passwords and the appearance text keep {} bytes", {n(nameBytes)}},
      {"names, passwords and the appearance text keep {} bytes",
       {n(sizeof(RoomRecord::password) - 1)}},
      {"names, passwords and the appearance text keep {} bytes",
       {n(sizeof(User::Appearance::text) - 1)}},
      {"| Names (users, rooms, files, objects), passwords, appearance text | {} bytes kept |",
       {n(sizeof(RoomRecord::name) - 1)}},
      {"| Names (users, rooms, files, objects), passwords, appearance text | {} bytes kept |",
       {n(sizeof(FileRecord::fileName) - 1)}},
      {"| Names (users, rooms, files, objects), passwords, appearance text | {} bytes kept |",
       {n(sizeof(ObjectEntry::name) - 1)}},
      {"kick and ban reasons {}, chat lines {}",
       {n(sizeof(BanEntry::reason) - 1), n(ChatLine::kMaxText)}},
      {"| Kick and ban reasons | {} bytes kept |", {n(sizeof(BanEntry::reason) - 1)}},
      {"| Chat line | {} bytes", {n(ChatLine::kMaxText)}},
      {"A text of 0 or more than {} bytes is dropped", {n(ChatLine::kMaxText)}},
      {"may say at most {} lines in any second", {n(Room::kChatAllowance)}},
      {"| Chat allowance | {} lines in any second per user |", {n(User::kChatAllowance)}},
      {"| Channels | {} per user |", {n(User::kMaxChannels)}},
      {"may follow up to {} live rooms", {channels}},
      {"when the user follows {} already", {channels}},
      {"a room never holds more than {} members", {n(Room::kMaxMembers)}},
      {"(by default {} in chat rooms, {} in navigation rooms), never more than {} |",
       {n(settings.chatroommaxusers), n(settings.navroommaxusers), n(Room::kMaxMembers)}},
      {"its {} most recent distinct local lines", {n(Room::kRecentLines)}},
      {"| Recent local lines | {} per room |", {n(Room::kRecentLines)}},
      {"with `count` the entries sent: at least {} entries (all texts at their longest)",
       {n(listedBans)}},
      {"| Named objects | {} per navigation room |", {n(Room::kMaxObjects)}},
      {"at most {} rooms stored", {grouped(RoomRegistry::kMaxStoredRooms)}},
      {"when {} rooms are stored already", {grouped(RoomRegistry::kMaxStoredRooms)}},
      {"{} rooms of {}-character names", {grouped(listedRooms), n(nameBytes)}},
      {"room idle time ({} s by default)", {n(settings.roomidletime)}},
      {"(`maxpendingoutput`, {} MiB by default)", {n(settings.maxpendingoutput >> 20)}},
      {"counted in the server's buffers of {} bytes", {n(OutputBuffer::kSize)}},
      {"(`logintimeout`, {} seconds by default", {n(settings.logintimeout)}},
      {"| Login time | {} s by default (`logintimeout`)", {n(settings.logintimeout)}},
      {"(`keepalive`, {} seconds by default", {n(settings.keepalive)}},
      {"probes after {} s of silence by default (`keepalive`)", {n(settings.keepalive)}},
      {"with {} of them in flight, the server handles nothing more",
       {n(User::kMaxQueriesInFlight)}},
      {"stops reading from his connection until {} are left", {n(User::kMaxQueriesInFlight / 2)}},
      {"is the creator of {} of them", {n(RoomRegistry::kMaxRoomsPerCreator)}},
      {"rooms stored, {} by one creator", {n(RoomRegistry::kMaxRoomsPerCreator)}},
      {"| Requests waiting on the database | {} per user", {n(User::kMaxQueriesInFlight)}},
      {"within {} s, then the address is refused for {} minutes",
       {n(ConnectionRateTable::kWindowMs / 1000), n(ConnectionRateTable::kBlockMs / 60000)}},
      {"The server ticks every {} ms.", {n(limits.tickInterval)}},
      {"looked at once every {} ticks (every {} ms: the pass interval of {} ms rounded up",
       {n(look / limits.tickInterval), n(look), n(settings.roomUpdateInterval)}},
      {"server tick {} ms; a room with members looked at every {} ticks ({} ms)",
       {n(limits.tickInterval), n(look / limits.tickInterval), n(look)}},
      {"`enemyupdateinterval` ({} ms by default)", {n(settings.enemyupdateinterval)}},
      {"object parts at most every {} ms by default", {n(settings.enemyupdateinterval)}},
      {"object parts come about every {} ms while any object is fresh", {n(objectPart)}},
      {"within about {} ms while any object is fresh", {n(objectPart)}},
      {"come to at most {} bytes ({} members, {} objects",
       {stepPart, n(Room::kMaxMembers), n(Room::kMaxObjects)}},
      {"| Compact-step part of a pass | at most {} bytes", {stepPart}},
      {"whose one byte ({} to {}) is itself a small move",
       {hex(wire::kCompactStepBase), hex(wire::kLastObjectStep)}},
      {"a one-byte server message in {}..{}.",
       {hex(wire::kCompactStepBase), hex(wire::kLastObjectStep)}},
      {"the no-move step {} otherwise", {hex(wire::kMemberStepNoMove)}},
      {"the no-move step {} otherwise", {hex(wire::kObjectStepNoMove)}},
      {"The catalogue's two-byte codes are {} to {}",
       {hex(wire::kFirstExtendedCode, 3), hex(serverCodes().back(), 3)}},
      {"NameInUse, {}, is `FF {}`",
       {hex(static_cast<unsigned>(ServerCode::NameInUse), 3),
        hex(static_cast<unsigned>(ServerCode::NameInUse) & 0xFF).substr(2)}},
      // Rules a client relies on that no table shows.
      {"when he was in a room, **RoomExited** (`room`) follows LoginReplaced.", {}},
      {"MemberMoving ends idleness too: an idle member who moves is told by MemberMoving alone, "
       "with no MemberActive before it",
       {}},
      {"the frame `01 00 {}` (ConnectionRefused)",
       {hex(static_cast<unsigned>(ServerCode::ConnectionRefused)).substr(2)}},
  };
  const std::string text = prose();
  ASSERT_FALSE(text.empty()) << "cannot read " << VELMOR_PROTOCOL_DOC;
  for (const Quote& quote : quotes) {
    EXPECT_NE(text.find(quoted(quote)), std::string::npos)
        << VELMOR_PROTOCOL_DOC << " does not say: " << quoted(quote);
  }
}

// Each run of letters and digits that is spelled as a name (a capital, a small letter, later
// a capital again) is a request or a message of the catalogue, and each request and message
// is named in the prose, outside the tables.
TEST(ProtocolProse, NamesOnlyTheCatalogueAndDescribesAllOfIt) {
  std::set<std::string> catalogue;
  for (unsigned type = wire::kFirstClientType; type <= wire::kLastClientType; ++type) {
    catalogue.insert(client::requestLayout(static_cast<std::uint8_t>(type)).name);
  }
  for (std::uint16_t code : serverCodes()) catalogue.insert(client::serverLayout(code).name);
  const std::set<std::string> notMessages = {"VelmorServer", "MiB", "WebSocket"};

  const std::string text = withoutCode(prose());
  std::set<std::string> words;
  std::string current;
  for (char c : text + ' ') {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      current += c;
      continue;
    }
    if (!current.empty()) words.insert(current);
    current.clear();
  }
  for (const std::string& w : words) {
    const bool camel = w.size() > 2 && std::isupper(static_cast<unsigned char>(w[0])) != 0 &&
                       std::islower(static_cast<unsigned char>(w[1])) != 0 &&
                       std::any_of(w.begin() + 2, w.end(), [](char c) { return std::isupper(c); });
    if (camel && catalogue.count(w) == 0 && notMessages.count(w) == 0) {
      ADD_FAILURE() << VELMOR_PROTOCOL_DOC << " names " << w
                    << ", which is no request or message of the catalogue";
    }
  }
  for (const std::string& name : catalogue) {
    EXPECT_EQ(words.count(name), 1u) << VELMOR_PROTOCOL_DOC << " never describes " << name;
  }
}

// The frames of a relay pass: whatever holds compact steps fits in the pass's first frame, so
// that the rule of ObjectBatch, which starts over with every frame, reads it right.
TEST(ProtocolProse, CompactStepPartOfTheLargestPassFitsInOneFrame) {
  EXPECT_LE(largestCompactStepPart(), wire::kMaxFramePayload);
}

}  // namespace
}  // namespace velmor::docs
