// Entry point: settings, optional port forwarding, the main loop and the server.
// Everything here runs on the main thread.
#include <uv.h>

#include <csignal>
#include <cstdlib>
#include <memory>

#include "app/Settings.h"
#include "app/StatusScreen.h"
#include "net/Console.h"
#include "net/UvHandle.h"
#include "server/VelmorServer.h"
#include "upnp/PortForwarding.h"

namespace {

constexpr std::uint16_t kNoPortForwarded = 65535;

// Only the first interrupt has an effect; it lives for the whole process.
bool interruptSeen = false;

void onInterrupt(uv_signal_t* handle, int) {
  if (interruptSeen) return;
  interruptSeen = true;
  static_cast<velmor::VelmorServer*>(handle->data)->shutdown();
  uv_close(reinterpret_cast<uv_handle_t*>(handle), velmor::freeHandle);
}

}  // namespace

int main() {
  using namespace velmor;
  consoleWrite("Wait while we initialize your VelmorServer...");

  auto settings = std::make_unique<Settings>();
  settings->load();

  if (settings->useupnp) {
    std::uint16_t port =
        forwardPort(settings->serverport, settings->applicationDirectory + "upnp.log",
                    settings->publicAddressText, settings->lanAddressText);
    if (port != kNoPortForwarded) settings->serverport = port;
  }

  auto loop = std::make_unique<uv_loop_t>();
  uv_loop_init(loop.get());

  // The status screen lives on the query worker's loop (worker thread only).
  StatusScreen* screen = nullptr;
  VelmorServer::WorkerHooks hooks{
      [&screen, &settings](uv_loop_t* workerLoop, VelmorServer& server) {
        screen = StatusScreen::start(workerLoop, server.core(), *settings, server);
      },
      [&screen](uv_loop_t*) {
        if (screen != nullptr) screen->stop();
        screen = nullptr;
      }};
  auto server = std::make_unique<VelmorServer>(loop.get(), settings.get(), std::move(hooks));

  auto* interrupt = static_cast<uv_signal_t*>(std::calloc(1, sizeof(uv_signal_t)));
  interrupt->data = server.get();
  uv_signal_init(loop.get(), interrupt);
  uv_signal_start(interrupt, onInterrupt, SIGINT);

  uv_run(loop.get(), UV_RUN_DEFAULT);

  // Every handle has been closed by the shutdown; destroying the server closes what
  // might remain, and one more run lets the close callbacks free their memory.
  server.reset();
  uv_run(loop.get(), UV_RUN_DEFAULT);
  uv_loop_close(loop.get());
  return 0;
}
