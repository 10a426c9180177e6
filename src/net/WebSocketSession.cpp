#include "net/WebSocketSession.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "net/WebFolder.h"

namespace velmor {

namespace {
constexpr char kAcceptMagic[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool sameText(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == y;
         });
}

// Whether a comma-separated header holds the token (lower case), case-insensitively.
bool holdsToken(const std::string& header, const char* token) {
  std::size_t start = 0;
  while (start <= header.size()) {
    std::size_t end = header.find(',', start);
    if (end == std::string::npos) end = header.size();
    std::string item = header.substr(start, end - start);
    const auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
    while (!item.empty() && blank(item.back())) item.pop_back();
    item.erase(item.begin(), std::find_if_not(item.begin(), item.end(), blank));
    if (sameText(item, token)) return true;
    start = end + 1;
  }
  return false;
}

std::string acceptKey(const std::string& key) {
  const std::string text = key + kAcceptMagic;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  EVP_Digest(text.data(), text.size(), digest, &digestLength, EVP_sha1(), nullptr);
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestLength));
  return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

// A URL path with its %XX escapes decoded; false when an escape is broken or makes a NUL.
bool decodePath(std::string_view raw, std::string& path) {
  path.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      path += raw[i];
      continue;
    }
    if (i + 2 >= raw.size() || !std::isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(raw[i + 2])))
      return false;
    const auto digit = [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
    };
    const char value = static_cast<char>(digit(raw[i + 1]) * 16 + digit(raw[i + 2]));
    if (value == '\0') return false;
    path += value;
    i += 2;
  }
  return !path.empty() && path.front() == '/';
}

// Every page answer says what the page may do: load its own scripts and styles, talk to its
// own origin (the WebSocket port it came from), nothing inline and no framing by others.
constexpr char kPageHeaders[] =
    "Cache-Control: no-cache\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n";
}  // namespace

WebSocketSession::WebSocketSession(const DoorPolicy& policy) : policy_(policy) {
  http_parser_init(&parser_, HTTP_REQUEST);
  parser_.data = this;
}

WebSocketSession::~WebSocketSession() {
  if (events_ != nullptr) wslay_event_context_free(events_);
  if (frames_ != nullptr) wslay_frame_context_free(frames_);
}

WebSocketSession::Result WebSocketSession::receive(const char* data, std::size_t length,
                                                   std::size_t& used, Io& io) {
  if (!open()) return readRequest(data, length, used, io);
  used = length;
  return readFrames(data, length, io);
}

// --- the upgrade request ------------------------------------------------------------------

WebSocketSession::Result WebSocketSession::readRequest(const char* data, std::size_t length,
                                                       std::size_t& used, Io& io) {
  static const http_parser_settings callbacks = [] {
    http_parser_settings s{};
    http_parser_settings_init(&s);
    s.on_url = onUrl;
    s.on_header_field = onHeaderField;
    s.on_header_value = onHeaderValue;
    s.on_headers_complete = onHeadersComplete;
    s.on_message_complete = onMessageComplete;
    return s;
  }();
  const std::size_t room = kMaxRequestBytes - requestBytes_;
  const std::size_t parsed =
      http_parser_execute(&parser_, &callbacks, data, std::min(length, room));
  requestBytes_ += parsed;
  used = parsed;
  if (messageComplete_) return answer(io);
  if (HTTP_PARSER_ERRNO(&parser_) != HPE_OK) return refuse("400 Bad Request", io);
  if (requestBytes_ >= kMaxRequestBytes) return refuse("431 Request Header Fields Too Large", io);
  return Result::Going;
}

int WebSocketSession::onUrl(http_parser* parser, const char* at, std::size_t length) {
  static_cast<WebSocketSession*>(parser->data)->url_.append(at, length);
  return 0;
}

int WebSocketSession::onHeaderField(http_parser* parser, const char* at, std::size_t length) {
  auto* self = static_cast<WebSocketSession*>(parser->data);
  if (self->inValue_) self->commitHeader();
  self->field_.append(at, length);
  return 0;
}

int WebSocketSession::onHeaderValue(http_parser* parser, const char* at, std::size_t length) {
  auto* self = static_cast<WebSocketSession*>(parser->data);
  self->inValue_ = true;
  self->value_.append(at, length);
  return 0;
}

int WebSocketSession::onHeadersComplete(http_parser* parser) {
  auto* self = static_cast<WebSocketSession*>(parser->data);
  if (self->inValue_) self->commitHeader();
  return 0;
}

int WebSocketSession::onMessageComplete(http_parser* parser) {
  static_cast<WebSocketSession*>(parser->data)->messageComplete_ = true;
  http_parser_pause(parser, 1);  // what follows is not HTTP
  return 0;
}

void WebSocketSession::commitHeader() {
  std::string* target = nullptr;
  if (sameText(field_, "upgrade")) target = &upgrade_;
  if (sameText(field_, "connection")) target = &connection_;
  if (sameText(field_, "sec-websocket-key")) target = &key_;
  if (sameText(field_, "sec-websocket-version")) target = &version_;
  if (sameText(field_, "origin")) target = &origin_;
  if (sameText(field_, "x-forwarded-for")) target = &forwardedFor_;
  if (sameText(field_, "if-none-match")) target = &ifNoneMatch_;
  if (target != nullptr) {
    // Repeated headers join as one list, as HTTP says they mean.
    if (!target->empty()) target->append(",");
    target->append(value_);
  }
  field_.clear();
  value_.clear();
  inValue_ = false;
}

