#pragma once

// Small pieces the scenarios share. Loop thread only.

#include <uv.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "LoadClient.h"
#include "client/FrameDecoder.h"
#include "client/LoginProof.h"

namespace velmor::load {

using wire::ServerCode;

// Runs the loop until `done` holds, checking every 10 ms.
void runUntil(uv_loop_t* loop, std::function<bool()> done);
// Decodes a whole frame (set-up traffic, where allocation does not matter).
std::vector<client::ServerMessage> decode(std::string_view payload, bool navigation);
bool has(const std::vector<client::ServerMessage>& messages, ServerCode code);
// The stored password hash of simulated member i.
client::Hash16 hashFor(std::size_t i);
void loginAsGuest(LoadClient& c, const std::string& name);

// A repeating timer with a callback, for paced senders. Not movable once started.
struct Pacer {
  uv_timer_t timer{};
  std::function<void()> tick;
  void start(uv_loop_t* loop, std::uint64_t offsetMs, std::uint64_t intervalMs);
  void stop();
};

}  // namespace velmor::load
