#include "protocol-doc/ProtocolDoc.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "client/RequestLayout.h"
#include "client/ServerLayout.h"
#include "protocol-doc/LoginExample.h"
#include "wire/MessageCatalogue.h"
#include "wire/Schema.h"

namespace velmor::docs {

namespace {

using client::LayoutShape;

// --- small text helpers ------------------------------------------------------------------

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string hexByte(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

std::string hexBytes(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += hexByte(c);
  }
  return out;
}

std::string hexBytes(const client::Hash16& bytes) {
  return hexBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The code of a server message as it travels: one byte, or 0xFF and the low byte.
std::string codeOnTheWire(std::uint16_t code) {
  if (code < wire::kFirstExtendedCode) return hex(code, 2);
  return hex(wire::kExtendedCodePrefix, 2) + " " + hex(code & 0xFF, 2);
}

const char* typeName(char letter) {
  switch (letter) {
    case 'b':
      return "u8";
    case 'w':
      return "u16";
    case 'd':
      return "u32";
    case 's':
      return "str";
    case 'h':
      return "hash16";
    default:
      throw std::logic_error(std::string("no field letter: ") + letter);
  }
}

bool printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// --- annotated frames -------------------------------------------------------------------
// A frame as a column of its bytes with what each group of them is, read back from the
// bytes through the layout tables: a frame the tables cannot read is an error.

class Annotation {
 public:
  explicit Annotation(std::string_view frame) : frame_(frame) {}

  void line(std::string_view bytes, const std::string& comment) {
    std::string text = hexBytes(bytes);
    if (text.size() < kColumn) text.append(kColumn - text.size(), ' ');
    out_ += text + "  " + comment + "\n";
  }

  std::string_view take(std::size_t n) {
    if (n > frame_.size() - pos_) throw std::logic_error("example frame runs short");
    std::string_view bytes = frame_.substr(pos_, n);
    pos_ += n;
    return bytes;
  }
  std::uint32_t integer(std::string_view bytes) const {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return value;
  }
  bool atEnd() const { return pos_ == frame_.size(); }

  void header() {
    const std::string_view length = take(2);
    if (integer(length) != frame_.size() - 2) throw std::logic_error("example frame length");
    line(length, "frame: u16 payload length = " + std::to_string(integer(length)));
  }

  // One field of a flat layout.
  void field(char letter, const std::string& name) {
    const std::string label = std::string(typeName(letter)) + " " + name;
    if (letter == 's') {
      const std::string_view count = take(2);
      const std::uint32_t n = integer(count);
      const std::string_view text = take(n);
      if (n == 0) {
        line(count, label + ": 0 bytes, \"\"");
        return;
      }
      line(count, label + ": " + std::to_string(n) + " bytes");
      for (std::size_t at = 0; at < text.size(); at += kBytesPerLine) {
        const std::string_view part = text.substr(at, kBytesPerLine);
        line(part, printable(part) ? "\"" + std::string(part) + "\"" : "");
      }
    } else if (letter == 'h') {
      line(take(16), label);
    } else {
      const std::string_view bytes = take(client::fixedFieldSize(letter));
      line(bytes, label + " = " + std::to_string(integer(bytes)));
    }
  }

  void fields(const char* letters, const char* names) {
    const std::vector<std::string> named = splitNames(names);
    for (std::size_t i = 0; letters[i] != '\0'; ++i) field(letters[i], named.at(i));
  }

  const std::string& text() const { return out_; }

 private:
  static constexpr std::size_t kBytesPerLine = 16;
  static constexpr std::size_t kColumn = kBytesPerLine * 3 - 1;

  std::string_view frame_;
  std::size_t pos_ = 0;
  std::string out_;
};

std::string annotateRequestFrame(std::string_view frame) {
  Annotation a(frame);
  a.header();
  while (!a.atEnd()) {
    const std::string_view type = a.take(1);
    const auto value = static_cast<std::uint8_t>(type[0]);
    const client::RequestLayout layout = client::requestLayout(value);
    if (layout.name == nullptr) throw std::logic_error("example request of no type");
    a.line(type, "type " + std::to_string(value) + ": " + layout.name);
    a.fields(layout.fields, layout.fieldNames);
  }
  return a.text();
}

std::string annotateServerFrame(std::string_view frame) {
  Annotation a(frame);
  a.header();
  while (!a.atEnd()) {
    std::string_view code = a.take(1);
    std::uint16_t value = static_cast<unsigned char>(code[0]);
    if (value == wire::kExtendedCodePrefix) {
      const std::string_view low = a.take(1);
      value =
          static_cast<std::uint16_t>(wire::kFirstExtendedCode | static_cast<unsigned char>(low[0]));
      code = std::string_view(code.data(), 2);
    }
    const client::ServerLayout layout = client::serverLayout(value);
    if (layout.name == nullptr) throw std::logic_error("example message of no code");
    a.line(code, "code " + codeOnTheWire(value) + ": " + layout.name);
    const ServerFieldNames names = serverFieldNames(value);
    switch (layout.shape) {
      case LayoutShape::Flat:
        a.fields(layout.fields, names.fields);
        break;
      case LayoutShape::RoomList: {
        const std::string_view count = a.take(2);
        a.line(count, "u16 count = " + std::to_string(a.integer(count)));
        if (a.integer(count) != 0) throw std::logic_error("example room list is not empty");
        break;
      }
      default:
        throw std::logic_error(std::string("no annotation for the example's ") + layout.name);
    }
  }
  return a.text();
}

std::string codeBlock(const std::string& text) {
  return "```\n" + text + "```\n";
}

// --- the tables ------------------------------------------------------------------------------

std::string requestTable(Family family) {
  std::string out =
      "| Type | Hex | Request | Fields after the type byte | What it does |\n"
      "|---:|---|---|---|---|\n";
  for (const wire::RequestInfo& request : wire::kRequests) {
    if (request.family != family) continue;
    out += "| " + std::to_string(request.type) + " | " + hex(request.type, 2) + " | " +
           request.name + " | " + request.docFields + " | " + request.description + " |\n";
  }
  return out;
}

std::string roomEntryNote() {
  return "Room entry (RoomList, RoomOpened): str name, u8 flags (" +
         hex(wire::kRoomHasPassword, 2) + ": the room has a password, " +
         hex(wire::kRoomNavigation, 2) +
         ": navigation room); then, only for a room without a password, u16 members. A "
         "members value of " +
         std::to_string(wire::kRoomLimitDiffers) +
         " or more says that the room's user limit differs from the configured one of its "
         "type: the member count is the value minus " +
         std::to_string(wire::kRoomLimitDiffers) + ", and u16 maxUsers follows.\n";
}

std::string messageTable(Family family) {
  std::string out =
      "| Code on the wire | Message | Fields after the code | What it tells |\n"
      "|---|---|---|---|\n";
  bool roomEntries = false;
  for (const wire::MessageInfo& message : wire::kMessages) {
    if (message.family != family) continue;
    roomEntries = roomEntries || message.shape == LayoutShape::RoomList ||
                  message.shape == LayoutShape::RoomOpened;
    out += "| " + codeOnTheWire(message.code) + " | " + message.name + " | " + message.docFields +
           " | " + message.description + " |\n";
  }
  if (roomEntries) out += "\n" + roomEntryNote();
  return out;
}

// A link to the family's part of the document (its heading is the family's title).
std::string familyLink(Family family) {
  std::string anchor;
  for (const char* c = familyTitle(family); *c != '\0'; ++c) {
    anchor += *c == ' ' ? '-' : static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
  }
  return std::string("[") + familyTitle(family) + "](#" + anchor + ")";
}

std::string catalogueTables() {
  std::string out =
      "| Type | Request | Described in |\n"
      "|---:|---|---|\n";
  for (unsigned type = wire::kFirstClientType; type <= wire::kLastClientType; ++type) {
    const auto t = static_cast<std::uint8_t>(type);
    out += "| " + std::to_string(type) + " | " + client::requestLayout(t).name + " | " +
           familyLink(requestFamily(t)) + " |\n";
  }
  out +=
      "\n"
      "| Code on the wire | Value | Message | Described in |\n"
      "|---|---:|---|---|\n";
  for (std::uint16_t code : serverCodes()) {
    out += "| " + codeOnTheWire(code) + " | " + hex(code, code < 0x100 ? 2 : 3) + " | " +
           client::serverLayout(code).name + " | " + familyLink(messageFamily(code)) + " |\n";
  }
  return out;
}

// --- compact steps ---------------------------------------------------------------------------

std::string stepGrid(int range, std::uint8_t (*type)(int, int)) {
  std::string out = "| dy \\ dx |";
  for (int dx = -range; dx <= range; ++dx) out += " " + std::to_string(dx) + " |";
  out += "\n|---:|";
  for (int dx = -range; dx <= range; ++dx) out += "---|";
  out += "\n";
  for (int dy = -range; dy <= range; ++dy) {
    out += "| " + std::to_string(dy) + " |";
    for (int dx = -range; dx <= range; ++dx) out += " " + hexByte(type(dx, dy)) + " |";
    out += "\n";
  }
  return out;
}

std::uint8_t memberStep(int dx, int dy) {
  return wire::memberStepType(dx, dy);
}
std::uint8_t objectStep(int dx, int dy) {
  return wire::objectStepType(dx, dy);
}

std::string compactSteps() {
  const unsigned base = wire::kCompactStepBase;
  const unsigned count = wire::kMemberStepCount;
  const std::string span = std::to_string(wire::kMemberStepSpan);
  const std::string range = std::to_string(wire::kMemberStepRange);
  const std::string objectSpan = std::to_string(wire::kObjectStepSpan);
  const std::string objectRange = std::to_string(wire::kObjectStepRange);
  std::string out;
  out += "Member step byte = " + hex(base, 2) + " + (dx + " + range + ") + " + span + " × (dy + " +
         range + ") + " + std::to_string(count) + " × form, for dx and dy of −" + range + ".." +
         range + ":\n\n";
  out +=
      "| Bytes | Form | What follows the byte |\n"
      "|---|---:|---|\n";
  out += "| " + hex(base, 2) + "–" + hex(base + count - 1, 2) +
         " | 0 | nothing: the direction is unchanged |\n";
  out += "| " + hex(base + count, 2) + "–" + hex(base + 2 * count - 1, 2) +
         " | 1 | i8 turn, added to the direction (modulo 65536) |\n";
  out += "| " + hex(base + 2 * count, 2) + "–" + hex(wire::kLastMemberStep, 2) +
         " | 2 | u16 the new direction |\n";
  out += "\nForm 0 by dx and dy (add " + std::to_string(count) + " for form 1, " +
         std::to_string(2 * count) + " for form 2); " + hex(wire::kMemberStepNoMove, 2) +
         " says \"moving, but not moved in this pass\":\n\n";
  out += stepGrid(wire::kMemberStepRange, memberStep);
  out += "\nObject step byte = " + hex(base, 2) + " + (dx + " + objectRange + ") + " + objectSpan +
         " × (dy + " + objectRange + "), for dx and dy of −" + objectRange + ".." + objectRange +
         ": " + hex(base, 2) + "–" + hex(wire::kLastObjectStep, 2) + ", nothing follows; " +
         hex(wire::kObjectStepNoMove, 2) + " says \"moving, but not moved in this pass\":\n\n";
  out += stepGrid(wire::kObjectStepRange, objectStep);
  return out;
}

// --- the login example -----------------------------------------------------------------------

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string loginExampleText() {
  const LoginExample& e = loginExample();
  std::string out;
  out += "Name " + quoted(e.name) + ", account password " + quoted(e.accountPassword) +
         ", a server with the default settings and no live room.\n\n";

  out += "**1. Guest login.** No account is named " + quoted(e.name) +
         " yet. The client sends this Login frame (" + std::to_string(e.loginFrame.size()) +
         " bytes; the password field is the server password, empty here):\n\n";
  out += codeBlock(annotateRequestFrame(e.loginFrame));
  out += "\nThe server answers GuestWelcome, here with the challenge " + quoted(e.guestChallenge) +
         ":\n\n";
  out += codeBlock(annotateServerFrame(e.guestWelcomeFrame));
  out +=
      "\nAt its next tick it admits the guest with the welcome frame, ServerInfo and "
      "RoomList in one frame:\n\n";
  out += codeBlock(annotateServerFrame(e.welcomeFrame));

  out +=
      "\n**2. Registration.** The guest registers his name. The password hash is the MD5 "
      "digest of the password text, MD5(" +
      quoted(e.accountPassword) + ") = " + hexBytes(e.passwordHash) +
      "; the e-mail hash is stored as it comes (16 zero bytes here):\n\n";
  out += codeBlock(annotateRequestFrame(e.registerFrame));
  out += "\nOnce the account is stored the server answers Registered:\n\n";
  out += codeBlock(annotateServerFrame(e.registeredFrame));
  out += "\nThe account's salt is the challenge of the GuestWelcome that came before: " +
         quoted(e.guestChallenge) + ".\n";

  out +=
      "\n**3. Member login.** On a later connection the client sends the very same Login "
      "frame. Now an account has the name, and the server answers LoginChallenge with the "
      "salt and a new challenge, here " +
      quoted(e.challenge) + ":\n\n";
  out += codeBlock(annotateServerFrame(e.loginChallengeFrame));

  out +=
      "\n**4. The proof.** The client takes the 16-byte password hash as four "
      "little-endian u32 words, writes each as eight lower-case hex digits, appends the "
      "challenge, takes the MD5 digest of that text and sends the digest with each group "
      "of four bytes reversed (d3 d2 d1 d0 d7 d6 d5 d4 ...):\n\n";
  std::string steps;
  steps += "password hash     " + hexBytes(e.passwordHash) + "\n";
  steps += "as u32 words     ";
  for (int group = 0; group < 4; ++group) {
    const std::uint8_t* b = e.passwordHash.data() + 4 * group;
    const std::uint32_t word =
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    steps += " " + hex(word, 8);
  }
  steps += "\n";
  steps +=
      "proof text        " + e.proofText + "  (" + std::to_string(e.proofText.size()) + " bytes)\n";
  steps += "MD5 digest        " + hexBytes(e.proofDigest) + "\n";
  steps += "proof             " + hexBytes(e.proof) + "\n";
  out += codeBlock(steps);
  out += "\nThe LoginProof frame:\n\n";
  out += codeBlock(annotateRequestFrame(e.loginProofFrame));
  out +=
      "\nThe server checks the proof against the stored hash and admits the member at its "
      "next tick with the same welcome frame as in step 1. A wrong proof is answered "
      "LoginProofRejected (" +
      codeOnTheWire(static_cast<std::uint16_t>(wire::ServerCode::LoginProofRejected)) + ").\n";
  return out;
}

}  // namespace

// --- families ------------------------------------------------------------------------------

const char* familyKey(Family family) {
  return wire::kFamilies[static_cast<int>(family)].key;
}

const char* familyTitle(Family family) {
  return wire::kFamilies[static_cast<int>(family)].title;
}

Family requestFamily(std::uint8_t type) {
  const wire::RequestInfo* request = wire::findRequest(type);
  if (request == nullptr) throw std::logic_error("no request type: " + std::to_string(type));
  return request->family;
}

Family messageFamily(std::uint16_t code) {
  const wire::MessageInfo* message = wire::findMessage(code);
  if (message == nullptr) throw std::logic_error("no server code: " + std::to_string(code));
  return message->family;
}

std::vector<std::uint16_t> serverCodes() {
  std::vector<std::uint16_t> codes;
  for (const wire::MessageInfo& message : wire::kMessages) codes.push_back(message.code);
  return codes;
}

ServerFieldNames serverFieldNames(std::uint16_t code) {
  const wire::MessageInfo* message = wire::findMessage(code);
  if (message == nullptr) return {};
  return {message->fieldNames, message->navigationFieldNames};
}

std::vector<std::string> splitNames(std::string_view names) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < names.size()) {
    const std::size_t end = std::min(names.find(' ', at), names.size());
    if (end > at) out.emplace_back(names.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::vector<Section> generatedSections() {
  std::vector<Section> sections;
  for (int index = 0; index < wire::kFamilyCount; ++index) {
    const auto family = static_cast<Family>(index);
    sections.push_back({std::string("requests-") + familyKey(family), requestTable(family)});
    sections.push_back({std::string("messages-") + familyKey(family), messageTable(family)});
    if (family == Family::Login) sections.push_back({"login-example", loginExampleText()});
    if (family == Family::Chat) sections.push_back({"compact-steps", compactSteps()});
  }
  sections.push_back({"catalogue", catalogueTables()});
  return sections;
}

// --- the document ---------------------------------------------------------------------------

namespace {

constexpr std::string_view kBeginPrefix = "<!-- generated: ";
constexpr std::string_view kBeginSuffix = " -->";
constexpr std::string_view kEnd = "<!-- end generated -->";

std::string_view trimmedLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  return line;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, next - at));
    at = next;
  }
  return lines;
}

}  // namespace

