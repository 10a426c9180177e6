#pragma once

#include <cstdint>

#include "protocol/RequestHandlers.h"

namespace velmor {

class MessageReader;
class ServerCore;
class User;
struct MessageDispatch;

// An entry of the dispatch: reads the request's fields from the reader (positioned after
// the type) and acts on the user and the server's components. False stops the chunk: the
// rest of the received bytes is dropped. Each request's entry reads it whole through its
// one reader (wire/Requests.h) and hands it to its handler (protocol/RequestHandlers.h,
// both made from src/wire/protocol.json); a request cut short never reaches a handler.
using RequestHandler = bool (*)(ServerCore& core, User& user, MessageReader& reader);

// Applies the login gate and the type range, then runs the type's handler.
// False when the message stops the chunk.
bool dispatchMessage(ServerCore& core, std::uint8_t type, User& user, MessageReader& reader);
// The frame loop's dispatch into the handlers, for the server's users.
MessageDispatch requestDispatch(ServerCore& core);

// Puts `handler` in place for a type of 1..41 and returns the one it replaced. Only tests
// call it, to observe what the frame loop dispatches.
RequestHandler replaceHandler(std::uint8_t type, RequestHandler handler);

}  // namespace velmor
