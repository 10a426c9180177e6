// A ban list reply is one frame whatever the list holds: the newest entries that fit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/FixedText.h"
#include "protocol/BanListReply.h"
#include "wire/MessageBuilder.h"

namespace velmor {
namespace {

// `count` entries whose texts take `textBytes` of each field's capacity (31, 31, 63 at most).
std::vector<BanEntry> bans(std::size_t count, std::size_t textBytes) {
  std::vector<BanEntry> list(count);
  for (std::size_t i = 0; i < count; ++i) {
    copyText(list[i].name, std::string(textBytes, 'n'));
    copyText(list[i].issuer, std::string(textBytes, 'i'));
    copyText(list[i].reason, std::string(textBytes == 0 ? 0 : 63, 'r'));
    list[i].mask = static_cast<std::uint32_t>(i);
  }
  return list;
}

TEST(BanListReplyTest, HoldsTheNewestEntriesThatFitOneFrame) {
  struct Row {
    std::size_t count;
    std::size_t textBytes;
    std::size_t sent;  // entries in the reply: the last `sent` of the list
  };
  // A full entry takes 2+31 + 2+31 + 2+63 + 4 = 135 bytes: 485 fit in 65535 - 3.
  const Row rows[] = {{0, 31, 0},     {1, 0, 1},         {485, 31, 485},
                      {486, 31, 485}, {100000, 31, 485}, {100000, 0, 6553}};
  for (const Row& row : rows) {
    const std::vector<BanEntry> list = bans(row.count, row.textBytes);
    const std::size_t first = firstSentBan(list, wire::kMaxFramePayload);
    EXPECT_EQ(list.size() - first, row.sent) << row.count << " entries of " << row.textBytes;
    MessageBuilder reply;
    reply.begin(wire::ServerCode::ServerBanList).u16(static_cast<std::uint16_t>(row.sent));
    for (std::size_t i = first; i < list.size(); ++i) {
      reply.string(fieldText(list[i].name))
          .string(fieldText(list[i].issuer))
          .string(fieldText(list[i].reason))
          .u32(list[i].mask);
    }
    reply.finish();
    EXPECT_EQ(reply.frameCount(), 1u);
    EXPECT_FALSE(reply.overflowed());
  }
}

}  // namespace
}  // namespace velmor
