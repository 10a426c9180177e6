#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "metrics/ExpositionFormat.h"

struct MHD_Daemon;

namespace velmor {

// The HTTP endpoint of the figures, for Prometheus: GET (or HEAD) /metrics is answered with
// what `render` writes, in the format the request's Accept header asks for (text 0.0.4 or
// OpenMetrics 1.0.0); any other path gets 404, another method on /metrics 405 with Allow;
// libmicrohttpd answers a malformed request itself (400) or closes it.
//
// It serves from libmicrohttpd's own thread (epoll, one thread for every connection), never
// from the server's loops, and `render` runs there: it must read only what any thread may
// (relaxed atomics, constants) and may not wait for the main loop. A client that stays
// silent, or sends half a request and stalls, is dropped after Limits::idleSeconds without
// holding the others up; Limits bound the connections (all of them, and per address) and
// the memory of each, so that a flood of connections costs a bounded number of descriptors.
//
// Owned by the entry point (main thread). start() returns it listening; the destructor stops
// the thread (joining it), closes every connection and the listening socket. REQUIRES:
// whatever `render` reads outlives the endpoint.
class MetricsEndpoint {
 public:
  using Render = std::function<std::string(ExpositionFormat)>;

  struct Limits {
    unsigned connections = 32;
    unsigned connectionsPerAddress = 8;
    unsigned idleSeconds = 5;
    std::size_t memoryPerConnection = 32 * 1024;  // the request's headers must fit
  };

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
  explicit MetricsEndpoint(Render render) : render_(std::move(render)) {}

  // Constant once started; called on libmicrohttpd's thread only.
  const Render render_;
  struct DaemonStop {
    void operator()(MHD_Daemon* daemon) const;
  };
  std::unique_ptr<MHD_Daemon, DaemonStop> daemon_;
  std::uint16_t port_ = 0;
};

}  // namespace velmor
