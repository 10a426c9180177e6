#pragma once

// The probe's one TCP connection to the server: a blocking socket whose every wait (the
// connect included) is bounded by one deadline for the whole exchange, and the received
// bytes cut into frames and decoded into messages. Owned by main(); one thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "client/FrameDecoder.h"
#include "client/ServerMessage.h"

namespace velmor::probe {

class Connection {
 public:
  using Clock = std::chrono::steady_clock;

  // The deadline is `timeoutMs` from now.
  explicit Connection(int timeoutMs)
      : timeoutMs_(timeoutMs), deadline_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // REQUIRES: `host` is a numeric IPv4 address. False with error() set on failure.
  bool open(const std::string& host, std::uint16_t port);
  // False with error() set on failure. A failed send is not final: the server may have
  // answered (a refusal) before closing, so the caller still reads what came.
  bool send(const std::string& bytes);
  // The next server message, or false with error() set: connection closed or reset, the
  // deadline passed, or a frame that does not decode.
  bool next(client::ServerMessage& message);

  const std::string& error() const { return error_; }

 private:
  // Reads what the socket holds, waiting until the deadline; false with error_ set.
  bool readMore();
  int remainingMs() const;

  int timeoutMs_;
  Clock::time_point deadline_;
  int fd_ = -1;
  std::string endpoint_;  // "host:port", for messages
  client::FrameDecoder decoder_;
  std::deque<client::ServerMessage> pending_;
  std::string error_;
};

}  // namespace velmor::probe
