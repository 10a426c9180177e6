#include "users/User.h"

#include <cstring>

#include "net/GenericServer.h"

namespace velmor {

User::User(uv_stream_t* client, uv_stream_t* server, TrafficCounters& traffic)
    : ClientData(client, server), traffic_(traffic) {
  traffic_.users.add(1);
}

User::~User() {
  traffic_.users.sub(1);
}

bool User::Appearance::operator==(const Appearance& other) const {
  return word == other.word && byte == other.byte && short1 == other.short1 &&
         short2 == other.short2 && std::strcmp(text, other.text) == 0;
}

bool User::writeFrames(const char* data, std::size_t length) {
  return owner != nullptr && owner->write(client, data, length);
}

bool User::sendFrames(const char* data, std::size_t length, std::size_t frames) {
  if (!writeFrames(data, length)) return false;
  traffic_.packetsSent.add(frames);
  traffic_.bytesSent.add(length);
  return true;
}

void User::limitQueriesInFlight(bool storageFailing) {
  const bool wait = !input_.held.empty() || (queriesAtBound() && !storageFailing);
  if (!readingPaused_ && wait && owner != nullptr) {
    owner->pauseReading(client);
    readingPaused_ = true;
  } else if (readingPaused_ && input_.held.empty() && mayGoOn(storageFailing)) {
    readingPaused_ = false;  // what was held was handled
    if (owner != nullptr) owner->resumeReading(client);
  }
}

void User::pendingCompleted(std::size_t remaining) {
  // Held requests are handled first, by the server's next turn (heldInputDue); reading
  // resumes after them.
  if (!readingPaused_ || remaining > kMaxQueriesInFlight / 2 || !input_.held.empty()) return;
  readingPaused_ = false;
  if (owner != nullptr) owner->resumeReading(client);
}

void User::releaseTransfer() {
  transfer_ = {};
}

void User::clearLoginGrants() {
  rights_ = {};
  login_ = {};
  presence_ = {};
  chat_ = {};
  roomRequests_ = {};
}

}  // namespace velmor
