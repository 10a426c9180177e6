#include "support/Terminals.h"

#include <unistd.h>

#include "support/Eventually.h"
#include "support/Shell.h"

namespace velmor::test {

namespace {
// One word for sh, whatever quotes the text holds.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

Terminals::Terminals(const std::string& name, int width, int height)
    : tmux_("tmux -L " + name + "-" + std::to_string(getpid())), width_(width), height_(height) {}

Terminals::~Terminals() {
  if (started_) run(tmux_ + " kill-server");
}

bool Terminals::open(const std::string& window, const std::string& command) {
  const std::string size = " -x " + std::to_string(width_) + " -y " + std::to_string(height_);
  const std::string verb = started_ ? " new-window -t velmor -n " + window
                                    : " new-session -d" + size + " -s velmor -n " + window;
  started_ = true;
  return run(tmux_ + verb + " " + quoted(command)) == 0;
}

void Terminals::keys(const std::string& window, const std::string& keys) {
  run(tmux_ + " send-keys" + target(window) + " " + keys);
}

void Terminals::type(const std::string& window, const std::string& line) {
  typeOnly(window, line);
  keys(window, "Enter");
}

void Terminals::typeOnly(const std::string& window, const std::string& text) {
  run(tmux_ + " send-keys" + target(window) + " -l '" + text + "'");
}

std::string Terminals::screen(const std::string& window, bool escapes, bool history) {
  return capture(tmux_ + " capture-pane -p" + (escapes ? " -e" : "") +
                 (history ? " -J -S -200" : "") + target(window));
}

bool Terminals::running(const std::string& window) {
  return run(tmux_ + " list-panes" + target(window) + " >/dev/null 2>&1") == 0;
}

std::string Terminals::pid(const std::string& window) {
  return capture(tmux_ + " list-panes -F '#{pane_pid}'" + target(window));
}

testing::AssertionResult Terminals::shows(const std::string& window, const std::string& text,
                                          std::chrono::milliseconds timeout, std::string* seen) {
  std::string shown;
  const auto found = [&] {
    return (shown = screen(window, false, true)).find(text) != std::string::npos;
  };
  const bool ok = eventually(found, timeout, std::chrono::milliseconds(50));
  if (seen != nullptr) *seen = shown;
  if (ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << window << " never showed \"" << text << "\":\n" << shown;
}

}  // namespace velmor::test
