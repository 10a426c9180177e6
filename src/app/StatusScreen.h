#pragma once

#include <uv.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "core/StatusText.h"

namespace velmor {

class ServerCore;

// A line the screen shows below its figures: the metrics endpoint's address, which the main
// thread knows only once the endpoint listens, after the screen started. Published once by
// the main thread; read by the screen's redraws on the worker. Outlives the screen.
class ScreenNote {
 public:
  // Main thread, at most once.
  void publish(std::string text) {
    text_ = std::move(text);
    published_.store(true, std::memory_order_release);
  }
  // Any thread: the line, or null before it was published.
  const std::string* line() const {
    return published_.load(std::memory_order_acquire) ? &text_ : nullptr;
  }

 private:
  std::string text_;
  std::atomic<bool> published_{false};
};

// The console status screen: version, public address, port, uptime, users, rooms and the
// traffic totals and rates (statusFigures, as the status text has them), and below them the
// note once there is one, redrawn every second while the server listens. It lives on the query
// worker's loop, so drawing never delays the main loop; it reads the server's counters and
// listening flag without a lock (they are relaxed atomics). Nothing is drawn when standard output
// is not a console.
//
// Created by start() on the worker thread; stop() closes its two handles and the screen
// frees itself once the console handle has closed (a write in flight still uses it).
class StatusScreen {
 public:
  using Figures = StatusFigures;

  // The screen's text, escape sequences included; empty if it could not be formatted.
  static std::string format(const Figures& figures);

  // Null when standard output cannot be a console handle (a file, say).
  static StatusScreen* start(uv_loop_t* workerLoop, const ServerCore& core, const ScreenNote& note);
  void stop();

 private:
  StatusScreen(const ServerCore& core, const ScreenNote& note);
  static void onRefresh(uv_timer_t* timer);
  static void onWritten(uv_write_t* request, int status);
  static void onConsoleClosed(uv_handle_t* handle);
  void redraw();

  uv_write_t write_{};
  uv_tty_t tty_{};
  uv_timer_t* refreshTimer_ = nullptr;  // freed by its close callback
  const ServerCore& core_;
  const ScreenNote& note_;
  bool writePending_ = false;
  char text_[4096];
};

}  // namespace velmor
