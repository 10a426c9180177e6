#include "Session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "client/LoginProof.h"
#include "wire/MessageCatalogue.h"

namespace velmor::sdk {

// Made from the wire's definition (GeneratedGlue.inc, through Requests.cpp).
bool fillMessageEvent(const client::ServerMessage& m, velmor_event& e, EventStore& store);

namespace {

// Per process() call at most this many reads of kReadSize bytes: a server that sends without
// pause cannot hold a game frame for long; the rest waits for the next call.
constexpr int kReadsPerCall = 64;
constexpr std::size_t kReadSize = 16384;

std::string tlsErrors() {
  std::string text;
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    char line[256];
    ERR_error_string_n(e, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? "the TLS connection failed" : text;
}

}  // namespace

const velmor_room_entry* EventStore::roomEntries(const std::vector<client::RoomEntry>& from) {
  rooms.clear();
  for (const client::RoomEntry& r : from) {
    velmor_room_entry e{};
    e.name = string(r.name);
    e.flags = r.flags;
    e.has_password = r.hasPassword;
    e.navigation = r.navigation;
    e.has_count = r.hasCount;
    e.member_count = r.memberCount;
    e.limit_differs = r.limitDiffers;
    e.max_users = r.maxUsers;
    rooms.push_back(e);
  }
  return rooms.data();
}

const velmor_string* EventStore::lines(const std::vector<std::string>& from) {
  strings.clear();
  for (const std::string& s : from) strings.push_back(string(s));
  return strings.data();
}

Session::Session() = default;

Session::~Session() {
  if (fd_ >= 0) ::close(fd_);
}

velmor_status Session::fail(velmor_status status, std::string message) {
  lastError_ = std::move(message);
  return status;
}

velmor_status Session::connect(const char* host, std::uint16_t port,
                               const velmor_connect_options& options) {
  if (state_ != State::Idle) return fail(VELMOR_ERR_STATE, "already connecting or connected");
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the server listens on IPv4
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host, service.c_str(), &hints, &found); rc != 0) {
    return fail(VELMOR_ERR_RESOLVE, std::string(host) + ": " + ::gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(VELMOR_ERR_CONNECT, std::string("socket: ") + std::strerror(errno));
  fd_ = fd;
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd_, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
    const std::string why = std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return fail(VELMOR_ERR_CONNECT, std::string(host) + ":" + service + ": " + why);
  }
  state_ = State::Connecting;
  wire_.clear();
  wireSent_ = 0;
  plain_.clear();
  decoder_.clear();
  navigation_ = false;
  answerChallenge_ = false;
  if (options.tls) {
    if (velmor_status s = startTls(options, host); s != VELMOR_OK) {
      reset();  // the caller hears it from the return value: no event
      return s;
    }
  }
  return VELMOR_OK;
}

velmor_status Session::startTls(const velmor_connect_options& options, const std::string& host) {
  tlsContext_.reset(SSL_CTX_new(TLS_client_method()));
  if (!tlsContext_) return fail(VELMOR_ERR_TLS, tlsErrors());
  SSL_CTX_set_min_proto_version(tlsContext_.get(), TLS1_2_VERSION);
  if (options.verify_peer) {
    SSL_CTX_set_verify(tlsContext_.get(), SSL_VERIFY_PEER, nullptr);
    const int loaded =
        options.ca_file != nullptr
            ? SSL_CTX_load_verify_locations(tlsContext_.get(), options.ca_file, nullptr)
            : SSL_CTX_set_default_verify_paths(tlsContext_.get());
    if (loaded != 1) return fail(VELMOR_ERR_TLS, "trusted certificates: " + tlsErrors());
  }
  ssl_.reset(SSL_new(tlsContext_.get()));
  if (!ssl_) return fail(VELMOR_ERR_TLS, tlsErrors());
  tlsIn_ = BIO_new(BIO_s_mem());
  tlsOut_ = BIO_new(BIO_s_mem());
  if (tlsIn_ == nullptr || tlsOut_ == nullptr) {
    BIO_free(tlsIn_);
    BIO_free(tlsOut_);
    tlsIn_ = tlsOut_ = nullptr;
    return fail(VELMOR_ERR_NO_MEMORY, "TLS buffers");
  }
  SSL_set_bio(ssl_.get(), tlsIn_, tlsOut_);
  SSL_set_connect_state(ssl_.get());
  const std::string name = options.server_name != nullptr ? options.server_name : host;
  in_addr numeric{};
  const bool isAddress = ::inet_pton(AF_INET, name.c_str(), &numeric) == 1;
  if (!isAddress) SSL_set_tlsext_host_name(ssl_.get(), name.c_str());
  if (options.verify_peer) {
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl_.get());
    const int set = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(check, name.c_str())
                              : X509_VERIFY_PARAM_set1_host(check, name.c_str(), 0);
    if (set != 1) return fail(VELMOR_ERR_TLS, "the name to check: " + tlsErrors());
  }
  return VELMOR_OK;
}

