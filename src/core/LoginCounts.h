#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/RelaxedCounter.h"

namespace velmor {

// How a login ended. A Login refused before the account lookup is neither a guest's nor a
// member's (the lookup is what tells them apart); after it, a guest ends at admission, a
// member at his proof or at admission.
enum class LoginOutcome : std::uint8_t {
  GuestAdmitted,
  GuestNameInUse,         // a guest's name was online at admission
  GuestBanned,            // banned between his Login and his admission
  MemberAdmitted,         // (taking the name over from one online under it)
  MemberBanned,           // banned between his Login and his admission
  MemberWrongPassword,    // his proof did not match the stored password
  RefusedVersion,         // the client's protocol version
  RefusedBanned,          // the name or the address is banned
  RefusedName,            // the name breaks the name rule
  RefusedServerPassword,  // the server's password was not given
};
inline constexpr std::size_t kLoginOutcomes = 10;

// The logins by how they ended, and the registrations by their result, for the metrics
// endpoint. Counted on the main loop where each ends (the login handlers, the admission
// step, the registration's completion); read by any thread.
class LoginCounts {
 public:
  void count(LoginOutcome outcome) { logins_[static_cast<std::size_t>(outcome)].add(1); }
  std::uint64_t logins(LoginOutcome outcome) const {
    return logins_[static_cast<std::size_t>(outcome)].get();
  }

  RelaxedCounter<std::uint64_t> registrationsStored;
  RelaxedCounter<std::uint64_t> registrationsRefused;

 private:
  std::array<RelaxedCounter<std::uint64_t>, kLoginOutcomes> logins_{};
};

}  // namespace velmor
