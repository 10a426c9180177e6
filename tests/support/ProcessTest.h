#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/ServerProcess.h"
#include "support/TestClient.h"

namespace velmor::test {

// A room of the settings file: a chat room, live from the start unless `live` is false.
// `more` adds members of its own, e.g. R"(, "maxusers": 7)".
struct RoomSetting {
  RoomSetting(std::string name, std::string password = "", std::string leader = "lead",
              bool live = true, std::string more = "", std::string type = "chat")
      : name(std::move(name)),
        password(std::move(password)),
        leader(std::move(leader)),
        live(live),
        more(std::move(more)),
        type(std::move(type)) {}
  std::string name;
  std::string password;
  std::string leader;
  bool live;
  std::string more;
  std::string type;
};

// The "rooms" member of a settings file, comma included, from a table of rooms.
std::string roomsSetting(const std::vector<RoomSetting>& rooms);

// What enter() waits for: the member list the relay sends one who got in, or nothing.
enum EnterWait { kAwaitMembers, kAskOnly };

// The fixture of the tests that run the real executable: its process, started with a
// settings file beside it, and clients that connect, log in as guests or register as
// members. Test thread only.
class ProcessTest : public testing::Test {
 protected:
  // Starts the server with these settings (JSON members, "useupnp" and the address are the
  // harness's) and waits until it listens (30 s: a table of thousands of rooms loads slowly).
  // Its folder is made inside `base` when one is given (a file system of the test's).
  void start(const std::string& settings = "", const std::string& base = "");
  // Makes its folder and settings file without starting it (server->start() starts it).
  void prepare(const std::string& settings = "", const std::string& base = "");
  // Stops it with SIGINT, expecting a clean exit within `within`.
  void stop(std::chrono::milliseconds within = std::chrono::seconds(10));
  // Starts it again on the same files and waits until it listens.
  void resume();
  void restart() {
    stop();
    resume();
  }

  std::unique_ptr<TestClient> connect(int sourceHost = 0);
  // Connected from 127.0.0.`sourceHost` (a fresh address when 0).
  std::unique_ptr<TestClient> guest(std::string_view name, std::string_view password = "",
                                    int sourceHost = 0);
  // A registered guest, a member from the Registered answer on; his password hash is
  // memberHash(name), for logging in as him again.
  std::unique_ptr<TestClient> member(std::string_view name, std::string_view password = "",
                                     int sourceHost = 0);
  static client::Hash16 memberHash(std::string_view name);
  // Asks to enter `room`; unless told kAskOnly, expects the member list within 10 s.
  static void enter(TestClient& c, std::string_view room, std::string_view password = "",
                    EnterWait wait = kAwaitMembers);

  std::unique_ptr<ServerProcess> server;
};

}  // namespace velmor::test
