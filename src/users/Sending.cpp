#include "users/Sending.h"

#include "base/FixedText.h"
#include "model/BanEntry.h"
#include "users/OnlineUsers.h"
#include "users/User.h"

namespace velmor {

bool sendTo(User& user, MessageBuilder& builder) {
  if (!builder.hasMessage()) return false;
  builder.finish();
  return user.sendFrames(builder.data(), builder.size(), builder.frameCount());
}

void broadcastOnline(const OnlineUsers& online, MessageBuilder& builder) {
  if (!builder.hasMessage()) return;
  builder.finish();
  for (User* user : online.list())
    user->sendFrames(builder.data(), builder.size(), builder.frameCount());
}

bool sendCode(User& user, wire::ServerCode code) {
  MessageBuilder frame;
  frame.begin(code);
  return sendTo(user, frame);
}

bool sendBanned(User& user, const BanEntry& ban) {
  MessageBuilder frame;
  frame.begin(wire::ServerCode::Banned).string(fieldText(ban.name));
  return sendTo(user, frame);
}

}  // namespace velmor
