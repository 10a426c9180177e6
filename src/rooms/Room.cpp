// What members do in a room, its files, and its life; membership is in RoomMembership.cpp.
#include "rooms/Room.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/FixedText.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

namespace {
constexpr std::uint32_t kResetLeadMs = 3000;
constexpr std::uint32_t kResetSettleMs = 2000;
constexpr std::uint32_t kObjectReplaceAgeMs = 7'200'000;

bool same(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}
}  // namespace

Room::Room(const RoomRecord& roomRecord, RoomServices& roomServices, std::uint64_t roomSerial)
    : serial_(roomSerial),
      services_(roomServices),
      record_(roomRecord),
      hasPassword_(roomRecord.password[0] != '\0'),
      resetTime_(roomServices.clock.ms() - kResetLeadMs),
      memberCheckTime_(roomServices.clock.ms()),
      announcedHasPassword_(hasPassword_) {}

Room::~Room() {
  releaseRelayState();
}

void Room::releaseRelayState() {
  chatQueue_.clear();
  for (Ref<ChatLine>& line : recentLines_) line.reset();
  objects_.clear();
  staleObjects_ = 0;
  checkInvariants();
}

const BanEntry* Room::findBan(const User& user) const {
  return banList_.findAddressOrName(user.address(), fieldText(user.identity().name));
}

std::uint32_t Room::typeLimit() const {
  return record_.navigation ? services_.limits.navroommaxusers : services_.limits.chatroommaxusers;
}

bool Room::admitsFollower(const char* password) const {
  return !hasPassword_ || same(password, record_.password) ||
         same(password, record_.leaderPassword);
}

void Room::noteUse() {
  record_.lastAccessed = services_.clock.wallSeconds();
  lastAccessSaved_ = false;
}

// --- chat ------------------------------------------------------------------------------------

void Room::say(const Ref<ChatLine>& line) {
  chatQueue_.push_back(line);
  if (!pending_.chatPending) {
    pending_.chatPending = 1;
    if (services_.activity != nullptr) services_.activity->chatQueued(*this);
  }
  checkInvariants();
}

void Room::whisper(const Ref<ChatLine>& line) {
  say(line);  // the recipient in the line tells it from the room's lines
}

// --- members' reports --------------------------------------------------------------------------

void Room::moved(User& member, const User::Position& position, std::uint32_t now) {
  member.relay_.presenceChanged = isNavigation() ? 1 : 0;
  if (member.relay().presenceChanged) pending_.memberStateChanged = 1;
  member.relay_.lastMoved = now;
  member.position_ = position;
  checkInvariants();
}

void Room::appearanceChanged(User& member, const User::Appearance& appearance) {
  member.appearance_ = appearance;
  member.relay_.presenceChanged = isNavigation() ? 1 : 0;
  if (member.relay().presenceChanged) {
    member.relay_.appearanceChanged = 1;
    pending_.memberStateChanged = 1;
  }
  checkInvariants();
}

void Room::noteActivity(const User& member) {
  if (member.relay().motion.quiet) pending_.activityNoted = 1;
}

bool Room::setLeader(User& member, const char* password) {
  std::uint8_t leader = 0;
  // An unset leader password admits nobody, as at joining.
  if (record_.leaderPassword[0] != '\0' && same(password, record_.leaderPassword)) {
    leader = 1;
  } else if (hasPassword_ && !same(password, record_.password)) {
    return false;
  }
  if (leader == member.rights().isLeader) return true;
  member.rights_.isLeader = leader;
  member.relay_.appearanceChanged = 1;
  member.relay_.presenceChanged = 1;
  pending_.memberStateChanged = 1;
  checkInvariants();
  return true;
}

bool Room::settledSinceReset() const {
  return services_.clock.ms() - resetTime_ > kResetSettleMs;
}

ObjectEntry* Room::objectToReport(std::string_view name, std::uint32_t clock) {
  for (ObjectEntry& o : objects_) {
    if (fieldText(o.name) == name) return &o;
  }
  if (objects_.empty()) return nullptr;
  ObjectEntry* oldest = &objects_[0];
  for (ObjectEntry& o : objects_) {
    if (clock - o.lastReport >= clock - oldest->lastReport) oldest = &o;
  }
  if (clock - oldest->lastReport < kObjectReplaceAgeMs && objects_.size() < kMaxObjects)
    return nullptr;
  copyText(oldest->name, name);
  oldest->nameReplaced = 1;
  oldest->changed = 1;
  pending_.objectsChanged = 1;
  return oldest;
}

void Room::reportObject(std::string_view name, const ObjectPlace& place) {
  // Objects are of navigation rooms: a chat room would never relay nor clear them.
  if (!isNavigation() || !settledSinceReset()) return;
  const std::uint32_t clock = services_.clock.ms();
  ObjectEntry* entry = objectToReport(name, clock);
  if (entry == nullptr) {
    ObjectEntry& added = objects_.emplace_back();
    copyText(added.name, name);
    added.place = added.previous = place;
    added.lastReport = clock;
    pending_.objectsChanged = 1;
    checkInvariants();
    return;
  }
  if (entry->place != place) {
    entry->place = place;
    entry->changed = 1;
    pending_.objectsChanged = 1;
  }
  entry->lastReport = clock;
  pending_.objectsReported = 1;
  checkInvariants();
}

void Room::reportEnemy(const User& reporter, const ObjectPlace& place) {
  // Enemies, like objects, are of navigation rooms.
  if (!isNavigation() || enemyReports_.size() >= kMaxEnemyReports) return;
  enemyReports_.push_back(EnemyReport{place, reporter.roomSlot()});
  pending_.enemiesPending = 1;
  checkInvariants();
}