DocumentUpdate updateDocument(std::string_view document, const std::vector<Section>& sections) {
  DocumentUpdate update;
  const std::vector<std::string_view> lines = splitLines(document);
  std::vector<bool> seen(sections.size(), false);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = trimmedLine(lines[i]);
    if (line == kEnd) {
      update.errors.push_back("line " + std::to_string(i + 1) +
                              ": an end marker without its section");
      update.text += lines[i];
      continue;
    }
    if (!line.starts_with(kBeginPrefix) || !line.ends_with(kBeginSuffix) ||
        line.size() < kBeginPrefix.size() + kBeginSuffix.size()) {
      update.text += lines[i];
      continue;
    }
    const std::string name(
        line.substr(kBeginPrefix.size(), line.size() - kBeginPrefix.size() - kBeginSuffix.size()));
    const auto found = std::find_if(sections.begin(), sections.end(),
                                    [&](const Section& s) { return s.name == name; });
    std::size_t end = i + 1;
    while (end < lines.size() && trimmedLine(lines[end]) != kEnd) ++end;
    if (end == lines.size()) {
      update.errors.push_back("line " + std::to_string(i + 1) + ": section \"" + name +
                              "\" has no end marker");
      if (found != sections.end()) seen[static_cast<std::size_t>(found - sections.begin())] = true;
      for (; i < lines.size(); ++i) update.text += lines[i];
      break;
    }
    std::string previous;
    for (std::size_t k = i + 1; k < end; ++k) previous += lines[k];
    update.text += lines[i];
    if (found == sections.end()) {
      update.errors.push_back("line " + std::to_string(i + 1) + ": no section is named \"" + name +
                              "\"");
      update.text += previous;
    } else if (seen[static_cast<std::size_t>(found - sections.begin())]) {
      update.errors.push_back("line " + std::to_string(i + 1) + ": section \"" + name +
                              "\" appears twice");
      update.text += previous;
    } else {
      seen[static_cast<std::size_t>(found - sections.begin())] = true;
      update.previous.push_back({name, previous});
      update.text += found->text;
    }
    update.text += lines[end];
    i = end;
  }
  for (std::size_t s = 0; s < sections.size(); ++s) {
    if (!seen[s]) {
      update.errors.push_back("section \"" + sections[s].name +
                              "\" is missing: add its two marker lines (" +
                              std::string(kBeginPrefix) + sections[s].name +
                              std::string(kBeginSuffix) + " and " + std::string(kEnd) + ")");
    }
  }
  return update;
}

