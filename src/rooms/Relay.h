#pragma once

#include <cstdint>

namespace velmor {

class Room;

// The room relay: turns what a live room's members reported since the last pass (its
// pending work) into batched frames for the members, the channel followers and the other
// online users. The RelayPass (Relay.cpp) is the only reader of that work, and clears it.
// Main loop only.

// One pass over the room; `now` is the loop time in ms.
void relayUpdate(Room& room, std::uint64_t now);
// Delivers the room's queued chat between two of its passes: the lines in one frame to
// every member, then the whispers. Unless a join or a departure waits to be told: the lines
// then wait for the room's next pass, which tells it before them, so that no member hears a
// line under a seat he has not been told of, or one renumbered behind his back.
void deliverChatBetweenPasses(Room& room);
}  // namespace velmor
