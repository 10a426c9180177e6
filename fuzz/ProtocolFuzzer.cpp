// Feeds arbitrary chunks to the frame loop of users in every state, with a real server core
// (databases in a temporary folder, the query worker running). The first input byte picks
// the state; the next one how the rest is cut into reads.
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/FixedText.h"
#include "core/ServerCore.h"
#include "model/Names.h"
#include "protocol/Dispatch.h"
#include "rooms/Relay.h"
#include "rooms/UserRooms.h"
#include "support/RoomProbe.h"
#include "support/ServerHarness.h"
#include "support/UserProbe.h"
#include "users/FrameLoop.h"
#include "users/User.h"

namespace {

using namespace velmor;

void configure(Settings& settings) {
  settings.userscancreateroom = true;
  settings.rooms.push_back(RoomConfig{true, "Field", "", "lead", 0, true, true});
  settings.rooms.push_back(RoomConfig{false, "Hall", "pw", "lead", 0, true, true});
  settings.rooms.push_back(RoomConfig{false, "Asleep", "", "lead", 0, false, false});
}

// A user without a connection, online under `name`.
std::unique_ptr<User> onlineUser(ServerCore& core, const std::string& name) {
  auto user = std::make_unique<User>(nullptr, nullptr, core.traffic);
  copyText(UserProbe::identity(*user).name, name);
  lowerName(UserProbe::identity(*user).nameKey, name);
  core.online.queueForAdmission(*user);
  core.online.admit(*user);
  core.online.clearAdmissionQueue();
  return user;
}

struct World {
  World() : harness(configure) {
    ServerCore& core = harness.core();
    field = core.rooms.findLive("field");
    // Members in the field, with a position, an object and a file.
    for (int i = 0; i < 3; ++i) {
      members.push_back(onlineUser(core, "Member" + std::to_string(i)));
      UserProbe::rights(*members.back()).isMember = 1;
      field->join(*members.back(), i == 0 ? "lead" : "");
    }
    field->reportObject("crate", ObjectPlace{1, 2, 3});
    Ref<FileRecord> file = FileRecord::createWithContent(20000);
    copyText(file->fileName, "notes");
    copyText(file->creatorName, "Member0");
    file->length = 20000;
    file->usersCanRead = file->usersCanWrite = 1;
    field->addFile(file);
  }
  ~World() {
    for (auto& member : members) harness.core().forgetUser(*member);
    members.clear();
  }

  test::ServerHarness harness;
  Room* field = nullptr;
  std::vector<std::unique_ptr<User>> members;
};

// Built once and kept to the end of the process: the pools it uses are statics that may be
// gone before a static world's destructor would run.
World& world() {
  static World* w = new World;
  return *w;
}

// A user in one of the states a connection passes through.
std::unique_ptr<User> userInState(World& w, std::uint8_t state) {
  ServerCore& core = w.harness.core();
  auto user = std::make_unique<User>(nullptr, nullptr, core.traffic);
  copyText(UserProbe::identity(*user).name, "Fuzz");
  lowerName(UserProbe::identity(*user).nameKey, "Fuzz");
  switch (state % 5) {
    case 0:  // connected
      break;
    case 1:  // login pending
      UserProbe::login(*user).loginPending = 1;
      break;
    case 2:  // online, in no room
      user = onlineUser(core, "Fuzz");
      break;
    case 3:  // online member in the navigation room, leader
      user = onlineUser(core, "Fuzz");
      UserProbe::rights(*user).isMember = 1;
      w.field->join(*user, "lead");
      break;
    default:  // online administrator in the navigation room
      user = onlineUser(core, "Fuzz");
      UserProbe::rights(*user).isMember = UserProbe::rights(*user).isAdmin = 1;
      w.field->join(*user, "");
      break;
  }
  return user;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  World& w = world();
  std::unique_ptr<User> user = userInState(w, data[0]);
  const std::size_t piece = 1 + data[1] % 64 * 37;  // reads of 1 .. ~2300 bytes
  const auto* bytes = reinterpret_cast<const char*>(data + 2);
  std::size_t left = size - 2;
  while (left > 0) {
    const std::size_t n = left < piece ? left : piece;
    // The connection layer hands over what one read returned: a copy in a buffer of its size.
    std::vector<char> chunk(bytes, bytes + n);
    receiveChunk(*user, chunk.data(), chunk.size(), requestDispatch(w.harness.core()));
    bytes += n;
    left -= n;
  }
  ServerCore& core = w.harness.core();
  core.forgetUser(*user);  // as the connection's close would
  user.reset();
  core.tick();
  uv_run(w.harness.loop(), UV_RUN_NOWAIT);
  return 0;
}
