#include "core/Admission.h"

#include "base/FixedText.h"
#include "core/ServerCore.h"
#include "rooms/RoomEntry.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

namespace {

using wire::ServerCode;

// ServerInfo and the list of live rooms: the same frame for everyone admitted in a step.
void buildWelcome(const ServerCore& core, MessageBuilder& welcome) {
  welcome.begin(ServerCode::ServerInfo)
      .string(fieldText(core.settings.servername))
      .u16(static_cast<std::uint16_t>(core.settings.limits.chatroommaxusers))
      .u16(static_cast<std::uint16_t>(core.settings.limits.navroommaxusers))
      .u8(core.settings.userscancreateroom ? 1 : 0);
  writeRoomList(core.rooms, welcome);
  welcome.finish();
}

// The server's bans hold at admission as at Login: a name banned since (his Login, or his
// challenge, came before the ban) or the address of his connection.
bool refusedAsBanned(ServerCore& core, User& user) {
  const BanEntry* ban =
      core.serverBans.findAddressOrName(user.address(), fieldText(user.identity().name));
  if (ban == nullptr) return false;
  sendBanned(user, *ban);
  core.logins.count(user.rights().isMember ? LoginOutcome::MemberBanned
                                           : LoginOutcome::GuestBanned);
  core.online.forgetLogin(user);  // a connection that has not logged in, as after a refused Login
  return true;
}

void admit(ServerCore& core, User& user, const MessageBuilder& welcome) {
  user.sendFrames(welcome.data(), welcome.size(), welcome.frameCount());
  core.online.admit(user);
  core.loginDeadlines.stop(user);  // logged in: no deadline any more
  core.logins.count(user.rights().isMember ? LoginOutcome::MemberAdmitted
                                           : LoginOutcome::GuestAdmitted);
}

}  // namespace

void admitWaitingUsers(ServerCore& core) {
  if (!core.online.admissionDue()) return;
  MessageBuilder welcome;
  buildWelcome(core, welcome);
  for (User* user : core.online.admissionQueue()) {
    if (refusedAsBanned(core, *user)) continue;
    User* holder = core.online.find(user->identity().nameKey);
    if (holder == nullptr) {
      admit(core, *user, welcome);
    } else if (!user->rights().isMember) {
      sendCode(*user, ServerCode::NameInUse);
      core.online.refuseAdmission(*user);
      core.logins.count(LoginOutcome::GuestNameInUse);
    } else {
      sendCode(*holder, ServerCode::LoginReplaced);
      core.takeOffline(*holder);
      admit(core, *user, welcome);
    }
  }
  core.online.clearAdmissionQueue();
}

}  // namespace velmor
