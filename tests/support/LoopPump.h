#pragma once

#include <uv.h>

#include <chrono>
#include <functional>

namespace velmor::test {

// Turns a libuv loop on the test thread until a condition holds (false on timeout), or
// for a while. Client sockets of the tests are plain blocking sockets, so the server's
// side of every exchange advances only here, one deterministic step after another.
bool pumpUntil(uv_loop_t* loop, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(3));
void pumpFor(uv_loop_t* loop, std::chrono::milliseconds duration);

}  // namespace velmor::test
