// Policy-object maps: list editing, the attached part, and damaged records
// of every map kind. Every kind's round trip through a store file is run by
// test_effectivepolicy and test_gxpolicy_io.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "GxCore/GxMapACLToPObject.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/hxasn_map.h"
#include "record_corruption.h"
#include "test_support.h"

namespace {

std::vector<std::string> names(daPolicyObjectMap const& m) {
  std::vector<std::string> out;
  for (unsigned i = 0; i < m.count(); ++i) out.emplace_back(m.get(i));
  return out;
}

// A container that counts the references its handles hold.
class CountingContainer : public Container<daStoreObject> {
 public:
  int refs = 0;
  void doReleaseObject(Handle<daStoreObject>& h) override {
    --refs;
    h.clear();
  }
  void doAttachHandle(Handle<daStoreObject>&) override { ++refs; }
};

std::unique_ptr<daPolicyObjectMap> newMap(uint32_t type) {
  switch (type) {
    case gx_type_map_pobj_to_acl: return std::make_unique<GxMapPObjectToACL>();
    case gx_type_map_acl_to_pobj: return std::make_unique<GxMapACLToPObject>();
    case gx_type_map_pobj_to_pop: return std::make_unique<GxMapObjToPop>();
    case gx_type_map_pop_to_pobj: return std::make_unique<GxMapPopToObj>();
    case gx_type_map_pobj_to_rule: return std::make_unique<daMapObjToRule>();
    default: return std::make_unique<daMapRuleToObj>();
  }
}

constexpr uint32_t allKinds[] = {gx_type_map_pobj_to_acl,  gx_type_map_acl_to_pobj,  gx_type_map_pobj_to_pop,
                                 gx_type_map_pop_to_pobj,  gx_type_map_pobj_to_rule, gx_type_map_rule_to_pobj};

using gxtest::decodeBytes;

}  // namespace

// ---- list editing ---------------------------------------------------------

TEST(PolicyMapList, RemoveTakesTheFirstMatchAndFreesTheArrayWhenEmpty) {
  GxMapACLToPObject m;
  m.add("/a");
  m.add("/b");
  m.add("/a");
  m.remove("/missing");
  EXPECT_EQ(names(m), (std::vector<std::string>{"/a", "/b", "/a"}));
  m.remove("/a");
  EXPECT_EQ(names(m), (std::vector<std::string>{"/b", "/a"}));
  m.remove("/b");
  m.remove("/a");
  EXPECT_EQ(m.count(), 0u);
  EXPECT_EQ(m.value().names, nullptr);
  m.add("/c");  // a new array of one slot
  EXPECT_EQ(names(m), std::vector<std::string>{"/c"});
}

// ---- attached part ----------------------------------------------------------

TEST(AttachedPolicy, CloneStartsEmptyWhileAssignmentSharesTheCountedPolicy) {
  CountingContainer store;
  daStoreObject policy("/auth/pop/p1"), ext("/auth/ext/p1");
  GxMapObjToPop m;
  m.add("p1");
  {
    Handle<daStoreObject> h(&store, &policy, nullptr), e(&store, &ext, nullptr);
    store.refs = 2;
    m.setAttachedObjectHandle(h);
    m.setAttachedExtAttrHandle(e);
    m.setAttachedObjectExists(1);
    m.setEffectiveLocation("/a");
  }
  EXPECT_EQ(store.refs, 2);  // the map's two copies
  m.setAttachedObjectHandle(m.getAttachedObjectHandle());  // itself: no change
  EXPECT_EQ(store.refs, 2);

  std::unique_ptr<ZObject_6_0> cloned(m.clone());
  auto& c = dynamic_cast<GxMapObjToPop&>(*cloned);
  EXPECT_EQ(c.haveAttachedObject(), 0);
  EXPECT_EQ(c.existsAttachedObject(), 0);
  EXPECT_TRUE(c.getEffectiveLocation().isEmpty());
  EXPECT_EQ(names(c), std::vector<std::string>{"p1"});

  {
    GxMapObjToPop assigned;
    assigned = m;
    EXPECT_EQ(assigned.getAttachedObjectHandle().get(), &policy);
    EXPECT_EQ(assigned.haveAttachedExtAttr(), 1);
    EXPECT_EQ(assigned.existsAttachedObject(), 1);
    EXPECT_STREQ(assigned.getEffectiveLocation().getChars(), "/a");
    EXPECT_EQ(store.refs, 4);
  }
  EXPECT_EQ(store.refs, 2);  // the destructor released both handles

  m.invalidateAttached();
  EXPECT_EQ(store.refs, 0);
  EXPECT_EQ(m.haveAttachedObject(), 0);
  EXPECT_EQ(m.haveAttachedExtAttr(), 0);
  EXPECT_EQ(m.existsAttachedObject(), 0);
  EXPECT_TRUE(m.getEffectiveLocation().isEmpty());
  m.invalidateAttached();  // already empty
  EXPECT_EQ(store.refs, 0);
}

