#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "support/Sockets.h"

namespace velmor::test {

// One HTTP response as a test reads it off a loopback socket.
struct HttpResponse {
  int status = 0;
  std::string head;  // the status line and the headers, as sent
  std::string body;
  // A header's value (the name in any case), empty when absent.
  std::string header(std::string_view name) const;
};

// Reads one response from the socket: the head, then a body of Content-Length bytes (none
// after a HEAD request; to the end of the stream without Content-Length). Nothing when no
// whole response came within the timeout.
std::optional<HttpResponse> readResponse(Socket& socket, std::chrono::milliseconds timeout,
                                         bool headRequest = false);

// "GET <path> HTTP/1.1" with Host and the Accept given (none when empty), on the open
// connection (kept open: HTTP/1.1).
std::string getRequest(std::string_view path, std::string_view accept = {});

// The samples of a metrics body in the text format: "name{labels}" -> value.
using Samples = std::map<std::string, double>;
Samples samplesOf(const std::string& text);

// A fresh connection from its own source address, one GET, its response.
std::optional<HttpResponse> httpGet(std::uint16_t port, std::string_view path,
                                    std::string_view accept = {},
                                    std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The same with any method and a JSON body (none when empty).
std::optional<HttpResponse> httpRequest(std::uint16_t port, std::string_view method,
                                        std::string_view path, std::string_view body,
                                        std::chrono::milliseconds timeout);

}  // namespace velmor::test
