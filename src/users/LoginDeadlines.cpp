#include "users/LoginDeadlines.h"

#include "users/User.h"

namespace velmor {

void LoginDeadlines::start(User& user, std::uint64_t nowMs) {
  if (timeoutMs_ == 0) return;
  stop(user);
  User::LoginDeadline& mine = user.loginDeadline_;
  mine.at = nowMs + timeoutMs_;
  mine.listed = true;
  mine.previous = last_;
  mine.next = nullptr;
  if (last_ != nullptr) {
    last_->loginDeadline_.next = &user;
  } else {
    first_ = &user;
  }
  last_ = &user;
}

void LoginDeadlines::stop(User& user) {
  User::LoginDeadline& mine = user.loginDeadline_;
  if (!mine.listed) return;
  if (mine.previous != nullptr) {
    mine.previous->loginDeadline_.next = mine.next;
  } else {
    first_ = mine.next;
  }
  if (mine.next != nullptr) {
    mine.next->loginDeadline_.previous = mine.previous;
  } else {
    last_ = mine.previous;
  }
  mine = {};
}

User* LoginDeadlines::takeFirstDue(std::uint64_t nowMs) {
  User* first = first_;
  if (first == nullptr || first->loginDeadline_.at > nowMs) return nullptr;
  stop(*first);
  return first;
}

}  // namespace velmor