WebSocketSession::Result WebSocketSession::answer(Io& io) {
  if (upgrade_.empty() && policy_.web != nullptr) {
    if (parser_.method == HTTP_GET || parser_.method == HTTP_HEAD) return serveFile(io);
    return refuse("405 Method Not Allowed\r\nAllow: GET, HEAD", io);
  }
  if (!parser_.upgrade || !holdsToken(upgrade_, "websocket"))
    return refuse("426 Upgrade Required\r\nUpgrade: websocket", io);
  if (parser_.method != HTTP_GET || !holdsToken(connection_, "upgrade") || key_.size() != 24)
    return refuse("400 Bad Request", io);
  if (version_ != "13") return refuse("426 Upgrade Required\r\nSec-WebSocket-Version: 13", io);
  const auto& origins = policy_.websocketOrigins;
  // The list keeps other sites' pages out; browsers always say where a page comes from, and
  // a program that does not (a native client) could say anything it liked.
  if (!origins.empty() && !origin_.empty() &&
      std::find(origins.begin(), origins.end(), origin_) == origins.end())
    return refuse("403 Forbidden", io);

  static const wslay_event_callbacks eventCallbacks = {onRecv,       onSend,  nullptr, onFrameStart,
                                                       onFrameChunk, nullptr, nullptr};
  static const wslay_frame_callbacks frameCallbacks = {onFrameSend, nullptr, nullptr};
  if (wslay_event_context_server_init(&events_, &eventCallbacks, this) != 0 ||
      wslay_frame_context_init(&frames_, &frameCallbacks, this) != 0) {
    return Result::Close;  // out of memory
  }
  wslay_event_config_set_no_buffering(events_, 1);
  wslay_event_config_set_max_recv_msg_length(events_, kMaxMessageBytes);
  const std::string reply =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      acceptKey(key_) + "\r\n\r\n";
  // The request's texts are not needed any more.
  field_ = value_ = url_ = upgrade_ = connection_ = key_ = version_ = origin_ = ifNoneMatch_ =
      std::string();
  if (!io.emit(reply.data(), reply.size())) return Result::Close;
  return Result::Opened;
}

WebSocketSession::Result WebSocketSession::serveFile(Io& io) {
  http_parser_url parts{};
  http_parser_url_init(&parts);
  std::string path;
  const bool named = http_parser_parse_url(url_.data(), url_.size(), 0, &parts) == 0 &&
                     (parts.field_set & (1 << UF_PATH)) != 0 &&
                     decodePath(std::string_view(url_).substr(parts.field_data[UF_PATH].off,
                                                              parts.field_data[UF_PATH].len),
                                path);
  if (!named) return refuse("400 Bad Request", io);
  const WebFolder::File* file = policy_.web->find(path);
  const bool keepAlive = http_should_keep_alive(&parser_) != 0;
  static const std::string kNotFound = "Not found\n";
  const bool unchanged = file != nullptr && !ifNoneMatch_.empty() && ifNoneMatch_ == file->etag;
  const std::string& body = file == nullptr ? kNotFound : file->body;
  std::string head = file == nullptr ? "HTTP/1.1 404 Not Found\r\n"
                     : unchanged     ? "HTTP/1.1 304 Not Modified\r\n"
                                     : "HTTP/1.1 200 OK\r\n";
  head += "Content-Type: ";
  head += file == nullptr ? "text/plain; charset=utf-8" : file->contentType.c_str();
  head += "\r\nContent-Length: " + std::to_string(unchanged ? 0 : body.size()) + "\r\n";
  if (file != nullptr) head += "ETag: " + file->etag + "\r\n";
  head += kPageHeaders;
  head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  const bool withBody = !unchanged && parser_.method != HTTP_HEAD;
  if (!io.emit(head.data(), head.size(), withBody ? body.data() : nullptr,
               withBody ? body.size() : 0))
    return Result::Close;
  if (!keepAlive) return Result::Close;
  startRequest();
  return Result::Going;
}

// The next request on the same connection starts from nothing.
void WebSocketSession::startRequest() {
  http_parser_init(&parser_, HTTP_REQUEST);
  parser_.data = this;
  requestBytes_ = 0;
  messageComplete_ = false;
  inValue_ = false;
  field_.clear();
  value_.clear();
  for (std::string* text :
       {&url_, &upgrade_, &connection_, &key_, &version_, &origin_, &forwardedFor_, &ifNoneMatch_})
    text->clear();
}

WebSocketSession::Result WebSocketSession::refuse(const char* status, Io& io) {
  const std::string reply =
      std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  io.emit(reply.data(), reply.size());
  return Result::Close;
}

// --- frames --------------------------------------------------------------------------------

