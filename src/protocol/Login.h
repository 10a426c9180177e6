#pragma once

namespace velmor {

class ServerCore;
class User;
class VelmorUserQuery;
class VelmorRegisterUserQuery;

// Completions of the login queries, on the main loop. The lookup's query is kept as the
// user's accountRecord (the caller must not destroy it).
void completeLookupUser(User& user, VelmorUserQuery& query);
void completeRegisterUser(User& user, const VelmorRegisterUserQuery& query);

// The admission step of the tick: welcomes every user waiting in the admission queue
// (one welcome frame for all of them) and puts them online. Main loop only.
void admitWaitingUsers(ServerCore& core);

}  // namespace velmor
