#pragma once

#include "db/Queries.h"

namespace velmor {

class OnlineUsers;

// The login queries: their database work and their completions, on the main loop. Both
// only serve the user who posted them (cancelled when he goes).

// The lookup of a login: makes the challenge and reads the account. Its completion
// answers LoginChallenge (an account) or GuestWelcome (none; the guest then waits for
// admission), and the user keeps the query as his account record.
class LoginLookup final : public AccountLookup {
 public:
  explicit LoginLookup(OnlineUsers& online) : online_(online) {}
  LookupOutcome execute(Storage& storage) override;
  bool complete(LookupOutcome outcome) override;
  bool servesOwnerOnly() const override { return true; }

 private:
  OnlineUsers& online_;
};

// A guest's registration of his name. Answered Registered (he is a member from then on)
// or RegistrationFailed, only after the batch holding the row committed.
class Registration final : public AccountRegistration {
 public:
  StoreOutcome execute(Storage& storage) override;
  bool complete(StoreOutcome outcome) override;
  bool servesOwnerOnly() const override { return true; }
};

}  // namespace velmor
