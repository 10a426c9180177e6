// Entry point: settings, optional port forwarding, the main loop and the server.
// Everything here runs on the main thread.
#include <pthread.h>
#include <sys/resource.h>
#include <uv.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "app/ShutdownWatchdog.h"
#include "app/StatusScreen.h"
#include "base/Console.h"
#include "base/UvHandle.h"
#include "metrics/MetricsEndpoint.h"
#include "metrics/ProcessFigures.h"
#include "metrics/ServerMetrics.h"
#include "server/VelmorServer.h"
#include "settings/Settings.h"
#include "upnp/PortForwarding.h"

namespace {

constexpr std::uint16_t kNoPortForwarded = 65535;
constexpr std::chrono::seconds kShutdownLimit{10};

// The stop signals: Ctrl-C and a service manager's SIGTERM. Only the first one has an
// effect: it starts the shutdown. Both handles stay open, though no longer keeping the
// loop alive, so that every later stop signal until the process ends reaches them (and
// does nothing) instead of the default action. Main loop only.
struct StopSignals {
  velmor::VelmorServer* server = nullptr;
  velmor::ShutdownWatchdog* watchdog = nullptr;
  uv_signal_t* interrupt = nullptr;
  uv_signal_t* terminate = nullptr;
  uv_signal_t* reload = nullptr;  // SIGHUP: the TLS certificate and the web folder are read again
  bool seen = false;
};

void onReloadSignal(uv_signal_t* handle, int) {
  auto* stop = static_cast<StopSignals*>(handle->data);
  if (stop->seen) return;
  stop->server->reloadCertificates();
  stop->server->reloadWebFolder();
}

void onStopSignal(uv_signal_t* handle, int) {
  auto* stop = static_cast<StopSignals*>(handle->data);
  if (stop->seen) return;
  stop->seen = true;
  stop->watchdog->arm(kShutdownLimit);
  stop->server->shutdown();
  uv_unref(reinterpret_cast<uv_handle_t*>(stop->interrupt));
  uv_unref(reinterpret_cast<uv_handle_t*>(stop->terminate));
  uv_unref(reinterpret_cast<uv_handle_t*>(stop->reload));
}

// At the very end: the handles close (libuv then restores the default action), so the two
// signals are first blocked on this thread (the only one left that takes them) and ignored
// for good afterwards, which also discards any that arrived in between.
void closeStopSignals(uv_loop_t* loop, StopSignals& stop) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  uv_close(reinterpret_cast<uv_handle_t*>(stop.interrupt), velmor::freeHandle);
  uv_close(reinterpret_cast<uv_handle_t*>(stop.terminate), velmor::freeHandle);
  uv_close(reinterpret_cast<uv_handle_t*>(stop.reload), velmor::freeHandle);
  uv_run(loop, UV_RUN_DEFAULT);
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGTERM, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
}

uv_signal_t* watchSignal(uv_loop_t* loop, StopSignals* stop, int signum,
                         uv_signal_cb callback = onStopSignal) {
  auto* handle = static_cast<uv_signal_t*>(std::calloc(1, sizeof(uv_signal_t)));
  handle->data = stop;
  uv_signal_init(loop, handle);
  uv_signal_start(handle, callback, signum);
  return handle;
}

