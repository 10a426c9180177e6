#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "settings/Settings.h"
#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "db/QueryPipeline.h"
#include "base/RelaxedCounter.h"
#include "model/BanEntry.h"
#include "rooms/Room.h"

namespace velmor {

class User;
class VelmorServer;

// The state every subsystem of the server reaches: traffic counters, the copies of the
// settings, the databases and the query pipeline, the room registries, the users online,
// the ban list, the clock. One per VelmorServer, built with it: the constructor opens the
// databases, writes the configured rooms and loads the stored ones (failures end the
// process through fatalExit).
//
// Threads: the main loop owns everything here. The counters are also read, without a
// lock, by the status screen on the worker thread (RelaxedCounter); the databases belong
// to the query worker once it runs. Destruction stops and joins the worker before the
// databases close.
class ServerCore {
 public:
  ServerCore(VelmorServer& server, const Settings& settings);
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Starts the query worker (after the server's handles exist).
  void startWorker(QueryPipeline::WorkerHooks hooks = {});
  // Hands a query to the worker; a query with an owner joins its pending queries.
  void postQuery(User* owner, VelmorBaseQuery* query);

  // The one place a user stops being online (replaced by a later login of his account,
  // thrown off the server): he leaves his room and his channels, leaves the online list and
  // map, his pending queries are let go, and what his login granted is forgotten. He stays
  // connected and may log in again, judged afresh.
  void takeOffline(User& user);
  // Removes a user that is going away (his connection closed) from every list that may
  // still name him; his pending queries are let go as in takeOffline.
  void forgetUser(User& user);

  // Periodic processing, every 20 ms on the main loop.
  void tick();

  // The clocks every timing rule reads: loop milliseconds and wall-clock seconds. Tests
  // replace them to move time.
  struct ClockSource {
    std::function<std::uint64_t()> loopMs;
    std::function<std::uint32_t()> wallSeconds;
  };
  void setClockSource(ClockSource source) { clockSource_ = std::move(source); }
  std::uint64_t now() const { return clockSource_.loopMs(); }
  std::uint32_t wallSeconds() const { return clockSource_.wallSeconds(); }
  void sampleTrafficRates(std::uint64_t now);

  VelmorServer& server;

  // Traffic and population counters: written on the main loop, read by the status screen.
  RelaxedCounter<std::uint32_t> userCount;
  RelaxedCounter<std::uint32_t> roomCount;
  RelaxedCounter<std::uint64_t> packetsSent;
  RelaxedCounter<std::uint64_t> packetsReceived;
  RelaxedCounter<std::uint64_t> bytesSent;
  RelaxedCounter<std::uint64_t> bytesReceived;

  // Copies of the settings; constant after construction.
  std::uint32_t chatroommaxusers;
  std::uint32_t navroommaxusers;
  std::uint32_t roomUpdateInterval;   // ms
  std::uint32_t enemyupdateinterval;  // ms
  bool userscancreateroom;
  std::uint32_t roomidletime;    // ms (the setting times 1000, kept in 32 bits)
  std::uint32_t roomExpiryTime;  // s
  char servername[64] = {};
  char adminpassword[32] = {};   // empty: not set
  char serverpassword[32] = {};  // empty: not set

  // Main loop only.
  std::uint32_t clock = 0;  // loop time in ms, cut to 32 bits; refreshed by every tick
  std::uint32_t relaySequence = 0;
  std::vector<User*> onlineList;                     // admitted users, in order of admission
  std::unordered_map<std::string, User*> onlineMap;  // nameKey -> online user
  std::vector<User*> admissionQueue;
  std::uint64_t startTime = 0;  // loop ms at construction
  // Traffic rates in KB/s over the last second, sampled by the tick.
  double sendRate = 0;
  double receiveRate = 0;
  std::uint64_t rateSampleTime = 0;
  std::uint64_t rateBytesSent = 0;
  std::uint64_t rateBytesReceived = 0;
  std::vector<BanEntry> serverBans;

  // Room registries (keys: lower-case names).
  std::vector<std::unique_ptr<Room>> liveRooms;  // position = room number
  std::vector<Room*> newRooms;                   // made live since the last tick
  std::unordered_map<std::string, Room*> liveRoomMap;
  std::vector<std::unique_ptr<RoomRecord>> roomDirectory;  // stored rooms not live
  std::unordered_map<std::string, RoomRecord*> storedRoomMap;
  std::uint64_t sweepTime = 0;              // loop ms of the last expiry sweep
  std::uint64_t touchTime = 0;              // loop ms of the last hourly save
  std::atomic<bool> sweepRequested{false};  // raised by the worker when a load finds a room expired

  // Declared last but one: destroyed (stopped and joined) before the databases.
  std::unique_ptr<FileDatabase> fileDatabase;
  std::unique_ptr<MainDatabase> mainDatabase;
  std::unique_ptr<QueryPipeline> pipeline;

 private:
  // Lets go of a user's pending queries: those that only serve him are cancelled; those
  // that carry a change already acknowledged, or that others depend on, run to completion
  // without him.
  void releasePendingQueries(User& user);

  ClockSource clockSource_;
};

}  // namespace velmor
