#pragma once

namespace velmor {

class ServerCore;

// The admission step of the tick: welcomes every user waiting in the admission queue (one
// welcome frame, ServerInfo and RoomList, for all of them) and puts them online. A user
// whose name or address the server has banned since his Login gets Banned and is not
// admitted (he may log in afresh); a guest whose name is online already gets NameInUse and
// may log in no further on that connection; a member takes the name over from the user
// online, who is taken offline with LoginReplaced. Main loop only.
void admitWaitingUsers(ServerCore& core);

}  // namespace velmor
