#pragma once

// A tool's one TCP connection to the server (velmor-probe, velmor-chat): the received bytes
// cut into frames and decoded into messages. Two ways to read: next() waits for a message
// until one deadline for the whole exchange (the connect included); pump() takes only what
// has arrived, for a caller that polls fd() with other descriptors (a terminal). Owned by
// the tool's main(); one thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "client/FrameDecoder.h"
#include "client/ServerMessage.h"

namespace velmor::client {

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

  // Reads what has arrived without waiting and decodes the complete frames; false with
  // error() set when the connection closed or failed. A frame that does not decode is
  // skipped and counted (undecodable()), the connection goes on.
  bool pump();
  // A message pump() decoded, or false when none is waiting.
  bool take(client::ServerMessage& message);

  // How the frames that follow are decoded (the MemberInfo layout of navigation rooms).
  void setDecodeOptions(const client::DecodeOptions& options) { options_ = options; }
  int fd() const { return fd_; }
  std::size_t undecodable() const { return undecodable_; }
  const std::string& error() const { return error_; }

 private:
  // Reads what the socket holds, waiting until the deadline; false with error_ set.
  bool readMore();
  // One recv() into the decoder; 0 closed, -1 failed (error_ set), else bytes read.
  long receive(int flags);
  // Decodes every complete frame into pending_; false on the first that does not decode.
  bool decodeFrames();
  int remainingMs() const;

  int timeoutMs_;
  Clock::time_point deadline_;
  int fd_ = -1;
  std::string endpoint_;  // "host:port", for messages
  client::FrameDecoder decoder_;
  client::DecodeOptions options_;
  std::deque<client::ServerMessage> pending_;
  std::size_t undecodable_ = 0;
  std::string error_;
};

}  // namespace velmor::client
