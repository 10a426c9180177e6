// Chat and navigation requests: they update the user record or queue on the room and raise
// the room's flags; the relay sends the news. Private messages go out at once.
#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "protocol/Dispatch.h"
#include "wire/MessageBuilder.h"
#include "model/Names.h"
#include "users/Sending.h"
#include "users/User.h"
#include "model/ChatLine.h"
#include "rooms/Relay.h"
#include "rooms/Room.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {

using wire::ServerCode;

constexpr std::uint32_t kChatWindowMs = 1000;
constexpr std::uint32_t kResetSettleMs = 2000;
constexpr std::size_t kMaxEnemyReports = 255;  // per relay pass; more are dropped

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
bool allowChat(User& user) {
  static_assert(Room::kChatAllowance == User::kChatAllowance);
  const std::uint32_t allowance =
      user.room != nullptr ? std::min(user.room->chatAllowance, User::kChatAllowance)
                           : User::kChatAllowance;
  return allowLine(user.chatTimes, allowance, user.core->clock);
}

void noteIdleActivity(User& user) {
  if (user.relayIdle && user.room != nullptr) user.room->activityNoted = 1;
}

bool inNavigationRoom(const User& user) {
  return user.room != nullptr && user.room->record.navigation;
}

void queueLine(Room& room, ChatLine* line) {
  line->addRef();
  room.chatQueue.push_back(line);
  room.chatPending = 1;
}

void replaceLastChat(User& user, ChatLine* line) {
  ChatLine::release(user.lastChat);
  user.lastChat = line;
}

bool sayLine(User& user, MessageReader& reader, std::uint8_t local) {
  const std::uint16_t length = reader.u16();
  if (!reader.ok() || length < 1 || length > ChatLine::kMaxText) return false;
  const char* text = reader.bytes(length);
  ChatLine* line = ChatLine::acquire();
  line->senderSlot = user.roomSlot;
  line->local = local;
  if (text != nullptr) {
    std::memcpy(line->text, text, length);
    line->length = length;
  }
  line->text[line->length] = '\0';
  replaceLastChat(user, line);
  if (!reader.ok()) return false;
  if (user.room == nullptr || (local && !user.room->record.navigation)) return true;
  if (!allowChat(user)) return true;
  queueLine(*user.room, line);
  return true;
}

// A repeat is a line said again: it counts toward the same allowance as a new one, so a
// frame of repeats cannot make the room hear a line more often than it could be said.
bool repeatLine(User& user, std::uint8_t local) {
  ChatLine* last = user.lastChat;
  Room* room = user.room;
  if (last == nullptr || room == nullptr || (local && !room->record.navigation)) return true;
  if (!allowChat(user)) return true;
  if (last->local == local) {
    last->senderSlot = user.roomSlot;
    queueLine(*room, last);
  } else {
    ChatLine* copy = ChatLine::acquire();
    copy->length = last->length;
    std::memcpy(copy->text, last->text, last->length + 1u);
    copy->senderSlot = user.roomSlot;
    copy->local = local;
    queueLine(*room, copy);
    replaceLastChat(user, copy);
  }
  room->chatPending = 1;
  return true;
}

}  // namespace

bool handlePosition(User& user, MessageReader& reader) {
  const std::uint16_t x = reader.u16();
  const std::uint16_t y = reader.u16();
  const std::uint8_t layer = reader.u8();
  const std::uint8_t flags = reader.u8();
  const std::uint16_t direction = reader.u16();
  const std::uint32_t now = user.core->clock;
  user.lastActivity = now;
  if (x == user.posX && y == user.posY && layer == user.posLayer && flags == user.posFlags &&
      direction == user.posDir) {
    noteIdleActivity(user);
    return true;
  }
  user.presenceChanged = inNavigationRoom(user) ? 1 : 0;
  if (user.presenceChanged) user.room->memberStateChanged = 1;
  user.lastMoved = now;
  user.posX = x;
  user.posY = y;
  user.posLayer = layer;
  user.posFlags = flags;
  user.posDir = direction;
  return true;
}

