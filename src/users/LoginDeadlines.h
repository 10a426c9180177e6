#pragma once

#include <cstdint>

namespace velmor {

class User;

// The connections that have not logged in yet, each with the time by which it must have: a
// list in the order their time began (a connection's accept, or its going offline), which is
// the order of their deadlines, since every deadline is that time plus the same timeout. The
// tick closes the connections at the front whose deadline passed; nothing walks the others.
// A user who is admitted leaves the list; one who goes offline joins it again at the end.
// Owned by the ServerCore; main loop only.
class LoginDeadlines {
 public:
  // `timeoutMs` 0: no deadline, nobody is ever listed.
  explicit LoginDeadlines(std::uint64_t timeoutMs) : timeoutMs_(timeoutMs) {}
  LoginDeadlines(const LoginDeadlines&) = delete;
  LoginDeadlines& operator=(const LoginDeadlines&) = delete;

  // His time to log in starts now (again, at the end of the list).
  void start(User& user, std::uint64_t nowMs);
  // He logged in, or went away: he leaves the list.
  void stop(User& user);
  // Takes the users whose deadline passed off the list, front first, and hands each to
  // `close`.
  template <typename Close>
  void expire(std::uint64_t nowMs, Close&& close);

 private:
  User* takeFirstDue(std::uint64_t nowMs);

  const std::uint64_t timeoutMs_;
  User* first_ = nullptr;
  User* last_ = nullptr;
};

template <typename Close>
void LoginDeadlines::expire(std::uint64_t nowMs, Close&& close) {
  while (User* late = takeFirstDue(nowMs)) close(*late);
}

}  // namespace velmor
