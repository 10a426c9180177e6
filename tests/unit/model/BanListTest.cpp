// The ban list's indexes against a walk of the list in order, over random bans and unbans.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "base/FixedText.h"
#include "model/BanList.h"
#include "model/Names.h"

namespace velmor {
namespace {

// The first entry that a walk in list order finds, as the list answered before it had indexes.
const BanEntry* walkFirst(const BanList& list, std::uint32_t address, std::string_view name,
                          bool byAddress, bool byName) {
  for (const BanEntry& ban : list.entries()) {
    if ((byAddress && ban.matchesAddress(address)) ||
        (byName && sameNameIgnoringCase(fieldText(ban.name), name)))
      return &ban;
  }
  return nullptr;
}

TEST(BanListTest, IndexesAgreeWithTheListOverRandomBansAndUnbans) {
  // Few names in two spellings, few addresses and masks: many entries share each key.
  const char* names[] = {"Ann", "ann", "ANN", "Bob", "bob", "Carl"};
  const std::uint32_t masks[] = {0, 0xFFFFFFFF, 0x00FFFFFF, 0x0000FFFF};  // network order
  std::mt19937 random(20261210);
  BanList list;
  for (int step = 0; step < 4000; ++step) {
    const char* name = names[random() % std::size(names)];
    if (random() % 3 != 0) {
      BanEntry ban;
      copyText(ban.name, name);
      ban.address = 0x0100000A + ((random() % 4) << 24) + ((random() % 3) << 16);
      ban.mask = masks[random() % std::size(masks)];
      list.add(ban);
    } else {
      const auto first =
          std::find_if(list.entries().begin(), list.entries().end(),
                       [&](const BanEntry& ban) { return fieldText(ban.name) == name; });
      const std::uint64_t expected =
          first == list.entries().end() ? 0 : list.ids()[first - list.entries().begin()];
      ASSERT_EQ(list.removeNamed(name), expected);
    }
    ASSERT_TRUE(list.indexAgrees()) << "step " << step;
    const std::uint32_t peer = 0x0100000A + ((random() % 5) << 24) + ((random() % 3) << 16);
    const char* asked = names[random() % std::size(names)];
    ASSERT_EQ(list.findAddress(peer), walkFirst(list, peer, asked, true, false));
    ASSERT_EQ(list.findNameIgnoringCase(asked), walkFirst(list, peer, asked, false, true));
    ASSERT_EQ(list.findAddressOrName(peer, asked), walkFirst(list, peer, asked, true, true));
  }
}

TEST(BanListTest, RemovesTheFirstEntryOfExactlyThatName) {
  BanList list;
  BanEntry ban;
  for (const char* name : {"ann", "Ann", "Ann"}) {
    copyText(ban.name, name);
    list.add(ban);
  }
  EXPECT_EQ(list.removeNamed("ANN"), 0u);
  EXPECT_EQ(list.removeNamed("Ann"), 2u);  // ids count from 1 in list order
  EXPECT_EQ(list.ids(), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(list.add(ban), 4u);
  EXPECT_TRUE(list.indexAgrees());
}

}  // namespace
}  // namespace velmor