bool handleObjectReport(User& user, MessageReader& reader) {
  const std::string_view name = reader.view();
  const std::uint16_t value1 = reader.u16();
  const std::uint16_t value2 = reader.u16();
  const std::uint8_t value3 = reader.u8();
  if (!reader.ok()) return false;
  const std::uint32_t now = user.core->clock;
  Room* room = user.room;
  if (room != nullptr && now - room->resetTime > kResetSettleMs) {
    objectReport(*room, name.substr(0, 31), value1, value2, value3);
  }
  user.lastActivity = now;
  noteIdleActivity(user);
  return true;
}

bool handleAppearance(User& user, MessageReader& reader) {
  const std::uint32_t word = reader.u32();
  const std::uint8_t byte = reader.u8();
  const std::uint16_t short1 = reader.u16();
  const std::uint16_t short2 = reader.u16();
  char text[32] = {};
  reader.string(text);
  if (word == user.appearanceWord && byte == user.appearanceByte &&
      short1 == user.appearanceShort1 && short2 == user.appearanceShort2 &&
      std::strcmp(text, user.appearanceText) == 0) {
    return true;
  }
  user.appearanceWord = word;
  user.appearanceByte = byte;
  user.appearanceShort1 = short1;
  user.appearanceShort2 = short2;
  std::memcpy(user.appearanceText, text, sizeof(text));
  user.presenceChanged = inNavigationRoom(user) ? 1 : 0;
  if (user.presenceChanged) {
    user.appearanceChanged = 1;
    user.room->memberStateChanged = 1;
  }
  return true;
}

bool handleLocalChat(User& user, MessageReader& reader) {
  return sayLine(user, reader, 1);
}
bool handleRoomChat(User& user, MessageReader& reader) {
  return sayLine(user, reader, 0);
}
bool handleRepeatLocalChat(User& user, MessageReader&) {
  return repeatLine(user, 1);
}
bool handleRepeatRoomChat(User& user, MessageReader&) {
  return repeatLine(user, 0);
}

bool handleWhisper(User& user, MessageReader& reader) {
  if (user.room == nullptr || !allowChat(user)) {
    reader.skipString();
    reader.skipString();
    return true;
  }
  ChatLine* line = ChatLine::acquire();
  line->senderSlot = user.roomSlot;
  reader.string(line->recipient);
  const std::uint16_t length = reader.u16();
  if (length == 0 || !reader.ok()) {
    ChatLine::release(line);
    return false;
  }
  if (line->recipient[0] == '\0') {
    ChatLine::release(line);
    reader.bytes(length);
    return true;
  }
  const char* text = reader.bytes(length);
  if (text == nullptr) {
    ChatLine::release(line);
    return false;
  }
  line->length = std::min<std::uint16_t>(length, ChatLine::kMaxText);
  std::memcpy(line->text, text, line->length);
  line->text[line->length] = '\0';
  user.room->chatQueue.push_back(line);  // the queue's is its only reference
  user.room->chatPending = 1;
  return true;
}

bool handlePrivateMessage(User& user, MessageReader& reader) {
  if (!allowChat(user)) {
    reader.skipString();
    reader.skipString();
    return true;
  }
  char recipient[32] = {};
  reader.string(recipient);
  const std::string_view text = reader.view();
  if (!reader.ok() || recipient[0] == '\0' || text.empty()) return false;
  // The online map is keyed by lower-case names: a recipient named with capitals is found.
  char key[32];
  lowerName(key, fieldText(recipient));
  ServerCore& core = *user.core;
  auto entry = core.onlineMap.find(key);
  if (entry == core.onlineMap.end() || entry->second == &user) return true;
  MessageBuilder notice;
  notice.begin(ServerCode::PrivateMessageNotice)
      .string(text.substr(0, ChatLine::kMaxText))
      .string(fieldText(user.name));
  sendTo(*entry->second, notice);
  return true;
}

bool handleEnemyReport(User& user, MessageReader& reader) {
  const std::uint16_t value1 = reader.u16();
  const std::uint16_t value2 = reader.u16();
  const std::uint8_t value3 = reader.u8();
  Room* room = user.room;
  if (room == nullptr || room->enemyReports.size() >= kMaxEnemyReports) return true;
  room->enemyReports.push_back(EnemyReport{value1, value2, value3, user.roomSlot});
  room->enemiesPending = 1;
  return true;
}

bool handleRoomRefresh(User& user, MessageReader&) {
  Room* room = user.room;
  if (room != nullptr && user.core->clock - room->resetTime > kResetSettleMs)
    room->refreshRequested = 1;
  return true;
}

}  // namespace velmor
