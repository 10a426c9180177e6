#include "support/HttpClient.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace velmor::test {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

Samples samplesOf(const std::string& text) {
  Samples samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
  }
  return samples;
}

std::string HttpResponse::header(std::string_view name) const {
  std::size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const std::size_t start = at + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string_view line(head.data() + start,
                                (end == std::string::npos ? head.size() : end) - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && sameIgnoringCase(line.substr(0, colon), name)) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    at = end;
  }
  return {};
}

std::optional<HttpResponse> readResponse(Socket& socket, std::chrono::milliseconds timeout,
                                         bool headRequest) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto left = [&] {
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
  };
  std::string bytes;
  std::size_t headEnd = std::string::npos;
  while ((headEnd = bytes.find("\r\n\r\n")) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    const std::string more = socket.receiveSome(left());
    if (more.empty()) return std::nullopt;  // closed, or nothing in time
    bytes += more;
  }
  HttpResponse response;
  response.head = bytes.substr(0, headEnd);
  response.body = bytes.substr(headEnd + 4);
  if (response.head.rfind("HTTP/1.", 0) != 0 || response.head.size() < 12) return std::nullopt;
  response.status = std::atoi(response.head.c_str() + 9);
  if (headRequest) {
    response.body.clear();
    return response;
  }
  const std::string length = response.header("Content-Length");
  if (length.empty()) {  // to the end of the stream
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string more = socket.receiveSome(left());
      if (more.empty()) break;
      response.body += more;
    }
    return response;
  }
  const std::size_t wanted = std::strtoull(length.c_str(), nullptr, 10);
  while (response.body.size() < wanted) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    const std::string more = socket.receiveSome(left());
    if (more.empty()) return std::nullopt;
    response.body += more;
  }
  response.body.resize(wanted);
  return response;
}

std::string getRequest(std::string_view path, std::string_view accept) {
  std::string request = "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!accept.empty()) request += "Accept: " + std::string(accept) + "\r\n";
  return request + "\r\n";
}

std::optional<HttpResponse> httpGet(std::uint16_t port, std::string_view path,
                                    std::string_view accept, std::chrono::milliseconds timeout) {
  Socket socket = connectTo(port);
  if (!socket.valid() || !socket.sendAll(getRequest(path, accept))) return std::nullopt;
  return readResponse(socket, timeout);
}

std::optional<HttpResponse> httpRequest(std::uint16_t port, std::string_view method,
                                        std::string_view path, std::string_view body,
                                        std::chrono::milliseconds timeout) {
  Socket socket = connectTo(port);
  std::string request = std::string(method) + " " + std::string(path) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!body.empty()) {
    request +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  if (!socket.valid() || !socket.sendAll(request + "\r\n" + std::string(body))) return std::nullopt;
  return readResponse(socket, timeout);
}

}  // namespace velmor::test