bool Session::wantsWrite() const {
  return state_ == State::Connecting || wireSent_ < wire_.size() ||
         (state_ == State::Open && !plain_.empty());
}

velmor_status Session::process(int timeoutMs) {
  if (state_ == State::Idle) return fail(VELMOR_ERR_NOT_CONNECTED, "not connected");
  pollfd p{fd_, static_cast<short>(POLLIN | (wantsWrite() ? POLLOUT : 0)), 0};
  const int ready = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (ready < 0 && errno != EINTR)
    return end(VELMOR_ERR_IO, std::string("poll: ") + std::strerror(errno));
  if (state_ == State::Connecting) {
    if (ready <= 0 || p.revents == 0) return VELMOR_OK;
    if (velmor_status s = finishConnect(); s != VELMOR_OK) return end(s, lastError_);
  }
  // Whatever arrived before an end of stream is still decoded and delivered first.
  velmor_status closed = receive();
  if (state_ == State::Handshaking && closed == VELMOR_OK) closed = handshake();
  if (state_ == State::Open) {
    if (ssl_) {
      const velmor_status s = readPlain();
      if (closed == VELMOR_OK) closed = s;
    }
    decodeFrames();
    if (closed == VELMOR_OK) closed = encryptPending();
  }
  if (closed == VELMOR_OK) closed = sendWire();
  if (closed != VELMOR_OK) return end(closed, lastError_);
  return VELMOR_OK;
}

velmor_status Session::finishConnect() {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  if (error != 0) return fail(VELMOR_ERR_CONNECT, std::string("connect: ") + std::strerror(error));
  if (ssl_) {
    state_ = State::Handshaking;
    return handshake();
  }
  state_ = State::Open;
  pushLibraryEvent(VELMOR_EVENT_CONNECTED);
  return VELMOR_OK;
}

velmor_status Session::handshake() {
  const int rc = SSL_do_handshake(ssl_.get());
  drainTlsOutput();
  if (rc == 1) {
    state_ = State::Open;
    pushLibraryEvent(VELMOR_EVENT_CONNECTED);
    return VELMOR_OK;
  }
  const int why = SSL_get_error(ssl_.get(), rc);
  if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) return VELMOR_OK;
  std::string message = "TLS handshake: " + tlsErrors();
  if (const long verify = SSL_get_verify_result(ssl_.get()); verify != X509_V_OK) {
    message += " (" + std::string(X509_verify_cert_error_string(verify)) + ")";
  }
  return fail(VELMOR_ERR_TLS, message);
}

velmor_status Session::receive() {
  char buffer[kReadSize];
  for (int i = 0; i < kReadsPerCall; ++i) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (ssl_) {
        BIO_write(tlsIn_, buffer, static_cast<int>(n));
      } else {
        decoder_.feed(buffer, static_cast<std::size_t>(n));
      }
      continue;
    }
    if (n == 0) return fail(VELMOR_ERR_CLOSED, "the server closed the connection");
    if (errno == EAGAIN || errno == EWOULDBLOCK) return VELMOR_OK;
    if (errno == EINTR) continue;
    return fail(VELMOR_ERR_IO, std::string("recv: ") + std::strerror(errno));
  }
  return VELMOR_OK;
}

velmor_status Session::readPlain() {
  char buffer[kReadSize];
  for (;;) {
    const int n = SSL_read(ssl_.get(), buffer, sizeof buffer);
    if (n > 0) {
      decoder_.feed(buffer, static_cast<std::size_t>(n));
      continue;
    }
    const int why = SSL_get_error(ssl_.get(), n);
    drainTlsOutput();
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) return VELMOR_OK;
    if (why == SSL_ERROR_ZERO_RETURN)
      return fail(VELMOR_ERR_CLOSED, "the server closed the connection");
    return fail(VELMOR_ERR_TLS, "TLS read: " + tlsErrors());
  }
}

void Session::decodeFrames() {
  std::string_view payload;
  while (decoder_.nextFrame(payload)) decodeFrame(payload);
}

// RoomState opens the frame that gives an entering user his room, and the MemberInfo of a
// navigation room comes later in that frame: a frame is decoded with the layout known so far
// and, when it holds a RoomState that changes it, decoded again with the new one (everything
// before that RoomState reads the same either way).
void Session::decodeFrame(std::string_view payload) {
  std::vector<client::ServerMessage> messages;
  std::string error;
  bool navigation = navigation_;
  bool ok = client::decodeFrame(payload, {navigation}, messages, error);
  for (const client::ServerMessage& m : messages) {
    if (m.is(wire::ServerCode::RoomState)) {
      if ((m.number(1) != 0) != navigation) {
        navigation = !navigation;
        messages.clear();
        error.clear();
        ok = client::decodeFrame(payload, {navigation}, messages, error);
      }
      break;
    }
  }
  for (client::ServerMessage& m : messages) {
    if (m.is(wire::ServerCode::RoomState)) navigation_ = m.number(1) != 0;
    if (m.is(wire::ServerCode::LoginChallenge) && answerChallenge_) {
      answerChallenge_ = false;
      const client::Hash16 proof = client::loginProof(proofHash_, m.text(1));
      queue([&](client::RequestWriter& w) { w.loginProof(proof); });
    }
    Pending event;
    event.message = std::move(m);
    event.navigationLayout = navigation;
    events_.push_back(std::move(event));
  }
  if (!ok) pushLibraryEvent(VELMOR_EVENT_ERROR, VELMOR_ERR_PROTOCOL, "frame skipped: " + error);
}

