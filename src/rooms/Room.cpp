#include "rooms/Room.h"

#include "base/FixedText.h"
#include "users/User.h"

namespace velmor {

namespace {
constexpr std::uint32_t kResetLeadMs = 3000;
}

Room::Room(const RoomRecord& roomRecord, RoomServices& roomServices, std::uint64_t roomSerial)
    : record(roomRecord),
      serial(roomSerial),
      hasPassword(roomRecord.password[0] != '\0'),
      announcedHasPassword(hasPassword),
      resetTime(roomServices.clock.ms() - kResetLeadMs),
      memberCheckTime(roomServices.clock.ms()),
      services(roomServices) {}

Room::~Room() {
  releaseRelayState();
}

void Room::releaseRelayState() {
  chatQueue.clear();
  for (Ref<ChatLine>& line : recentLines) line.reset();
  objects.clear();
  staleObjects = 0;
}

const BanEntry* Room::findBan(const User& user) const {
  return banList.findAddressOrName(user.address, fieldText(user.identity.name));
}

void Room::noteUse() {
  record.lastAccessed = services.clock.wallSeconds();
  lastAccessSaved = false;
}

void Room::queueChat(const Ref<ChatLine>& line) {
  chatQueue.push_back(line);
  if (relay.chatPending) return;
  relay.chatPending = 1;
  if (services.activity != nullptr) services.activity->chatQueued(*this);
}

std::uint32_t Room::typeLimit() const {
  return record.navigation ? services.limits.navroommaxusers : services.limits.chatroommaxusers;
}

}  // namespace velmor
