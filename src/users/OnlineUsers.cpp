#include "users/OnlineUsers.h"

#include <algorithm>

#include "users/User.h"

namespace velmor {

User* OnlineUsers::find(std::string_view nameKey) const {
  auto entry = map_.find(nameKey);
  return entry == map_.end() ? nullptr : entry->second;
}

void OnlineUsers::queueForAdmission(User& user) {
  queue_.push_back(&user);
  user.login.admissionPending = 1;
  user.login.loginPending = 0;
  publishCounts();
}

void OnlineUsers::dropFromAdmissionQueue(User& user) {
  if (!user.login.admissionPending) return;
  std::erase(queue_, &user);
  user.login.admissionPending = 0;
  publishCounts();
}

void OnlineUsers::clearAdmissionQueue() {
  queue_.clear();
  publishCounts();
}

void OnlineUsers::refuseAdmission(User& user) {
  user.login.admissionPending = 0;
  user.login.admissionRefused = 1;
}

void OnlineUsers::admit(User& user) {
  user.login.admissionPending = 0;
  user.login.loggedIn = 1;
  map_[user.identity.nameKey] = &user;
  user.login.onlineSlot = static_cast<std::uint32_t>(list_.size());
  list_.push_back(&user);
  publishCounts();
}

void OnlineUsers::remove(User& user) {
  if (!user.login.loggedIn) return;
  user.login.loggedIn = 0;
  // The last of the list takes his place: no search, no shift.
  const std::uint32_t slot = user.login.onlineSlot;
  if (slot < list_.size() && list_[slot] == &user) {
    User* last = list_.back();
    list_[slot] = last;
    last->login.onlineSlot = slot;
    list_.pop_back();
  }
  auto entry = map_.find(std::string_view(user.identity.nameKey));
  if (entry != map_.end() && entry->second == &user) map_.erase(entry);
  publishCounts();
}

void OnlineUsers::publishCounts() {
  onlineCount_.set(static_cast<std::uint32_t>(list_.size()));
  waitingCount_.set(static_cast<std::uint32_t>(queue_.size()));
}

}  // namespace velmor