WebSocketSession::Result WebSocketSession::readFrames(const char* data, std::size_t length,
                                                      Io& io) {
  io_ = &io;
  input_ = data;
  inputLeft_ = length;
  const bool failed = wslay_event_recv(events_) != 0;
  // Pongs and the close frames wslay answered with.
  const bool sendFailed = !failed && wslay_event_send(events_) != 0;
  io_ = nullptr;
  if (failed || sendFailed || emitFailed_) return Result::Close;
  if (wslay_event_get_close_received(events_) || !wslay_event_get_read_enabled(events_))
    return Result::Close;
  return Result::Going;
}

ssize_t WebSocketSession::onRecv(wslay_event_context_ptr events, std::uint8_t* buf,
                                 std::size_t length, int, void* self) {
  auto* session = static_cast<WebSocketSession*>(self);
  if (session->inputLeft_ == 0 || session->io_->closing()) {
    wslay_event_set_error(events, WSLAY_ERR_WOULDBLOCK);
    return -1;
  }
  const std::size_t taken = std::min(length, session->inputLeft_);
  std::memcpy(buf, session->input_, taken);
  session->input_ += taken;
  session->inputLeft_ -= taken;
  return static_cast<ssize_t>(taken);
}

void WebSocketSession::onFrameStart(wslay_event_context_ptr events,
                                    const wslay_event_on_frame_recv_start_arg* frame, void* self) {
  auto* session = static_cast<WebSocketSession*>(self);
  session->frameIsData_ = !wslay_is_ctrl_frame(frame->opcode);
  if (!session->frameIsData_) return;
  std::uint16_t refusal = 0;
  if (frame->opcode == WSLAY_TEXT_FRAME) {
    refusal = WSLAY_CODE_UNSUPPORTED_DATA;
  } else {
    if (frame->opcode == WSLAY_BINARY_FRAME) session->messageBytes_ = 0;
    session->messageBytes_ += frame->payload_length;
    if (session->messageBytes_ > kMaxMessageBytes) refusal = WSLAY_CODE_MESSAGE_TOO_BIG;
  }
  if (refusal == 0 || session->refusedMessage_) return;
  session->refusedMessage_ = true;
  wslay_event_queue_close(events, refusal, nullptr, 0);
  wslay_event_shutdown_read(events);
}

void WebSocketSession::onFrameChunk(wslay_event_context_ptr,
                                    const wslay_event_on_frame_recv_chunk_arg* chunk, void* self) {
  auto* session = static_cast<WebSocketSession*>(self);
  // Control frames' payloads are wslay's (it buffers them); refused messages go nowhere.
  if (session->refusedMessage_ || session->io_->closing()) return;
  if (session->frameIsData_)
    session->io_->deliver(reinterpret_cast<const char*>(chunk->data), chunk->data_length);
}

ssize_t WebSocketSession::onSend(wslay_event_context_ptr events, const std::uint8_t* data,
                                 std::size_t length, int, void* self) {
  auto* session = static_cast<WebSocketSession*>(self);
  if (session->io_ == nullptr || !session->io_->emit(reinterpret_cast<const char*>(data), length)) {
    session->emitFailed_ = true;
    wslay_event_set_error(events, WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
  }
  return static_cast<ssize_t>(length);
}

ssize_t WebSocketSession::onFrameSend(const std::uint8_t* data, std::size_t length, int flags,
                                      void* self) {
  auto* session = static_cast<WebSocketSession*>(self);
  // The header is held until its payload comes, so that both leave in one write.
  if ((flags & WSLAY_MSG_MORE) != 0 && length <= sizeof(session->header_)) {
    std::memcpy(session->header_, data, length);
    session->headerLength_ = length;
    return static_cast<ssize_t>(length);
  }
  const bool sent = session->io_->emit(session->header_, session->headerLength_,
                                       reinterpret_cast<const char*>(data), length);
  session->headerLength_ = 0;
  if (!sent) {
    session->emitFailed_ = true;
    return WSLAY_ERR_INVALID_CALLBACK;
  }
  return static_cast<ssize_t>(length);
}

bool WebSocketSession::send(const char* data, std::size_t length, Io& io) {
  if (!open() || wslay_event_get_close_sent(events_) || emitFailed_) return false;
  if (length == 0) return true;
  wslay_frame_iocb frame{};
  frame.fin = 1;
  frame.opcode = WSLAY_BINARY_FRAME;
  frame.payload_length = length;
  frame.data = reinterpret_cast<const std::uint8_t*>(data);
  frame.data_length = length;
  // A reply may be sent while a read is delivering (io_ is then the read's): the read goes on
  // after it with its own.
  Io* const outer = io_;
  io_ = &io;
  const ssize_t sent = wslay_frame_send(frames_, &frame);
  io_ = outer;
  return sent == static_cast<ssize_t>(length) && !emitFailed_;
}

void WebSocketSession::close(std::uint16_t code, Io& io) {
  if (!open() || wslay_event_get_close_sent(events_) || emitFailed_) return;
  wslay_event_queue_close(events_, code, nullptr, 0);
  Io* const outer = io_;
  io_ = &io;
  wslay_event_send(events_);
  io_ = outer;
}

}  // namespace velmor
