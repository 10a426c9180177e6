#include "server/VelmorServer.h"

#include <algorithm>

#include "base/Console.h"
#include "base/FatalExit.h"
#include "base/FixedText.h"
#include "net/WebFolder.h"
#include "protocol/Dispatch.h"
#include "users/FrameLoop.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"
#include "wire/MessageCatalogue.h"

namespace velmor {

VelmorServer::VelmorServer(uv_loop_t* loop, const Settings* settings, WorkerHooks workerHooks)
    : TCPServer(loop),
      settings_(settings),
      core_(std::make_unique<ServerCore>(loop, *settings, *this)),
      tickTimer_([loop](uv_timer_t* timer) { return uv_timer_init(loop, timer); }) {
  port = static_cast<int>(settings->serverport);
  address = settings->bindaddress;
  // Listening on every interface when the operator named one would be unsafe: a name that
  // is no IPv4 address ends the start.
  sockaddr_in bindAddress{};
  if (uv_ip4_addr(address.c_str(), port, &bindAddress) != 0) {
    const std::string message = "The bindaddress \"" + address + "\" is not an IPv4 address.\n";
    fatalExit(message.c_str());
  }
  openDoors(*settings);
  setMaxPendingOutput(settings->maxpendingoutput);
  setMaxTotalPendingOutput(settings->maxtotalpendingoutput);
  setKeepAlive(settings->keepalive);
  tickTimer_.get()->data = this;
  const std::uint64_t tickInterval = core_->settings.limits.tickInterval;
  uv_timer_start(tickTimer_.get(), onTick, tickInterval, tickInterval);
  QueryPipeline::WorkerHooks hooks;
  if (workerHooks.onStart) {
    hooks.onStart = [this, start = std::move(workerHooks.onStart)](uv_loop_t* workerLoop) {
      start(workerLoop, *this);
    };
  }
  hooks.onStop = std::move(workerHooks.onStop);
  core_->startWorker(std::move(hooks));
}

void VelmorServer::openDoors(const Settings& settings) {
  websocketPort = static_cast<int>(settings.websocketport);
  tlsPort = static_cast<int>(settings.tlsport);
  if (settings.tlsport != 0 && !settings.tlsConfigured())
    fatalExit("The tlsport needs a tlscertificate and a tlskey.\n");
  if (settings.tlsConfigured()) {
    std::string why;
    if (!tls().load(settings.certificatePath(settings.tlscertificate),
                    settings.certificatePath(settings.tlskey), why)) {
      const std::string message = "TLS cannot start: " + why + "\n";
      fatalExit(message.c_str());
    }
    secureWebSocket = true;
  }
  DoorPolicy policy;
  for (const std::string& entry : settings.trustedproxies) {
    AddressRange range;
    if (!parseAddressRange(entry, range)) {
      const std::string message =
          "The trustedproxies entry \"" + entry + "\" is not an IPv4 address or network.\n";
      fatalExit(message.c_str());
    }
    policy.trustedProxies.push_back(range);
  }
  policy.websocketOrigins = settings.websocketorigins;
  setDoorPolicy(std::move(policy));
  reloadWebFolder();
  // A handshake that never ends is closed when a login would be.
  setHandshakeTimeout(std::uint64_t{settings.logintimeout} * 1000);
}

bool VelmorServer::reloadCertificates() {
  if (!settings_->tlsConfigured()) return false;
  std::string why;
  if (!tls().load(settings_->certificatePath(settings_->tlscertificate),
                  settings_->certificatePath(settings_->tlskey), why)) {
    consoleWrite("TLS reload failed, the certificate in use stays: %s\n", why.c_str());
    return false;
  }
  consoleWrite("TLS certificate reloaded.\n");
  return true;
}

void VelmorServer::reloadWebFolder() {
  if (settings_->websocketport == 0 || settings_->webroot.empty()) return;
  std::string report;
  auto web = WebFolder::load(settings_->certificatePath(settings_->webroot), report);
  if (web != nullptr) {
    // The address to open, as a browser on this machine reaches the door.
    const char* host = address == "0.0.0.0" ? "127.0.0.1" : address.c_str();
    consoleWrite("Web client: open %s://%s:%d/ (%s).\n", secureWebSocket ? "https" : "http", host,
                 websocketPort, report.c_str());
  } else {
    consoleWrite("Web client: %s.\n", report.c_str());
  }
  setWebFolder(std::move(web));
}

VelmorServer::~VelmorServer() {
  tickTimer_.close();
}

void VelmorServer::onTick(uv_timer_t* timer) {
  auto* server = static_cast<VelmorServer*>(timer->data);
  server->core_->tick();
  server->resumePausedInput();
}

void VelmorServer::handleInput(User& user, const char* data, std::size_t length) {
  receiveChunk(user, data, length, requestDispatch(*core_));
  user.limitQueriesInFlight(core_->storageFailing());
  if (user.readingPaused() && std::find(paused_.begin(), paused_.end(), &user) == paused_.end())
    paused_.push_back(&user);
}

void VelmorServer::resumePausedInput() {
  // Each user's held requests in the order they were held; those handled again may be held
  // once more (and then listed again, at the end). A user whose reading paused with nothing
  // held resumes reading: at once when the storage fails, or when his queries came down.
  const bool storageFailing = core_->storageFailing();
  std::vector<User*> due;
  std::erase_if(paused_, [&](User* user) {
    if (!user->mayGoOn(storageFailing)) return false;
    due.push_back(user);
    return true;
  });
  for (User* user : due) {
    if (user->input().held.empty()) {
      user->limitQueriesInFlight(storageFailing);
      continue;
    }
    const std::vector<char> held = std::move(user->input().held);
    user->input().held.clear();
    handleInput(*user, held.data(), held.size());
  }
}

ClientData* VelmorServer::createClient(uv_stream_t* client, uv_stream_t* serverHandle) {
  return new User(client, serverHandle, core_->traffic);
}

void VelmorServer::onData(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf) {
  core_->traffic.packetsReceived.add(1);
  core_->traffic.bytesReceived.add(static_cast<std::uint64_t>(nread));
  auto* user = static_cast<User*>(client->data);
  if (user != nullptr) handleInput(*user, buf->base, static_cast<std::size_t>(nread));
}

bool VelmorServer::onConnect(uv_stream_t* client) {
  auto* user = static_cast<User*>(client->data);
  if (!connectionRates_.admit(user->address(), core_->clock.nowMs())) {
    static const char kRefused[] = {1, 0, static_cast<char>(wire::ServerCode::ConnectionRefused)};
    refuse(client, kRefused, sizeof(kRefused));
    connectionCounts_.refusedRateLimit.add(1);
    return false;
  }
  if (const BanEntry* ban = core_->serverBans.findAddress(user->address())) {
    MessageBuilder frame;
    frame.begin(wire::ServerCode::Banned).string(fieldText(ban->name));
    frame.finish();
    refuse(client, frame.data(), frame.size());
    connectionCounts_.refusedBan.add(1);
    return false;
  }
  connectionCounts_.accepted.add(1);
  core_->userConnected(*user);
  return true;
}

void VelmorServer::refuse(uv_stream_t* client, const char* frame, std::size_t length) {
  write(client, frame, length);
  closeClient(client, Transport::kClosePolicy);
}

void VelmorServer::onDisconnect(uv_stream_t* client) {
  auto* user = static_cast<User*>(client->data);
  if (user == nullptr) return;
  std::erase(paused_, user);
  core_->forgetUser(*user);
}

void VelmorServer::shutdown() {
  tickTimer_.close();
  stopListening();
  closeAllClients();
  // Every live room is saved as its sleep would save it, and the worker executes and
  // commits all that was posted before it ends.
  core_->rooms.saveAll();
  core_->pipeline().stop();
}

}  // namespace velmor
