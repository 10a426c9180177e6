// The admission step: users whose login finished are welcomed and put online.
#include <algorithm>

#include "base/FixedText.h"
#include "protocol/Login.h"
#include "wire/MessageBuilder.h"
#include "users/Sending.h"
#include "users/User.h"
#include "rooms/RoomEntry.h"
#include "rooms/RoomRegistry.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {

using wire::ServerCode;

// ServerInfo and the list of live rooms: the same frame for everyone admitted in a step.
void buildWelcome(const ServerCore& core, MessageBuilder& welcome) {
  welcome.begin(ServerCode::ServerInfo)
      .string(fieldText(core.servername))
      .u16(static_cast<std::uint16_t>(core.chatroommaxusers))
      .u16(static_cast<std::uint16_t>(core.navroommaxusers))
      .u8(core.userscancreateroom ? 1 : 0);
  writeRoomList(core, welcome);
  welcome.finish();
}

void admit(ServerCore& core, User& user, const MessageBuilder& welcome) {
  user.sendFrames(welcome.data(), welcome.size(), welcome.frameCount());
  user.admissionPending = 0;
  user.loggedIn = 1;
  core.onlineMap[user.nameKey] = &user;
  core.onlineList.push_back(&user);
}

}  // namespace

void admitWaitingUsers(ServerCore& core) {
  if (core.admissionQueue.empty()) return;
  MessageBuilder welcome;
  buildWelcome(core, welcome);
  for (User* user : core.admissionQueue) {
    auto online = core.onlineMap.find(user->nameKey);
    if (online == core.onlineMap.end()) {
      admit(core, *user, welcome);
    } else if (!user->isMember) {
      sendCode(*user, ServerCode::NameInUse);  // stays waiting; no further login here
    } else {
      User& replaced = *online->second;
      sendCode(replaced, ServerCode::LoginReplaced);
      core.takeOffline(replaced);
      admit(core, *user, welcome);
    }
  }
  core.admissionQueue.clear();
}

}  // namespace velmor
