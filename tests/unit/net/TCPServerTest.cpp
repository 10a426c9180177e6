#include "net/TCPServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopPump.h"
#include "support/Sockets.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using test::Socket;

// A server that records every event the framework gives it.
class RecordingServer : public TCPServer {
 public:
  using TCPServer::TCPServer;

  void onData(uv_stream_t*, ssize_t nread, const uv_buf_t* buf) override {
    reads.push_back(static_cast<std::size_t>(nread));
    received.append(buf->base, static_cast<std::size_t>(nread));
  }
  bool onConnect(uv_stream_t* client) override {
    ++connects;
    lastClient = client;
    clients.push_back(client);
    peerAddress = static_cast<ClientData*>(client->data)->peerIPv4();
    return admit;
  }
  void onDisconnect(uv_stream_t* client) override {
    ++disconnects;
    closed.push_back(client);
    if (client == lastClient) lastClient = nullptr;
  }

  bool admit = true;
  int connects = 0;
  int disconnects = 0;
  std::uint32_t peerAddress = 0;
  uv_stream_t* lastClient = nullptr;
  std::vector<uv_stream_t*> clients;  // in the order they connected
  std::vector<uv_stream_t*> closed;   // in the order they were disconnected
  std::vector<std::size_t> reads;
  std::string received;
};

// The loop runs on the test thread, turned by pumpUntil; client sockets are plain
// blocking sockets on loopback, so every step is deterministic.
class TCPServerTest : public testing::Test {
 protected:
  void SetUp() override {
    uv_loop_init(&loop);
    server = std::make_unique<RecordingServer>(&loop);
    server->address = "127.0.0.1";
    server->port = test::freePort();
  }

  void TearDown() override {
    server->stopListening();
    server->closeAllClients();
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(server->openClientCount(), 0u);
    server.reset();
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop), 0) << "a handle was left open";
  }

  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3s) {
    return test::pumpUntil(&loop, done, timeout);
  }
  // Runs whatever the loop has pending (callbacks, closes) without waiting for new events.
  void drainLoop() {
    for (int turn = 0; turn < 10; ++turn) uv_run(&loop, UV_RUN_NOWAIT);
  }

  void listen() {
    ASSERT_TRUE(pumpUntil([&] { return server->isListening(); }));
  }

  uv_loop_t loop{};
  std::unique_ptr<RecordingServer> server;
};

TEST_F(TCPServerTest, ConnectAndCloseGivesOneConnectAndOneDisconnect) {
  listen();
  Socket client = test::connectTo(static_cast<std::uint16_t>(server->port), 5);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(pumpUntil([&] { return server->connects == 1; }));
  EXPECT_EQ(server->peerAddress, htonl(0x7F000005));
  EXPECT_EQ(server->openClientCount(), 1u);
  client.close();
  ASSERT_TRUE(pumpUntil([&] { return server->disconnects == 1; }));
  drainLoop();
  EXPECT_EQ(server->connects, 1);
  EXPECT_EQ(server->disconnects, 1);
  EXPECT_EQ(server->openClientCount(), 0u);
}

TEST_F(TCPServerTest, RefusedConnectionIsClosedUnreadWithOneDisconnect) {
  listen();
  server->admit = false;
  Socket client = test::connectTo(static_cast<std::uint16_t>(server->port));
  ASSERT_TRUE(client.sendAll("never read"));
  ASSERT_TRUE(pumpUntil([&] { return server->disconnects == 1; }));
  EXPECT_TRUE(client.waitClosed(2s));
  drainLoop();
  EXPECT_EQ(server->connects, 1);
  EXPECT_EQ(server->disconnects, 1);
  EXPECT_TRUE(server->reads.empty());
}

TEST_F(TCPServerTest, LargeSendArrivesInOrderInReadsOfAtMost2048) {
  listen();
  Socket client = test::connectTo(static_cast<std::uint16_t>(server->port));
  ASSERT_TRUE(pumpUntil([&] { return server->connects == 1; }));
  std::string payload(10 * 1024, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + i / 256);
  ASSERT_TRUE(client.sendAll(payload));
  ASSERT_TRUE(pumpUntil([&] { return server->received.size() == payload.size(); }));
  EXPECT_EQ(server->received, payload);
  EXPECT_GE(server->reads.size(), 5u);
  for (std::size_t n : server->reads) EXPECT_LE(n, 2048u);
}

