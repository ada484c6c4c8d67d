// The caller attributes every tool hands to decide, and the command line's
// suggestions for a mistyped word.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>

#include "tools/common/caller.h"
#include "tools/common/command_line.h"

namespace {

hx_uuid_t uuidOf(unsigned char n) {
  hx_uuid_t u{};
  std::memset(&u, n, sizeof u);
  return u;
}

bool same(hx_uuid_t const& a, hx_uuid_t const& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CallerAttributes, CarryTheUserAndItsGroupsAndSurviveTheOriginal) {
  std::optional<gxpolicy::CallerAttributes> original(std::in_place, uuidOf(1), std::vector{uuidOf(2), uuidOf(3)},
                                                     "alice");
  gxpolicy::CallerAttributes copy = *original;
  gxpolicy::CallerAttributes moved = std::move(*original);
  original.reset();  // the copies must not point into the original's storage
  for (gxpolicy::CallerAttributes const* c : {&copy, &moved}) {
    sec_id_pa_t const* pa = c->pa();
    ASSERT_NE(pa, nullptr);
    EXPECT_TRUE(same(pa->principal.uuid, uuidOf(1)));
    ASSERT_NE(pa->principal.name, nullptr);  // for rules and audit records
    EXPECT_STREQ(pa->principal.name, "alice");
    ASSERT_EQ(pa->num_groups, 2u);
    EXPECT_TRUE(same(pa->groups[0].uuid, uuidOf(2)));
    EXPECT_TRUE(same(pa->groups[1].uuid, uuidOf(3)));
  }
  EXPECT_EQ(gxpolicy::CallerAttributes().pa(), nullptr);  // unauthenticated
}

TEST(CallerAttributes, MoreGroupsThanTheAttributesHoldAreRefusedNotCut) {
  std::vector<hx_uuid_t> groups(gxpolicy::CallerAttributes::kMaxGroups + 1, uuidOf(7));
  EXPECT_THROW(gxpolicy::CallerAttributes(uuidOf(1), groups), std::length_error);
}

TEST(CommandLine, SuggestsTheNearestWordOnlyForALikelyTypo) {
  std::vector<std::string> commands = {"check", "explain", "export", "import", "test"};
  EXPECT_EQ(gxpolicy::nearest("chek", commands), "check");
  EXPECT_EQ(gxpolicy::nearest("exlpain", commands), "explain");  // neighbours swapped
  EXPECT_EQ(gxpolicy::nearest("--usr", {"--user", "--uuid", "--group"}), "--user");
  EXPECT_EQ(gxpolicy::nearest("frobnicate", commands), "");
  EXPECT_EQ(gxpolicy::nearest("x", commands), "");
}

}  // namespace
