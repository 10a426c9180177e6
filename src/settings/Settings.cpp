#include "settings/Settings.h"

#include <rapidjson/document.h>
#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/Console.h"
#include "base/FixedText.h"

namespace velmor {

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

constexpr std::uint32_t kMaxRoomUsers = 10000;
constexpr std::uint32_t kMaxPort = 65535;

std::string lowerKey(const rapidjson::Value& key) {
  std::string text(key.GetString(), key.GetStringLength());
  for (char& c : text) c = lowerAscii(c);
  return text;
}

std::string textOf(const rapidjson::Value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}

// Numeric keys take integers that fit in 32 bits, signed or unsigned; negative values
// keep their two's-complement bits. A fraction, an exponent or a wider integer is a
// value of the wrong type: the earlier value stays.
bool takeU32(const rapidjson::Value& value, std::uint32_t& out) {
  if (value.IsUint()) {
    out = value.GetUint();
    return true;
  }
  if (value.IsInt()) {
    out = static_cast<std::uint32_t>(value.GetInt());
    return true;
  }
  return false;
}

void takeBool(const rapidjson::Value& value, bool& out) {
  if (value.IsBool()) out = value.GetBool();
}

void takeText(const rapidjson::Value& value, std::string& out) {
  if (value.IsString()) out = textOf(value);
}

// A list of texts; members that are no text are left out.
void takeTexts(const rapidjson::Value& value, std::vector<std::string>& out) {
  if (!value.IsArray()) return;
  out.clear();
  for (const auto& element : value.GetArray())
    if (element.IsString()) out.push_back(textOf(element));
}

// A port setting: above 65535 names no port, and turns the door off.
void takePort(const rapidjson::Value& value, std::uint32_t& out) {
  std::uint32_t number = 0;
  if (takeU32(value, number)) out = number > 65535 ? 0 : number;
}

// A room is kept only when exactly four of its members were the strings type, name,
// password and leaderpassword (a repeated one counts again).
void readRoom(const rapidjson::Value& element, std::vector<RoomConfig>& rooms) {
  if (!element.IsObject()) return;
  RoomConfig room;
  int strings = 0;
  for (const auto& member : element.GetObject()) {
    const std::string key = lowerKey(member.name);
    const rapidjson::Value& value = member.value;
    if (key == "type" || key == "name" || key == "password" || key == "leaderpassword") {
      if (!value.IsString()) continue;
      ++strings;
      if (key == "type")
        room.navigation = textOf(value) != "chat";
      else if (key == "name")
        room.name = textOf(value);
      else if (key == "password")
        room.password = textOf(value);
      else
        room.leaderpassword = textOf(value);
    } else if (key == "loadatstartup") {
      takeBool(value, room.loadatstartup);
    } else if (key == "neversleeps") {
      takeBool(value, room.neversleeps);
    } else if (key == "maxusers") {
      if (value.IsUint()) room.maxusers = value.GetUint();
    }
  }
  if (strings == 4) rooms.push_back(std::move(room));
}

}  // namespace

std::optional<std::string> directoryOfPath(std::string_view executablePath) {
  std::size_t last = executablePath.rfind(kSeparator);
  if (last == std::string_view::npos) return std::nullopt;
  return std::string(executablePath.substr(0, last + 1));
}

Settings::Settings() {
  // A real path buffer, not a short fixed one: a truncated path would name the wrong folder.
  char path[4096];
  std::size_t size = sizeof(path);
  std::optional<std::string> directory;
  if (uv_exepath(path, &size) == 0) directory = directoryOfPath(std::string_view(path, size));
  if (!directory) {
    consoleWrite("Unable to get application path.\n");
    std::exit(0);
  }
  applicationDirectory = std::move(*directory);
}

Settings::Settings(std::string directory) : applicationDirectory(std::move(directory)) {}

void Settings::load() {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen((applicationDirectory + kFileName).c_str(), "rb"), std::fclose);
  if (!file) return;
  // Read to the end rather than trusting a size: a directory or a file that changes
  // while it is read must not make a huge or short text.
  std::string text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0) text.append(chunk, n);
  if (std::ferror(file.get())) return;
  loadFromText(text);
}

