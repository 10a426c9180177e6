#include "net/ProxyHeader.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "net/TransportKind.h"

namespace velmor {
namespace {

using State = ProxyHeader::State;

std::string v2(unsigned command, unsigned family, const std::string& addresses) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += static_cast<char>(0x20 | command);
  header += static_cast<char>(family << 4 | 1);
  header += static_cast<char>(addresses.size() >> 8);
  header += static_cast<char>(addresses.size() & 0xFF);
  return header + addresses;
}
const std::string kIPv4Pair("\x0A\x02\x02\x02\x7F\x00\x00\x01\x00\x05\x00\x06", 12);
const std::string kMappedPair = std::string(10, '\0') + "\xFF\xFF\x0A\x02\x02\x02" +
                                std::string(10, '\0') + std::string("\xFF\xFF\x7F\0\0\x01", 6) +
                                "1122";

struct Case {
  const char* name;
  std::string header;
  State state;
  const char* client;  // when Done; "" for the proxy's own connection
};

class ProxyHeaderCases : public testing::TestWithParam<Case> {};

// Every header is also fed a byte at a time and followed by the connection's own bytes,
// which must be left to it.
TEST_P(ProxyHeaderCases, ReadsTheClientOrRefuses) {
  const Case& c = GetParam();
  const std::string tail = "\x26\x00\x01";
  for (const bool byteAtATime : {false, true}) {
    ProxyHeader header;
    const std::string input = c.header + tail;
    State state = State::Reading;
    std::size_t offset = 0;
    while (state == State::Reading && offset < input.size()) {
      const std::size_t piece = byteAtATime ? 1 : input.size() - offset;
      std::size_t used = 0;
      state = header.take(input.data() + offset, piece, used);
      offset += used;
    }
    ASSERT_EQ(state, c.state) << (byteAtATime ? "byte at a time" : "whole");
    if (state != State::Done) continue;
    EXPECT_EQ(input.substr(offset), tail);
    in_addr expected{};
    if (*c.client != '\0') inet_pton(AF_INET, c.client, &expected);
    EXPECT_EQ(header.client(), expected.s_addr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, ProxyHeaderCases,
    testing::Values(
        Case{"V1Tcp4", "PROXY TCP4 10.2.2.2 127.0.0.1 5 6\r\n", State::Done, "10.2.2.2"},
        Case{"V1Unknown", "PROXY UNKNOWN\r\n", State::Done, ""},
        Case{"V1Tcp6", "PROXY TCP6 ::1 ::1 5 6\r\n", State::Refused, ""},
        Case{"V1BadAddress", "PROXY TCP4 10.2.2 127.0.0.1 5 6\r\n", State::Refused, ""},
        Case{"V1WithoutCarriageReturn", "PROXY TCP4 10.2.2.2 127.0.0.1 5 6\n", State::Refused, ""},
        Case{"V1LineTooLong", "PROXY TCP4 " + std::string(120, '1'), State::Refused, ""},
        Case{"V2IPv4", v2(1, 1, kIPv4Pair), State::Done, "10.2.2.2"},
        Case{"V2IPv4WithTlvs", v2(1, 1, kIPv4Pair + "\x04\x00\x01x"), State::Done, "10.2.2.2"},
        Case{"V2Local", v2(0, 0, ""), State::Done, ""},
        Case{"V2MappedIPv6", v2(1, 2, kMappedPair), State::Done, "10.2.2.2"},
        Case{"V2IPv6", v2(1, 2, std::string(36, '\1')), State::Refused, ""},
        Case{"V2ShortAddresses", v2(1, 1, "1234"), State::Refused, ""},
        Case{"V2TooLong", v2(1, 1, std::string(600, '\0')), State::Refused, ""},
        Case{"NoHeader", "\x26\x00\x01\x01", State::Refused, ""}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(ProxySignature, SeenOnlyWhole) {
  EXPECT_TRUE(ProxyHeader::startsWithSignature("PROXY TCP4", 10));
  EXPECT_TRUE(ProxyHeader::startsWithSignature("\r\n\r\n\0\r\nQUIT\n\x21", 13));
  EXPECT_FALSE(ProxyHeader::startsWithSignature("PROX", 4));
  EXPECT_FALSE(ProxyHeader::startsWithSignature("\x26\x00\x01\x01", 4));
}

struct RangeCase {
  const char* text;
  bool parses;
  const char* inside;
  const char* outside;
};

TEST(AddressRange, ParsesAddressesAndNetworks) {
  const RangeCase cases[] = {
      {"10.0.0.1", true, "10.0.0.1", "10.0.0.2"},
      {"10.1.0.0/16", true, "10.1.255.3", "10.2.0.0"},
      {"10.1.2.3/16", true, "10.1.0.9", "10.0.0.9"},
      {"0.0.0.0/0", true, "192.168.1.1", nullptr},
      {"10.0.0.1/33", false, nullptr, nullptr},
      {"10.0.0.1/", false, nullptr, nullptr},
      {"10.0.0.1/8x", false, nullptr, nullptr},
      {"proxy.example", false, nullptr, nullptr},
      {"::1", false, nullptr, nullptr},
  };
  for (const RangeCase& c : cases) {
    AddressRange range;
    ASSERT_EQ(parseAddressRange(c.text, range), c.parses) << c.text;
    in_addr address{};
    if (c.inside != nullptr && inet_pton(AF_INET, c.inside, &address) == 1) {
      EXPECT_TRUE(range.contains(address.s_addr)) << c.text << " " << c.inside;
    }
    if (c.outside != nullptr && inet_pton(AF_INET, c.outside, &address) == 1) {
      EXPECT_FALSE(range.contains(address.s_addr)) << c.text << " " << c.outside;
    }
  }
}

}  // namespace
}  // namespace velmor
