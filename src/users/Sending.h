#pragma once

#include "wire/MessageBuilder.h"
#include "wire/MessageCatalogue.h"

namespace velmor {

class OnlineUsers;
class User;
struct BanEntry;

// The message senders: every frame the protocol sends goes through them (or through
// User::sendFrames with a finished builder), and the user's connection counts the
// traffic (one packet per frame, and its bytes). Main loop only.

// Finishes the builder and sends its frames to one user; nothing is sent when it holds
// no message. False when nothing was sent.
bool sendTo(User& user, MessageBuilder& builder);
// Finishes the builder and sends the same bytes to every user of the online list.
void broadcastOnline(const OnlineUsers& online, MessageBuilder& builder);
// A frame holding only one bare code.
bool sendCode(User& user, wire::ServerCode code);
// Banned, naming the ban list entry that refused him.
bool sendBanned(User& user, const BanEntry& ban);

}  // namespace velmor
