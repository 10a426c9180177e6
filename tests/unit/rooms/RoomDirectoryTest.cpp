// The directory of sleeping rooms: pages by position in the order of addition, the oldest by
// last access, and removal, all without a walk.
#include "rooms/RoomDirectory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmor {
namespace {

RoomRecord record(const std::string& name, std::uint32_t lastAccessed) {
  RoomRecord r = makeRoomRecord(name, "maker", "", "lead", 64, false, false);
  r.lastAccessed = lastAccessed;
  return r;
}

std::vector<std::string> page(const RoomDirectory& directory, std::size_t first,
                              std::size_t count) {
  std::vector<std::string> names;
  directory.page(first, count, [&](const RoomRecord& r) { names.emplace_back(r.name); });
  return names;
}

TEST(RoomDirectory, PagesInOrderOfAdditionAndOldestByLastAccess) {
  RoomDirectory directory;
  for (int i = 0; i < 50; ++i)
    directory.add(record("Room" + std::to_string(i), 1000 + (i * 7) % 50));
  EXPECT_EQ(page(directory, 40, 20).size(), 10u);
  EXPECT_EQ(page(directory, 0, 3), (std::vector<std::string>{"Room0", "Room1", "Room2"}));
  EXPECT_TRUE(page(directory, 50, 20).empty());

  ASSERT_TRUE(directory.remove("room1"));
  EXPECT_FALSE(directory.remove("room1"));
  EXPECT_EQ(page(directory, 0, 3), (std::vector<std::string>{"Room0", "Room2", "Room3"}))
      << "positions close up after a removal";
  EXPECT_EQ(directory.size(), 49u);

  EXPECT_STREQ(directory.oldest()->name, "Room0");  // accessed at 1000
  directory.remove("room0");
  EXPECT_EQ(directory.oldest()->lastAccessed, 1001u);

  directory.add(record("Room2", 5));  // added again: replaced, and now at the end
  EXPECT_EQ(directory.size(), 48u);
  EXPECT_EQ(page(directory, 47, 1), std::vector<std::string>{"Room2"});
  EXPECT_STREQ(directory.oldest()->name, "Room2");
  EXPECT_STREQ(directory.find("room2")->name, "Room2");
}

}  // namespace
}  // namespace velmor
