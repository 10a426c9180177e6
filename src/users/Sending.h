#pragma once

#include "wire/MessageBuilder.h"
#include "wire/MessageCatalogue.h"

namespace velmor {

class ServerCore;
class User;

// The message senders: every frame the protocol sends goes through them, and they keep
// the traffic counters (one packet per frame, and its bytes). Main loop only.

// Finishes the builder and sends its frames to one user; nothing is sent when it holds
// no message. False when nothing was sent.
bool sendTo(User& user, MessageBuilder& builder);
// Sends the same finished bytes to every user of the online list.
void broadcastOnline(ServerCore& core, MessageBuilder& builder);
// A frame holding only one bare code (FF and the low byte for codes of 255 and more).
bool sendCode(User& user, wire::ServerCode code);

}  // namespace velmor