TEST_F(TCPServerTest, OutputQueuedWhileTheClientDoesNotReadArrivesIntactAndIsGivenBack) {
  listen();
  Socket client = test::connectTo(static_cast<std::uint16_t>(server->port));
  ASSERT_TRUE(pumpUntil([&] { return server->lastClient != nullptr; }));

  // The client does not read until every write is issued: once the socket buffers are
  // full, every further write waits in the connection's queued buffers. The caller's buffer
  // is rewritten for each message, so only the queue's own copies can deliver them intact.
  constexpr std::size_t kMessageSize = 1000;
  char message[kMessageSize];
  auto fill = [&](std::uint32_t index) {
    std::memcpy(message, &index, sizeof(index));
    for (std::size_t j = sizeof(index); j < kMessageSize; ++j) {
      message[j] = static_cast<char>(index * 7 + j);
    }
  };
  std::uint32_t written = 0;
  while (server->outputBuffers().inUse() < 1000 && written < 200000) {
    fill(written);
    ASSERT_TRUE(server->write(server->lastClient, message, kMessageSize));
    ++written;
  }
  ASSERT_GE(server->outputBuffers().inUse(), 1000u);

  std::string received;
  const std::size_t total = std::size_t{written} * kMessageSize;
  received.reserve(total);
  std::vector<char> chunk(1 << 16);
  ASSERT_TRUE(pumpUntil(
      [&] {
        for (;;) {
          ssize_t n = ::recv(client.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT);
          if (n <= 0) break;
          received.append(chunk.data(), static_cast<std::size_t>(n));
        }
        return received.size() >= total;
      },
      30s));
  ASSERT_EQ(received.size(), total);
  for (std::uint32_t i = 0; i < written; ++i) {
    fill(i);
    ASSERT_EQ(std::memcmp(received.data() + std::size_t{i} * kMessageSize, message, kMessageSize),
              0)
        << "message " << i;
  }
  ASSERT_TRUE(pumpUntil([&] { return server->outputBuffers().inUse() == 0; }));
  EXPECT_EQ(server->totalPendingOutput(), 0u);
  EXPECT_EQ(server->outputBuffers().freeCount(), OutputBufferPool::kMaxFree)
      << "the pool keeps a bounded number of free buffers, not the whole backlog";
}

// Two clients that stopped reading held most of the total allowance; a reader on a slow link
// asked for a file, and it was he who was closed when the total passed its limit.
TEST_F(TCPServerTest, TotalOutputLimitClosesTheLargestBacklogNotTheNextWriter) {
  struct Row {
    const char* what;
    std::size_t hogKb[2];  // output waiting for each of the two clients that stopped reading
    std::size_t fileKb;    // written to the third client at once, then read by him
    int closedHog;         // the hog closed for it, -1: none
  };
  const Row rows[] = {
      {"behind two hogs, the larger goes", {240, 220}, 200, 0},
      {"the writer holds the most: he goes", {100, 90}, 400, -1},
  };
  server->setMaxTotalPendingOutput(512 * 1024);
  listen();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    server->clients.clear();
    server->closed.clear();
    std::vector<Socket> sockets;
    for (int i = 0; i < 3; ++i) {
      sockets.push_back(test::connectTo(static_cast<std::uint16_t>(server->port), 0, 4096));
      ASSERT_TRUE(pumpUntil([&] { return server->clients.size() == std::size_t(i + 1); }));
      // Small socket buffers on both sides, as on a slow link: the output waits in the server.
      int small = 4096;
      uv_send_buffer_size(reinterpret_cast<uv_handle_t*>(server->clients.back()), &small);
    }
    const std::string piece(1000, 'h');
    std::size_t target = 0;
    for (int hog = 0; hog < 2; ++hog) {
      target += row.hogKb[hog] * 1024;
      for (int n = 0; n < 10000 && server->totalPendingOutput() < target; ++n)
        ASSERT_TRUE(server->write(server->clients[hog], piece.data(), piece.size()));
    }
    const std::uint64_t closesBefore = server->slowReaderCloses();
    uv_stream_t* reader = server->clients[2];
    std::string file(row.fileKb * 1024, '\0');
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 13 + i / 4096);
    bool taken = true;
    for (std::size_t at = 0; at < file.size() && taken; at += 8192)
      taken = server->write(reader, file.data() + at, 8192);

    std::string received;
    char chunk[65536];
    pumpUntil(
        [&] {
          for (ssize_t n; (n = ::recv(sockets[2].fd(), chunk, sizeof(chunk), MSG_DONTWAIT)) > 0;)
            received.append(chunk, static_cast<std::size_t>(n));
          const auto& closed = server->closed;
          return received.size() == file.size() ||
                 std::find(closed.begin(), closed.end(), reader) != closed.end();
        },
        10s);
    drainLoop();
    EXPECT_EQ(server->slowReaderCloses(), closesBefore + 1);
    std::vector<uv_stream_t*> expected;
    if (row.closedHog >= 0) {
      expected.push_back(server->clients[static_cast<std::size_t>(row.closedHog)]);
      EXPECT_TRUE(taken);
      EXPECT_TRUE(received == file) << "the reader got " << received.size() << " bytes of "
                                    << file.size() << ", not his whole file";
    } else {
      expected.push_back(reader);
      EXPECT_FALSE(taken);
    }
    EXPECT_EQ(server->closed, expected);
    server->closeAllClients();
    ASSERT_TRUE(pumpUntil([&] { return server->openClientCount() == 0; }));
  }
}

