#include "protocol/Dispatch.h"

#include <array>

#include "core/ServerCore.h"
#include "users/FrameLoop.h"
#include "users/User.h"
#include "wire/MessageCatalogue.h"
#include "wire/Requests.h"

namespace velmor {

namespace {

using wire::ClientType;

// What a request cut short leaves behind when its definition says nothing of it: nothing.
template <typename Request>
void dropCutShort(ServerCore&, User&, const Request&) {}

// Reads the request whole, then hands it to its handler. A request cut short (or with a
// size its definition refuses) is dropped, and with it the rest of the chunk: where it
// ends cannot be told. A request whose definition says so is first handed to CutShort with
// what it holds up to the cut.
template <typename Request, bool (*Handle)(ServerCore&, User&, const Request&),
          void (*CutShort)(ServerCore&, User&, const Request&) = dropCutShort<Request>>
bool dispatchRequest(ServerCore& core, User& user, MessageReader& reader) {
  Request request;
  if (!wire::read(reader, request)) {
    CutShort(core, user, request);
    return false;
  }
  return Handle(core, user, request);
}

constexpr std::array<RequestHandler, wire::kLastClientType + 1> makeTable() {
  std::array<RequestHandler, wire::kLastClientType + 1> table{};
#define VELMOR_REQUEST(Type, handler)                   \
  static_assert(wire::Type::kType == ClientType::Type); \
  table[static_cast<std::size_t>(ClientType::Type)] = dispatchRequest<wire::Type, handler>;
#define VELMOR_REQUEST_CUT(Type, handler, cutShort)   \
  table[static_cast<std::size_t>(ClientType::Type)] = \
      dispatchRequest<wire::Type, handler, cutShort>;
  VELMOR_REQUESTS(VELMOR_REQUEST, VELMOR_REQUEST_CUT)
#undef VELMOR_REQUEST
#undef VELMOR_REQUEST_CUT
  return table;
}

// Every type from the first to the last has its entry: the list names each once, in order.
constexpr bool everyTypeListed() {
  std::size_t next = wire::kFirstClientType;
  bool inOrder = true;
#define VELMOR_LISTED(Type, ...) \
  inOrder = inOrder && static_cast<std::size_t>(ClientType::Type) == next++;
  VELMOR_REQUESTS(VELMOR_LISTED, VELMOR_LISTED)
#undef VELMOR_LISTED
  return inOrder && next == wire::kLastClientType + 1u;
}
static_assert(everyTypeListed(), "a request type without its handler");

// Constant in the server; tests replace entries to observe the dispatch.
constinit auto handlers = makeTable();

// Before admission only Login and KeepAlive pass, and LoginProof while a login is pending.
bool passesLoginGate(const User& user, std::uint8_t type) {
  if (user.presence().loggedIn()) return true;
  return type == static_cast<std::uint8_t>(ClientType::Login) ||
         type == static_cast<std::uint8_t>(ClientType::KeepAlive) ||
         (type == static_cast<std::uint8_t>(ClientType::LoginProof) && user.login().loginPending);
}

bool dispatchWithCore(void* core, std::uint8_t type, User& user, MessageReader& reader) {
  return dispatchMessage(*static_cast<ServerCore*>(core), type, user, reader);
}

}  // namespace

bool dispatchMessage(ServerCore& core, std::uint8_t type, User& user, MessageReader& reader) {
  if (!passesLoginGate(user, type)) return false;
  if (type < wire::kFirstClientType || type > wire::kLastClientType) return false;
  return handlers[type](core, user, reader);
}

MessageDispatch requestDispatch(ServerCore& core) {
  return MessageDispatch{dispatchWithCore, &core, !core.storageFailing()};
}

RequestHandler replaceHandler(std::uint8_t type, RequestHandler handler) {
  RequestHandler previous = handlers[type];
  handlers[type] = handler;
  return previous;
}

}  // namespace velmor
