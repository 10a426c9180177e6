#include "app/StatusScreen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/Console.h"
#include "base/UvHandle.h"
#include "base/Version.h"
#include "core/ServerCore.h"
#include "core/StatusText.h"
#include "net/GenericServer.h"

namespace velmor {

namespace {
constexpr std::uint64_t kRefreshMs = 1000;
constexpr int kStdout = 1;

// The screen: cleared, headings in bright white, values in black with the bright attribute
// kept; the values of the first block end in column 26.
constexpr const char* kScreen =
    "\x1b[2J\x1b[H\x1b[37;1mServer Info\n\x1b[30mVersion: %17s\nPublic IP: %15s\nPort:   "
    "%18u\nUptime: %18s\n"
    "Users:  %18u\nRooms:  %18u\n\n\x1b[37;1mUsage Levels\n\x1b[30mPackets Sent:  %6llu\nPackets "
    "Recv:  %6llu\n"
    "Data Sent:     %6.2f MB\nData Recv:     %6.2f MB\nCur Send Rate: %6.1f KB/s\nCur Recv Rate: "
    "%6.1f KB/s\n"
    "\x1b[37;1m";
}  // namespace

std::string StatusScreen::format(const Figures& f) {
  char text[4096];
  const int length =
      std::snprintf(text, sizeof(text), kScreen, kServerVersion, f.publicAddress.c_str(), f.port,
                    formatUptime(f.uptimeSeconds).c_str(), f.users, f.rooms,
                    static_cast<unsigned long long>(f.packetsSent),
                    static_cast<unsigned long long>(f.packetsReceived), megabytes(f.bytesSent),
                    megabytes(f.bytesReceived), f.sendRate, f.receiveRate);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof(text)) return {};
  std::string screen(text, static_cast<std::size_t>(length));
  if (f.websocketPort == 0 && f.tlsPort == 0) return screen;
  // The other doors, when there are any, as a block of their own before the trailing style.
  char doors[256];
  const int doorsLength = std::snprintf(
      doors, sizeof(doors),
      "\n\x1b[37;1mDoors\n\x1b[30mWebSocket: %6s %-4s %llu conn.\nTLS: %12s      %llu conn.\n",
      f.websocketPort == 0 ? "off" : std::to_string(f.websocketPort).c_str(),
      f.websocketPort == 0 ? "" : (f.secureWebSocket ? "wss" : "ws"),
      static_cast<unsigned long long>(f.doorConnections[static_cast<std::size_t>(
          f.secureWebSocket ? TransportKind::SecureWebSocket : TransportKind::WebSocket)]),
      f.tlsPort == 0 ? "off" : std::to_string(f.tlsPort).c_str(),
      static_cast<unsigned long long>(
          f.doorConnections[static_cast<std::size_t>(TransportKind::Tls)]));
  if (doorsLength > 0 && static_cast<std::size_t>(doorsLength) < sizeof(doors))
    screen.insert(screen.size() - std::strlen("\x1b[37;1m"), doors);
  return screen;
}

StatusScreen::StatusScreen(const ServerCore& core, const ScreenNote& note)
    : core_(core), note_(note) {}

StatusScreen* StatusScreen::start(uv_loop_t* workerLoop, const ServerCore& core,
                                  const ScreenNote& note) {
  auto* screen = new StatusScreen(core, note);
  if (uv_tty_init(workerLoop, &screen->tty_, kStdout, 0) != 0) {
    delete screen;
    return nullptr;
  }
  uv_tty_set_mode(&screen->tty_, UV_TTY_MODE_NORMAL);
  screen->tty_.data = screen;
  screen->refreshTimer_ = static_cast<uv_timer_t*>(std::calloc(1, sizeof(uv_timer_t)));
  uv_timer_init(workerLoop, screen->refreshTimer_);
  screen->refreshTimer_->data = screen;
  uv_timer_start(screen->refreshTimer_, onRefresh, 0, kRefreshMs);
  return screen;
}

void StatusScreen::stop() {
  consoleRestoreAttributes();  // the screen leaves them bright white
  uv_close(reinterpret_cast<uv_handle_t*>(refreshTimer_), freeHandle);
  uv_close(reinterpret_cast<uv_handle_t*>(&tty_), onConsoleClosed);
}

void StatusScreen::onConsoleClosed(uv_handle_t* handle) {
  delete static_cast<StatusScreen*>(handle->data);
}

void StatusScreen::onRefresh(uv_timer_t* timer) {
  auto* screen = static_cast<StatusScreen*>(timer->data);
  if (screen->core_.connections().isListening()) screen->redraw();
}

void StatusScreen::onWritten(uv_write_t* request, int) {
  static_cast<StatusScreen*>(request->data)->writePending_ = false;
}

void StatusScreen::redraw() {
  int width = 0;
  int height = 0;
  if (uv_tty_get_winsize(&tty_, &width, &height) != 0) return;  // not a console
  if (writePending_) return;  // the last screen is still on its way; its buffer is in use
  std::string text = format(statusFigures(core_));
  if (text.empty()) return;
  if (const std::string* note = note_.line()) text += "\n" + *note + "\n";
  if (text.size() > sizeof(text_)) return;
  text.copy(text_, sizeof(text_));
  uv_buf_t buffer = uv_buf_init(text_, static_cast<unsigned>(text.size()));
  write_.data = this;
  if (uv_write(&write_, reinterpret_cast<uv_stream_t*>(&tty_), &buffer, 1, onWritten) == 0) {
    writePending_ = true;
    consoleAttributesChanged();
  }
}

}  // namespace velmor
