#pragma once

#include <rapidjson/document.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/Sockets.h"
#include "support/TempDir.h"

namespace velmor::test {

// A headless Chromium driven over WebDriver: Debian's chromedriver started on a free loopback
// port as a ChildProcess, and one session whose browser profile lives in a temporary folder;
// certificate errors are ignored (the tests' certificates are self-signed). The destructor
// ends the session (the browser quits) and stops chromedriver by its pid. Test thread only.
class WebDriver {
 public:
  WebDriver();
  ~WebDriver();
  WebDriver(const WebDriver&) = delete;
  WebDriver& operator=(const WebDriver&) = delete;

  // True once the session is up (within 30 s of the start).
  bool ready() const { return !session_.empty(); }
  // The URL and scripts go into JSON strings as they are: no quotes or backslashes in them.
  bool open(const std::string& url);
  // What `script` (a function body, e.g. "return document.title") returns in the page, when it
  // is a string; empty otherwise.
  std::string evaluate(const std::string& script);

 private:
  // Whether the command was answered 200 with a "value" member.
  bool command(const char* method, const std::string& path, const std::string& body,
               rapidjson::Document& answer);

  TempDir dir_;
  std::uint16_t port_ = freePort();
  std::unique_ptr<ChildProcess> driver_;
  std::string session_;
  pid_t browser_ = -1;  // Chromium's main process, started by chromedriver
};

}  // namespace velmor::test
