#include "core/ServerCore.h"

#include <algorithm>

#include "base/Console.h"
#include "base/FatalExit.h"
#include "base/FixedText.h"
#include "core/Admission.h"
#include "model/BanCoding.h"
#include "net/GenericServer.h"
#include "rooms/UserRooms.h"
#include "users/User.h"

namespace velmor {

namespace {

RoomLimits roomLimits(const Settings& settings) {
  RoomLimits limits;
  limits.chatroommaxusers = settings.chatroommaxusers;
  limits.navroommaxusers = settings.navroommaxusers;
  limits.roomUpdateInterval = settings.roomUpdateInterval;
  limits.enemyupdateinterval = settings.enemyupdateinterval;
  limits.roomidletime = settings.roomidletime * 1000u;
  limits.roomExpiryTime = settings.roomExpiryTime;
  return limits;
}

int busyTimeoutOf(const Settings& settings) {
  return static_cast<int>(std::min<std::uint32_t>(settings.busytimeout, 3'600'000));
}

}  // namespace

CoreSettings::CoreSettings(const Settings& s)
    : userscancreateroom(s.userscancreateroom),
      limits(roomLimits(s)),
      publicAddressText(s.publicAddressText),
      serverport(s.serverport),
      websocketport(s.websocketport),
      tlsport(s.tlsport),
      secureWebSocket(s.tlsConfigured()) {
  copyText(servername, s.servername);
  copyText(adminpassword, s.adminpassword);
  copyText(serverpassword, s.serverpassword);
}

ServerCore::ServerCore(uv_loop_t* loop, const Settings& s, GenericServer& server)
    : loopClock_(loop),
      clock(loopClock_),
      settings(s),
      loginDeadlines(static_cast<std::uint64_t>(s.logintimeout) * 1000),
      fileDatabase_(std::make_unique<FileDatabase>(s.applicationDirectory, busyTimeoutOf(s))),
      mainDatabase_(std::make_unique<MainDatabase>(
          s.applicationDirectory,
          MainDatabase::Limits{settings.limits.chatroommaxusers, settings.limits.navroommaxusers,
                               settings.limits.roomExpiryTime},
          *fileDatabase_, sweepRequest_, clock, busyTimeoutOf(s))),
      pipeline_(
          std::make_unique<QueryPipeline>(loop, *mainDatabase_, *fileDatabase_, busyTimeoutOf(s))),
      roomServices_{clock, online, traffic, *pipeline_, settings.limits},
      serverBans(*pipeline_, traffic.serverBans),
      rooms(roomServices_, sweepRequest_),
      server_(server),
      startWallSeconds_(clock.wallSeconds()) {
  mainDatabase_->writeConfiguredRooms(s.rooms);
  mainDatabase_->loadServerBans(
      [this](std::uint64_t id, const BanEntry& ban) { serverBans.restore(id, ban); });
  mainDatabase_->loadStoredRooms([this](const RoomRecord& record, bool loadAtStartup) {
    Room* room = rooms.addAtStart(record, loadAtStartup);
    if (room == nullptr) {
      if (loadAtStartup) {
        consoleWrite("Room %s stays asleep: a room list holds no more live rooms.\n", record.name);
      }
      return;
    }
    // A room live from the start holds its stored files as a loaded one does: without
    // them its files could be neither read nor protected from being created over.
    if (std::unique_ptr<FileList> files = listFilesAtStart(fieldText(record.name)))
      room->setFiles(std::move(*files));
    room->setBans(bansAtStart(fieldText(record.name)));
  });
}

std::unique_ptr<FileList> ServerCore::listFilesAtStart(std::string_view roomName) {
  std::unique_ptr<FileList> files;
  for (int attempt = 0; attempt < kStartListingAttempts; ++attempt) {
    if (fileDatabase_->listFiles(roomName, files)) return files;
  }
  const std::string message = "Unable to read the files of room " + std::string(roomName) + ".";
  fatalExit(message.c_str());
}

BanList ServerCore::bansAtStart(std::string_view roomName) {
  std::string stored;
  BanList bans;
  if (!mainDatabase_->readRoomBans(roomName, stored)) {
    const std::string message = "Unable to read the bans of room " + std::string(roomName) + ".";
    fatalExit(message.c_str());
  }
  if (!decodeBans(stored, bans)) {
    consoleWrite("The stored bans of room %.*s are damaged: those after the damage are lost.\n",
                 static_cast<int>(roomName.size()), roomName.data());
  }
  return bans;
}

ServerCore::~ServerCore() {
  pipeline_->stop();  // the last completions still reach the rooms
}

void ServerCore::startWorker(QueryPipeline::WorkerHooks hooks) {
  pipeline_->start(std::move(hooks));
}

void ServerCore::userConnected(User& user) {
  loginDeadlines.start(user, clock.nowMs());
}

void ServerCore::takeOffline(User& user) {
  user.releasePendingQueries();
  UserRooms::leaveRoom(user, LeaveReason::Offline);
  UserRooms::dropAllChannels(user);
  online.remove(user);
  online.forgetLogin(user);
  if (user.connected) loginDeadlines.start(user, clock.nowMs());
}

void ServerCore::forgetUser(User& user) {
  online.dropFromAdmissionQueue(user);
  takeOffline(user);
  loginDeadlines.stop(user);
}

void ServerCore::tick() {
  if (!pipeline_->workerStarted()) return;
  const std::uint64_t started = uv_hrtime();
  clock.refresh();
  const std::uint64_t now = clock.nowMs();
  traffic.sampleRates(now);
  rooms.tick(now, clock.wallSeconds());
  admitWaitingUsers(*this);
  loginDeadlines.expire(now, [this](User& late) { server_.closeClient(late.client); });
  traffic.storedRooms.set(rooms.roomCount());
  traffic.relayPasses.set(roomServices_.relayPasses);
  tickTimes.record(uv_hrtime() - started);
}

std::uint64_t ServerCore::uptimeSeconds() const {
  return static_cast<std::uint32_t>(clock.wallSeconds() - startWallSeconds_);
}

bool ServerCore::storageTakes(const User& user) const {
  return !(storageFailing() && user.queriesAtBound());
}

}  // namespace velmor
