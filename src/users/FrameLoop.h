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
};

// Handles one chunk of received bytes: every complete frame in place, message by message;
// a frame cut by the end of the chunk is kept in the user's partialFrame (at most one frame,
// 65537 bytes) and completed by the next chunk. An empty frame is skipped. False when a stop
// abandoned the rest of the chunk (and any unfinished frame); the connection stays open
// either way. Main loop only.
bool receiveChunk(User& user, const char* data, std::size_t length,
                  const MessageDispatch& dispatch);

}  // namespace velmor
