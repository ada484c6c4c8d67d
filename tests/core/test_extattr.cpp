// Extended attributes: the set's invariants, deep copies, the attribute
// form, and the database form through a real store file with truncated and
// corrupted records.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "GxCore/GxExtAttr.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/HXObject.h"
#include "record_corruption.h"
#include "test_support.h"

namespace {

using Listing = std::vector<std::pair<std::string, std::vector<std::string>>>;

// Names and values in iteration order.
Listing listing(GxExtAttr const& ea) {
  Listing out;
  GxExtAttrIterator it(ea);
  it.nameReset();
  while (it.nameAdvance()) {
    out.push_back({it.name(), {}});
    EXPECT_EQ(it.valueCount(), ea.value().entries[out.size() - 1].value_count);
    while (it.valueAdvance()) out.back().second.push_back(it.value());
  }
  return out;
}

GxExtAttr sample() {
  GxExtAttr ea;
  ea.addValue("A", "a1");
  ea.addValue("B", "b1");
  ea.addValue("A", "a2");
  ea.addValue("C", "");
  return ea;
}

}  // namespace

// ---- invariants ---------------------------------------------------------------

TEST(ExtAttrSet, DuplicatesAreRefusedAndCaseCountsAndOrderIsKept) {
  GxExtAttr ea;
  EXPECT_EQ(ea.addValue("Name", "x"), 0);
  EXPECT_EQ(ea.addValue("Name", "x"), 1);
  EXPECT_EQ(ea.addValue("name", "X"), 0);
  EXPECT_EQ(ea.addValue("Name", "X"), 0);
  EXPECT_EQ((listing(ea)), (Listing{{"Name", {"x", "X"}}, {"name", {"X"}}}));
}

TEST(ExtAttrSet, RemovalsCloseGapsAndTheLastValueTakesItsName) {
  GxExtAttr ea = sample();
  EXPECT_EQ(ea.delValue("a", "a1"), 0);
  EXPECT_EQ(ea.delValue("A", "A1"), 0);
  EXPECT_EQ(ea.delValues("b"), 0);
  EXPECT_EQ(ea.delValue("B", "b1"), 1);
  EXPECT_EQ((listing(ea)), (Listing{{"A", {"a1", "a2"}}, {"C", {""}}}));
  ea.addValue("A", "a3");
  EXPECT_EQ(ea.delValue("A", "a2"), 1);  // the middle one of three
  EXPECT_EQ((listing(ea)), (Listing{{"A", {"a1", "a3"}}, {"C", {""}}}));
  EXPECT_EQ(ea.delValues("A"), 1);
  EXPECT_EQ(ea.delValue("C", ""), 1);
  EXPECT_EQ(ea.nameCount(), 0u);
  EXPECT_EQ(ea.value().entries, nullptr);

  ea = sample();  // removal with the set's own pointers is safe
  EXPECT_EQ(ea.delValue(ea.value().entries[1].name, ea.value().entries[1].values[0]), 1);
  EXPECT_EQ(ea.delValues(ea.value().entries[0].name), 1);
  EXPECT_EQ((listing(ea)), (Listing{{"C", {""}}}));
}

TEST(ExtAttrSet, CopyDropsNamesWithoutNonNullValues) {
  char* aVals[] = {nullptr, const_cast<char*>("a1"), nullptr};
  char* nullOnly[] = {nullptr};
  char* bVals[] = {const_cast<char*>("b1")};
  gxextattr_entry_s_t entries[] = {{const_cast<char*>("A"), 3, aVals},
                                   {const_cast<char*>("E"), 0, nullptr},
                                   {const_cast<char*>("N"), 1, nullOnly},
                                   {const_cast<char*>("B"), 1, bVals}};
  gxextattr_s_t s{4, entries, 7, 7};
  GxExtAttr ea(s);
  EXPECT_EQ((listing(ea)), (Listing{{"A", {"a1"}}, {"B", {"b1"}}}));
  EXPECT_EQ(ea.value().reserved1, 0u);
  gxextattr_s_t none{2, entries + 1, 0, 0}, to{};
  EXPECT_TRUE(GxExtAttr::copyExtAttr(none, to));
  EXPECT_EQ(to.entries, nullptr);
}

