#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor {

class User;
class MessageReader;

// Where the frame loop hands each message: the protocol's dispatch in the server, a test's
// recorder in the frame loop's own tests. A plain function and its context, so that the
// hot path calls through one pointer and allocates nothing. The handler reads the message's
// fields from the reader (positioned after the type) and returns false to stop the chunk.
struct MessageDispatch {
  bool (*handle)(void* context, std::uint8_t type, User& user, MessageReader& reader);
  void* context;
  // Whether a user's requests wait while his queries in flight are at their bound: while the
  // storage serves (his queries come back soon), not while it fails (he is served meanwhile,
  // and his further storage work is refused instead).
  bool waitAtQueryBound = true;
};

// Handles one chunk of received bytes: every complete frame in place, message by message;
// a frame cut by the end of the chunk is kept in the user's Input::partialFrame (at most one
// frame, 65537 bytes) and completed by the next chunk. An empty frame is skipped.
//  - A stop abandons the rest of the chunk and of the frame the chunk cut at its end (its
//    remaining bytes are dropped from the next chunks), so that the next frame is read from
//    its start; false then. The connection stays open either way.
//  - Once a message leaves the user with his queries in flight at their bound
//    (User::queriesAtBound; only when the dispatch says requests wait there), the rest of the frame
//    and of the chunk is kept in Input::held, in order, and handled by a later call (the caller
//    pauses reading meanwhile): the bound holds within a frame. A chunk given while input is held
//    is added behind it.
// Main loop only.
bool receiveChunk(User& user, const char* data, std::size_t length,
                  const MessageDispatch& dispatch);

}  // namespace velmor
