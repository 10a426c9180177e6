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

template <typename Report>
ObjectPlace placeOf(const Report& report) {
  return ObjectPlace{report.value1, report.value2, report.value3};
}

// The text is 1..1024 bytes: the request's reader refuses any other.
bool sayLine(ServerCore& core, User& user, std::string_view text, std::uint8_t local) {
  static_assert(ChatLine::kMaxText == 1024);
  Ref<ChatLine> line = ChatLine::acquire();
  line->senderSlot = user.roomSlot();
  line->local = local;
  std::memcpy(line->text, text.data(), text.size());
  line->length = static_cast<std::uint16_t>(text.size());
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

bool handlePosition(ServerCore& core, User& user, const wire::Position& request) {
  User::Position reported;
  reported.x = request.x;
  reported.y = request.y;
  reported.layer = request.layer;
  reported.flags = request.flags;
  reported.direction = request.direction;
  UserRooms::reportPosition(user, reported, core.clock.ms());
  return true;
}

bool handleObjectReport(ServerCore& core, User& user, const wire::ObjectReport& request) {
  const std::uint32_t now = core.clock.ms();
  if (user.room() != nullptr) user.room()->reportObject(request.name, placeOf(request));
  UserRooms::noteReport(user, now);
  return true;
}

bool handleAppearance(ServerCore&, User& user, const wire::Appearance& request) {
  User::Appearance reported;
  reported.word = request.appearanceWord;
  reported.byte = request.appearanceByte;
  reported.short1 = request.appearanceShort1;
  reported.short2 = request.appearanceShort2;
  copyText(reported.text, request.appearanceText);
  if (reported == user.appearance()) return true;
  UserRooms::reportAppearance(user, reported);
  return true;
}

bool handleLocalChat(ServerCore& core, User& user, const wire::LocalChat& request) {
  return sayLine(core, user, request.text, 1);
}
bool handleRoomChat(ServerCore& core, User& user, const wire::RoomChat& request) {
  return sayLine(core, user, request.text, 0);
}
bool handleRepeatLocalChat(ServerCore& core, User& user, const wire::RepeatLocalChat&) {
  return repeatLine(core, user, 1);
}
bool handleRepeatRoomChat(ServerCore& core, User& user, const wire::RepeatRoomChat&) {
  return repeatLine(core, user, 0);
}

bool handleWhisper(ServerCore& core, User& user, const wire::Whisper& request) {
  char recipient[32] = {};
  copyText(recipient, request.recipient);
  const std::string_view text = request.text;  // at most 1024 bytes
  if (user.room() == nullptr || !allowChat(user, core.clock.ms())) return true;
  if (text.empty()) return false;
  if (recipient[0] == '\0') return true;
  Ref<ChatLine> line = ChatLine::acquire();
  line->senderSlot = user.roomSlot();
  copyText(line->recipient, fieldText(recipient));
  line->length = static_cast<std::uint16_t>(text.size());
  std::memcpy(line->text, text.data(), line->length);
  line->text[line->length] = '\0';
  user.room()->whisper(line);  // the queue's is its only reference: no repeat of a whisper
  return true;
}

bool handlePrivateMessage(ServerCore& core, User& user, const wire::PrivateMessage& request) {
  char recipient[32] = {};
  copyText(recipient, request.recipient);
  const std::string_view text = request.text;  // at most 1024 bytes
  if (!allowChat(user, core.clock.ms())) return true;
  if (recipient[0] == '\0' || text.empty()) return false;
  // The online map is keyed by lower-case names: a recipient named with capitals is found.
  char key[32];
  lowerName(key, fieldText(recipient));
  User* addressee = core.online.find(fieldText(key));
  if (addressee == nullptr || addressee == &user) return true;
  MessageBuilder notice;
  notice.begin(ServerCode::PrivateMessageNotice)
      .string(text)
      .string(fieldText(user.identity().name));
  sendTo(*addressee, notice);
  return true;
}

bool handleEnemyReport(ServerCore&, User& user, const wire::EnemyReport& request) {
  if (user.room() != nullptr) user.room()->reportEnemy(user, placeOf(request));
  return true;
}

bool handleRoomRefresh(ServerCore&, User& user, const wire::RoomRefresh&) {
  if (user.room() != nullptr) user.room()->refresh();
  return true;
}

}  // namespace velmor
