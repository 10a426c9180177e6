// The C functions of velmor/client.h that are not made from the wire's definition: the
// handle, the loop, errors and the login helpers. Each checks its handle and hands over to
// the Session; no C++ exception crosses into C (allocation failures end in VELMOR_ERR_NO_MEMORY).
#include <new>
#include <string>

#include "Session.h"
#include "client/LoginProof.h"
#include "client/RequestWriter.h"

namespace velmor::sdk {
const char* messageEventName(int type);  // GeneratedGlue.inc
}  // namespace velmor::sdk

namespace {

// The event's size is part of the ABI: a message whose struct outgrows the union's reserved
// words must not change it unnoticed.
static_assert(sizeof(velmor_event) == 8 + 32 * 8, "velmor_event changed size");

template <typename F>
velmor_status guarded(F&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return VELMOR_ERR_NO_MEMORY;
  }
}

velmor_status sendLogin(velmor_client* c, const char* name, const char* serverPassword) {
  velmor::client::LoginFields fields;
  fields.name = name;
  fields.password = serverPassword != nullptr ? serverPassword : "";
  return c->session.queue([&](velmor::client::RequestWriter& w) { w.login(fields); });
}

}  // namespace

extern "C" {

VELMOR_API uint32_t velmor_client_version(void) {
  return VELMOR_CLIENT_VERSION;
}

VELMOR_API velmor_client* velmor_client_create(void) {
  return new (std::nothrow) velmor_client;
}

VELMOR_API void velmor_client_destroy(velmor_client* c) {
  delete c;
}

VELMOR_API void velmor_connect_options_init(velmor_connect_options* options) {
  if (options == nullptr) return;
  *options = velmor_connect_options{};
  options->struct_size = sizeof(velmor_connect_options);
  options->verify_peer = 1;
}

VELMOR_API velmor_status velmor_client_connect(velmor_client* c, const char* host, uint16_t port,
                                               const velmor_connect_options* options) {
  if (c == nullptr || host == nullptr) return VELMOR_ERR_ARGUMENT;
  velmor_connect_options plain;
  velmor_connect_options_init(&plain);
  plain.tls = 0;
  if (options != nullptr && options->struct_size != sizeof(velmor_connect_options)) {
    return c->session.fail(VELMOR_ERR_ARGUMENT,
                           "options not filled by velmor_connect_options_init");
  }
  return guarded(
      [&] { return c->session.connect(host, port, options != nullptr ? *options : plain); });
}

VELMOR_API int velmor_client_fd(const velmor_client* c) {
  return c != nullptr ? c->session.fd() : -1;
}

VELMOR_API int velmor_client_wants_write(const velmor_client* c) {
  return c != nullptr && c->session.wantsWrite() ? 1 : 0;
}

VELMOR_API velmor_status velmor_client_process(velmor_client* c, int timeout_ms) {
  if (c == nullptr) return VELMOR_ERR_ARGUMENT;
  return guarded([&] { return c->session.process(timeout_ms); });
}

VELMOR_API int velmor_client_next_event(velmor_client* c, velmor_event* event) {
  if (c == nullptr || event == nullptr) return 0;
  try {
    return c->session.take(*event) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

VELMOR_API velmor_status velmor_client_close(velmor_client* c) {
  if (c == nullptr) return VELMOR_ERR_ARGUMENT;
  return guarded([&] { return c->session.close(); });
}

VELMOR_API const char* velmor_client_last_error(const velmor_client* c) {
  return c != nullptr ? c->session.lastError().c_str() : "no handle";
}

VELMOR_API const char* velmor_status_text(velmor_status status) {
  switch (status) {
    case VELMOR_OK:
      return "ok";
    case VELMOR_ERR_ARGUMENT:
      return "bad argument";
    case VELMOR_ERR_STATE:
      return "already connecting or connected";
    case VELMOR_ERR_NOT_CONNECTED:
      return "not connected";
    case VELMOR_ERR_TEXT_SIZE:
      return "text outside its bounds";
    case VELMOR_ERR_FRAME_SIZE:
      return "request larger than a frame";
    case VELMOR_ERR_OUTPUT_FULL:
      return "too much output waiting";
    case VELMOR_ERR_RESOLVE:
      return "host name not resolved";
    case VELMOR_ERR_CONNECT:
      return "connection failed";
    case VELMOR_ERR_TLS:
      return "TLS failed";
    case VELMOR_ERR_CLOSED:
      return "closed by the server";
    case VELMOR_ERR_IO:
      return "socket error";
    case VELMOR_ERR_PROTOCOL:
      return "frame did not decode";
    case VELMOR_ERR_NO_MEMORY:
      return "out of memory";
  }
  return "unknown status";
}

VELMOR_API const char* velmor_event_name(velmor_event_type type) {
  return velmor::sdk::messageEventName(static_cast<int>(type));
}

VELMOR_API int velmor_client_navigation_room(const velmor_client* c) {
  return c != nullptr && c->session.navigationRoom() ? 1 : 0;
}

VELMOR_API velmor_status velmor_login_guest(velmor_client* c, const char* name,
                                            const char* server_password) {
  if (c == nullptr || name == nullptr) return VELMOR_ERR_ARGUMENT;
  return guarded([&] { return sendLogin(c, name, server_password); });
}

VELMOR_API velmor_status velmor_login_member(velmor_client* c, const char* name,
                                             const char* password, const char* server_password) {
  if (c == nullptr || name == nullptr || password == nullptr) return VELMOR_ERR_ARGUMENT;
  return guarded([&] {
    const velmor_status s = sendLogin(c, name, server_password);
    if (s == VELMOR_OK) c->session.answerChallengeWith(velmor::client::passwordHashOf(password));
    return s;
  });
}

VELMOR_API velmor_status velmor_register(velmor_client* c, const char* email,
                                         const char* password) {
  if (c == nullptr || email == nullptr || password == nullptr) return VELMOR_ERR_ARGUMENT;
  return guarded([&] {
    const velmor::client::Hash16 emailHash = velmor::client::passwordHashOf(email);
    const velmor::client::Hash16 passwordHash = velmor::client::passwordHashOf(password);
    return c->session.queue(
        [&](velmor::client::RequestWriter& w) { w.registerAccount(emailHash, passwordHash); });
  });
}

}  // extern "C"
