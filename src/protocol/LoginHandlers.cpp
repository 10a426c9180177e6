// Login, accounts and admission requests.
#include <algorithm>
#include <cstring>

#include "db/Queries.h"
#include "base/FixedText.h"
#include "protocol/Dispatch.h"
#include "protocol/Login.h"
#include "wire/LoginProof.h"
#include "wire/MessageCatalogue.h"
#include "model/Names.h"
#include "users/Sending.h"
#include "users/User.h"
#include "core/ServerCore.h"
#include "core/StatusText.h"

namespace velmor {

namespace {

constexpr std::uint8_t kProtocolVersion = 1;
constexpr std::size_t kIgnoredLoginBytes = 4;

using wire::ServerCode;

const BanEntry* findBannedName(const ServerCore& core, std::string_view name) {
  for (const BanEntry& entry : core.serverBans) {
    if (sameNameIgnoringCase(fieldText(entry.name), name)) return &entry;
  }
  return nullptr;
}

void sendBanned(User& user, const BanEntry& entry) {
  MessageBuilder reply;
  reply.begin(ServerCode::Banned).string(fieldText(entry.name));
  sendTo(user, reply);
}

void queueForAdmission(User& user) {
  user.core->admissionQueue.push_back(&user);
  user.admissionPending = 1;
  user.loginPending = 0;
}

}  // namespace

bool handleLogin(User& user, MessageReader& reader) {
  if (user.loggedIn || user.admissionPending || user.loginPending) return false;
  if (reader.u8() != kProtocolVersion) {
    sendCode(user, ServerCode::VersionRejected);
    return false;
  }
  user.profileWord1 = reader.u32();
  user.profileWord2 = reader.u32();
  user.profileShort = reader.u16();
  user.loginWord = reader.u32();
  user.appearanceWord = reader.u32();
  user.appearanceByte = reader.u8();
  user.appearanceShort1 = reader.u16();
  user.appearanceShort2 = reader.u16();
  reader.bytes(kIgnoredLoginBytes);
  reader.string(user.name);
  reader.string(user.appearanceText);
  char password[32] = {};
  reader.string(password);
  if (!reader.ok() || user.name[0] == '\0') return false;

  ServerCore& core = *user.core;
  if (const BanEntry* ban = findBannedName(core, fieldText(user.name))) {
    sendBanned(user, *ban);
    return false;
  }
  if (!checkName(user.name, user.nameKey)) return false;

  if (core.adminpassword[0] != '\0' && std::strcmp(password, core.adminpassword) == 0) {
    user.isAdmin = 1;
    sendCode(user, ServerCode::AdminGranted);
  } else if (core.serverpassword[0] != '\0' && std::strcmp(password, core.serverpassword) != 0) {
    sendCode(user, ServerCode::ServerPasswordWrong);
    return false;
  }

  auto* lookup = new VelmorUserQuery;
  copyText(lookup->name, fieldText(user.name));
  user.loginPending = 1;
  core.postQuery(&user, lookup);
  return true;
}

void completeLookupUser(User& user, VelmorUserQuery& query) {
  delete user.accountRecord;
  user.accountRecord = &query;
  MessageBuilder reply;
  if (query.result == 1) {
    reply.begin(ServerCode::LoginChallenge)
        .string(fieldText(query.salt))
        .string(fieldText(query.challenge));
    sendTo(user, reply);
    copyText(user.name, fieldText(query.name));  // the stored letter case wins
  } else {
    reply.begin(ServerCode::GuestWelcome).string(fieldText(query.challenge));
    sendTo(user, reply);
    queueForAdmission(user);
  }
}

bool handleLoginProof(User& user, MessageReader& reader) {
  const char* proof = reader.bytes(16);
  if (!reader.ok() || user.accountRecord == nullptr || user.loggedIn || user.admissionPending ||
      !user.loginPending) {
    return false;
  }
  const std::array<std::uint8_t, 16> expected = expectedLoginProof(
      user.accountRecord->passwordHash, fieldText(user.accountRecord->challenge));
  delete user.accountRecord;
  user.accountRecord = nullptr;
  if (std::memcmp(proof, expected.data(), expected.size()) != 0) {
    sendCode(user, ServerCode::LoginProofRejected);
    return false;
  }
  user.isMember = 1;
  queueForAdmission(user);
  return true;
}

bool handleRegister(User& user, MessageReader& reader) {
  if (!user.loggedIn || user.accountRecord == nullptr) return false;
  const char* emailHash = reader.bytes(16);
  const char* passwordHash = reader.bytes(16);
  if (!reader.ok()) return false;
  auto* registration = new VelmorRegisterUserQuery;
  copyText(registration->name, fieldText(user.name));
  copyText(registration->salt, fieldText(user.accountRecord->challenge));
  std::memcpy(registration->emailHash, emailHash, 16);
  std::memcpy(registration->passwordHash, passwordHash, 16);
  user.core->postQuery(&user, registration);
  return true;
}

void completeRegisterUser(User& user, const VelmorRegisterUserQuery& query) {
  if (query.result == 1) {
    user.isMember = 1;
    sendCode(user, ServerCode::Registered);
  } else {
    sendCode(user, ServerCode::RegistrationFailed);
  }
}

bool handleStatusRequest(User& user, MessageReader& reader) {
  char password[32] = {};
  reader.string(password);
  const ServerCore& core = *user.core;
  if (!user.isAdmin && core.adminpassword[0] != '\0' &&
      std::strcmp(password, core.adminpassword) != 0) {
    return true;
  }
  MessageBuilder reply;
  reply.begin(ServerCode::StatusText).u8(0).string(formatStatusText(core));
  sendTo(user, reply);
  return true;
}

}  // namespace velmor