void Room::refresh() {
  if (settledSinceReset()) pending_.refreshRequested = 1;
}

// --- passwords and the lock ------------------------------------------------------------------

bool Room::setPasswords(const User& by, const char (&password)[32],
                        const char (&leaderPassword)[32]) {
  if (leaderPassword[0] == '\0' ? same(password, record_.leaderPassword)
                                : same(leaderPassword, password)) {
    return false;
  }
  if (!by.rights().isAdmin && !by.rights().isLeader && !isCreatorOf(record_, by.identity().name))
    return false;
  const std::uint8_t locked = password[0] != '\0' ? 1 : 0;
  if (locked != hasPassword_) {
    hasPassword_ = locked;
    announceLock();
  }
  copyText(record_.password, fieldText(password));
  if (leaderPassword[0] != '\0') copyText(record_.leaderPassword, fieldText(leaderPassword));
  checkInvariants();
  return true;
}

void Room::announceLock() {
  lockAnnouncementDue_ = 0;
  // A room not yet announced has no number the users know; its opening carries the lock.
  if (awaitingAnnouncement_ || hasPassword_ == announcedHasPassword_) return;
  if (lockAnnouncedTick_ == services_.ticks) {
    if (!lockAnnouncementDue_ && services_.activity != nullptr)
      services_.activity->lockChangeLeft(*this);
    lockAnnouncementDue_ = 1;
    return;
  }
  MessageBuilder lock;
  lock.begin(wire::ServerCode::RoomLockChanged)
      .u16(static_cast<std::uint16_t>(roomNumber_))
      .u8(hasPassword_);
  broadcastOnline(services_.online, lock);
  announcedHasPassword_ = hasPassword_;
  lockAnnouncedTick_ = services_.ticks;
}

void Room::announced() {
  awaitingAnnouncement_ = 0;
  announcedHasPassword_ = hasPassword_;
  lockAnnouncementDue_ = 0;
}

// --- files -----------------------------------------------------------------------------------

const Ref<FileRecord>* Room::findFile(const char* name) const {
  for (const Ref<FileRecord>& file : files_) {
    if (std::strcmp(file->fileName, name) == 0) return &file;
  }
  return nullptr;
}

void Room::addFile(const Ref<FileRecord>& file) {
  files_.push_back(file);
}

void Room::replaceFile(const Ref<FileRecord>* listed, const Ref<FileRecord>& file) {
  files_[static_cast<std::size_t>(listed - files_.data())] = file;
}

Ref<FileRecord> Room::removeFile(const Ref<FileRecord>* listed) {
  const auto place = files_.begin() + (listed - files_.data());
  Ref<FileRecord> file = std::move(*place);
  files_.erase(place);
  return file;
}

void Room::setFiles(FileList files) {
  files_ = std::move(files);
}

FileList Room::takeFiles() {
  return std::move(files_);
}

// --- invariants ------------------------------------------------------------------------------

#ifdef VELMOR_CHECK_INVARIANTS

namespace {
// A broken invariant is a bug of the room's own code: the build that checks stops at it.
void require(bool holds, const char* invariant, const Room& room) {
  if (holds) return;
  std::fprintf(stderr, "Room %s: invariant broken: %s\n", room.record().name, invariant);
  std::abort();
}
}  // namespace

// Checked at the end of each verb and of each relay pass; a broken invariant aborts with its
// name.
void Room::checkInvariants() const {
  // Membership: at most 255 members, each seated at his index, in this room, and counted
  // idle exactly when his motion is quiet; a joiner not yet served means a pass is due.
  require(members_.size() <= kMaxMembers, "members within their limit", *this);
  std::size_t quiet = 0;
  for (std::size_t slot = 0; slot < members_.size(); ++slot) {
    const User& member = *members_[slot];
    require(member.room() == this, "a member's room is this one", *this);
    require(member.roomSlot() == slot, "seats dense and equal to indexes", *this);
    if (member.relay().motion.quiet) ++quiet;
    require(!member.relay().fullStateDue || pending_.membersJoined,
            "a joiner not yet served has a pass due", *this);
  }
  require(quiet == idleMembers_, "the idle count is the count of quiet members", *this);
  // Channel followers: each follows this room, once, within his limit of channels.
  for (const User* follower : channelMembers_) {
    require(follower->channels().count <= User::kMaxChannels, "channels within their limit", *this);
    require(follows(*follower), "a channel member follows the room", *this);
    require(std::count(channelMembers_.begin(), channelMembers_.end(), follower) == 1,
            "a follower is listed once", *this);
  }
  // Objects and enemies: within their limits; stale objects counted exactly.
  require(objects_.size() <= kMaxObjects, "objects within their limit", *this);
  const auto stale = std::count_if(objects_.begin(), objects_.end(),
                                   [](const ObjectEntry& o) { return o.motion.quiet != 0; });
  require(static_cast<std::size_t>(stale) == staleObjects_,
          "the stale count is the count of quiet objects", *this);
  require(enemyReports_.size() <= kMaxEnemyReports, "enemy reports within their limit", *this);
  for (const EnemyReport& report : enemyReports_)
    require(report.reporterSlot < members_.size(), "an enemy report names a seat", *this);
  // Pending work agrees with the queues: whatever waits in one has its pass due.
  require(chatQueue_.empty() || pending_.chatPending, "queued lines have a pass due", *this);
  require(enemyReports_.empty() || pending_.enemiesPending, "enemy reports have a pass due", *this);
  require(departedSlots_.empty() || pending_.membersDeparted, "departures have a pass due", *this);
}

#else

void Room::checkInvariants() const {}

#endif

}  // namespace velmor
