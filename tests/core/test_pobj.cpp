// Protected objects and the object-space list: the database forms through a
// real store file, corrupt and truncated records, the attribute form, and
// the list operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "GxCore/GxPObj.h"
#include "GxCore/daStoreObjectName.h"
#include "record_corruption.h"

namespace {

using gxtest::decodeBytes;
using gxtest::encodedRecord;
using gxtest::expectCorruptionRefused;

GxPObj samplePObj() {
  GxPObj p;
  p.type(7);
  p.policyAttachable(false);
  p.description("printer \xc3\xa9");
  return p;
}

GxPObjSpace sampleSpace() {
  GxPObjSpace s;
  unsigned long st;
  for (char const* n : {"/Proxy", "/Management", "/Apps"}) s.addToObjSpace(n, st);
  return s;
}

std::vector<std::string> names(GxPObjSpace const& s) {
  std::vector<std::string> v;
  for (uint32_t i = 0; i < s.count(); ++i) v.emplace_back(s.name(i));
  return v;
}

}  // namespace

// ---- database forms ------------------------------------------------------------

TEST(PObjRecord, RoundTripsThroughAStoreFile) {
  gxtest::RecordFile file;
  GxPObj pobj = samplePObj(), plain;
  GxPObjSpace space = sampleSpace(), emptySpace;
  daPObjName pobjName("/Proxy/host/printer"), plainName("/Apps");
  daPObjSpaceName spaceName;
  daStoreObjectName emptySpaceName(gx_type_pobj_space, "", "/auth/pobjectspace-empty");
  std::vector<std::pair<daStoreObject*, daStoreObjectName*>> objs{
      {&pobj, &pobjName}, {&plain, &plainName}, {&space, &spaceName}, {&emptySpace, &emptySpaceName}};
  std::vector<std::unique_ptr<daStoreObject>> back;
  for (auto [obj, key] : objs) {
    auto decoded = file.roundTrip(*obj, key->getFullName());
    ASSERT_NE(decoded, nullptr);
    EXPECT_STREQ(decoded->getName().getChars(), key->getFullName().getChars());
    back.push_back(std::move(decoded));
  }
  auto& p = dynamic_cast<GxPObj&>(*back[0]);
  EXPECT_EQ(p.type(), 7u);
  EXPECT_FALSE(p.policyAttachable());
  EXPECT_STREQ(p.description(), "printer \xc3\xa9");
  auto& q = dynamic_cast<GxPObj&>(*back[1]);
  EXPECT_TRUE(q.type() == 0 && q.policyAttachable() && q.description() == nullptr);
  EXPECT_EQ(names(dynamic_cast<GxPObjSpace&>(*back[2])), names(space));
  EXPECT_EQ(dynamic_cast<GxPObjSpace&>(*back[3]).count(), 0u);
}

TEST(PObjRecord, SpaceEncodingKeepsTheCallersKeyAndValue) {
  char key[] = "/auth/pobjectspace";
  gxobj_t rec{key, 42, 0, 0, nullptr};
  unsigned long st = 1;
  sampleSpace().encode(rec, st);
  ASSERT_EQ(st, 0u);
  EXPECT_TRUE(rec.key == key && rec.value == 42u && rec.type == uint32_t(gx_type_pobj_space));
  std::free(rec.data);
}

TEST(PObjRecord, CorruptOrTruncatedRecordsGiveAStatusAndNoObject) {
  GxPObj pobj = samplePObj();
  expectCorruptionRefused(encodedRecord(pobj), gx_type_pobj, 77031);
  GxPObjSpace space = sampleSpace();
  expectCorruptionRefused(encodedRecord(space), gx_type_pobj_space, 77031);
}

TEST(PObjRecord, DeclaredNameCountMustMatchAndIsBoundedByTheRecord) {
  gxtest::MessageCapture quiet;
  auto spaceWith = [](uint32_t declared, std::vector<char const*> const& list) {
    HxBerWriter w;
    w.beginSequence();
    w.putUInt32(0);
    w.putUInt32(0);
    w.putUInt32(declared);
    w.beginSequence();
    for (char const* n : list) w.putString(n);
    w.endSequence();
    w.endSequence();
    return gxtest::finishBytes(w);
  };
  std::unique_ptr<daStoreObject> obj;
  auto decode = [&](std::vector<unsigned char> const& b) { return decodeBytes(b, b.size(), gx_type_pobj_space, obj); };
  ASSERT_EQ(decode(spaceWith(2, {"/a", "/b"})), 0u);
  EXPECT_EQ(dynamic_cast<GxPObjSpace&>(*obj).count(), 2u);
  // Under ASan a calloc of 0xFFFFFFFF pointers would abort the test.
  for (uint32_t absurd : {0xFFFFFFFFu, 0x08000000u, 3u, 1u}) {
    EXPECT_EQ(decode(spaceWith(absurd, {"/a", "/b"})), hx_asn_s_decode_failed) << absurd;
    EXPECT_EQ(obj, nullptr);
  }
  EXPECT_EQ(decode(spaceWith(2, {"/a", nullptr})), hx_asn_s_decode_failed);
}

