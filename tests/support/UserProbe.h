#pragma once

#include "users/User.h"

namespace velmor {

// A unit test's hand on a user's guarded state: what a login, the online list or a relay
// pass would have set, set directly to build the case under test. Tests, benchmarks and
// fuzz targets only; main loop.
class UserProbe {
 public:
  static User::Identity& identity(User& user) { return user.identity_; }
  static User::Rights& rights(User& user) { return user.rights_; }
  static User::LoginState& login(User& user) { return user.login_; }
  // Online or not, as if OnlineUsers had admitted him (without listing him anywhere).
  static void setLoggedIn(User& user, bool loggedIn) {
    user.presence_.loggedIn_ = loggedIn ? 1 : 0;
  }
  static User::RelayState& relay(User& user) { return user.relay_; }
};

}  // namespace velmor
