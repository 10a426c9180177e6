#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/RelaxedCounter.h"
#include "model/Names.h"

namespace velmor {

class User;

// Who is online, and who waits to be; the writer of a user's online and admission flags,
// and the one who forgets what his login granted. The online list (in no particular order: a user
// who goes offline leaves his place to the last, each user knowing his place) and the online map
// (nameKey -> user) always hold the same users, exactly those whose presence().loggedIn() is set;
// the admission queue holds exactly those whose presence().admissionPending() is set. Only this
// class changes those containers and flags. Main loop only, except onlineCount() and
// waitingCount(): figures any thread may read.
class OnlineUsers {
 public:
  // The online user of a lower-case name key, or null.
  User* find(std::string_view nameKey) const;
  const std::vector<User*>& list() const { return list_; }

  // Puts a user whose login finished in the admission queue (the tick admits him).
  void queueForAdmission(User& user);
  bool admissionDue() const { return !queue_.empty(); }
  // The queue as it stands; the admission step walks it, admitting or refusing each user,
  // then calls clearAdmissionQueue().
  const std::vector<User*>& admissionQueue() const { return queue_; }
  void clearAdmissionQueue();
  // A queued guest whose name is taken: he waits no more, and may not log in again on this
  // connection.
  void refuseAdmission(User& user);
  // Takes a user who goes away out of the queue.
  void dropFromAdmissionQueue(User& user);

  // Admits a queued user: online under his name key. REQUIRES: no one online holds the key.
  void admit(User& user);
  // Takes an online user off the list and the map; nothing for one who is not online.
  void remove(User& user);
  // Forgets what his login granted (identity aside): rights, login state, chat, room
  // requests. He may log in again on this connection, judged afresh. REQUIRES: he is out of
  // his room, off the list and out of the queue, his queries let go.
  void forgetLogin(User& user);

  // The users online, and those waiting for admission. Any thread.
  std::uint32_t onlineCount() const { return onlineCount_.get(); }
  std::uint32_t waitingCount() const { return waitingCount_.get(); }

 private:
  // After every change of the list or the queue: their sizes, as figures.
  void publishCounts();

  std::vector<User*> list_;
  NameKeyMap<User*> map_;
  std::vector<User*> queue_;
  RelaxedCounter<std::uint32_t> onlineCount_;
  RelaxedCounter<std::uint32_t> waitingCount_;
};

}  // namespace velmor
