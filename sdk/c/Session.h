#pragma once

// The connection behind one velmor_client handle: a non-blocking socket, TLS over OpenSSL's
// memory buffers when asked, the frame decoder, the requests waiting to be sent and the
// events waiting to be taken. Owned by the handle (struct velmor_client); it lives on the
// thread that calls the handle's functions, one at a time; nothing inside blocks except the
// name resolution of connect() and the wait process() is given.
//
//   requests --queue()--> plain_ --(TLS: SSL_write)--> wire_ --send()--> socket
//   socket --recv()--> (TLS: SSL_read) --> decoder_ --decodeFrame()--> events_ --> take()
//
// Invariants: fd_ >= 0 exactly while state_ is not Idle; ssl_ exists only on a TLS connection;
// over TCP plain_ is always empty (requests go straight to wire_). Once a connection ends,
// exactly one Disconnected event is queued and state_ is Idle again.

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "client/FrameDecoder.h"
#include "client/RequestWriter.h"
#include "client/ServerMessage.h"
#include "velmor/client.h"

namespace velmor::sdk {

// The arrays and strings an event taken points into: kept until the next take or process.
struct EventStore {
  bool navigationLayout = false;  // the MemberInfo being filled was decoded as navigation
  client::ServerMessage message;
  std::string text;  // a library event's message
  std::vector<velmor_room_entry> rooms;
  std::vector<velmor_string> strings;

  const velmor_room_entry* roomEntries(const std::vector<client::RoomEntry>& from);
  const velmor_string* lines(const std::vector<std::string>& from);
  // The entry structs of a list (bans, files, ...), made by `convert` from the codec's.
  template <typename From, typename Convert>
  auto entries(const std::vector<From>& from, Convert convert) {
    using Entry = decltype(convert(from.front()));
    static_assert(std::is_trivially_copyable_v<Entry>);
    entryBuffer_.resize(from.size() * sizeof(Entry) + alignof(Entry));
    void* space = entryBuffer_.data();
    std::size_t size = entryBuffer_.size();
    auto* out =
        static_cast<Entry*>(std::align(alignof(Entry), from.size() * sizeof(Entry), space, size));
    for (std::size_t i = 0; i < from.size(); ++i) out[i] = convert(from[i]);
    return static_cast<const Entry*>(out);
  }

 private:
  std::vector<unsigned char> entryBuffer_;  // holds the entries of the last list taken
};

inline velmor_string string(const std::string& s) {
  return {s.c_str(), s.size()};
}

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  velmor_status connect(const char* host, std::uint16_t port,
                        const velmor_connect_options& options);
  velmor_status process(int timeoutMs);
  bool take(velmor_event& event);
  velmor_status close();

  // Appends one frame holding what `write` writes; refuses (nothing queued) when it does not
  // fit a frame or the output is full, or without a connection.
  velmor_status queue(const std::function<void(client::RequestWriter&)>& write);
  // The LoginChallenge of the login that follows is answered with the proof of this hash.
  void answerChallengeWith(const client::Hash16& passwordHash) {
    proofHash_ = passwordHash;
    answerChallenge_ = true;
  }

  int fd() const { return fd_; }
  bool wantsWrite() const;
  bool navigationRoom() const { return navigation_; }
  const std::string& lastError() const { return lastError_; }
  velmor_status fail(velmor_status status, std::string message);

  // The most bytes waiting unsent before a request is refused (1 MiB).
  static constexpr std::size_t kOutputLimit = 1 << 20;

 private:
  enum class State { Idle, Connecting, Handshaking, Open };

  struct Pending {
    int libraryType = 0;  // a VELMOR_EVENT_ of the library, or 0 for a server message
    client::ServerMessage message{};
    velmor_status status = VELMOR_OK;
    std::string text{};
    bool navigationLayout = false;  // a message decoded with the navigation MemberInfo
  };

  velmor_status startTls(const velmor_connect_options& options, const std::string& host);
  velmor_status finishConnect();
  velmor_status handshake();
  // Reads what the socket holds (bounded per call); sets closedBy_ on end of stream or error.
  velmor_status receive();
  velmor_status readPlain();
  void decodeFrames();
  void decodeFrame(std::string_view payload);
  velmor_status encryptPending();
  velmor_status sendWire();
  void drainTlsOutput();
  // Closes the connection and queues Disconnected; returns `status`.
  velmor_status end(velmor_status status, const std::string& message);
  // Closes the connection, no event: state_ is Idle after.
  void reset();
  void pushLibraryEvent(int type, velmor_status status = VELMOR_OK, std::string text = {});

  // The connection.
  State state_ = State::Idle;
  int fd_ = -1;
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tlsContext_{nullptr, SSL_CTX_free};
  std::unique_ptr<SSL, void (*)(SSL*)> ssl_{nullptr, SSL_free};
  BIO* tlsIn_ = nullptr;   // owned by ssl_: bytes received, for SSL_read
  BIO* tlsOut_ = nullptr;  // owned by ssl_: bytes SSL_write made, to send

  // Bytes both ways.
  client::RequestWriter writer_;
  std::string plain_;  // TLS only: requests not yet given to SSL_write
  std::string wire_;   // bytes for the socket
  std::size_t wireSent_ = 0;
  client::FrameDecoder decoder_;

  // What the frames told.
  bool navigation_ = false;  // the last RoomState was of a navigation room
  bool answerChallenge_ = false;
  client::Hash16 proofHash_{};

  std::deque<Pending> events_;
  EventStore store_;
  std::string lastError_;
};

}  // namespace velmor::sdk

// The handle the C functions take.
struct velmor_client {
  velmor::sdk::Session session;
};