TEST(ExtAttrSet, CopiesAreDeepAndAssignmentReplaces) {
  GxExtAttr a = sample();
  GxExtAttr b(a);
  a.delAll();
  GxExtAttr c;
  c.addValue("Z", "z");
  c = b;
  c = c;
  std::unique_ptr<ZObject_6_0> cl(c.clone());
  auto* back = dynamic_cast<GxExtAttr*>(cl.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ((listing(*back)), (listing(sample())));
}

TEST(ExtAttrSet, NameValidityDependsOnTheOwnerType) {
  gxtest::MessageCapture quiet;  // invalid object paths are logged
  EXPECT_TRUE(GxExtAttr::isValidExtAttrName("/a/b", gx_type_pobj));
  for (int t : {gx_type_pop, gx_type_acl, gx_type_rule}) {
    EXPECT_TRUE(GxExtAttr::isValidExtAttrName("pol1", t)) << t;
    EXPECT_FALSE(GxExtAttr::isValidExtAttrName("a/b", t)) << t;
  }
  for (char const* n : {"pol1", "/a/b"}) EXPECT_FALSE(GxExtAttr::isValidExtAttrName(n, gx_type_action)) << n;
}

// ---- attribute form -----------------------------------------------------------

TEST(ExtAttrAttributes, EachNameBecomesAnAttributeAndDecodesBackInOrder) {
  GxExtAttr ea;
  ea.addValue("A", "1");
  ea.addValue("A", "2");
  ea.addValue("B", "3");
  HXObject attrs;
  EXPECT_EQ(ea.encode("id7", "q", attrs), 0u);
  EXPECT_TRUE(attrs.attributeNames(nullptr).empty());  // all under the qualifier
  EXPECT_EQ(attrs.attributeNames("q"), (std::vector<std::string>{"A", "B", "extattrid", "extattrnames"}));
  EXPECT_STREQ(attrs.getStringValue("extattrid", 0, "q")->getChars(), "id7");
  EXPECT_STREQ(attrs.getStringValue("extattrnames", 1, "q")->getChars(), "B");
  EXPECT_EQ(attrs.length("A", "q"), 2u);
  EXPECT_STREQ(attrs.getStringValue("A", 1, "q")->getChars(), "2");
  GxExtAttr back;
  EXPECT_EQ(back.decode("ignored", "q", attrs), 0u);
  EXPECT_EQ((listing(back)), (listing(ea)));
}

TEST(ExtAttrAttributes, EmptySetWritesOnlyItsIdAndValuelessNamesAddNothing) {
  GxExtAttr ea;
  ea.addValue("A", "1");
  ea.delValue("A", "1");
  HXObject attrs;
  ea.encode("id", nullptr, attrs);
  EXPECT_EQ(attrs.attributeNames(nullptr), (std::vector<std::string>{"extattrid"}));
  attrs.addStringValue("extattrnames", "ghost", nullptr);
  attrs.addStringValue("extattrnames", "real", nullptr);
  attrs.addStringValue("real", "r", nullptr);
  GxExtAttr back;
  back.decode(nullptr, nullptr, attrs);
  EXPECT_EQ((listing(back)), (Listing{{"real", {"r"}}}));
}

// ---- database form ------------------------------------------------------------

TEST(ExtAttrRecord, RoundTripsThroughAStoreFile) {
  gxtest::RecordFile file;
  GxExtAttr full = sample();
  GxExtAttr empty;
  daPObjName owner("/a/b");
  daAclName aclOwner("acl1");
  std::pair<GxExtAttr*, daStoreObjectName const*> cases[] = {{&full, &owner.getExtAttrName()},
                                                              {&empty, &aclOwner.getExtAttrName()}};
  for (auto [obj, key] : cases) {
    auto decoded = file.roundTrip(*obj, key->getFullName());
    auto* back = dynamic_cast<GxExtAttr*>(decoded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ((listing(*back)), (listing(*obj)));
    EXPECT_STREQ(back->getName().getChars(), key->getFullName().getChars());
  }
}

TEST(ExtAttrRecord, DamagedRecordsGiveAStatusOrAWellFormedSet) {
  GxExtAttr ea = sample();
  std::vector<unsigned char> const bytes = gxtest::encodedRecord(ea, gx_type_ext_attr);
  gxtest::expectTruncationsRefused(bytes, gx_type_ext_attr);
  gxtest::MessageCapture quiet;
  std::mt19937 rng(20261206);
  size_t refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<unsigned char> b = bytes;
    for (int f = 1 + static_cast<int>(rng() % 3); f > 0; --f)
      b[rng() % b.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
    std::unique_ptr<daStoreObject> obj;
    unsigned long st = gxtest::decodeBytes(b, b.size(), gx_type_ext_attr, obj);
    EXPECT_EQ(st == 0, obj != nullptr);
    refused += st != 0;
    if (!obj) continue;
    // A flip inside a text can still decode: the result must be walkable.
    for (auto const& [name, values] : listing(dynamic_cast<GxExtAttr&>(*obj))) EXPECT_FALSE(values.empty()) << name;
  }
  EXPECT_GT(refused, 0u);
}
