#pragma once

#include <uv.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/TrafficCounters.h"
#include "core/LoginCounts.h"
#include "core/ServerBans.h"
#include "core/TickTimes.h"
#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "db/QueryPipeline.h"
#include "rooms/RoomRegistry.h"
#include "rooms/RoomServices.h"
#include "settings/Settings.h"
#include "users/LoginDeadlines.h"
#include "users/OnlineUsers.h"

namespace velmor {

class GenericServer;
class User;

// The copies of the settings that the requests go by; constant after construction. The
// texts are cut to what the protocol holds (63 characters for the name, 31 for passwords).
struct CoreSettings {
  explicit CoreSettings(const Settings& settings);

  char servername[64] = {};
  char adminpassword[32] = {};   // empty: not set
  char serverpassword[32] = {};  // empty: not set
  bool userscancreateroom = false;
  RoomLimits limits;
  std::string publicAddressText;  // for the status text
  std::uint32_t serverport = 0;
  std::uint32_t websocketport = 0;  // 0: off
  std::uint32_t tlsport = 0;        // 0: off
  bool secureWebSocket = false;     // the WebSocket port speaks wss
};

// The state every request reaches, as components that each keep their own invariants:
//   clock       the one source of time (ServerClock)
//   traffic     the traffic and population counters (read by the status screen too)
//   logins      how logins and registrations ended (a figure)
//   settings    the copies of the settings
//   online      who is online and who waits for admission (OnlineUsers)
//   serverBans  the server ban list and its storage (ServerBans)
//   rooms       live and stored rooms and their periodic processing (RoomRegistry)
//   queries()   where database work goes (the query pipeline and its worker)
// and the operations that span several of them: a user going offline or away, and the
// 20 ms tick. One per VelmorServer, built with it: the constructor opens the databases,
// writes the configured rooms and loads the stored ones (failures end the process through
// fatalExit).
//
// Threads: the main loop owns everything here. The counters (traffic, logins, tickTimes,
// the online counts, the pipeline's figures) are also read, without a lock, by the status
// screen on the worker thread and the metrics endpoint on its own; the databases belong to
// the worker once it runs. Destruction stops and joins the worker (dispatching the last
// completions, which may still touch the rooms) before anything else goes.
class ServerCore {
 public:
  ServerCore(uv_loop_t* loop, const Settings& settings, GenericServer& server);
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

 private:
  LoopClock loopClock_;  // the default source of `clock`; declared first, built first

 public:
  ServerClock clock;
  TrafficCounters traffic;
  LoginCounts logins;
  TickTimes tickTimes;  // how long the last ticks took (read by the status text)
  const CoreSettings settings;
  OnlineUsers online;
  LoginDeadlines loginDeadlines;  // connections that must log in by a time

 private:
  std::atomic<bool> sweepRequest_{false};  // the worker's expiry-sweep request to the rooms
  std::unique_ptr<FileDatabase> fileDatabase_;
  std::unique_ptr<MainDatabase> mainDatabase_;
  std::unique_ptr<QueryPipeline> pipeline_;
  RoomServices roomServices_;

 public:
  ServerBans serverBans;  // read back from the storage by the constructor
  RoomRegistry rooms;

  QueryPoster& queries() { return *pipeline_; }
  QueryPipeline& pipeline() { return *pipeline_; }
  const QueryPipeline& pipeline() const { return *pipeline_; }
  // Starts the query worker (after the server's handles exist).
  void startWorker(QueryPipeline::WorkerHooks hooks = {});

  // A connection was accepted: its time to log in starts.
  void userConnected(User& user);
  // The one place a user stops being online (replaced by a later login of his account,
  // thrown off the server): he leaves his room and his channels, his pending queries are
  // let go, he leaves the online list and map, and what his login granted is forgotten
  // (OnlineUsers::forgetLogin). He stays connected and may log in again, judged afresh, within
  // the login time, which starts again.
  void takeOffline(User& user);
  // The same for a user whose connection closed, who also leaves the admission queue.
  void forgetUser(User& user);

  // Periodic processing, every 20 ms on the main loop: the clock's reading, the traffic
  // rates, the rooms' processing, the admission of waiting users, then the connections whose
  // time to log in has passed are closed; the rooms' counts are copied into the traffic
  // counters, and its duration goes to tickTimes.
  void tick();

  // What the status text and the status screen show. Any thread (it reads counters).
  std::uint64_t uptimeSeconds() const;
  // When the server started (seconds since 1970). Any thread.
  std::uint32_t startedAt() const { return startWallSeconds_; }
  std::uint64_t storageWaiting() const { return pipeline_->waiting(); }
  // The storage fails now: work waits for it to take it again. Then a user whose queries in
  // flight are at their bound is read and served all the same, and his further work that
  // answers him (a room creation, a file's content to load) is refused at once
  // (storageTakes); while the storage serves, his requests wait for his queries instead.
  bool storageFailing() const { return pipeline_->waiting() != 0; }
  bool storageTakes(const User& user) const;
  const GenericServer& connections() const { return server_; }

 private:
  // A room live from the start comes up with its files or not at all: a listing the
  // storage failed is tried again (each try waits out the busy timeout), then the start
  // ends with a message.
  static constexpr int kStartListingAttempts = 3;
  std::unique_ptr<FileList> listFilesAtStart(std::string_view roomName);
  // The stored bans of a room live from the start (a failed read ends the start).
  BanList bansAtStart(std::string_view roomName);

  GenericServer& server_;
  const std::uint32_t startWallSeconds_;
};

}  // namespace velmor
