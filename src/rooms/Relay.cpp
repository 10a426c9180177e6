#include "rooms/Relay.h"

#include "protocol/MessageBuilder.h"
#include "protocol/User.h"
#include "rooms/Room.h"

namespace velmor {

// The passes are built out with the chat and navigation requests.
void relayUpdate(Room&, std::uint64_t) {}

void deliverChat(Room&, MessageBuilder&) {}

void sendToMembers(Room& room, MessageBuilder& builder) {
  if (!builder.hasMessage()) return;
  builder.finish();
  for (User* member : room.members)
    member->sendFrames(builder.data(), builder.size(), builder.frameCount());
}

}  // namespace velmor
