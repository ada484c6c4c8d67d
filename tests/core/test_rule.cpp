// Authorization rules: the record form through a real database file and the
// decode dispatch, damaged records, and the attribute form.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GxCore/daRule.h"
#include "GxCore/daStoreObjectName.h"
#include "record_corruption.h"

namespace {

std::vector<std::string> strings(ZArrayList_6_0 const& list) {
  std::vector<std::string> out;
  for (unsigned int i = 0; i < list.size(); ++i) out.push_back(dynamic_cast<ZUTF8String_6_0&>(*list.get(i)).str());
  return out;
}
std::vector<std::string> adis(daRule const& rule) {
  ZArrayList_6_0 list;
  rule.getADIList(list);
  return strings(list);
}
void setAdis(daRule& rule, std::vector<char const*> const& texts) {
  ZArrayList_6_0 list;
  for (char const* t : texts) list.add(ZUTF8String_6_0(t));
  rule.setADIList(list);
}

TEST(RuleRecord, RoundTripsThroughTheDatabaseFile) {
  gxtest::RecordFile file;
  daRule rule;
  rule.setName("r1");
  rule.setDescription("weekdays");
  rule.setText("!TRUE!");
  rule.setReason("denied");
  setAdis(rule, {"day", "group", "ipaddr"});
  auto obj = file.roundTrip(rule, daRuleName("r1").getFullName());
  auto* back = dynamic_cast<daRule*>(obj.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->getName().str(), daRuleName("r1").getFullName().getChars());
  EXPECT_EQ(back->getDescription().str(), "weekdays");
  EXPECT_EQ(back->getText()->str(), "!TRUE!");
  EXPECT_EQ(back->getReason()->str(), "denied");
  EXPECT_EQ(adis(*back), (std::vector<std::string>{"day", "group", "ipaddr"}));

  daRule bare;
  auto obj2 = file.roundTrip(bare, daRuleName("bare").getFullName());
  auto* bareBack = dynamic_cast<daRule*>(obj2.get());
  ASSERT_NE(bareBack, nullptr);
  EXPECT_EQ(bareBack->getText(), nullptr);
  EXPECT_TRUE(adis(*bareBack).empty());
}

TEST(RuleRecord, CorruptRecordGivesTheRuleWithAStatus) {
  gxtest::MessageCapture quiet;
  std::unique_ptr<daStoreObject> obj;
  std::vector<unsigned char> garbage = {0x30, 0x84, 0xff, 0xff, 0xff, 0x7f, 0x04, 0x01};
  EXPECT_EQ(gxtest::decodeBytes(garbage, garbage.size(), 0x50F, obj), hx_obj_s_bad_record);
  EXPECT_NE(dynamic_cast<daRule*>(obj.get()), nullptr);
  EXPECT_NE(gxtest::decodeBytes(garbage, 0, 0x50F, obj), 0u);
  EXPECT_NE(dynamic_cast<daRule*>(obj.get()), nullptr);
}

TEST(Rule, SettersReplaceAndAttributeFormCopiesUnderTheQualifier) {
  daRule rule;
  rule.setName("r");
  rule.setText("first");
  rule.setText("r1");
  EXPECT_EQ(rule.length("text", nullptr), 1u);
  rule.setReason("denied");
  HXObject attrs;
  EXPECT_EQ(rule.encode("rule", "q", attrs), 0u);
  EXPECT_EQ(attrs.getStringValue("text", 0, "q")->str(), "r1");
  EXPECT_EQ(attrs.getStringValue("reason", 0, "q")->str(), "denied");
  EXPECT_EQ(attrs.length("adilist", "q"), 0u);
  EXPECT_EQ(attrs.length("text", nullptr), 0u);

  daRule bare;  // absent text and reason are written as empty texts
  setAdis(bare, {"a", "b"});
  HXObject more;
  bare.encode("rule", nullptr, more);
  EXPECT_EQ(more.getStringValue("text", 0, nullptr)->str(), "");
  EXPECT_EQ(more.getStringValue("reason", 0, nullptr)->str(), "");
  ZArrayList_6_0 list;
  more.stringArrayValue("adilist", list, nullptr);
  EXPECT_EQ(strings(list), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
