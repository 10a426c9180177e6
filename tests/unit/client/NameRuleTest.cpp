// The tools' copy of the name rule against the server's own: a name the tools let through is
// one the server takes, and every refusal says what is wrong with the name.
#include "client/NameRule.h"

#include <gtest/gtest.h>

#include <string>

#include "model/Names.h"

namespace velmor {
namespace {

struct Case {
  std::string name;
  const char* breach;  // what the refusal says; nullptr when the name keeps the rule
};

class NameRuleCases : public testing::TestWithParam<Case> {};

TEST_P(NameRuleCases, ToolsAndServerAgree) {
  const Case& c = GetParam();
  const auto breach = client::nameRuleBreach(c.name);
  if (c.breach == nullptr) {
    EXPECT_FALSE(breach) << *breach;
  } else {
    ASSERT_TRUE(breach);
    EXPECT_EQ(*breach, c.breach);
  }
  // The server reads at most 31 characters; within those, it decides as the tools do.
  if (c.name.size() <= client::kMaxNameLength) {
    char key[32] = {};
    EXPECT_EQ(checkName(c.name.c_str(), key), !breach.has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameRuleCases,
    testing::Values(Case{"Alice", nullptr}, Case{"a", nullptr}, Case{"Bob_the 2nd", nullptr},
                    Case{"Z" + std::string(30, '9'), nullptr}, Case{"", "is empty"},
                    Case{"A" + std::string(31, 'b'), "has 32 characters, more than 31"},
                    Case{"9lives", "starts with '9', not a letter"},
                    Case{"_under", "starts with '_', not a letter"},
                    Case{" Alice", "starts with ' ', not a letter"}, Case{"Bad-Name", "holds '-'"},
                    Case{"tab\there", "holds byte 0x09"}, Case{"caf\xc3\xa9", "holds byte 0xc3"},
                    Case{"Alice ", "ends with a space"}));

TEST(NameRule, TheRuleSentenceNamesEveryCondition) {
  for (const char* part :
       {"1 to 31", "a letter first", "digits", "'_'", "spaces", "no space at the end"}) {
    EXPECT_NE(client::kNameRule.find(part), std::string_view::npos) << part;
  }
}

}  // namespace
}  // namespace velmor
