// Chat and navigation requests: each reads the request and tells the user's room what
// happened (the room's verbs); the relay sends the news. Private messages go out at once.
#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "core/ServerCore.h"
#include "model/ChatLine.h"
#include "model/Names.h"
#include "protocol/Dispatch.h"
#include "rooms/Room.h"
#include "rooms/UserRooms.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"
#include "wire/MessageReader.h"

namespace velmor {

namespace {

using wire::ServerCode;

constexpr std::uint32_t kChatWindowMs = 1000;

// At most `allowance` lines in any 1000 ms: a slot is free when its time left the window
// (or lies ahead of the clock); the oldest free one takes the new line.
bool allowLine(std::uint32_t* times, std::uint32_t allowance, std::uint32_t now) {
  std::uint32_t* chosen = nullptr;
  for (std::uint32_t i = 0; i < allowance; ++i) {
    const std::uint32_t t = times[i];
    if (t <= now - kChatWindowMs || t > now) {
      if (chosen == nullptr || t < *chosen) chosen = &times[i];
    }
  }
  if (chosen == nullptr) return false;
  *chosen = now;
  return true;
}

// The room's allowance of lines per second (the same for every room), counted in the
// user's one table whether he speaks in a room or privately from none.
bool allowChat(User& user, std::uint32_t now) {
  static_assert(Room::kChatAllowance == User::kChatAllowance);
  const std::uint32_t allowance = user.room() != nullptr
                                      ? std::min(user.room()->chatAllowance(), User::kChatAllowance)
                                      : User::kChatAllowance;
  return allowLine(user.chat().times, allowance, now);
}

ObjectPlace readPlace(MessageReader& reader) {
  ObjectPlace place;
  place.x = reader.u16();
  place.y = reader.u16();
  place.layer = reader.u8();
  return place;
}

bool sayLine(ServerCore& core, User& user, MessageReader& reader, std::uint8_t local) {
  const std::uint16_t length = reader.u16();
  if (!reader.ok() || length < 1 || length > ChatLine::kMaxText) return false;
  const char* text = reader.bytes(length);
  if (text == nullptr || !reader.ok()) return false;
  Ref<ChatLine> line = ChatLine::acquire();
  line->senderSlot = user.roomSlot();
  line->local = local;
  std::memcpy(line->text, text, length);
  line->length = length;
  line->text[line->length] = '\0';
  user.chat().last = line;
  if (user.room() == nullptr || (local && !user.room()->isNavigation())) return true;
  if (!allowChat(user, core.clock.ms())) return true;
  user.room()->say(line);
  return true;
}

// A repeat is a line said again: it counts toward the same allowance as a new one, so a
// frame of repeats cannot make the room hear a line more often than it could be said.
bool repeatLine(ServerCore& core, User& user, std::uint8_t local) {
  const Ref<ChatLine>& last = user.chat().last;
  Room* room = user.room();
  if (!last || room == nullptr || (local && !room->isNavigation())) return true;
  if (!allowChat(user, core.clock.ms())) return true;
  if (last->local == local) {
    last->senderSlot = user.roomSlot();
    room->say(last);
  } else {
    Ref<ChatLine> copy = ChatLine::acquire();
    copy->length = last->length;
    std::memcpy(copy->text, last->text, last->length + 1u);
    copy->senderSlot = user.roomSlot();
    copy->local = local;
    room->say(copy);
    user.chat().last = std::move(copy);
  }
  return true;
}

}  // namespace

bool handlePosition(ServerCore& core, User& user, MessageReader& reader) {
  User::Position reported;
  reported.x = reader.u16();
  reported.y = reader.u16();
  reported.layer = reader.u8();
  reported.flags = reader.u8();
  reported.direction = reader.u16();
  if (!reader.ok()) return false;
  UserRooms::reportPosition(user, reported, core.clock.ms());
  return true;
}

bool handleObjectReport(ServerCore& core, User& user, MessageReader& reader) {
  const std::string_view name = reader.view();
  const ObjectPlace place = readPlace(reader);
  if (!reader.ok()) return false;
  const std::uint32_t now = core.clock.ms();
  if (user.room() != nullptr) user.room()->reportObject(name.substr(0, 31), place);
  UserRooms::noteReport(user, now);
  return true;
}

bool handleAppearance(ServerCore&, User& user, MessageReader& reader) {
  User::Appearance reported;
  reported.word = reader.u32();
  reported.byte = reader.u8();
  reported.short1 = reader.u16();
  reported.short2 = reader.u16();
  reader.string(reported.text);
  if (!reader.ok()) return false;
  if (reported == user.appearance()) return true;
  UserRooms::reportAppearance(user, reported);
  return true;
}

bool handleLocalChat(ServerCore& core, User& user, MessageReader& reader) {
  return sayLine(core, user, reader, 1);
}
bool handleRoomChat(ServerCore& core, User& user, MessageReader& reader) {
  return sayLine(core, user, reader, 0);
}
bool handleRepeatLocalChat(ServerCore& core, User& user, MessageReader&) {
  return repeatLine(core, user, 1);
}
bool handleRepeatRoomChat(ServerCore& core, User& user, MessageReader&) {
  return repeatLine(core, user, 0);
}

bool handleWhisper(ServerCore& core, User& user, MessageReader& reader) {
  char recipient[32] = {};
  reader.string(recipient);
  const std::string_view text = reader.view();
  if (!reader.ok()) return false;
  if (user.room() == nullptr || !allowChat(user, core.clock.ms())) return true;
  if (text.empty()) return false;
  if (recipient[0] == '\0') return true;
  Ref<ChatLine> line = ChatLine::acquire();
  line->senderSlot = user.roomSlot();
  copyText(line->recipient, fieldText(recipient));
  line->length = static_cast<std::uint16_t>(std::min<std::size_t>(text.size(), ChatLine::kMaxText));
  std::memcpy(line->text, text.data(), line->length);
  line->text[line->length] = '\0';
  user.room()->whisper(line);  // the queue's is its only reference: no repeat of a whisper
  return true;
}

bool handlePrivateMessage(ServerCore& core, User& user, MessageReader& reader) {
  char recipient[32] = {};
  reader.string(recipient);
  const std::string_view text = reader.view();
  if (!reader.ok()) return false;
  if (!allowChat(user, core.clock.ms())) return true;
  if (recipient[0] == '\0' || text.empty()) return false;
  // The online map is keyed by lower-case names: a recipient named with capitals is found.
  char key[32];
  lowerName(key, fieldText(recipient));
  User* addressee = core.online.find(fieldText(key));
  if (addressee == nullptr || addressee == &user) return true;
  MessageBuilder notice;
  notice.begin(ServerCode::PrivateMessageNotice)
      .string(text.substr(0, ChatLine::kMaxText))
      .string(fieldText(user.identity().name));
  sendTo(*addressee, notice);
  return true;
}

bool handleEnemyReport(ServerCore&, User& user, MessageReader& reader) {
  const ObjectPlace place = readPlace(reader);
  if (!reader.ok()) return false;
  if (user.room() != nullptr) user.room()->reportEnemy(user, place);
  return true;
}

bool handleRoomRefresh(ServerCore&, User& user, MessageReader&) {
  if (user.room() != nullptr) user.room()->refresh();
  return true;
}

}  // namespace velmor
