#pragma once

namespace velmor {

// Fills `challenge` with 15 characters drawn uniformly from '!' (33) to '}' (125) and a
// terminator. The bytes come from the operating system's secure generator, so challenges
// cannot be predicted or replayed across restarts. Any thread.
void makeLoginChallenge(char (&challenge)[16]);

}  // namespace velmor
