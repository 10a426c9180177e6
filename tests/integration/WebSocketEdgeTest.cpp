// The WebSocket port against what a client may send it: the protocol's bytes cut and joined
// across messages, fragments, text, an oversize message, pings, a close, and handshakes
// that never finish or lack their key. Each case is one run of ws_client.py.
#include <gtest/gtest.h>

#include "support/TransportTest.h"

namespace velmor {
namespace {

struct EdgeCase {
  const char* what;  // the case of ws_client.py
  const char* saw;   // the line it prints when the server did right
};

void PrintTo(const EdgeCase& c, std::ostream* os) {
  *os << c.what;
}

class WebSocketEdge : public test::TransportTest, public testing::WithParamInterface<EdgeCase> {};

TEST_P(WebSocketEdge, ServerAnswersAsTheContractSays) {
  startDoors(false, R"("logintimeout": 2, "websocketorigins": ["https://game.example"],)");
  EXPECT_EQ(wsClient(wsUrl(), 40, GetParam().what), GetParam().saw) << server->output();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebSocketEdge,
    testing::Values(EdgeCase{"split", "GuestWelcome"},       // a frame over two messages
                    EdgeCase{"joined", "replies 6 6"},       // two frames in one message
                    EdgeCase{"fragmented", "GuestWelcome"},  // continuation frames
                    EdgeCase{"text", "close 1003"}, EdgeCase{"big", "close 1009"},  // 1 MB
                    EdgeCase{"ping", "pong"}, EdgeCase{"close", "close 1000, then welcome"},
                    EdgeCase{"partial", "closed by the deadline b''"},  // logintimeout 2 s
                    EdgeCase{"nokey", "http 400"},
                    EdgeCase{"origin", "http 403, listed and unnamed let in"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace velmor
