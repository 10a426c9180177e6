#pragma once

// The terminal of velmor-chat. On a terminal: a prompt with line editing and history (GNU
// readline, in its callback mode, so that the server's lines and the keys share one poll),
// and lines that arrive while the user types are printed above the line being typed, which
// is then drawn again as it was. Lines printed while a typed line is being handled (the
// answers of the tool itself) go below that line, and the line editor draws the prompt
// after them. Without a terminal (a pipe, a file): plain lines in and out.
// One per process, owned by main(); one thread.

#include <functional>
#include <string>

namespace velmor::chat {

class Terminal {
 public:
  // `onLine` gets each line typed (without its line end); `onEnd` the end of the input
  // (Ctrl-D, or the end of a pipe).
  Terminal(std::function<void(const std::string&)> onLine, std::function<void()> onEnd);
  ~Terminal();  // the terminal is left as it was found
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // The descriptor to poll for input (standard input).
  int fd() const { return 0; }
  // Call when fd() is readable.
  void readInput();
  // One line of output, above the prompt.
  void print(const std::string& line);

 private:
  static void onReadlineLine(char* line);

  std::function<void(const std::string&)> onLine_;
  std::function<void()> onEnd_;
  bool interactive_;
  // Inside onLine_: the line editor has moved below the typed line and draws the prompt
  // afresh once onLine_ returns, so what is printed meanwhile is written as it is.
  bool handlingLine_ = false;
  std::string pending_;  // without a terminal: input not yet ending in a line end
};

}  // namespace velmor::chat
