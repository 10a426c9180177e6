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
  user.presence_.admissionPending_ = 1;
  user.login_.loginPending = 0;
  publishCounts();
}

void OnlineUsers::dropFromAdmissionQueue(User& user) {
  if (!user.presence_.admissionPending_) return;
  std::erase(queue_, &user);
  user.presence_.admissionPending_ = 0;
  publishCounts();
}

void OnlineUsers::clearAdmissionQueue() {
  queue_.clear();
  publishCounts();
}

void OnlineUsers::refuseAdmission(User& user) {
  user.presence_.admissionPending_ = 0;
  user.presence_.admissionRefused_ = 1;
}

void OnlineUsers::admit(User& user) {
  user.presence_.admissionPending_ = 0;
  user.presence_.loggedIn_ = 1;
  map_[user.identity().nameKey] = &user;
  user.presence_.onlineSlot_ = static_cast<std::uint32_t>(list_.size());
  list_.push_back(&user);
  publishCounts();
}

void OnlineUsers::remove(User& user) {
  if (!user.presence_.loggedIn_) return;
  user.presence_.loggedIn_ = 0;
  // The last of the list takes his place: no search, no shift.
  const std::uint32_t slot = user.presence_.onlineSlot_;
  if (slot < list_.size() && list_[slot] == &user) {
    User* last = list_.back();
    list_[slot] = last;
    last->presence_.onlineSlot_ = slot;
    list_.pop_back();
  }
  auto entry = map_.find(std::string_view(user.identity().nameKey));
  if (entry != map_.end() && entry->second == &user) map_.erase(entry);
  publishCounts();
}

void OnlineUsers::publishCounts() {
  onlineCount_.set(static_cast<std::uint32_t>(list_.size()));
  waitingCount_.set(static_cast<std::uint32_t>(queue_.size()));
}

void OnlineUsers::forgetLogin(User& user) {
  user.clearLoginGrants();
}

}  // namespace velmor
