#include "server/ServerCore.h"

#include <algorithm>

#include "net/FixedText.h"
#include "protocol/User.h"
#include "server/VelmorServer.h"

namespace velmor {

namespace {
void eraseUser(std::vector<User*>& list, User* user) {
  list.erase(std::remove(list.begin(), list.end(), user), list.end());
}
}  // namespace

ServerCore::ServerCore(VelmorServer& owner, const Settings& settings)
    : server(owner),
      chatroommaxusers(settings.chatroommaxusers),
      navroommaxusers(settings.navroommaxusers),
      roomUpdateInterval(settings.roomUpdateInterval),
      enemyupdateinterval(settings.enemyupdateinterval),
      userscancreateroom(settings.userscancreateroom),
      roomidletime(settings.roomidletime * 1000u),
      roomExpiryTime(settings.roomExpiryTime) {
  copyText(servername, settings.servername);
  copyText(adminpassword, settings.adminpassword);
  copyText(serverpassword, settings.serverpassword);
}

ServerCore::~ServerCore() = default;

void ServerCore::forgetUser(User& user) {
  if (user.admissionPending) eraseUser(admissionQueue, &user);
  if (user.loggedIn) eraseUser(onlineList, &user);
}

void ServerCore::tick() {
  clock = static_cast<std::uint32_t>(uv_now(server.loop()));
}

}  // namespace velmor
