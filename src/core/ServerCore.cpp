#include "core/ServerCore.h"

#include <algorithm>

#include "base/FixedText.h"
#include "users/User.h"
#include "rooms/RoomRegistry.h"
#include "rooms/RoomTick.h"
#include "core/Completions.h"
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
  uv_loop_t* loop = server.loop();
  clockSource_ = {[loop] { return uv_now(loop); }, [] { return wallClockSeconds(); }};
  copyText(servername, settings.servername);
  copyText(adminpassword, settings.adminpassword);
  copyText(serverpassword, settings.serverpassword);

  fileDatabase = std::make_unique<FileDatabase>(settings.applicationDirectory);
  mainDatabase = std::make_unique<MainDatabase>(
      settings.applicationDirectory,
      MainDatabase::Limits{chatroommaxusers, navroommaxusers, roomExpiryTime}, *fileDatabase,
      sweepRequested);
  mainDatabase->writeConfiguredRooms(settings.rooms);
  startTime = rateSampleTime = now();
  clock = static_cast<std::uint32_t>(startTime);
  mainDatabase->loadStoredRooms([this](const RoomRecord& record, bool loadAtStartup) {
    if (loadAtStartup) {
      // A room live from the start holds its stored files as a loaded one does: without
      // them its files could be neither read nor protected from being created over.
      Room& room = makeLive(*this, record);
      if (auto files = fileDatabase->listFiles(fieldText(record.name))) room.files = std::move(*files);
    } else {
      addStoredRoom(*this, record);
    }
  });
  pipeline = std::make_unique<QueryPipeline>(
      server.loop(), *mainDatabase, *fileDatabase,
      [this](VelmorBaseQuery& query) { return completeQuery(query, *this); });
}

ServerCore::~ServerCore() {
  pipeline.reset();  // stops and joins the worker before the databases close
}

void ServerCore::startWorker(QueryPipeline::WorkerHooks hooks) {
  pipeline->start(std::move(hooks));
}

void ServerCore::postQuery(User* owner, VelmorBaseQuery* query) {
  query->owner = owner;
  if (owner != nullptr) owner->pendingQueries.push_back(query);
  pipeline->post(query);
}

void ServerCore::releasePendingQueries(User& user) {
  for (VelmorBaseQuery* query : user.pendingQueries) {
    if (query->servesOwnerOnly()) {
      query->cancelled.store(true, std::memory_order_release);
    } else {
      query->owner = nullptr;
    }
  }
  user.pendingQueries.clear();
}

void ServerCore::takeOffline(User& user) {
  releasePendingQueries(user);
  if (user.room != nullptr) leave(*user.room, user);
  while (user.channelCount > 0) dropChannel(user, *user.chatChannels[0]);
  user.currentChannel = nullptr;
  if (user.loggedIn) {
    user.loggedIn = 0;
    eraseUser(onlineList, &user);
    auto entry = onlineMap.find(user.nameKey);
    if (entry != onlineMap.end() && entry->second == &user) onlineMap.erase(entry);
  }
  user.clearLoginGrants();
}

void ServerCore::forgetUser(User& user) {
  if (user.admissionPending) {
    eraseUser(admissionQueue, &user);
    user.admissionPending = 0;
  }
  takeOffline(user);
}

void ServerCore::sampleTrafficRates(std::uint64_t now) {
  constexpr std::uint64_t kSamplePeriodMs = 1000;
  if (now - rateSampleTime < kSamplePeriodMs) return;
  const double seconds = static_cast<double>(now - rateSampleTime) / 1000.0;
  sendRate = static_cast<double>(bytesSent.get() - rateBytesSent) / 1024.0 / seconds;
  receiveRate = static_cast<double>(bytesReceived.get() - rateBytesReceived) / 1024.0 / seconds;
  rateBytesSent = bytesSent.get();
  rateBytesReceived = bytesReceived.get();
  rateSampleTime = now;
}

void ServerCore::tick() {
  if (!pipeline->workerStarted()) return;
  const std::uint64_t loopNow = now();
  clock = static_cast<std::uint32_t>(loopNow);
  sampleTrafficRates(loopNow);
  roomTick(*this, loopNow, wallSeconds());
}

}  // namespace velmor