void Settings::loadFromText(const std::string& text) {
  // Strict JSON from a terminated text: the length-taking parse would skip a byte-order
  // mark, which is not JSON.
  rapidjson::Document document;
  document.Parse(text.c_str());
  if (document.HasParseError() || !document.IsObject()) return;

  for (const auto& member : document.GetObject()) {
    const std::string key = lowerKey(member.name);
    const rapidjson::Value& value = member.value;
    std::uint32_t number = 0;
    if (key == "chatroommaxusers" || key == "navroommaxusers") {
      if (!takeU32(value, number)) continue;
      if (number > kMaxRoomUsers) number = kMaxRoomUsers;
      (key == "chatroommaxusers" ? chatroommaxusers : navroommaxusers) = number;
    } else if (key == "enemyupdateinterval") {
      takeU32(value, enemyupdateinterval);
    } else if (key == "roomidletime") {
      takeU32(value, roomidletime);
    } else if (key == "serverport") {
      if (!takeU32(value, number)) continue;
      serverport = number >= kMaxPort ? kMaxPort : number;
    } else if (key == "userscancreateroom") {
      takeBool(value, userscancreateroom);
    } else if (key == "useupnp") {
      takeBool(value, useupnp);
    } else if (key == "servername") {
      takeText(value, servername);
    } else if (key == "adminpassword") {
      takeText(value, adminpassword);
    } else if (key == "serverpassword") {
      takeText(value, serverpassword);
    } else if (key == "bindaddress") {
      takeText(value, bindaddress);
    } else if (key == "maxpendingoutput") {
      takeU32(value, maxpendingoutput);
    } else if (key == "maxtotalpendingoutput") {
      takeU32(value, maxtotalpendingoutput);
    } else if (key == "busytimeout") {
      takeU32(value, busytimeout);
    } else if (key == "logintimeout") {
      takeU32(value, logintimeout);
    } else if (key == "keepalive") {
      if (!takeU32(value, number)) continue;
      if (number > kMaxKeepAlive) {
        consoleWrite("Setting keepalive %u is more than the system accepts: %u seconds are used.\n",
                     number, kMaxKeepAlive);
        number = kMaxKeepAlive;
      }
      keepalive = number;
    } else if (key == "metricsport") {
      if (!takeU32(value, number)) continue;
      metricsport = number > kMaxPort ? 0 : number;  // no such port: the endpoint stays off
    } else if (key == "metricsaddress") {
      takeText(value, metricsaddress);
    } else if (key == "websocketport") {
      takePort(value, websocketport);
    } else if (key == "tlsport") {
      takePort(value, tlsport);
    } else if (key == "tlscertificate") {
      takeText(value, tlscertificate);
    } else if (key == "tlskey") {
      takeText(value, tlskey);
    } else if (key == "trustedproxies") {
      takeTexts(value, trustedproxies);
    } else if (key == "websocketorigins") {
      takeTexts(value, websocketorigins);
    } else if (key == "webroot") {
      takeText(value, webroot);
    } else if (key == "rooms") {
      if (!value.IsArray()) continue;
      for (const auto& element : value.GetArray()) readRoom(element, rooms);
    }
  }
  refuseMetricsOnTheGamePort();
  refuseSharedPorts();
}

void Settings::refuseMetricsOnTheGamePort() {
  if (metricsport == 0 || metricsport != serverport) return;
  consoleWrite(
      "The metrics endpoint cannot listen on the game's port %u; the server runs without it.\n",
      static_cast<unsigned>(metricsport));
  metricsport = 0;
}

void Settings::refuseSharedPorts() {
  // Two doors cannot share a port: the later one in this order stays shut, and says so.
  auto refuse = [this](std::uint32_t& port, const char* name) {
    if (port == 0) return;
    if (port == serverport || port == metricsport || (&port == &tlsport && port == websocketport)) {
      consoleWrite("The %s %u is taken by another of the server's ports; it stays off.\n", name,
                   static_cast<unsigned>(port));
      port = 0;
    }
  };
  refuse(websocketport, "websocketport");
  refuse(tlsport, "tlsport");
}

std::string Settings::certificatePath(const std::string& file) const {
  if (file.empty() || file.front() == '/') return file;
  return applicationDirectory + file;
}

}  // namespace velmor
