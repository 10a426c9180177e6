#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "metrics/ExpositionFormat.h"

struct MHD_Daemon;

namespace velmor {

// The HTTP endpoint of the figures, for Prometheus: GET (or HEAD) /metrics is answered with
// what `render` writes, in the format the request's Accept header asks for (text 0.0.4 or
// OpenMetrics 1.0.0); any other path gets 404, another method on /metrics 405 with Allow;
// libmicrohttpd answers a malformed request itself (400) or closes it.
//
// One thread of its own serves it, never the server's loops: it accepts on the listening
// socket and hands each connection to libmicrohttpd, which it drives (epoll, the library's
// "external polling"), so that every callback, `render` included, runs there. `render` must
// read only what any thread may (relaxed atomics, constants) and may not wait for the main
// loop.
//
//   listening socket --accept4--> MHD_add_connection --> parsed --> onRequest answers
//   (watched only while fewer than Limits::connections are open and no accept pause holds)
//
// What one client cannot do to the others: Limits bound the connections (past the limit of
// all of them the next waits in the listening socket's backlog, costing no descriptor; past
// the limit per address it is closed) and the memory of each. Each request, with its answer,
// has Limits::requestTime from the moment its connection began to wait for it (the
// connection's start, or the end of the answer before): a client silent, stalled or trickling
// its bytes holds a connection no longer, and a scrape waiting behind connections that take
// every slot has one within that time. A connection past its deadline is shut down, and the
// library closes it as it finds the stream ended. When the process has
// no descriptor left (the game's connections took them all), an accept fails: the thread then
// leaves the listening socket alone for kAcceptPause instead of retrying at once, which would
// spin a core, and the waiting client is served once a descriptor is free again.
//
// Owned by the entry point (main thread). start() returns it listening, its thread running;
// the destructor stops the thread (joining it), closes every connection and the listening
// socket. REQUIRES: whatever `render` reads outlives the endpoint.
class MetricsEndpoint {
 public:
  using Render = std::function<std::string(ExpositionFormat)>;

  struct Limits {
    unsigned connections = 32;
    unsigned connectionsPerAddress = 8;
    std::chrono::milliseconds requestTime{5000};  // for each request and its answer
    std::size_t memoryPerConnection = 32 * 1024;  // the request's headers must fit
  };
  // How long the listening socket is left alone after an accept failed (out of descriptors
  // or memory): a few tries a second cost nothing, and the waiting client is served soon
  // after a descriptor frees.
  static constexpr std::chrono::milliseconds kAcceptPause{100};

  // Listens on `address` (IPv4 only, as the game port) and `port` (0: one the system picks);
  // null, with the reason in `error`, when it cannot.
  static std::unique_ptr<MetricsEndpoint> start(const std::string& address, std::uint16_t port,
                                                Render render, std::string& error,
                                                const Limits& limits);
  static std::unique_ptr<MetricsEndpoint> start(const std::string& address, std::uint16_t port,
                                                Render render, std::string& error) {
    return start(address, port, std::move(render), error, Limits());
  }
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  using Clock = std::chrono::steady_clock;

  // A descriptor, closed with its owner.
  class Descriptor {
   public:
    Descriptor() = default;
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int fd);
    int get() const { return fd_; }

   private:
    int fd_ = -1;
  };
  struct DaemonStop {
    void operator()(MHD_Daemon* daemon) const;
  };
  // A connection the library holds, from its notice that one started to its notice that it
  // closed; its socket context points here.
  struct Connection {
    int fd = -1;                 // -1: a free slot
    Clock::time_point deadline;  // for the request it waits for or answers
  };

  MetricsEndpoint(Render render, const Limits& limits)
      : render_(std::move(render)), limits_(limits) {}

  // The thread's loop, until the wake descriptor is signalled; `events` is the library's
  // epoll descriptor.
  void serve(int events);
  void acceptWaiting();
  void shutOverdue(Clock::time_point now);
  bool accepting(Clock::time_point now) const;
  int pollTimeoutMs(Clock::time_point now) const;
  // libmicrohttpd's notices (MetricsEndpoint.cpp), on the endpoint's thread.
  friend struct LibraryNotices;

  // Constant once started.
  const Render render_;
  const Limits limits_;
  Descriptor listener_;
  Descriptor wake_;  // an eventfd: the destructor's stop
  std::uint16_t port_ = 0;

  // The endpoint's thread only (the destructor's, once that thread has ended).
  std::vector<Connection> connections_;  // Limits::connections slots, sized at the start
  unsigned open_ = 0;                    // slots in use
  Clock::time_point acceptPausedUntil_{};
  std::unique_ptr<MHD_Daemon, DaemonStop> daemon_;

  std::thread thread_;
};

}  // namespace velmor
