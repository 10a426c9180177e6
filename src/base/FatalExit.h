#pragma once

namespace velmor {

// Ends the process when the server cannot work at all (a database that cannot be
// opened, a statement that cannot be prepared): writes `message` as it stands (no line
// end is added), waits two seconds so that a console user can read it, and exits with
// status 1. Start-up only; any thread.
[[noreturn]] void fatalExit(const char* message);

}  // namespace velmor
