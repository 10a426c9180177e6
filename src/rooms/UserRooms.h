#pragma once

#include "rooms/Room.h"
#include "users/User.h"

namespace velmor {

class User;

// The user's side of rooms and channels: what he does or drops whatever room he is in, or
// in none. Each goes through the rooms' own verbs (RoomMembership.cpp); in no room, these
// are the writers of his position, appearance and channels. Main loop only.
class UserRooms {
 public:
  // His reported position (a report whether or not he moved), appearance and activity: his
  // room hears of them; in none they are only his.
  static void reportPosition(User& user, const User::Position& position, std::uint32_t now);
  static void reportAppearance(User& user, const User::Appearance& appearance);
  // He reported something at `now` (a position, an object): he is active.
  static void noteReport(User& user, std::uint32_t now);

  // Takes the user out of his room, if any (Room::leave); without a room, still ends what a
  // membership holds (his transfer, his leadership).
  static void leaveRoom(User& user, LeaveReason reason);
  // Drops the room of the user's current channel from his channels, if he still follows it.
  static void dropCurrentChannel(User& user);
  // Drops every channel of the user, and his current one.
  static void dropAllChannels(User& user);
  // Ends his following of the channel of that exact room name and tells him (ChannelLeft);
  // false when he follows no such room.
  static bool leaveChannelNamed(User& user, const char* name);

 private:
  friend class Room;

  // What ends with a user's membership, whichever room: his quiet motion, his transfer, his
  // leadership (it is of that room only).
  static void endMembership(User& user);
};

}  // namespace velmor
