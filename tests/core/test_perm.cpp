// Permission sets: growth and masking rules of the perm_* functions and the
// value semantics of GxACLPermset.
#include <gtest/gtest.h>

#include <vector>

#include "GxCore/perm.h"

namespace {

// A set with exactly these masks.
GxACLPermset setOf(std::vector<uint32_t> const& words) {
  GxACLPermset p;
  for (size_t g = 0; g < words.size(); ++g) p.setBitMaskInGroup(g, words[g]);
  return p;
}
std::vector<uint32_t> words(acl_permset_s_t const& p) { return std::vector<uint32_t>(p.groups, p.groups + p.count); }
std::vector<uint32_t> words(GxACLPermset const& p) { return words(p.value()); }

TEST(Permset, ActionSetTestTreatsMissingGroupsAsZero) {
  GxACLPermset have = setOf({0x7});
  GxACLPermset empty;
  EXPECT_TRUE(have.isActionSet(empty));
  EXPECT_TRUE(empty.isActionSet(empty));
  EXPECT_TRUE(have.isActionSet(setOf({0x5, 0, 0})));    // zero masks beyond have.count
  EXPECT_FALSE(have.isActionSet(setOf({0x1, 0, 0x2})));  // a bit beyond have.count
  EXPECT_FALSE(have.isActionSet(setOf({0x9})));          // one bit missing in a group
  EXPECT_TRUE(setOf({0x1}).isActionSetInPermset(have.value()));
}

TEST(Permset, GroupTestNeedsTheGroupToExist) {
  GxACLPermset p(2, 0x6);
  EXPECT_TRUE(p.isActionSetInGroup(2, 0) && p.isActionSetInGroup(0, 0) && p.isActionSetInGroup(2, 0x4));
  EXPECT_FALSE(p.isActionSetInGroup(3, 0));
  EXPECT_FALSE(p.isActionSetInGroup(2, 0x5));
}

TEST(Permset, SettingAGroupGrowsWithZeroGroupsBelow) {
  GxACLPermset p(5, 0x4);
  EXPECT_EQ(words(p), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0x4}));
  EXPECT_EQ(p.actionGroup(7), 0u);
  p.setBitMaskInGroup(1, 0x3);
  p.setBitMaskInGroup(5, 0x1);
  EXPECT_EQ(words(p), (std::vector<uint32_t>{0, 0x3, 0, 0, 0, 0x5}));
}

TEST(Permset, AndEqualKeepsTheCountAndOrEqualGrowsToTheLongerSet) {
  GxACLPermset a = setOf({0xF, 0xF, 0xF});
  a &= setOf({0x3});  // groups beyond the other set are zeroed
  EXPECT_EQ(words(a), (std::vector<uint32_t>{0x3, 0, 0}));
  GxACLPermset b = setOf({0x3});
  b &= setOf({0x1, 0xF, 0xF});
  EXPECT_EQ(words(b), (std::vector<uint32_t>{0x1}));
  GxACLPermset c = setOf({0x1, 0x2});
  c |= setOf({0x4, 0, 0x8, 0x10});
  EXPECT_EQ(words(c), (std::vector<uint32_t>{0x5, 0x2, 0x8, 0x10}));
}

TEST(Permset, AndIntoThirdSetTakesTheShorterCount) {
  GxACLPermset a = setOf({0x7, 0x7, 0x7}), b = setOf({0x5, 0x6});
  GxACLPermset out = setOf({1, 1, 1, 1});
  perm_and(&a.value(), &b.value(), &out.value());
  EXPECT_EQ(words(out), (std::vector<uint32_t>{0x5, 0x6}));
  perm_and(&a.value(), &b.value(), &a.value());  // in place
  EXPECT_EQ(words(a), (std::vector<uint32_t>{0x5, 0x6}));
}

TEST(Permset, MaskRemovesBitsOverTheCommonGroupsOnly) {
  acl_permset_s_t p;
  perm_init(&p);
  perm_set_maxpermissions(&p);
  ASSERT_EQ(p.count, 32u);
  GxACLPermset m = setOf({0x1, 0x2});
  perm_mask(&p, &m.value());
  EXPECT_EQ(p.groups[0], 0xFFFFFFFEu);
  EXPECT_EQ(p.groups[1], 0xFFFFFFFDu);
  EXPECT_EQ(p.groups[31], 0xFFFFFFFFu);
  perm_mask_group(&p, 31, 0xF0000000u);
  perm_mask_group(&p, 40, 0xFFFFFFFFu);  // beyond the count: nothing
  EXPECT_EQ(p.groups[31], 0x0FFFFFFFu);
  EXPECT_EQ(p.count, 32u);
  perm_free(&p);
  EXPECT_EQ(p.count, 0u);
  EXPECT_EQ(p.groups, nullptr);
}

TEST(Permset, MinPermissionsKeepsTheCountAndMaxLeavesWordsOfALargerSetAlone) {
  GxACLPermset p = setOf({0x1, 0x2, 0x3});
  p.setMinPermissions();
  EXPECT_EQ(words(p), (std::vector<uint32_t>{0, 0, 0}));
  GxACLPermset big(33, 0x5);
  perm_set_maxpermissions(&big.value());
  EXPECT_EQ(big.count(), 34u);
  EXPECT_EQ(big.actionGroup(31), 0xFFFFFFFFu);
  EXPECT_EQ(big.actionGroup(32), 0u);
  EXPECT_EQ(big.actionGroup(33), 0x5u);
}

TEST(Permset, CopiesAreIndependentShrinkTheCountAndSelfOperationsChangeNothing) {
  GxACLPermset a = setOf({0x1, 0x2, 0x3});
  GxACLPermset b = a;
  b.setBitMaskInGroup(0, 0x10);
  EXPECT_EQ(a.actionGroup(0), 0x1u);
  a = setOf({0x9});
  EXPECT_EQ(words(a), (std::vector<uint32_t>{0x9}));
  GxACLPermset moved = std::move(b);
  EXPECT_EQ(words(moved), (std::vector<uint32_t>{0x11, 0x2, 0x3}));
  GxACLPermset& same = moved;
  moved = same;
  moved &= same;
  moved |= same;
  EXPECT_EQ(words(moved), (std::vector<uint32_t>{0x11, 0x2, 0x3}));
}

TEST(Permset, MaskEntryByEntryType) {
  GxACLPermset mask = setOf({0x3});
  acl_entry_s_t e{};
  GxACLPermset granted = setOf({0x7, 0x7});
  e.perms = granted.value();
  GxACLPermset out;

  for (uint32_t type : {acl_e_user, acl_e_group, acl_e_any_other}) {
    e.entry_type = type;
    perm_mask_entry(&e, &mask.value(), &out.value());
    EXPECT_EQ(words(out), (std::vector<uint32_t>{0x3, 0})) << type;
  }
  e.entry_type = acl_e_unauthenticated;  // never masked
  perm_mask_entry(&e, &mask.value(), &out.value());
  EXPECT_EQ(words(out), (std::vector<uint32_t>{0x7, 0x7}));
  e.entry_type = 42;  // an unknown type grants nothing through a mask
  perm_mask_entry(&e, &mask.value(), &out.value());
  EXPECT_EQ(words(out), (std::vector<uint32_t>{0, 0}));
  perm_mask_entry(&e, nullptr, &out.value());  // ... but is copied without one
  EXPECT_EQ(words(out), (std::vector<uint32_t>{0x7, 0x7}));
  e.perms = acl_permset_s_t{};  // granted still owns the words
}

}  // namespace
