// Small replies to a client whose socket is full, so that they wait in the connection's queued
// output and go out as the client reads: time per reply and heap allocations per reply (the
// steady state makes none: pooled buffers, one write request per connection). Argument 0:
// the TCP door; 1: the WebSocket door, each reply one binary message.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "AllocationCount.h"
#include "net/TCPServer.h"
#include "support/LoopPump.h"
#include "support/Sockets.h"

namespace velmor {
namespace {

// Accepts connections and ignores what they send. Main loop (the benchmark's thread).
class SinkServer : public TCPServer {
 public:
  using TCPServer::TCPServer;
  void onData(uv_stream_t*, ssize_t, const uv_buf_t*) override {}
  bool onConnect(uv_stream_t* client) override {
    connected = client;
    return true;
  }
  void onDisconnect(uv_stream_t*) override { connected = nullptr; }
  uv_stream_t* connected = nullptr;
};

// The client's side of a WebSocket upgrade: the request, and the server's answer read whole.
void upgrade(uv_loop_t* loop, const test::Socket& client) {
  const std::string request =
      "GET / HTTP/1.1\r\nHost: bench\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  ::send(client.fd(), request.data(), request.size(), 0);
  std::string answer;
  test::pumpUntil(loop, [&] {
    char part[512];
    const ssize_t got = ::recv(client.fd(), part, sizeof(part), MSG_DONTWAIT);
    if (got > 0) answer.append(part, static_cast<std::size_t>(got));
    return answer.find("\r\n\r\n") != std::string::npos;
  });
}

void QueuedSmallReplies(benchmark::State& state) {
  constexpr int kRepliesPerRound = 10000;
  const char reply[5] = {3, 0, 32, 0, 0};  // a FileList of an empty room, as the flood had
  const bool webSocket = state.range(0) == 1;
  uv_loop_t loop{};
  uv_loop_init(&loop);
  auto server = std::make_unique<SinkServer>(&loop);
  server->address = "127.0.0.1";
  server->port = test::freePort();
  if (webSocket) server->websocketPort = test::freePort();
  test::pumpUntil(&loop, [&] { return server->isListening(); });
  // Small socket buffers on both sides: most of a round's replies wait in the queue.
  test::Socket client = test::connectTo(
      static_cast<std::uint16_t>(webSocket ? server->websocketPort : server->port), 0, 4096);
  test::pumpUntil(&loop, [&] { return server->connected != nullptr; });
  if (webSocket) upgrade(&loop, client);
  int small = 4096;
  uv_send_buffer_size(reinterpret_cast<uv_handle_t*>(server->connected), &small);
  char sink[1 << 16];
  std::size_t queued = 0;  // bytes held for output at the end of each round's writes
  auto round = [&] {
    for (int i = 0; i < kRepliesPerRound; ++i) server->write(server->connected, reply, 5);
    queued += server->totalPendingOutput();
    // The client reads and the loop writes what waits, turn by turn, without sleeping.
    for (int turn = 0; turn < 1000000 && server->totalPendingOutput() != 0; ++turn) {
      while (::recv(client.fd(), sink, sizeof(sink), MSG_DONTWAIT) > 0) {
      }
      uv_run(&loop, UV_RUN_NOWAIT);
    }
  };
  for (int warm = 0; warm < 10; ++warm) round();  // the pool holds what a round needs

  std::size_t allocated = 0;
  queued = 0;
  for (auto _ : state) {
    const std::size_t before = bench::allocationsSoFar();
    round();
    allocated += bench::allocationsSoFar() - before;
  }
  state.counters["allocations_per_reply"] = benchmark::Counter(
      static_cast<double>(allocated) / kRepliesPerRound, benchmark::Counter::kAvgIterations);
  state.counters["held_bytes_per_round"] =
      benchmark::Counter(static_cast<double>(queued), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations() * kRepliesPerRound);

  client.close();
  server->stopListening();
  server->closeAllClients();
  uv_run(&loop, UV_RUN_DEFAULT);
  server.reset();
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
}
BENCHMARK(QueuedSmallReplies)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmor
