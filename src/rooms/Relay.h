#pragma once

#include <cstdint>
#include <string_view>

namespace velmor {

class MessageBuilder;
class Room;

// The room relay: turns what a live room's members reported since the last pass into
// batched frames for the members, the channel followers and the other online users.
// Main loop only.

// One pass over the room; `now` is the loop time in ms.
void relayUpdate(Room& room, std::uint64_t now);
// Writes the room's queued chat lines into the builder (whispers go out on their own).
void deliverChat(Room& room, MessageBuilder& builder);
// Finishes the frame and sends it to every member, if it holds a message.
void sendToMembers(Room& room, MessageBuilder& builder);
// A named object's report: updates its entry, or adds one (at most 255: then the entry
// reported longest ago is taken over).
bool objectReport(Room& room, std::string_view name, std::uint16_t value1, std::uint16_t value2,
                  std::uint8_t value3);

}  // namespace velmor