std::string lineDiff(std::string_view before, std::string_view after) {
  const std::vector<std::string_view> a = splitLines(before);
  const std::vector<std::string_view> b = splitLines(after);
  // Longest common subsequence by dynamic programming: sections are a few hundred lines.
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  std::vector<std::vector<unsigned>> common(n + 1, std::vector<unsigned>(m + 1, 0));
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = m; j-- > 0;) {
      common[i][j] =
          a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  struct Edit {
    char kind;  // ' ', '-', '+'
    std::string_view line;
    std::size_t afterLine;  // 1-based line number in `after` (of the next line for '-')
  };
  std::vector<Edit> edits;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[i] == b[j]) {
      edits.push_back({' ', a[i++], ++j});
    } else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1])) {
      edits.push_back({'-', a[i++], j + 1});
    } else {
      edits.push_back({'+', b[j], j + 1});
      ++j;
    }
  }
  constexpr std::size_t kContext = 2;
  std::vector<bool> shown(edits.size(), false);
  for (std::size_t k = 0; k < edits.size(); ++k) {
    if (edits[k].kind == ' ') continue;
    const std::size_t from = k >= kContext ? k - kContext : 0;
    const std::size_t to = std::min(edits.size(), k + kContext + 1);
    for (std::size_t c = from; c < to; ++c) shown[c] = true;
  }
  std::string out;
  bool gap = false;
  for (std::size_t k = 0; k < edits.size(); ++k) {
    if (!shown[k]) {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) out += "   ...\n";
    gap = false;
    std::string line(trimmedLine(edits[k].line));
    char number[16];
    std::snprintf(number, sizeof number, "%5zu ", edits[k].afterLine);
    out += number;
    out += edits[k].kind;
    out += ' ';
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace velmor::docs
