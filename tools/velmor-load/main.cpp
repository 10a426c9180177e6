// velmor-load: drives many simulated clients against a running server from one thread,
// runs a scenario for a fixed time and prints (and writes as JSON) what it measured.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Scenario.h"

namespace {

using velmor::load::Options;

constexpr const char* kUsage =
    "usage: velmor-load SCENARIO [options]\n"
    "Drives simulated clients against a server on 127.0.0.1 and measures it.\n"
    "Scenarios:\n"
    "  chat   one chat room \"LoadChat\" of --members N, --senders S saying 40-byte lines\n"
    "         at --rate R lines/s in all (the server allows 10 lines/s per member)\n"
    "  nav    --rooms R navigation rooms \"Nav1\"..\"NavR\" of --members M moving at --hz H\n"
    "  login  --clients L registered members logging in with challenge and proof\n"
    "  churn  connect, log in, enter \"LoadChat\", leave, disconnect, in a loop\n"
    "  idle   --clients L guests logged in and idle (server memory per client)\n"
    "Options:\n"
    "  --port N          server port (7175): the port of the door --transport names\n"
    "  --transport T     tcp (default), ws (WebSocket, one binary message per request),\n"
    "                    wss (WebSocket over TLS) or tls (the protocol over TLS); every\n"
    "                    connection of the run, the status watcher's too. TLS does NOT\n"
    "                    verify the server's certificate (a load tool for a local server\n"
    "                    with a self-signed one)\n"
    "  --server-pid PID  measure the server's CPU and memory from /proc\n"
    "  --members N --senders S --rate R --rooms R --hz H --clients L\n"
    "  --duration S      seconds of measurement (20)\n"
    "  --source-net N    source addresses 127.N.x.y (20); the server admits 7 connections\n"
    "                    per address in 10 s, so every client has an address of its own\n"
    "  --json FILE       also write the figures as JSON\n"
    "  --admin-password P  the server's administrator password: the longest tick and the\n"
    "                    tick p99 come from its status text, asked for every second\n"
    "                    (without it the status is asked for with an empty password)\n";

bool parse(int argc, char** argv, Options& options) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)
    return false;
  options.scenario = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string key = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "velmor-load: %s needs a value\n", key.c_str());
      std::exit(2);
    }
    const char* value = argv[++i];
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    const bool numeric = end != value && *end == '\0';
    if (key == "--json") {
      options.json = value;
      continue;
    }
    if (key == "--transport") {
      const auto kind = velmor::load::parseTransport(value);
      if (!kind) {
        std::fprintf(stderr, "velmor-load: --transport is tcp, ws, wss or tls, not \"%s\"\n",
                     value);
        std::exit(2);
      }
      options.transport = *kind;
      continue;
    }
    if (key == "--admin-password") {
      options.adminPassword = value;
      continue;
    }
    if (!numeric || number < 0) {
      std::fprintf(stderr, "velmor-load: %s takes a number, not \"%s\"\n", key.c_str(), value);
      std::exit(2);
    }
    if (key == "--port")
      options.port = static_cast<std::uint16_t>(number);
    else if (key == "--server-pid")
      options.serverPid = static_cast<pid_t>(number);
    else if (key == "--members")
      options.members = static_cast<int>(number);
    else if (key == "--senders")
      options.senders = static_cast<int>(number);
    else if (key == "--rate")
      options.rate = number;
    else if (key == "--rooms")
      options.rooms = static_cast<int>(number);
    else if (key == "--hz")
      options.hz = number;
    else if (key == "--clients")
      options.clients = static_cast<int>(number);
    else if (key == "--duration")
      options.duration = number;
    else if (key == "--source-net")
      options.sourceNet = static_cast<int>(number);
    else {
      std::fprintf(stderr, "velmor-load: unknown option %s (see --help)\n", key.c_str());
      std::exit(2);
    }
  }
  return true;
}

void raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (options.senders > options.members || options.rate <= 0 || options.duration <= 0 ||
      options.duration > 600 || options.clients > 60000 ||
      options.rooms * options.members > 60000 || options.sourceNet < 1 || options.sourceNet > 254) {
    std::fprintf(stderr,
                 "velmor-load: options out of range (senders <= members, 0 < duration <= 600 s, "
                 "at most 60000 clients, source net 1..254)\n");
    return 2;
  }
  raiseFileLimit();
  std::unique_ptr<velmor::load::Scenario> scenario;
  if (options.scenario == "chat")
    scenario = velmor::load::makeChatScenario(options);
  else if (options.scenario == "nav")
    scenario = velmor::load::makeNavScenario(options);
  else if (options.scenario == "login")
    scenario = velmor::load::makeLoginScenario(options);
  else if (options.scenario == "churn")
    scenario = velmor::load::makeChurnScenario(options);
  else if (options.scenario == "idle")
    scenario = velmor::load::makeIdleScenario(options);
  else {
    std::fprintf(stderr, "velmor-load: unknown scenario \"%s\" (see --help)\n",
                 options.scenario.c_str());
    return 2;
  }
  velmor::load::Metrics metrics;
  if (!scenario->run(metrics)) return 1;
  metrics.print();
  if (!options.json.empty() && !metrics.writeJson(options.json)) {
    std::fprintf(stderr, "velmor-load: cannot write %s\n", options.json.c_str());
    return 1;
  }
  return 0;
}
