#pragma once

// Console lines of the server: start-up messages, listen and accept errors.
// Every write is flushed at once so that the lines appear in order with the
// status screen and survive a process that ends right after them.
// Any thread; each call is one formatted write.

namespace velmor {

[[gnu::format(printf, 1, 2)]] void consoleWrite(const char* format, ...);

}  // namespace velmor
