// Login, accounts and admission requests.
#include "protocol/Dispatch.h"
#include "protocol/MessageCatalogue.h"
#include "protocol/Sending.h"
#include "protocol/User.h"

namespace velmor {

namespace {
constexpr std::uint8_t kProtocolVersion = 1;
}

bool handleLogin(User& user, MessageReader& reader) {
  if (user.loggedIn || user.admissionPending || user.loginPending) return false;
  if (reader.u8() != kProtocolVersion) {
    sendCode(user, wire::ServerCode::VersionRejected);
    return false;
  }
  // Accounts and admission are not served yet: the rest of the request cannot be taken.
  return false;
}

}  // namespace velmor
