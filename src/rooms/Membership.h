#pragma once

#include <cstdint>

namespace velmor {

class Room;
class User;

// Being in a room, and following rooms as chat channels. Main loop only.
// The user's room, roomSlot and leadership are set here and nowhere else: join sets them,
// leave clears them.

// Admits the user with the password (the room's leader password makes him leader). False
// when the room holds 255 members or the password is wrong. Joining the room the user is
// already in changes nothing (true). Leaves his previous room first.
bool join(Room& room, User& user, const char* password);
// Takes the user out of his room, if any: later members move down a seat, his queued
// lines leave the queue, his transfer ends, his leadership ends. True when he was a
// member. His room becomes none.
bool leave(User& user);
// The checks of entering a live room, in order: full, banned (skipped for administrators
// unless `banCheckForAll`), then join; each refusal answered with its code.
void enterLiveRoom(Room& room, User& user, const char* password, bool banCheckForAll);

// A user's chat channels.
bool followsChannel(const User& user, const Room& room);
// Adds the room to the user's channels and the user to its channel members. REQUIRES: he
// follows fewer than five rooms and not this one.
void addChannel(User& user, Room& room);
// Removes the room from the user's channels and the user from the room's channel members;
// false when the user did not follow it.
bool dropChannel(User& user, Room& room);
// Drops the room of the user's current channel from his channels, if he still follows it.
void dropCurrentChannel(User& user);
// Ends the user's following of the room, if he follows it, and tells him (ChannelLeft with
// "not a member": he is not in it): he was banned from it, or it goes to sleep.
void stopFollowing(User& user, Room& room);
// Drops every channel of the user, and his current one.
void dropAllChannels(User& user);

}  // namespace velmor
