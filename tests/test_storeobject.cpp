// Store objects: names, short names, equality by name, decoding by type.
#include <gtest/gtest.h>

#include <memory>

#include "GxCore/daStoreObject.h"
#include "test_support.h"

namespace {

TEST(daStoreObject, ShortNameIsTheLastKeyElement) {
  daStoreObject o;
  o.setName(ZUTF8String_6_0("/auth/pop/p1"));
  EXPECT_STREQ(o.getShortName(), "p1");
  EXPECT_EQ(o.getName().str(), "/auth/pop/p1");
  o.setName(ZUTF8String_6_0("/"));
  EXPECT_STREQ(o.getShortName(), "/");
  o.setName(ZUTF8String_6_0("abc"));
  EXPECT_STREQ(o.getShortName(), "abc");
}

TEST(daStoreObject, ObjectsAreEqualByNameWhateverTheirContents) {
  daStoreObject a("/auth/x");
  daPolicyObject b("/auth/x");
  a.setDescription(ZUTF8String_6_0("one"));
  b.setDescription(ZUTF8String_6_0("two"));
  EXPECT_TRUE(a.equals(b));
  EXPECT_TRUE(b.equals(a));
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_EQ(a.compare(b), 0);
  EXPECT_LT(daStoreObject("/a").compare(daStoreObject("/b")), 0);
  EXPECT_EQ(a.getDescription().str(), "one");
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
