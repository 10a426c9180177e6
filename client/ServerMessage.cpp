#include "client/ServerMessage.h"

#include <cstdio>
#include <ostream>

#include "client/ServerLayout.h"

namespace velmor::client {
namespace {

// Long texts are cut in descriptions so a failing test prints one readable line.
constexpr std::size_t kDescribedTextBytes = 48;

void appendHex(std::string& out, unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  out += text;
}

// Quoted, with bytes outside printable ASCII as \xNN.
void appendText(std::string& out, const std::string& text) {
  out += '"';
  const std::size_t shown = text.size() < kDescribedTextBytes ? text.size() : kDescribedTextBytes;
  for (std::size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  out += '"';
  if (shown < text.size()) out += "...(" + std::to_string(text.size()) + " bytes)";
}

template <typename T, typename F>
void appendList(std::string& out, const char* label, const std::vector<T>& list, F&& entry) {
  if (list.empty()) return;
  out += ' ';
  out += label;
  out += "=[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    out += '{';
    entry(list[i]);
    out += '}';
  }
  out += ']';
}

const char* directionName(StepDirection d) {
  switch (d) {
    case StepDirection::Unchanged:
      return "unchanged";
    case StepDirection::Step:
      return "step";
    case StepDirection::Value:
      return "value";
  }
  return "?";
}

}  // namespace

const char* serverCodeName(std::uint16_t code) {
  return serverLayout(code).name;
}

const std::string& ServerMessage::text(std::size_t i) const {
  static const std::string kEmpty;
  return i < texts.size() ? texts[i] : kEmpty;
}

std::string ServerMessage::name() const {
  switch (kind) {
    case MessageKind::MemberStep:
      return "MemberStep";
    case MessageKind::ObjectStep:
      return "ObjectStep";
    case MessageKind::Message:
      break;
  }
  const char* known = serverCodeName(code);
  return known != nullptr ? known : "Unknown";
}

std::string ServerMessage::describe() const {
  std::string out = name() + '(';
  appendHex(out, code, 2);
  out += ')';
  if (kind != MessageKind::Message) {
    out += " dx=" + std::to_string(step.dx) + " dy=" + std::to_string(step.dy);
    if (kind == MessageKind::ObjectStep) return out;
    out += std::string(" direction=") + directionName(step.direction);
    if (step.direction == StepDirection::Step) out += ' ' + std::to_string(step.directionStep);
    if (step.direction == StepDirection::Value) out += ' ' + std::to_string(step.directionValue);
    return out;
  }
  if (!numbers.empty()) {
    out += " numbers=[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      if (i > 0) out += ", ";
      out += std::to_string(numbers[i]);
    }
    out += ']';
  }
  if (!texts.empty()) {
    out += " texts=[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) out += ", ";
      appendText(out, texts[i]);
    }
    out += ']';
  }
  appendList(out, "rooms", rooms, [&out](const RoomEntry& e) {
    appendText(out, e.name);
    out += " flags=" + std::to_string(e.flags);
    if (e.hasCount) out += " count=" + std::to_string(e.memberCount);
    if (e.limitDiffers) out += " max=" + std::to_string(e.maxUsers);
  });
  appendList(out, "members", members, [&out](const MemberEntry& e) {
    appendText(out, e.name);
    out += ' ' + std::to_string(e.profileWord1) + ' ' + std::to_string(e.profileShort) +
           " leader=" + std::to_string(e.isLeader);
  });
  appendList(out, "bans", bans, [&out](const BanEntry& e) {
    appendText(out, e.name);
    out += " by ";
    appendText(out, e.issuer);
    out += ' ';
    appendText(out, e.reason);
    out += " mask=";
    appendHex(out, e.mask, 8);
  });
  appendList(out, "files", files, [&out](const FileEntry& e) {
    appendText(out, e.name);
    out += ' ';
    appendText(out, e.creator);
    out += ' ';
    appendText(out, e.editor);
    out += " edited=" + std::to_string(e.lastEdited) + " read=" + std::to_string(e.mayRead) +
           " write=" + std::to_string(e.mayWrite);
  });
  appendList(out, "directory", directory, [&out](const DirectoryEntry& e) {
    appendText(out, e.name);
    out += ' ';
    appendText(out, e.creator);
  });
  return out;
}

void PrintTo(const ServerMessage& message, std::ostream* os) {
  *os << message.describe();
}

}  // namespace velmor::client