TEST(PObjRecord, FailedDecodeLeavesTheObjectUnchanged) {
  GxPObj target = samplePObj();
  std::vector<unsigned char> bytes = encodedRecord(target);
  bytes.pop_back();
  gxobj_t rec{nullptr, 0, gx_type_pobj, static_cast<uint32_t>(bytes.size()), bytes.data()};
  unsigned long st = 0;
  target.decode(rec, st);
  EXPECT_EQ(st, hx_asn_s_decode_failed);
  EXPECT_STREQ(target.description(), "printer \xc3\xa9");
}

// ---- GxPObj ------------------------------------------------------------------------

TEST(PObj, AttributeFormOfANewObjectAndOfAnEmptyDescription) {
  GxPObj fresh;
  HXObject attrs;
  EXPECT_EQ(fresh.encode("/a/b", "q", attrs), 0u);
  EXPECT_STREQ(attrs.getStringValue("pobjid", 0, "q")->getChars(), "/a/b");
  EXPECT_STREQ(attrs.getStringValue("pobjdesc", 0, "q")->getChars(), "");
  EXPECT_TRUE(attrs.booleanValue("pobjpolattach", 0, "q"));
  EXPECT_EQ(attrs.integerValue("pobjtype", 0, "q"), 0u);
  EXPECT_EQ(attrs.length("pobjid", nullptr), 0u);  // only the qualified set

  GxPObj p = samplePObj();
  p.description(nullptr);
  HXObject out;
  p.encode("/x", nullptr, out);
  GxPObj back;
  back.description("old");
  EXPECT_EQ(back.decode("ignored", nullptr, out), 0u);
  ASSERT_NE(back.description(), nullptr);  // empty, not null
  EXPECT_STREQ(back.description(), "");
  EXPECT_FALSE(back.policyAttachable());
  EXPECT_EQ(back.type(), 7u);
}

TEST(PObj, ComparesByNameOnlyAndAssignmentCopiesDeeply) {
  GxPObj a = samplePObj(), b;
  a.setName("/auth/pobject/a");
  b.setName("/auth/pobject/a");
  EXPECT_EQ(a.compare(b), 0);
  b.setName("/auth/pobject/b");
  EXPECT_LT(a.compare(b), 0);

  b = a;
  EXPECT_STREQ(b.getName().getChars(), "/auth/pobject/a");
  a.description("changed");
  EXPECT_STREQ(b.description(), "printer \xc3\xa9");  // deep copy

  b = azn_pobj_desc_struct{99, 12, nullptr, 0};  // the name stays
  EXPECT_TRUE(b.type() == 12 && b.description() == nullptr && !b.policyAttachable());
  EXPECT_STREQ(b.getName().getChars(), "/auth/pobject/a");
  std::unique_ptr<ZObject_6_0> c(b.clone());
  EXPECT_EQ(dynamic_cast<GxPObj&>(*c).type(), 12u);
}

// ---- GxPObjSpace ---------------------------------------------------------------

TEST(PObjSpace, AddRefusesExactDuplicatesAndRemoveKeepsOrder) {
  GxPObjSpace s;
  unsigned long st = 0;
  s.remFromObjSpace("/x", st);
  EXPECT_EQ(st, GxPObjSpace::s_name_missing_);
  s.addToObjSpace("/Apps", st);
  EXPECT_EQ(st, 0u);
  s.addToObjSpace("/Apps", st);
  EXPECT_EQ(st, GxPObjSpace::s_name_exists_);
  s.addToObjSpace("/apps", st);  // differs in case only: a different name
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(names(s), (std::vector<std::string>{"/Apps", "/apps"}));

  s = sampleSpace();
  s.remFromObjSpace("/nothere", st);
  EXPECT_EQ(st, GxPObjSpace::s_name_missing_);
  EXPECT_EQ(s.count(), 3u);
  s.remFromObjSpace("/Management", st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(names(s), (std::vector<std::string>{"/Proxy", "/Apps"}));
  s.addToObjSpace("/Management", st);  // appended at the end again
  EXPECT_EQ(names(s), (std::vector<std::string>{"/Proxy", "/Apps", "/Management"}));
}

TEST(PObjSpace, RepeatedNamesFromARecordAreAllRemoved) {
  char a[] = "/a", b[] = "/b", a2[] = "/a";
  char* list[] = {a, b, a2};
  GxPObjSpace s(pobjspace_s_t{3, list, 0, 0});
  unsigned long st = 1;
  s.remFromObjSpace("/a", st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(names(s), std::vector<std::string>{"/b"});
}

TEST(PObjSpace, ListingAppendsOwnedCopiesAndCopiesAreDeep) {
  ZArrayList_6_0 out;
  out.addNoCopy(new ZUTF8String_6_0("keep"));
  GxPObjSpace().listObjSpaces(out);
  EXPECT_EQ(out.size(), 1u);
  GxPObjSpace s = sampleSpace();
  s.listObjSpaces(out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_STREQ(static_cast<ZUTF8String_6_0*>(out.get(1))->getChars(), "/Proxy");
  EXPECT_STREQ(static_cast<ZUTF8String_6_0*>(out.get(3))->getChars(), "/Apps");

  GxPObjSpace copy(s);
  unsigned long st;
  copy.remFromObjSpace("/Apps", st);
  EXPECT_EQ(s.count(), 3u);
  copy = s;
  copy = static_cast<GxPObjSpace&>(copy);  // self-assignment
  EXPECT_EQ(names(copy), names(s));
}
