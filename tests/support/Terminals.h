#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace velmor::test {

// A tmux server of the test's own (a socket named after `name` and the test's pid), with
// windows of one size, each running one shell command; the destructor kills the server and
// with it whatever still runs in it, however the test ended. Test thread only.
class Terminals {
 public:
  explicit Terminals(const std::string& name, int width = 100, int height = 30);
  ~Terminals();
  Terminals(const Terminals&) = delete;
  Terminals& operator=(const Terminals&) = delete;

  // Opens a window running `command` (given to sh as it is written); false when tmux could
  // not.
  bool open(const std::string& window, const std::string& command);
  // Named keys ("C-c", "Enter"), as tmux send-keys takes them.
  void keys(const std::string& window, const std::string& keys);
  // The text typed as it is, then Enter; typeOnly leaves it on the prompt line.
  void type(const std::string& window, const std::string& line);
  void typeOnly(const std::string& window, const std::string& text);
  // What the window shows; with `escapes` its attributes too, with `history` the 200 lines
  // above and wrapped lines joined.
  std::string screen(const std::string& window, bool escapes = false, bool history = false);
  // Whether the window's command still runs (the window closes when it ends), and its pid.
  bool running(const std::string& window);
  std::string pid(const std::string& window);

  // Waits until the window shows `text` (its history included), the screen read into `seen`
  // when given.
  testing::AssertionResult shows(const std::string& window, const std::string& text,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                 std::string* seen = nullptr);

 private:
  std::string target(const std::string& window) const { return " -t velmor:" + window; }

  std::string tmux_;
  int width_;
  int height_;
  bool started_ = false;
};

}  // namespace velmor::test
