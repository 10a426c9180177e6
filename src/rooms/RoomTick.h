#pragma once

#include <cstdint>

namespace velmor {

class ServerCore;

// The periodic room processing, every 20 ms: announces new rooms, runs the relay of every
// live room, puts idle rooms to sleep, sweeps expired stored rooms, saves access times once
// an hour and admits waiting users. `now` is the loop time in ms, `wallNow` wall-clock
// seconds. Main loop only.
void roomTick(ServerCore& core, std::uint64_t now, std::uint32_t wallNow);

}  // namespace velmor