velmor_status Session::encryptPending() {
  if (!ssl_ || plain_.empty()) return VELMOR_OK;
  std::size_t given = 0;
  while (given < plain_.size()) {
    const int n =
        SSL_write(ssl_.get(), plain_.data() + given, static_cast<int>(plain_.size() - given));
    if (n <= 0) {
      const int why = SSL_get_error(ssl_.get(), n);
      if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
        return fail(VELMOR_ERR_TLS, "TLS write: " + tlsErrors());
      }
      break;
    }
    given += static_cast<std::size_t>(n);
  }
  plain_.erase(0, given);
  drainTlsOutput();
  return VELMOR_OK;
}

void Session::drainTlsOutput() {
  char buffer[kReadSize];
  for (int n; (n = BIO_read(tlsOut_, buffer, sizeof buffer)) > 0;)
    wire_.append(buffer, static_cast<std::size_t>(n));
}

velmor_status Session::sendWire() {
  while (wireSent_ < wire_.size()) {
    const ssize_t n = ::send(fd_, wire_.data() + wireSent_, wire_.size() - wireSent_, MSG_NOSIGNAL);
    if (n > 0) {
      wireSent_ += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    if (errno == EINTR) continue;
    return fail(VELMOR_ERR_IO, std::string("send: ") + std::strerror(errno));
  }
  if (wireSent_ == wire_.size()) {
    wire_.clear();
    wireSent_ = 0;
  }
  return VELMOR_OK;
}

velmor_status Session::queue(const std::function<void(client::RequestWriter&)>& write) {
  if (state_ == State::Idle) return fail(VELMOR_ERR_NOT_CONNECTED, "not connected");
  writer_.clear();
  writer_.beginFrame();
  write(writer_);
  if (!writer_.endFrame()) return fail(VELMOR_ERR_FRAME_SIZE, "the request does not fit a frame");
  if (wire_.size() - wireSent_ + plain_.size() + writer_.size() > kOutputLimit) {
    return fail(VELMOR_ERR_OUTPUT_FULL, "more than 1 MiB waits unsent");
  }
  (ssl_ ? plain_ : wire_).append(writer_.bytes());
  return VELMOR_OK;
}

velmor_status Session::close() {
  if (state_ == State::Idle) return fail(VELMOR_ERR_NOT_CONNECTED, "not connected");
  end(VELMOR_OK, "closed by the client");
  return VELMOR_OK;
}

velmor_status Session::end(velmor_status status, const std::string& message) {
  reset();
  pushLibraryEvent(VELMOR_EVENT_DISCONNECTED, status, message);
  if (status != VELMOR_OK) lastError_ = message;
  return status;
}

void Session::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ssl_.reset();
  tlsIn_ = tlsOut_ = nullptr;
  tlsContext_.reset();
  state_ = State::Idle;
  wire_.clear();
  wireSent_ = 0;
  plain_.clear();
}

void Session::pushLibraryEvent(int type, velmor_status status, std::string text) {
  Pending event;
  event.libraryType = type;
  event.status = status;
  event.text = std::move(text);
  events_.push_back(std::move(event));
}

bool Session::take(velmor_event& event) {
  if (events_.empty()) return false;
  Pending pending = std::move(events_.front());
  events_.pop_front();
  std::memset(&event, 0, sizeof event);
  store_.message = std::move(pending.message);
  store_.text = std::move(pending.text);
  if (pending.libraryType != 0) {
    event.type = static_cast<velmor_event_type>(pending.libraryType);
    event.data.error.status = pending.status;
    event.data.error.message = string(store_.text);
    return true;
  }
  const client::ServerMessage& m = store_.message;
  if (m.kind != client::MessageKind::Message) {
    event.type = m.kind == client::MessageKind::MemberStep ? VELMOR_EVENT_MEMBER_STEP
                                                           : VELMOR_EVENT_OBJECT_STEP;
    event.data.step.dx = m.step.dx;
    event.data.step.dy = m.step.dy;
    event.data.step.direction = static_cast<velmor_direction>(m.step.direction);
    event.data.step.direction_step = m.step.directionStep;
    event.data.step.direction_value = m.step.directionValue;
    return true;
  }
  store_.navigationLayout = pending.navigationLayout;
  fillMessageEvent(m, event, store_);
  return true;
}

}  // namespace velmor::sdk