// The metrics endpoint, when the settings give it a port. One that cannot listen is said on
// the console and the server runs on without it: the game goes on, and the scraper's `up`
// shows the endpoint missing. The endpoint reads the server's figures from its own thread.
std::unique_ptr<velmor::MetricsEndpoint> startMetrics(const velmor::Settings& settings,
                                                      const velmor::VelmorServer& server,
                                                      velmor::DescriptorListing& descriptors,
                                                      velmor::ScreenNote& note) {
  using namespace velmor;
  if (settings.metricsport == 0) return nullptr;
  const auto port = static_cast<std::uint16_t>(settings.metricsport);
  std::string error;
  auto endpoint = MetricsEndpoint::start(
      settings.metricsaddress, port,
      [&server, &descriptors](ExpositionFormat format) {
        return renderServerMetrics(server, descriptors, format);
      },
      error);
  if (endpoint) {
    // On a line of its own, and kept under the status screen, which clears the console.
    const std::string line = "Metrics for Prometheus at http://" + settings.metricsaddress + ":" +
                             std::to_string(endpoint->port()) + "/metrics";
    consoleWrite("\n%s\n", line.c_str());
    note.publish(line);
  } else {
    consoleWrite(
        "\nThe metrics endpoint cannot listen on %s:%u (%s); the server runs without it.\n",
        settings.metricsaddress.c_str(), static_cast<unsigned>(port), error.c_str());
  }
  return endpoint;
}

}  // namespace

// A server holds one descriptor per client: take the whole allowance the system grants.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int main() {
  using namespace velmor;
  consoleWrite("Wait while we initialize your VelmorServer...");
  // A write to a connection the peer has reset must fail with EPIPE, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();

  auto settings = std::make_unique<Settings>();
  settings->load();

  if (settings->useupnp) {
    // Every open door is forwarded, the TCP port first; one that finds no port keeps its own.
    std::vector<std::uint32_t*> doors = {&settings->serverport};
    if (settings->websocketport != 0) doors.push_back(&settings->websocketport);
    if (settings->tlsport != 0) doors.push_back(&settings->tlsport);
    std::vector<std::uint32_t> ports;
    for (const std::uint32_t* door : doors) ports.push_back(*door);
    const std::vector<std::uint16_t> forwarded =
        forwardPorts(ports, settings->applicationDirectory + "upnp.log",
                     settings->publicAddressText, settings->lanAddressText);
    for (std::size_t i = 0; i < doors.size(); ++i)
      if (forwarded[i] != kNoPortForwarded) *doors[i] = forwarded[i];
    settings->refuseMetricsOnTheGamePort();
    settings->refuseSharedPorts();
  }

  auto loop = std::make_unique<uv_loop_t>();
  uv_loop_init(loop.get());

  // The status screen lives on the query worker's loop (worker thread only).
  StatusScreen* screen = nullptr;
  ScreenNote screenNote;  // outlives the screen: the worker stops it before the server goes
  VelmorServer::WorkerHooks hooks{
      [&screen, &screenNote](uv_loop_t* workerLoop, VelmorServer& server) {
        screen = StatusScreen::start(workerLoop, server.core(), screenNote);
      },
      [&screen](uv_loop_t*) {
        if (screen != nullptr) screen->stop();
        screen = nullptr;
      }};
  auto server = std::make_unique<VelmorServer>(loop.get(), settings.get(), std::move(hooks));
  DescriptorListing descriptors;  // opened here, before the endpoint's thread counts with it
  std::unique_ptr<MetricsEndpoint> metrics =
      startMetrics(*settings, *server, descriptors, screenNote);

  ShutdownWatchdog watchdog;
  StopSignals stop;
  stop.server = server.get();
  stop.watchdog = &watchdog;
  stop.interrupt = watchSignal(loop.get(), &stop, SIGINT);
  stop.terminate = watchSignal(loop.get(), &stop, SIGTERM);
  stop.reload = watchSignal(loop.get(), &stop, SIGHUP, onReloadSignal);

  uv_run(loop.get(), UV_RUN_DEFAULT);

  // Every handle has been closed by the shutdown and the worker has committed and ended;
  // destroying the server finalizes the statements and closes the databases. Changes the
  // storage still refused at the end were named on the console: the status says so too.
  const bool changesLost = server->core().pipeline().unstoredAtStop() != 0;
  metrics.reset();  // its thread reads the server's figures: it ends first
  server.reset();
  uv_run(loop.get(), UV_RUN_DEFAULT);
  closeStopSignals(loop.get(), stop);
  uv_loop_close(loop.get());
  watchdog.disarm();
  return changesLost ? 1 : 0;
}
