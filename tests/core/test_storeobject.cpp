// Store objects: names, short names, equality by name, decoding by type.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "GxCore/daStoreObject.h"
#include "test_support.h"

namespace {

TEST(daStoreObject, ShortNameIsTheLastElementAndEqualityIsByName) {
  daStoreObject o;
  using Pair = std::pair<char const*, char const*>;
  for (auto [name, shortName] : {Pair{"/auth/pop/p1", "p1"}, Pair{"/", "/"}, Pair{"abc", "abc"}}) {
    o.setName(ZUTF8String_6_0(name));
    EXPECT_STREQ(o.getShortName(), shortName) << name;
  }
  daStoreObject a("/auth/x");
  daPolicyObject b("/auth/x");
  a.setDescription(ZUTF8String_6_0("one"));
  b.setDescription(ZUTF8String_6_0("two"));
  EXPECT_TRUE(a.equals(b) && b.equals(a));
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_EQ(a.compare(b), 0);
  EXPECT_LT(daStoreObject("/a").compare(daStoreObject("/b")), 0);
  std::unique_ptr<ZObject_6_0> c(b.clone());
  EXPECT_NE(dynamic_cast<daPolicyObject*>(c.get()), nullptr);
}

TEST(daStoreObject, RecordsOfNoStorableKindAreRefused) {
  gxtest::MessageCapture messages;
  for (uint32_t type : {1284u, 1286u, 0u, 0xFFFFu}) {
    gxobj_t rec{const_cast<char*>("/auth/x"), 0, type, 0, nullptr};
    daStoreObject* obj = reinterpret_cast<daStoreObject*>(0x1);
    unsigned long st = 0;
    daStoreObject::decode(rec, &obj, st);
    EXPECT_EQ(st, 0x132792F2u) << type;
    EXPECT_EQ(obj, nullptr);
  }
  EXPECT_TRUE(messages.all().empty());
}

TEST(daStoreObject, AttributeRecordRoundTripKeepsNameAndDescription) {
  daStoreObject o("/auth/pobject/a");
  o.setDescription(ZUTF8String_6_0("desc"));
  gxobj_t rec{};
  HXObject::init_gxobj(rec, 1286);
  unsigned long st;
  o.encode(rec, st);
  ASSERT_EQ(st, 0u);
  daStoreObject back;
  back.decode(rec, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(back.getName().str(), "/auth/pobject/a");
  EXPECT_EQ(back.getDescription().str(), "desc");
  hxAsnFreeObj(rec);
}

}  // namespace
