#include "rooms/RoomRequests.h"

#include <cstring>

#include "base/FixedText.h"
#include "model/Names.h"
#include "rooms/Room.h"
#include "rooms/RoomQueries.h"
#include "rooms/RoomRegistry.h"
#include "users/Sending.h"
#include "users/User.h"

namespace velmor {

namespace {

bool same(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}

void enterStored(RoomRegistry& rooms, User& user, const char* name, const char* key,
                 const char* password) {
  User::RoomRequests& requests = user.roomRequests();
  LoadRoomQuery* loading =
      user.findPending<LoadRoomQuery>([](const LoadRoomQuery&) { return true; });
  if (loading == nullptr) {
    auto* load = new LoadRoomQuery(rooms);
    copyText(load->record.name, std::string_view(name));
    copyText(load->suppliedPassword, std::string_view(password));
    copyText(load->requestedKey, std::string_view(key));
    load->request = requests.latest;
    rooms.services().queries.post(&user, load);
  } else if (same(loading->requestedKey, key) && same(loading->suppliedPassword, password)) {
    loading->request = requests.latest;  // the load in flight serves this request as well
  } else {
    requests.deferred = true;
    copyText(requests.deferredName, std::string_view(name));
    copyText(requests.deferredPassword, std::string_view(password));
  }
}

// His latest request, made now (at once, or when his load in flight completes).
void enter(RoomRegistry& rooms, User& user, const char* name, const char* password) {
  user.roomRequests().deferred = false;
  char key[32];
  lowerName(key, std::string_view(name));
  if (user.room() != nullptr && same(user.room()->record().lowerName, key)) return;
  Room* room = rooms.findLive(key);
  if (room == nullptr) room = rooms.wake(key);  // its save not stored yet: woken as it was
  if (room != nullptr) {
    room->enter(user, password, false);
  } else if (rooms.isFallingAsleep(key)) {
    sendCode(user, wire::ServerCode::RoomFull);  // no more rooms can be live
  } else if (!rooms.isStored(key)) {
    sendCode(user, wire::ServerCode::NoSuchRoom);
  } else {
    enterStored(rooms, user, name, key, password);
  }
}

}  // namespace

void requestEnterRoom(RoomRegistry& rooms, User& user, const char* name, const char* password) {
  ++user.roomRequests().latest;
  enter(rooms, user, name, password);
}

void requestLeaveRoom(User& user) {
  ++user.roomRequests().latest;
  user.roomRequests().deferred = false;
}

void resumeRoomRequests(RoomRegistry& rooms, User& user) {
  User::RoomRequests& requests = user.roomRequests();
  if (!requests.deferred) return;
  char name[32];
  char password[32];
  std::memcpy(name, requests.deferredName, sizeof(name));
  std::memcpy(password, requests.deferredPassword, sizeof(password));
  enter(rooms, user, name, password);
}

}  // namespace velmor
