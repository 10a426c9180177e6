#pragma once

#include <cstdint>
#include <vector>

#include "app/Settings.h"
#include "net/RelaxedCounter.h"
#include "protocol/BanEntry.h"

namespace velmor {

class User;
class VelmorServer;

// The state every subsystem of the server reaches: traffic counters, the copies of the
// settings, the users online, the ban list, the clock. One per VelmorServer, built with it.
//
// Threads: the main loop owns everything here. The counters are also read, without a
// lock, by the status screen on the worker thread (RelaxedCounter).
class ServerCore {
 public:
  ServerCore(VelmorServer& server, const Settings& settings);
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Removes a user that is going away from every list that may still name it.
  void forgetUser(User& user);

  // Periodic processing, every 20 ms on the main loop.
  void tick();

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
  std::vector<User*> onlineList;  // admitted users, in order of admission
  std::vector<User*> admissionQueue;
  std::vector<BanEntry> serverBans;
};

}  // namespace velmor
