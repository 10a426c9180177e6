#pragma once

namespace velmor {

class ServerCore;

// The admission step of the tick: welcomes every user waiting in the admission queue (one
// welcome frame, ServerInfo and RoomList, for all of them) and puts them online. A guest
// whose name is online already gets NameInUse and stays waiting; a member takes the name
// over from the user online, who is taken offline with LoginReplaced. Main loop only.
void admitWaitingUsers(ServerCore& core);

}  // namespace velmor