// ---- database form ----------------------------------------------------------

TEST(PolicyMapRecord, EmptyMapRoundTripsAndNullNamesAreNotEncoded) {
  GxMapACLToPObject empty;
  std::vector<unsigned char> bytes = gxtest::encodedRecord(empty);
  std::unique_ptr<daStoreObject> obj;
  ASSERT_EQ(decodeBytes(bytes, bytes.size(), gx_type_map_acl_to_pobj, obj), 0u);
  EXPECT_EQ(dynamic_cast<daPolicyObjectMap&>(*obj).count(), 0u);
  EXPECT_EQ(dynamic_cast<daPolicyObjectMap&>(*obj).value().names, nullptr);

  char* raw[] = {nullptr};
  hx_asn_buffer_t b{};
  EXPECT_EQ(hxAsnEncodeObj(b, map_acl_to_pobj_s_t{1, raw, 0, 0}), hx_asn_s_encode_failed);
  EXPECT_EQ(hxAsnEncodeObj(b, map_acl_to_pobj_s_t{1, nullptr, 0, 0}), hx_asn_s_encode_failed);
  EXPECT_EQ(b.data, nullptr);
}

TEST(PolicyMapRecord, DamagedRecordsOfEveryKindGiveAStatusOrAWholeMap) {
  gxtest::MessageCapture quiet;  // failed decodes are logged
  std::mt19937 rng(20261206);
  for (uint32_t type : allKinds) {
    auto m = newMap(type);
    for (char const* n : {"/a/b/c", "/d", "e"}) m->add(n);
    std::vector<unsigned char> const good = gxtest::encodedRecord(*m);
    gxtest::expectTruncationsRefused(good, type);
    for (int round = 0; round < 500; ++round) {
      std::vector<unsigned char> bad = good;
      for (int f = 1 + static_cast<int>(rng() % 3); f > 0; --f)
        bad[rng() % bad.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
      std::unique_ptr<daStoreObject> obj;
      unsigned long st = decodeBytes(bad, bad.size(), type, obj);
      EXPECT_EQ(st == 0, obj != nullptr);
      if (!obj) continue;
      auto& back = dynamic_cast<daPolicyObjectMap&>(*obj);
      for (unsigned i = 0; i < back.count(); ++i) EXPECT_NE(back.get(i), nullptr);
    }
  }
}

TEST(PolicyMapRecord, FailedDecodeIntoAMapKeepsItsList) {
  GxMapPObjectToACL m;
  m.add("a1");
  std::vector<unsigned char> bytes = gxtest::encodedRecord(m);
  bytes.pop_back();
  gxobj_t rec{nullptr, 0, gx_type_map_pobj_to_acl, static_cast<uint32_t>(bytes.size()), bytes.data()};
  GxMapPObjectToACL target;
  target.add("kept");
  unsigned long st = 0;
  daPolicyObjectMap::decode(rec, target, st);
  EXPECT_EQ(st, hx_asn_s_decode_failed);
  EXPECT_EQ(names(target), std::vector<std::string>{"kept"});
}
