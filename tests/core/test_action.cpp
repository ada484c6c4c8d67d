// Actions and the action catalogue: slot rules and statuses, the database
// forms through a real store file, corrupt records and the default catalogue.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/daStoreObjectName.h"
#include "record_corruption.h"
#include "outside/hxasn.h"

namespace {

// A catalogue with "primary" (slot 0) holding T and r, and "web" (slot 1)
// holding a protected action "x".
GxActionGroups sample() {
  GxActionGroups c;
  unsigned long slot, st;
  c.newGroup("primary", slot, st);
  EXPECT_EQ(st, 0u);
  c.newGroup("web", slot, st);
  EXPECT_EQ(slot, 1u);
  c.createAction("primary", "T", "Traverse", nullptr, 0, 0, 0, st);
  c.createAction("primary", "r", "Read", "Web", 0, 0, 0, st);
  c.createAction("web", "x", nullptr, nullptr, 41, 0, gxaction_flag_protected, st);
  EXPECT_EQ(st, 0u);
  return c;
}

gxaction_s_t const* actionAt(GxActionGroups const& c, unsigned g, unsigned s) {
  return c.value().groups[g] ? c.value().groups[g]->actions[s] : nullptr;
}

// Every group and action as text, to compare catalogues.
std::string dump(gxaction_groups_s_t const& c) {
  std::vector<std::string> lines;
  gxFormatActionGroups(c, lines);
  std::string out;
  for (auto const& l : lines) out += l + "\n";
  return out;
}

TEST(ActionGroups, SlotsFillAndFreedSlotIsReused) {
  GxActionGroups c;
  unsigned long slot, st;
  for (unsigned i = 0; i < 32; ++i) {
    c.newGroup(("g" + std::to_string(i)).c_str(), slot, st);
    ASSERT_EQ(st, 0u);
    EXPECT_EQ(slot, i);
  }
  c.newGroup("g32", slot, st);
  EXPECT_EQ(st, gx_s_no_group_slot);
  c.newGroup("g7", slot, st);
  EXPECT_EQ(st, gx_s_group_exists);
  c.deleteGroup("g5", st);
  ASSERT_EQ(st, 0u);
  c.newGroup("late", slot, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(slot, 5u);
  c.mapGroupName("late", slot, st);
  EXPECT_EQ(slot, 5u);
  c.deleteGroup("g0", st);
  EXPECT_EQ(st, gx_s_group_undeletable);
  c.deleteGroup("missing", st);
  EXPECT_EQ(st, gx_s_no_action_group);
  c.mapGroupName("missing", slot, st);
  EXPECT_EQ(slot, 32u);
  EXPECT_EQ(st, gx_s_no_action_group);
}

TEST(ActionGroups, CreateActionPicksSlotsAndIds) {
  GxActionGroups c = sample();
  unsigned long st, id;
  EXPECT_EQ(actionAt(c, 0, 0)->id, 0u);  // first id in an empty catalogue
  EXPECT_EQ(actionAt(c, 0, 1)->id, 1u);
  EXPECT_EQ(actionAt(c, 0, 1)->bitmask, 0x2u);
  c.createAction("primary", "m", nullptr, nullptr, 0, 0, 0, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(actionAt(c, 0, 2)->bitmask, 0x4u);
  EXPECT_EQ(actionAt(c, 0, 2)->id, 42u);  // after the action with id 41
  c.genNewID(id);
  EXPECT_EQ(id, 43u);

  struct Refused {
    char const* group;
    char const* name;
    unsigned long bitmask, status;
  };
  for (Refused const& r : {Refused{"primary", "q", 0x30, gx_s_no_action_slot},  // several bits
                           Refused{"primary", "q", 0x4, gx_s_action_exists},    // slot taken
                           Refused{"primary", "r", 0, gx_s_action_exists},
                           Refused{"nogroup", "q", 0, gx_s_no_action_group},
                           Refused{"primary", "qq", 0, gx_s_bad_action_name},
                           Refused{"pri/mary", "q", 0, gx_s_bad_group_name}}) {
    c.createAction(r.group, r.name, nullptr, nullptr, 0, r.bitmask, 0, st);
    EXPECT_EQ(st, r.status) << r.group << " " << r.name;
  }
  c.createAction("primary", "q", nullptr, nullptr, 0, 0x80000000ul, 0, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(actionAt(c, 0, 31)->bitmask, 0x80000000u);
  for (int i = 0; i < 32; ++i) {  // fill the group
    char name[2] = {GxActionGroups::validActionChars[i], 0};
    c.createAction("primary", name, nullptr, nullptr, 0, 0, 0, st);
  }
  for (unsigned i = 0; i < 32; ++i) EXPECT_NE(actionAt(c, 0, i), nullptr) << i;
  c.createAction("primary", "Z", nullptr, nullptr, 0, 0, 0, st);
  EXPECT_EQ(st, gx_s_no_action_slot);
}

TEST(ActionGroups, DeleteActionReportsItsBitEvenWhenProtected) {
  GxActionGroups c = sample();
  unsigned long st;
  GxACLPermset removed;
  c.deleteAction("web", "x", 0, removed, st);
  EXPECT_EQ(st, gx_s_action_protected);
  EXPECT_NE(actionAt(c, 1, 0), nullptr);
  EXPECT_EQ(removed.actionGroup(1), 0x1u);
  GxACLPermset forced;
  c.deleteAction("web", "x", 1, forced, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(actionAt(c, 1, 0), nullptr);
  EXPECT_EQ(forced.actionGroup(1), 0x1u);
  c.deleteAction("web", "x", 1, forced, st);
  EXPECT_EQ(st, gx_s_no_such_action);
  c.deleteAction("primary", "r", 0, forced, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(forced.actionGroup(0), 0x2u);
}

// ---- database form ------------------------------------------------------------

TEST(ActionRecord, CatalogueAndActionRoundTripThroughAStoreFile) {
  gxtest::RecordFile f;
  GxActionGroups c = sample();
  GxAction a("W", "Write", "Web", 7, 0x10, gxaction_flag_protected);
  GxAction bare;
  auto back = f.roundTrip(c, daActionGroupName().getFullName());
  auto* groups = dynamic_cast<GxActionGroups*>(back.get());
  ASSERT_NE(groups, nullptr);
  EXPECT_EQ(dump(groups->value()), dump(c.value()));
  EXPECT_EQ(groups->value().groups[2], nullptr);

  auto backA = f.roundTrip(a, daActionName("W").getFullName());
  auto* action = dynamic_cast<GxAction*>(backA.get());
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(gxFormatAction(action->value()), gxFormatAction(a.value()));
  EXPECT_STREQ(action->value().text2, "Web");
  EXPECT_STREQ(action->getName().getChars(), "/auth/actions/W");
  auto backBare = f.roundTrip(bare, daActionName("none").getFullName());
  ASSERT_NE(dynamic_cast<GxAction*>(backBare.get()), nullptr);
  EXPECT_EQ(dynamic_cast<GxAction&>(*backBare).value().name, nullptr);
}

TEST(ActionRecord, TruncatedAndFlippedRecordsAreRefused) {
  GxActionGroups c = sample();
  GxAction a("W", "Write", "Web", 7, 0x10, 1);
  gxtest::expectCorruptionRefused(gxtest::encodedRecord(c), gx_type_action_groups, 7, 1500);
  gxtest::expectCorruptionRefused(gxtest::encodedRecord(a), gx_type_action, 7, 1500);
}

TEST(ActionCatalogue, DefaultCatalogueIsStoredAndRendered) {
  gxtest::RecordFile f;
  std::vector<std::string> lines;
  EXPECT_EQ(gxRenderActionCatalogue(f.store(), lines), da_s_no_such_object);
  ASSERT_EQ(gxStoreDefaultActionCatalogue(f.store()), 0u);
  GxAction extra("W", "Write", nullptr, 99, 0x1, 0);
  f.roundTrip(extra, daActionName("W").getFullName());

  gxobj_t rec{};
  unsigned long seq, st;
  f.store().getObject(daActionGroupName().getFullName(), rec, seq, st);
  ASSERT_EQ(st, 0u);
  GxActionGroups c;
  c.decode(rec, st);
  hxAsnFreeObj(rec);
  ASSERT_EQ(st, 0u);
  unsigned long slot;
  c.mapGroupName("primary", slot, st);
  EXPECT_EQ(slot, 0u);
  ASSERT_NE(actionAt(c, 0, 0), nullptr);
  EXPECT_STREQ(actionAt(c, 0, 0)->name, "T");
  EXPECT_EQ(actionAt(c, 0, 0)->flags & gxaction_flag_protected, gxaction_flag_protected);
  ASSERT_NE(actionAt(c, 0, 2), nullptr);
  EXPECT_STREQ(actionAt(c, 0, 2)->name, "r");

  lines.clear();
  ASSERT_EQ(gxRenderActionCatalogue(f.store(), lines), 0u);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "group 0 \"primary\"");
  EXPECT_NE(lines[1].find("T  bit 0x00000001"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("[protected]"), std::string::npos);
  EXPECT_EQ(lines.back().rfind("action /auth/actions/W: W", 0), 0u) << lines.back();
}

}  // namespace
