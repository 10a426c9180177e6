// codec_rows: prints, as one JSON document on stdout, what the C++ client codec makes of the
// recorded rows, for the JavaScript client's test (web/velmor-client/test/oracle.test.js):
//   layouts   each layout row: payload (hex), navigationRoom, the expected messages
//   faults    each fault row: payload (hex) and what the error must mention
//   examples  each request's example (wire::kRequests) after its type byte (hex)
//   written   requests written by RequestWriter: method, its arguments, the frame (hex)
//   proofs    client::loginProof of password hashes and challenges
// Hashes among the arguments are {"hex": "..."}.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "client/LoginProof.h"
#include "client/RequestWriter.h"
#include "unit/client/CodecRows.h"
#include "wire/Schema.h"

namespace velmor::client {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

std::string hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string hex(const Hash16& hash) {
  return hex(std::string_view(reinterpret_cast<const char*>(hash.data()), hash.size()));
}

void string(Writer& w, std::string_view text) {
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void key(Writer& w, const char* name) {
  w.Key(name);
}

template <typename List, typename Each>
void array(Writer& w, const char* name, const List& list, Each each) {
  key(w, name);
  w.StartArray();
  for (const auto& item : list) each(item);
  w.EndArray();
}

void roomEntry(Writer& w, const RoomEntry& e) {
  w.StartObject();
  key(w, "name"), string(w, e.name);
  key(w, "flags"), w.Uint(e.flags);
  key(w, "hasPassword"), w.Bool(e.hasPassword);
  key(w, "navigation"), w.Bool(e.navigation);
  key(w, "hasCount"), w.Bool(e.hasCount);
  key(w, "memberCount"), w.Uint(e.memberCount);
  key(w, "limitDiffers"), w.Bool(e.limitDiffers);
  key(w, "maxUsers"), w.Uint(e.maxUsers);
  w.EndObject();
}

void message(Writer& w, const ServerMessage& m) {
  static const char* const kKinds[] = {"Message", "MemberStep", "ObjectStep"};
  static const char* const kDirections[] = {"unchanged", "step", "value"};
  w.StartObject();
  key(w, "kind"), w.String(kKinds[static_cast<int>(m.kind)]);
  key(w, "name"), string(w, m.name());
  key(w, "code"), w.Uint(m.code);
  array(w, "numbers", m.numbers, [&](std::uint32_t n) { w.Uint(n); });
  array(w, "texts", m.texts, [&](const std::string& t) { string(w, t); });
  array(w, "rooms", m.rooms, [&](const RoomEntry& e) { roomEntry(w, e); });
  array(w, "members", m.members, [&](const MemberEntry& e) {
    w.StartObject();
    key(w, "name"), string(w, e.name);
    key(w, "profileWord1"), w.Uint(e.profileWord1);
    key(w, "profileShort"), w.Uint(e.profileShort);
    key(w, "isLeader"), w.Uint(e.isLeader);
    w.EndObject();
  });
  array(w, "bans", m.bans, [&](const BanEntry& e) {
    w.StartObject();
    key(w, "name"), string(w, e.name);
    key(w, "issuer"), string(w, e.issuer);
    key(w, "reason"), string(w, e.reason);
    key(w, "mask"), w.Uint(e.mask);
    w.EndObject();
  });
  array(w, "files", m.files, [&](const FileEntry& e) {
    w.StartObject();
    key(w, "name"), string(w, e.name);
    key(w, "creator"), string(w, e.creator);
    key(w, "editor"), string(w, e.editor);
    key(w, "lastEdited"), w.Uint(e.lastEdited);
    key(w, "mayRead"), w.Uint(e.mayRead);
    key(w, "mayWrite"), w.Uint(e.mayWrite);
    w.EndObject();
  });
  array(w, "directory", m.directory, [&](const DirectoryEntry& e) {
    w.StartObject();
    key(w, "name"), string(w, e.name);
    key(w, "creator"), string(w, e.creator);
    w.EndObject();
  });
  key(w, "step");
  w.StartObject();
  key(w, "dx"), w.Int(m.step.dx);
  key(w, "dy"), w.Int(m.step.dy);
  key(w, "direction"), w.String(kDirections[static_cast<int>(m.step.direction)]);
  key(w, "directionStep"), w.Int(m.step.directionStep);
  key(w, "directionValue"), w.Uint(m.step.directionValue);
  w.EndObject();
  w.EndObject();
}

struct Written {
  const char* method;
  const char* arguments;  // JSON array, the same values the writer below is given
  std::function<void(RequestWriter&)> write;
};

const Hash16 kCountingHash = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Strings within their field's size and strings cut (at a character boundary) to it; text
// that is not ASCII; integers at their widths' ends.
const Written kWritten[] = {
    {"login", R"([1, 70000, 4294967295, 65535, 4, 5, 255, 7, 8, 0, "Ada", "coat", "pw"])",
     [](RequestWriter& w) {
       w.login({1, 70000, 0xFFFFFFFF, 0xFFFF, 4, 5, 255, 7, 8, 0, "Ada", "coat", "pw"});
     }},
    {"roomChat", R"(["h\u00e9llo, w\u00f6rld \u2603"])",
     [](RequestWriter& w) { w.roomChat("h\xC3\xA9llo, w\xC3\xB6rld \xE2\x98\x83"); }},
    {"whisper", R"(["Ann", "psst"])", [](RequestWriter& w) { w.whisper("Ann", "psst"); }},
    {"privateMessage", R"(["Bob", ""])", [](RequestWriter& w) { w.privateMessage("Bob", ""); }},
    {"enterRoom", R"(["Lobby", "secret"])",
     [](RequestWriter& w) { w.enterRoom("Lobby", "secret"); }},
    {"joinChannel", R"(["Hall", ""])", [](RequestWriter& w) { w.joinChannel("Hall", ""); }},
    {"leaveChannel", R"(["Hall"])", [](RequestWriter& w) { w.leaveChannel("Hall"); }},
    {"leaveRoom", "[]", [](RequestWriter& w) { w.leaveRoom(); }},
    {"position", "[10000, 32769, 3, 1, 359]",
     [](RequestWriter& w) { w.position(10000, 0x8001, 3, 1, 359); }},
    {"loginProof", R"([{"hex": "000102030405060708090a0b0c0d0e0f"}])",
     [](RequestWriter& w) { w.loginProof(kCountingHash); }},
    {"registerAccount",
     R"([{"hex": "000102030405060708090a0b0c0d0e0f"}, {"hex": "000102030405060708090a0b0c0d0e0f"}])",
     [](RequestWriter& w) { w.registerAccount(kCountingHash, kCountingHash); }},
};

struct Proof {
  const char* password;
  const char* challenge;
};

const Proof kProofs[] = {
    {"secret", "Xq7!rT#2m@Lp9$w"},
    {"", "!!!!!!!!!!!!!!!"},
    {"a much longer password than most", "}}}}}}}}}}}}}}}"},
};

void print() {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  array(w, "layouts", recorded::layoutRows(), [&](const recorded::LayoutRow& row) {
    w.StartObject();
    key(w, "name"), w.String(row.name);
    key(w, "payload"), string(w, hex(row.payload));
    key(w, "navigationRoom"), w.Bool(row.navigationRoom);
    array(w, "expected", row.expected, [&](const ServerMessage& m) { message(w, m); });
    w.EndObject();
  });
  array(w, "faults", recorded::faultRows(), [&](const recorded::FaultRow& row) {
    w.StartObject();
    key(w, "name"), w.String(row.name);
    key(w, "payload"), string(w, hex(row.payload));
    array(w, "errorMentions", row.errorMentions, [&](const std::string& s) { string(w, s); });
    w.EndObject();
  });
  array(w, "examples", wire::kRequests, [&](const wire::RequestInfo& r) {
    w.StartObject();
    key(w, "name"), w.String(r.name);
    key(w, "type"), w.Uint(r.type);
    key(w, "payload"), string(w, hex(r.example));
    w.EndObject();
  });
  array(w, "written", kWritten, [&](const Written& row) {
    w.StartObject();
    key(w, "method"), w.String(row.method);
    key(w, "arguments"),
        w.RawValue(row.arguments, std::string_view(row.arguments).size(), rapidjson::kArrayType);
    key(w, "frame"), string(w, hex(RequestWriter::frame(row.write)));
    w.EndObject();
  });
  array(w, "proofs", kProofs, [&](const Proof& p) {
    const Hash16 hash = passwordHashOf(p.password);
    w.StartObject();
    key(w, "password"), w.String(p.password);
    key(w, "passwordHash"), string(w, hex(hash));
    key(w, "challenge"), w.String(p.challenge);
    key(w, "proof"), string(w, hex(loginProof(hash, p.challenge)));
    w.EndObject();
  });
  w.EndObject();
  std::fwrite(buffer.GetString(), 1, buffer.GetSize(), stdout);
  std::fputc('\n', stdout);
}

}  // namespace
}  // namespace velmor::client

int main() {
  velmor::client::print();
  return 0;
}
