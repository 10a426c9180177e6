#include "users/Sending.h"

#include "users/User.h"
#include "core/ServerCore.h"

namespace velmor {

bool sendTo(User& user, MessageBuilder& builder) {
  if (!builder.hasMessage()) return false;
  builder.finish();
  return user.sendFrames(builder.data(), builder.size(), builder.frameCount());
}

void broadcastOnline(ServerCore& core, MessageBuilder& builder) {
  if (!builder.hasMessage()) return;
  builder.finish();
  for (User* user : core.onlineList)
    user->sendFrames(builder.data(), builder.size(), builder.frameCount());
}

bool sendCode(User& user, wire::ServerCode code) {
  const auto value = static_cast<std::uint16_t>(code);
  char frame[4];
  std::size_t length;
  if (value >= 0xFF) {
    frame[0] = 2;
    frame[2] = static_cast<char>(wire::kExtendedCodePrefix);
    frame[3] = static_cast<char>(value & 0xFF);
    length = 4;
  } else {
    frame[0] = 1;
    frame[2] = static_cast<char>(value);
    length = 3;
  }
  frame[1] = 0;
  return user.sendFrames(frame, length, 1);
}

}  // namespace velmor
