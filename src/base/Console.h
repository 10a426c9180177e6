#pragma once

// Console lines of the server: start-up messages, listen and accept errors.
// Every write is flushed at once so that the lines appear in order with the
// status screen and survive a process that ends right after them.
// Any thread; each call is one formatted write.

namespace velmor {

[[gnu::format(printf, 1, 2)]] void consoleWrite(const char* format, ...);

// The console's character attributes (colour, brightness) were changed, by the status
// screen: they are set back to the terminal's defaults by consoleRestoreAttributes(), and at
// the latest when the process exits through exit(). Any thread.
void consoleAttributesChanged();
// Sets the attributes back if they were changed (once: until they are changed again). Called
// when the screen is no longer drawn, and before an exit that skips the exit handlers.
void consoleRestoreAttributes();

}  // namespace velmor
