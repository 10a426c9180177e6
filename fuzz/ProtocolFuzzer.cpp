// Feeds arbitrary chunks to the frame loop of users in every state, with a real server core
// (databases in a temporary folder, the query worker running). The first input byte picks
// the state; the next one how the rest is cut into reads.
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "settings/Settings.h"
#include "base/FixedText.h"
#include "users/User.h"
#include "rooms/Relay.h"
#include "rooms/RoomRegistry.h"
#include "server/VelmorServer.h"

namespace {

using namespace velmor;

struct World {
  World() : directory(makeDirectory()), settings(directory) {
    settings.useupnp = false;
    settings.bindaddress = "127.0.0.1";
    settings.serverport = 0;
    settings.userscancreateroom = true;
    settings.rooms.push_back(RoomConfig{true, "Field", "", "lead", 0, true, true});
    settings.rooms.push_back(RoomConfig{false, "Hall", "pw", "lead", 0, true, true});
    settings.rooms.push_back(RoomConfig{false, "Asleep", "", "lead", 0, false, false});
    uv_loop_init(&loop);
    server = std::make_unique<VelmorServer>(&loop, &settings);
    ServerCore& core = server->core();
    field = findLiveRoom(core, "field");
    // Members in the field, with a position, an object and a file.
    for (int i = 0; i < 3; ++i) {
      members.push_back(std::make_unique<User>(nullptr, nullptr, &core));
      User& m = *members.back();
      copyText(m.name, "Member" + std::to_string(i));
      lowerName(m.nameKey, m.name);
      m.loggedIn = m.isMember = 1;
      core.onlineList.push_back(&m);
      core.onlineMap[m.nameKey] = &m;
      join(*field, m, i == 0 ? "lead" : "");
    }
    objectReport(*field, "crate", 1, 2, 3);
    FileRecord* file = FileRecord::createWithContent(20000);
    copyText(file->fileName, "notes");
    copyText(file->creatorName, "Member0");
    file->length = 20000;
    file->usersCanRead = file->usersCanWrite = 1;
    field->files.push_back(file);
  }
  ~World() {
    members.clear();
    server->shutdown();
    uv_run(&loop, UV_RUN_DEFAULT);
    server.reset();
    uv_run(&loop, UV_RUN_DEFAULT);
    std::filesystem::remove_all(directory);
  }
  static std::string makeDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmor-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
  }

  std::string directory;
  Settings settings;
  uv_loop_t loop{};
  std::unique_ptr<VelmorServer> server;
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
  ServerCore& core = w.server->core();
  auto user = std::make_unique<User>(nullptr, nullptr, &core);
  copyText(user->name, "Fuzz");
  lowerName(user->nameKey, user->name);
  switch (state % 5) {
    case 0:  // connected
      break;
    case 1:  // login pending
      user->loginPending = 1;
      break;
    case 2:  // online, in no room
      user->loggedIn = 1;
      break;
    case 3:  // online member in the navigation room, leader
      user->loggedIn = user->isMember = 1;
      join(*w.field, *user, "lead");
      break;
    default:  // online administrator in the navigation room
      user->loggedIn = user->isMember = user->isAdmin = 1;
      join(*w.field, *user, "");
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
    user->handleData(chunk.data(), chunk.size());
    bytes += n;
    left -= n;
  }
  w.server->core().tick();
  uv_run(&w.loop, UV_RUN_NOWAIT);
  return 0;
}
