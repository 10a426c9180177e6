#include "support/RoomBed.h"

#include "base/FixedText.h"
#include "model/Names.h"
#include "rooms/UserRooms.h"
#include "support/RoomProbe.h"
#include "support/UserProbe.h"

namespace velmor::test {

std::vector<std::string> RoomBed::Member::takeFrames() {
  return std::move(frames_);
}

bool RoomBed::Member::writeFrames(const char* data, std::size_t length) {
  if (!recording) return true;
  // One or more frames back to back: keep each payload.
  for (std::size_t at = 0; at + 2 <= length;) {
    const std::size_t payload = static_cast<std::uint8_t>(data[at]) |
                                static_cast<std::size_t>(static_cast<std::uint8_t>(data[at + 1]))
                                    << 8;
    frames_.emplace_back(data + at + 2, payload);
    at += 2 + payload;
  }
  return true;
}

RoomBed::KeptQueries::~KeptQueries() {
  for (VelmorBaseQuery* query : queries_) delete query;
}

void RoomBed::KeptQueries::post(QueryOwner*, VelmorBaseQuery* query) {
  queries_.push_back(query);
}

void RoomBed::KeptQueries::completeAll() {
  std::vector<VelmorBaseQuery*> due;
  due.swap(queries_);
  for (VelmorBaseQuery* query : due) {
    if (!query->deliver()) delete query;
  }
}

RoomBed::RoomBed() {
  clock.refresh();
}

RoomBed::~RoomBed() {
  for (auto& member : users_) {
    UserRooms::leaveRoom(*member, LeaveReason::Offline);
    UserRooms::dropAllChannels(*member);
    online.remove(*member);
  }
  queries.completeAll();  // the rooms that went to sleep come back, to go with the registry
}

RoomBed::Member& RoomBed::user(std::string_view name) {
  users_.push_back(std::make_unique<Member>(traffic));
  Member& member = *users_.back();
  copyText(UserProbe::identity(member).name, name);
  lowerName(UserProbe::identity(member).nameKey, name);
  UserProbe::rights(member).isMember = 1;
  online.queueForAdmission(member);
  online.admit(member);
  online.clearAdmissionQueue();
  return member;
}

Room& RoomBed::room(std::string_view name, bool navigation, std::string_view leaderPassword) {
  return rooms.makeLive(makeRoomRecord(name, "bed", "", leaderPassword, 64, navigation, false));
}

void RoomBed::advanceMs(std::uint64_t ms) {
  manual.advanceMs(ms);
  clock.refresh();
}

}  // namespace velmor::test