TEST_F(TCPServerTest, WriteToClosingClientFails) {
  listen();
  Socket client = test::connectTo(static_cast<std::uint16_t>(server->port));
  ASSERT_TRUE(pumpUntil([&] { return server->lastClient != nullptr; }));
  uv_stream_t* handle = server->lastClient;
  server->closeClient(handle);
  server->closeClient(handle);  // a second close is ignored
  EXPECT_FALSE(server->write(handle, "x", 1));
  ASSERT_TRUE(pumpUntil([&] { return server->disconnects == 1; }));
  drainLoop();
  EXPECT_EQ(server->disconnects, 1);
}

TEST_F(TCPServerTest, PortInUseIsReportedAndRetriedUntilFree) {
  Socket blocker = test::listenOn(static_cast<std::uint16_t>(server->port));
  ASSERT_TRUE(blocker.valid());
  testing::internal::CaptureStdout();
  // One attempt at the first turn of the loop, the next a second later.
  const bool retried = pumpUntil([&] { return server->listenAttempts() >= 2; }, 3s);
  std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(retried);
  EXPECT_FALSE(server->isListening());
  const bool reported = printed.find("TCP bind error: EADDRINUSE\n") != std::string::npos ||
                        printed.find("TCP listening error: EADDRINUSE\n") != std::string::npos;
  EXPECT_TRUE(reported) << printed;
  // One attempt at once and one a second later: the line is printed for each.
  std::size_t lines = 0;
  for (std::size_t at = printed.find("EADDRINUSE"); at != std::string::npos;
       at = printed.find("EADDRINUSE", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u) << printed;

  blocker.close();
  auto freed = std::chrono::steady_clock::now();
  ASSERT_TRUE(pumpUntil([&] { return server->isListening(); }, 2500ms));
  EXPECT_LT(std::chrono::steady_clock::now() - freed, 2s);
  Socket client = test::connectTo(static_cast<std::uint16_t>(server->port));
  EXPECT_TRUE(pumpUntil([&] { return server->connects == 1; }));
}

TEST_F(TCPServerTest, StopListeningRefusesNewConnectionsAndCloseAllEndsOpenOnes) {
  listen();
  Socket first = test::connectTo(static_cast<std::uint16_t>(server->port));
  Socket second = test::connectTo(static_cast<std::uint16_t>(server->port));
  ASSERT_TRUE(pumpUntil([&] { return server->connects == 2; }));
  server->stopListening();
  server->closeAllClients();
  ASSERT_TRUE(pumpUntil([&] { return server->disconnects == 2; }));
  EXPECT_TRUE(first.waitClosed(1s));
  EXPECT_TRUE(second.waitClosed(1s));
  EXPECT_FALSE(test::connectTo(static_cast<std::uint16_t>(server->port)).valid());
}

}  // namespace
}  // namespace velmor
