#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/TrafficCounters.h"
#include "db/Queries.h"
#include "rooms/RoomRegistry.h"
#include "rooms/RoomServices.h"
#include "users/OnlineUsers.h"
#include "users/User.h"

namespace velmor::test {

// Rooms and users without a server: the room services on a clock the test moves, queries
// kept instead of run, and users whose frames are recorded instead of sent. No database,
// no worker thread, no socket. Used by the unit tests of the room model and the relay, and
// by the relay benchmark. Main thread only.
class RoomBed {
 public:
  // A user without a connection, whose frames are kept.
  class Member : public User {
   public:
    explicit Member(TrafficCounters& traffic) : User(nullptr, nullptr, traffic) {}
    // The payloads of the frames sent to him so far (each without its length), and forgets them.
    std::vector<std::string> takeFrames();
    std::size_t frameCount() const { return frames_.size(); }
    // Frames are recorded; a benchmark turns that off to measure the pass alone.
    bool recording = true;

   protected:
    bool writeFrames(const char* data, std::size_t length) override;

   private:
    std::vector<std::string> frames_;
  };

  // Queries posted by the rooms, kept until the test completes or drops them.
  class KeptQueries : public QueryPoster {
   public:
    ~KeptQueries() override;
    void post(QueryOwner* owner, VelmorBaseQuery* query) override;
    // Completes every kept query as if its database work had been done as asked (SaveRoom
    // returns the room to the directory, say; a query with an outcome receives the first of
    // its set), then destroys it.
    void completeAll();
    std::size_t size() const { return queries_.size(); }
    const std::vector<VelmorBaseQuery*>& queries() const { return queries_; }

   private:
    std::vector<VelmorBaseQuery*> queries_;
  };

  RoomBed();
  ~RoomBed();

  // A user logged in and online under `name`.
  Member& user(std::string_view name);
  // A live room (chat or navigation).
  Room& room(std::string_view name, bool navigation, std::string_view leaderPassword = "lead");
  // Moves the clock and takes the tick's reading of it.
  void advanceMs(std::uint64_t ms);
  std::uint64_t nowMs() const { return manual.loopMs(); }

  ManualClock manual{1'000'000, 1'800'000'000};
  ServerClock clock{manual};
  TrafficCounters traffic;
  OnlineUsers online;
  KeptQueries queries;
  RoomServices services{clock, online, traffic, queries, RoomLimits{}};
  std::atomic<bool> sweepRequest{false};
  RoomRegistry rooms{services, sweepRequest};

 private:
  std::vector<std::unique_ptr<Member>> users_;
};

}  // namespace velmor::test
