// The functions made from the wire's definition (GeneratedGlue.inc, by tools/wiregen/cgen.py):
// one per request, and the filling of an event from a decoded message. The helpers here check
// a request's arguments the same way for all of them.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "Session.h"

namespace velmor::sdk {

namespace {

// Every string a sender writes is cut at 65000 bytes (wire::kMaxWireString); the library
// refuses a longer one rather than send what the caller did not write.
constexpr std::size_t kMaxString = 65000;

template <typename F>
velmor_status queue(velmor_client* c, F&& write) {
  if (c == nullptr) return VELMOR_ERR_ARGUMENT;
  try {
    return c->session.queue(write);
  } catch (const std::bad_alloc&) {
    return VELMOR_ERR_NO_MEMORY;
  }
}

// A NUL-terminated string argument, between `min` and `max` bytes when `refused` says the
// server refuses it outside them, and never above kMaxString.
velmor_status stringArgument(velmor_client* c, const char* text, std::size_t min, std::size_t max,
                             bool refused, const char* name, std::string_view& out) {
  if (c == nullptr) return VELMOR_ERR_ARGUMENT;
  if (text == nullptr) return c->session.fail(VELMOR_ERR_ARGUMENT, std::string(name) + " is NULL");
  out = text;
  if (out.size() > kMaxString || (refused && (out.size() < min || out.size() > max))) {
    return c->session.fail(VELMOR_ERR_TEXT_SIZE,
                           std::string(name) + " has " + std::to_string(out.size()) +
                               " bytes, outside " + std::to_string(refused ? min : 0) + ".." +
                               std::to_string(refused ? max : kMaxString));
  }
  return VELMOR_OK;
}

velmor_status blobArgument(velmor_client* c, const void* data, std::size_t length, const char* name,
                           std::string_view& out) {
  if (c == nullptr) return VELMOR_ERR_ARGUMENT;
  if (data == nullptr && length != 0) {
    return c->session.fail(VELMOR_ERR_ARGUMENT, std::string(name) + " is NULL");
  }
  if (length > kMaxString) {
    return c->session.fail(VELMOR_ERR_TEXT_SIZE, std::string(name) + " has more than 65000 bytes");
  }
  out = length == 0 ? std::string_view() : std::string_view(static_cast<const char*>(data), length);
  return VELMOR_OK;
}

velmor_status hashArgument(velmor_client* c, const std::uint8_t* hash, const char* name,
                           client::Hash16& out) {
  if (c == nullptr) return VELMOR_ERR_ARGUMENT;
  if (hash == nullptr) return c->session.fail(VELMOR_ERR_ARGUMENT, std::string(name) + " is NULL");
  std::memcpy(out.data(), hash, out.size());
  return VELMOR_OK;
}

}  // namespace

#include "sdk/GeneratedGlue.inc"
