#pragma once

#include <cstdint>

#include "base/RelaxedCounter.h"

namespace velmor {

// The server's traffic and population figures. Written on the main loop; read without a
// lock by the status screen on the query worker and by the metrics endpoint on its own
// thread (relaxed atomics: a reader may see a value one update old, never a torn one).
class TrafficCounters {
 public:
  RelaxedCounter<std::uint32_t> users;  // connections that have a User
  RelaxedCounter<std::uint32_t> rooms;  // live rooms
  RelaxedCounter<std::uint64_t> packetsSent;
  RelaxedCounter<std::uint64_t> packetsReceived;
  RelaxedCounter<std::uint64_t> bytesSent;
  RelaxedCounter<std::uint64_t> bytesReceived;
  // Expired stored rooms taken out of the directory whose deletion is not done.
  RelaxedCounter<std::uint64_t> expiredToDelete;

  // Kept where rooms change (Membership, the relay, the room queries):
  RelaxedCounter<std::uint32_t> roomMembers;       // members of live rooms
  RelaxedCounter<std::uint32_t> channelFollowers;  // a user following three rooms counts 3
  RelaxedCounter<std::uint64_t> chatLinesRelayed;  // lines and whispers a pass delivered
  RelaxedCounter<std::uint64_t> expiredRoomsDeleted;
  RelaxedCounter<std::uint64_t> serverBans;  // entries of the server ban list (ServerBans)
  // Copied by every tick from the rooms' own bookkeeping: stored rooms of every state
  // (asleep, live, falling asleep, expired and not yet deleted) and the relay passes run.
  RelaxedCounter<std::uint64_t> storedRooms;
  RelaxedCounter<std::uint64_t> relayPasses;

  // Takes a new sample of the send and receive rates once a second has passed since the
  // last one. `nowMs`: loop time. Main loop only.
  void sampleRates(std::uint64_t nowMs);
  // KB/s over the last sampled second (0 before the first sample).
  double sendRate() const { return sendRate_.get(); }
  double receiveRate() const { return receiveRate_.get(); }

 private:
  RelaxedCounter<double> sendRate_;
  RelaxedCounter<double> receiveRate_;
  // Main loop only: the last sample.
  std::uint64_t sampleTime_ = 0;
  std::uint64_t sampledSent_ = 0;
  std::uint64_t sampledReceived_ = 0;
  bool sampled_ = false;
};

}  // namespace velmor
