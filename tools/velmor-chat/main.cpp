// velmor-chat: an interactive terminal client for operators and players. Logs in (as a
// guest, a member, or registering the name first), then reads what the user types and
// shows what the server says as it happens, on one connection, until /quit, Ctrl-C, the
// end of the input or the loss of the connection.

#include <poll.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "Options.h"
#include "Session.h"
#include "Terminal.h"
#include "client/Connection.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) {
  interrupted = 1;
}

void printLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmor;
  chat::Options options;
  std::string error;
  switch (chat::parseOptions(argc, argv, options, error)) {
    case chat::ParseResult::Help:
      std::fputs(chat::usageText().c_str(), stdout);
      return chat::kExitOk;
    case chat::ParseResult::Error:
      std::fprintf(stderr, "velmor-chat: %s\n", error.c_str());
      return chat::kExitUsage;
    case chat::ParseResult::Run:
      break;
  }

  client::Connection connection(options.connectTimeoutMs);
  if (!connection.open(options.host, options.port)) {
    std::fprintf(stderr, "velmor-chat: %s\n", connection.error().c_str());
    return chat::kExitNoServer;
  }
  chat::Session session(connection, options, printLine);
  if (const int status = session.logIn(); status != chat::kExitOk) return status;
  session.printWelcome();

  chat::Terminal terminal([&](const std::string& line) { session.command(line); },
                          [&] { session.finish(chat::kExitOk); });
  std::signal(SIGINT, onInterrupt);
  std::signal(SIGPIPE, SIG_IGN);
  // From here on everything the session prints goes above the prompt.
  session.setPrinter([&terminal](const std::string& line) { terminal.print(line); });
  while (!session.finished()) {
    pollfd fds[2] = {{terminal.fd(), POLLIN, 0}, {connection.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (interrupted) {
      session.finish(chat::kExitOk);
      break;
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      const bool open = connection.pump();
      client::ServerMessage message;
      while (connection.take(message)) session.handle(message);
      if (!open) {
        terminal.print("velmor-chat: the connection to the server was lost (" + connection.error() +
                       ").");
        session.finish(chat::kExitNoServer);
        break;
      }
    }
    if (fds[0].revents != 0 && !session.finished()) terminal.readInput();
  }
  return *session.finished();
}
