#include "Terminal.h"

#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace velmor::chat {

namespace {
constexpr const char* kPrompt = "> ";
Terminal* active = nullptr;  // the callback of the line editor has no user data
}  // namespace

Terminal::Terminal(std::function<void(const std::string&)> onLine, std::function<void()> onEnd)
    : onLine_(std::move(onLine)), onEnd_(std::move(onEnd)), interactive_(isatty(0) && isatty(1)) {
  active = this;
  if (interactive_) {
    rl_callback_handler_install(kPrompt, onReadlineLine);
  }
}

Terminal::~Terminal() {
  if (interactive_) {
    rl_callback_handler_remove();
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }
  active = nullptr;
}

void Terminal::onReadlineLine(char* line) {
  if (active == nullptr) return;
  if (line == nullptr) {
    active->onEnd_();
    return;
  }
  if (*line != '\0') add_history(line);
  const std::string text(line);
  std::free(line);
  active->handlingLine_ = true;
  active->onLine_(text);
  active->handlingLine_ = false;
}

void Terminal::readInput() {
  if (interactive_) {
    rl_callback_read_char();
    return;
  }
  char buffer[4096];
  const ssize_t n = ::read(0, buffer, sizeof(buffer));
  if (n <= 0) {
    if (!pending_.empty()) onLine_(std::exchange(pending_, {}));
    onEnd_();
    return;
  }
  pending_.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onLine_(line);
  }
}

void Terminal::print(const std::string& line) {
  // Between keys, the prompt and what is typed are on the screen: they make way for the
  // line and are drawn again below it. While a typed line is handled, the line editor has
  // finished that line and drawn nothing yet: its idea of the screen is stale, and drawing
  // with it would leave the old line after the new prompt ("> /enter> ").
  const bool redraw = interactive_ && !handlingLine_;
  if (redraw) rl_clear_visible_line();
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (redraw) {
    rl_on_new_line();
    rl_redisplay();  // the prompt, and the typed text with its cursor, below the line
  }
}

}  // namespace velmor::chat
