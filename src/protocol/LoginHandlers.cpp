// Login, accounts and admission requests.
#include <cstring>
#include <memory>

#include "base/FixedText.h"
#include "core/ServerCore.h"
#include "core/StatusText.h"
#include "db/LoginChallenge.h"
#include "db/MainDatabase.h"
#include "model/Names.h"
#include "protocol/Dispatch.h"
#include "protocol/Login.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/LoginProof.h"
#include "wire/MessageCatalogue.h"

namespace velmor {

namespace {

constexpr std::uint8_t kProtocolVersion = 1;

using wire::ServerCode;

// A Login's first byte, the protocol version: another one is answered and refused.
bool acceptsVersion(ServerCore& core, User& user, std::uint8_t version) {
  if (version == kProtocolVersion) return true;
  sendCode(user, ServerCode::VersionRejected);
  core.logins.count(LoginOutcome::RefusedVersion);
  return false;
}

// A Login's fields after the version: who he is, how he looks, the password. False when
// it names no one.
bool takeFields(const wire::Login& request, User::Identity& identity, User::Appearance& appearance,
                char (&password)[32]) {
  identity.profileWord1 = request.profileWord1;
  identity.profileWord2 = request.profileWord2;
  identity.profileShort = request.profileShort;
  identity.loginWord = request.loginWord;
  appearance.word = request.appearanceWord;
  appearance.byte = request.appearanceByte;
  appearance.short1 = request.appearanceShort1;
  appearance.short2 = request.appearanceShort2;
  copyText(identity.name, request.name);
  copyText(appearance.text, request.appearanceText);
  copyText(password, request.password);
  return identity.name[0] != '\0';
}

// A Login is taken only before any other one and while no admission is on its way.
bool mayLogIn(const User& user) {
  const User::Presence& presence = user.presence();
  return !presence.loggedIn() && !presence.admissionPending() && !presence.admissionRefused() &&
         !user.login().loginPending;
}

// The server's bans of the name and of the address, and the rules of names (which make
// the name's key). A ban is answered; false refuses the login.
bool admitsName(ServerCore& core, User& user, User::Identity& identity) {
  const BanEntry* ban = core.serverBans.findNameIgnoringCase(fieldText(identity.name));
  // The address, as at connect: a banned connection that stayed open gets no other name.
  if (ban == nullptr) ban = core.serverBans.findAddress(user.address());
  if (ban != nullptr) {
    sendBanned(user, *ban);
    core.logins.count(LoginOutcome::RefusedBanned);
    return false;
  }
  if (!checkName(identity.name, identity.nameKey)) {
    core.logins.count(LoginOutcome::RefusedName);
    return false;
  }
  return true;
}

enum class PasswordGrant : std::uint8_t { None, Admin, Refused };

// What the Login's password grants: the administrator password makes him one; with a
// server password set, anything else is refused.
PasswordGrant passwordGrant(const CoreSettings& settings, const char* password) {
  if (settings.adminpassword[0] != '\0' && std::strcmp(password, settings.adminpassword) == 0)
    return PasswordGrant::Admin;
  if (settings.serverpassword[0] != '\0' && std::strcmp(password, settings.serverpassword) != 0)
    return PasswordGrant::Refused;
  return PasswordGrant::None;
}

}  // namespace

LookupOutcome LoginLookup::execute(Storage& storage) {
  makeLoginChallenge(challenge);
  return storage.main.lookupUser(*this);
}

bool LoginLookup::complete(LookupOutcome outcome) {
  User& user = *static_cast<User*>(owner());
  MessageBuilder reply;
  if (outcome == LookupOutcome::Found) {
    reply.begin(ServerCode::LoginChallenge).string(fieldText(salt)).string(fieldText(challenge));
    sendTo(user, reply);
    copyText(user.identity_.name, fieldText(name));  // the stored letter case wins
  } else {
    reply.begin(ServerCode::GuestWelcome).string(fieldText(challenge));
    sendTo(user, reply);
    online_.queueForAdmission(user);
  }
  user.login_.account.reset(this);  // kept as his account record
  return true;
}

StoreOutcome Registration::execute(Storage& storage) {
  return storage.main.registerUser(*this);
}

bool Registration::complete(StoreOutcome outcome) {
  User& user = *static_cast<User*>(owner());
  if (outcome == StoreOutcome::Stored) {
    user.rights_.isMember = 1;
    sendCode(user, ServerCode::Registered);
    counts_.registrationsStored.add(1);
  } else {
    sendCode(user, ServerCode::RegistrationFailed);
    counts_.registrationsRefused.add(1);
  }
  return false;
}

// A Login's version, identity and name checks; the user takes the identity and appearance
// once they pass. Nothing is kept of a Login refused.
bool takeLogin(ServerCore& core, User& user, const wire::Login& request, char (&password)[32]) {
  if (!acceptsVersion(core, user, request.version)) return false;
  User::Identity identity;
  User::Appearance appearance;
  if (!takeFields(request, identity, appearance, password) || !admitsName(core, user, identity))
    return false;
  user.identity_ = identity;
  user.appearance_ = appearance;
  return true;
}

// Another version may lay its Login out otherwise: one cut short is still refused for its
// version (0 when even that is missing). Nothing else of it is kept.
void handleLoginCutShort(ServerCore& core, User& user, const wire::Login& request) {
  if (mayLogIn(user)) acceptsVersion(core, user, request.version);
}

bool handleLogin(ServerCore& core, User& user, const wire::Login& request) {
  User::LoginState& login = user.login_;
  if (!mayLogIn(user)) return false;
  char password[32] = {};
  if (!takeLogin(core, user, request, password)) return false;
  switch (passwordGrant(core.settings, password)) {
    case PasswordGrant::Admin:
      user.rights_.isAdmin = 1;
      sendCode(user, ServerCode::AdminGranted);
      break;
    case PasswordGrant::Refused:
      sendCode(user, ServerCode::ServerPasswordWrong);
      core.logins.count(LoginOutcome::RefusedServerPassword);
      return false;
    case PasswordGrant::None:
      break;
  }
  auto* lookup = new LoginLookup(core.online);
  copyText(lookup->name, fieldText(user.identity().name));
  login.loginPending = 1;
  core.queries().post(&user, lookup);
  return true;
}

bool handleLoginProof(ServerCore& core, User& user, const wire::LoginProof& request) {
  const char* proof = request.proof;
  User::LoginState& login = user.login_;
  if (!login.account || user.presence().loggedIn() || user.presence().admissionPending() ||
      !login.loginPending) {
    return false;
  }
  const std::array<std::uint8_t, 16> expected =
      expectedLoginProof(login.account->passwordHash, fieldText(login.account->challenge));
  login.account.reset();
  if (std::memcmp(proof, expected.data(), expected.size()) != 0) {
    sendCode(user, ServerCode::LoginProofRejected);
    core.logins.count(LoginOutcome::MemberWrongPassword);
    return false;
  }
  user.rights_.isMember = 1;
  core.online.queueForAdmission(user);
  return true;
}

bool handleRegister(ServerCore& core, User& user, const wire::Register& request) {
  if (!user.presence().loggedIn() || !user.login().account) return false;
  const char* emailHash = request.emailHash;
  const char* passwordHash = request.passwordHash;
  // One registration at a time: a repeat while it is in flight would fail on the name anyway.
  if (user.findPending<Registration>([](const Registration&) { return true; })) {
    sendCode(user, ServerCode::RegistrationFailed);
    return true;
  }
  auto* registration = new Registration(core.logins);
  copyText(registration->name, fieldText(user.identity().name));
  copyText(registration->salt, fieldText(user.login().account->challenge));
  std::memcpy(registration->emailHash, emailHash, 16);
  std::memcpy(registration->passwordHash, passwordHash, 16);
  core.queries().post(&user, registration);
  return true;
}

// Nothing to do: each only keeps the connection alive.
bool handleNop(ServerCore&, User&, const wire::Nop&) {
  return true;
}
bool handleKeepAlive(ServerCore&, User&, const wire::KeepAlive&) {
  return true;
}

bool handleStatusRequest(ServerCore& core, User& user, const wire::StatusRequest& request) {
  char password[32] = {};
  copyText(password, request.adminPassword);
  const char* adminPassword = core.settings.adminpassword;
  if (!user.rights().isAdmin && adminPassword[0] != '\0' &&
      std::strcmp(password, adminPassword) != 0) {
    return true;
  }
  MessageBuilder reply;
  reply.begin(ServerCode::StatusText).u8(0).string(formatStatusText(statusFigures(core)));
  sendTo(user, reply);
  return true;
}

}  // namespace velmor
