// ACLs: entry order and removal, deep copies, the database form through a
// real store file, corrupt and truncated records, and ACL evaluation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/acleval.h"
#include "GxCore/daStoreObjectName.h"
#include "record_corruption.h"

namespace {

// Distinct uuids; n2 != 0 gives a uuid that shares its first word with
// uuid(n) but differs further on.
hx_uuid_t uuid(uint32_t n, uint8_t n2 = 0) {
  hx_uuid_t u{};
  u.time_low = n;
  u.time_mid = 0x1234;
  u.time_hi_and_version = 0x4abc;
  u.node[5] = n2;
  return u;
}
GxACLPermset perms(uint32_t g0, uint32_t g1 = 0, bool two = false) {
  GxACLPermset p(0, g0);
  if (two || g1) p.setBitMaskInGroup(1, g1);
  return p;
}
std::vector<uint32_t> words(acl_permset_s_t const& p) { return std::vector<uint32_t>(p.groups, p.groups + p.count); }

unsigned char isUser(acl_entry_s_t const& e, void* id) {
  unsigned long st;
  return e.entry_type == acl_e_user && hx_uuid_equal(e.id, *static_cast<hx_uuid_t*>(id), st);
}
unsigned char never(acl_entry_s_t const&, void*) { return 0; }

// Two ACLs are the same when their records are.
std::vector<unsigned char> encodeAcl(GxACL const& acl) {
  return gxtest::encodedRecord(const_cast<GxACL&>(acl), gx_type_acl);
}
bool sameAcl(GxACL const& a, GxACL const& b) { return encodeAcl(a) == encodeAcl(b); }

// An ACL with one entry of each kind, a description and a 3-group set.
GxACL sampleAcl() {
  GxACL acl;
  acl.description("sample \xc3\xa9");
  acl.addPrincipalEntry(uuid(1), perms(0x1));
  acl.addGroupEntry(uuid(2), perms(0x6, 0x1));
  acl.addCellEntry(perms(0x7));
  acl.addUnauthEntry(GxACLPermset(2, 0x80000000u));
  acl.addGroupEntry(uuid(3), GxACLPermset());
  return acl;
}

// ---- entries -------------------------------------------------------------------

TEST(Acl, EntriesKeepOrderAndRemovalClosesTheGap) {
  GxACL acl;
  EXPECT_EQ(acl.addPrincipalEntry(uuid(1), perms(0x1)), 0u);
  EXPECT_EQ(acl.addGroupEntry(uuid(2), perms(0x2)), 1u);
  EXPECT_EQ(acl.addCellEntry(perms(0x4)), 2u);
  EXPECT_EQ(acl.addPrincipalEntry(uuid(1), perms(0x8)), 3u);  // duplicates are kept
  acl.removeEntry(0);
  ASSERT_EQ(acl.numEntries(), 3u);
  EXPECT_EQ(acl.entry(0).entry_type, uint32_t(acl_e_group));
  EXPECT_EQ(acl.entry(1).entry_type, uint32_t(acl_e_any_other));
  EXPECT_EQ(words(acl.entry(2).perms), std::vector<uint32_t>{0x8});
  acl.removeEntry(7);  // out of range: ignored
  EXPECT_EQ(acl.numEntries(), 3u);
  acl.removeAllEntries();
  EXPECT_EQ(acl.numEntries(), 0u);
  EXPECT_EQ(acl.value().entries, nullptr);
  EXPECT_EQ(acl.addUnauthEntry(perms(0x1)), 0u);
}

TEST(Acl, FindFirstAndReplaceEntry) {
  GxACL acl = sampleAcl();
  hx_uuid_t who = uuid(1);
  ASSERT_EQ(acl.findFirst(isUser, &who), 0u);
  acl.replaceEntry(0, perms(0x30, 0x1));
  EXPECT_EQ(words(acl.entry(0).perms), (std::vector<uint32_t>{0x30, 0x1}));
  EXPECT_EQ(acl.entry(0).entry_type, uint32_t(acl_e_user));
  EXPECT_EQ(acl.findFirst(never, nullptr), GxACL::notFound_);
  EXPECT_EQ(GxACL().findFirst(isUser, &who), GxACL::notFound_);
}

TEST(Acl, RemoveActionAndTestOnlyMasksEntriesHoldingAllActions) {
  GxACL acl;
  acl.addCellEntry(perms(0x1));  // holds only one of the two
  acl.addGroupEntry(uuid(2), perms(0x7));
  EXPECT_EQ(acl.removeActionAndTest(perms(0x8)), 0);
  EXPECT_EQ(words(acl.entry(1).perms), std::vector<uint32_t>{0x7});
  EXPECT_EQ(acl.removeActionAndTest(perms(0x3)), 1);
  EXPECT_EQ(words(acl.entry(0).perms), std::vector<uint32_t>{0x1});
  EXPECT_EQ(words(acl.entry(1).perms), std::vector<uint32_t>{0x4});
  acl.removeAction(perms(0x5));
  EXPECT_EQ(words(acl.entry(0).perms), std::vector<uint32_t>{0x0});
  EXPECT_EQ(words(acl.entry(1).perms), std::vector<uint32_t>{0x0});
}

TEST(Acl, RemoveActionGroupClearsTheWordAndKeepsSizes) {
  GxACL acl;
  acl.addCellEntry(perms(0x1, 0x2));
  acl.addUnauthEntry(perms(0x3));
  acl.removeActionGroup(1);
  EXPECT_EQ(words(acl.entry(0).perms), (std::vector<uint32_t>{0x1, 0}));
  EXPECT_EQ(words(acl.entry(1).perms), std::vector<uint32_t>{0x3});
}

TEST(Acl, CopiesAreDeepAndDropAuxBlocks) {
  GxACL acl = sampleAcl();
  acl_ext_s_t raw{};
  ASSERT_TRUE(GxACL::copyACL(acl.value(), raw));
  raw.entries[0].aux = std::malloc(32);
  raw.entries[1].aux = std::malloc(8);
  raw.reserved1 = 7;
  GxACL fromRaw(raw);
  EXPECT_TRUE(sameAcl(fromRaw, acl));
  EXPECT_EQ(fromRaw.entry(0).aux, nullptr);
  EXPECT_EQ(fromRaw.value().reserved1, 0u);
  hxAsnFreeObj(raw);  // frees the aux blocks too

  GxACL copy(acl);
  copy.description("other");
  copy.replaceEntry(0, perms(0xFF));
  EXPECT_STREQ(acl.description(), "sample \xc3\xa9");
  EXPECT_EQ(words(acl.entry(0).perms), std::vector<uint32_t>{0x1});
  copy = acl;
  EXPECT_TRUE(sameAcl(copy, acl));
  GxACL& self = copy;
  copy = self;
  EXPECT_TRUE(sameAcl(copy, acl));
  std::unique_ptr<ZObject_6_0> cloned(acl.clone());
  EXPECT_TRUE(sameAcl(dynamic_cast<GxACL&>(*cloned), acl));
}

TEST(Acl, EntryViewOfAnUnknownKindIsUnsupportedWithANilId) {
  GxACL acl = sampleAcl();
  GxACLEntry group(acl.entry(1));
  unsigned long st;
  EXPECT_STREQ(group.typeName(), "Group");
  EXPECT_TRUE(hx_uuid_equal(group.id, uuid(2), st));
  EXPECT_EQ(group.perms.actionGroup(1), 0x1u);
  EXPECT_TRUE(hx_uuid_is_nil(GxACLEntry(acl.entry(2)).id, st));  // any-other has no id
  acl_entry_s_t odd{};
  odd.entry_type = 5;
  odd.id = uuid(9);
  GxACLEntry unsupported(odd);
  EXPECT_EQ(unsupported.kind, uint32_t(GxACLEntry::unsupported));
  EXPECT_STREQ(unsupported.typeName(), "Not Supported");
  EXPECT_TRUE(hx_uuid_is_nil(unsupported.id, st));
}

// ---- database form -----------------------------------------------------------

TEST(AclRecord, RoundTripsThroughAStoreFile) {
  gxtest::RecordFile file;
  GxACL acl = sampleAcl();
  GxACL empty;  // no description, no entries
  daAclName name("a1"), emptyName("a2");
  for (auto [obj, key] : {std::pair{&acl, &name}, std::pair{&empty, &emptyName}}) {
    auto decoded = file.roundTrip(*obj, key->getFullName());
    auto* back = dynamic_cast<GxACL*>(decoded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(sameAcl(*back, *obj));
    EXPECT_STREQ(back->getName().getChars(), key->getFullName().getChars());
  }
}

TEST(AclRecord, TruncatedAndFlippedRecordsAreRefused) {
  GxACL acl = sampleAcl();
  gxtest::expectCorruptionRefused(encodeAcl(acl), gx_type_acl, 20240611, 3000);
}

TEST(AclRecord, DecodeIntoAnExistingAclKeepsItOnFailure) {
  GxACL acl = sampleAcl();
  std::vector<unsigned char> bytes = encodeAcl(acl);
  bytes.resize(bytes.size() - 1);
  gxobj_t rec{nullptr, 0, gx_type_acl, static_cast<uint32_t>(bytes.size()), bytes.data()};
  GxACL target = sampleAcl();
  unsigned long st = 0;
  target.decode(rec, st);
  EXPECT_EQ(st, hx_asn_s_decode_failed);
  EXPECT_TRUE(sameAcl(target, acl));
}

// ---- evaluation ---------------------------------------------------------------

// Caller with principal uuid(p) and the given groups.
struct Caller {
  std::vector<sec_id_t> groups;
  sec_id_pa_t pa{};
  Caller(uint32_t p, std::vector<hx_uuid_t> const& gs) {
    for (auto const& g : gs) groups.push_back(sec_id_t{g, nullptr});
    pa.principal.uuid = uuid(p);
    pa.num_groups = static_cast<uint16_t>(groups.size());
    pa.groups = groups.empty() ? nullptr : groups.data();
  }
};

// The evaluation algorithm itself, with an optional mask over every entry.
unsigned long algorithm(GxACL const& acl, sec_id_pa_t* pa, GxACLPermset* mask, GxACLPermset& out) {
  GxACLPermset scratch;
  unsigned long st = 1;
  return dce_acl__permset_alg(0, 1, pa, const_cast<acl_ext_s_t*>(&acl.value()), nullptr, nullptr,
                              mask ? &mask->value() : nullptr, &scratch.value(), &out.value(), &st);
}

std::vector<uint32_t> evaluate(GxACL const& acl, sec_id_pa_t* pa, uint32_t outGroups = 0) {
  GxACLPermset out;
  if (outGroups) out.setBitMaskInGroup(outGroups - 1, 0xFFFFFFFF);
  unsigned long st = 1;
  acl_inq_permset_for_pa(pa, const_cast<acl_ext_s_t*>(&acl.value()), &out.value(), &st);
  EXPECT_EQ(st, 0u);
  return words(out.value());
}

TEST(AclEval, UserEntryHidesGroupsAndTheLastOneForTheUuidWins) {
  GxACL acl;
  acl.addGroupEntry(uuid(10), perms(0x6));
  acl.addPrincipalEntry(uuid(1), perms(0x1));
  acl.addCellEntry(perms(0xFF));
  Caller c(1, {uuid(10)});
  EXPECT_EQ(evaluate(acl, &c.pa), std::vector<uint32_t>{0x1});
  acl.addPrincipalEntry(uuid(1, 7), perms(0x40));  // same first word, other uuid
  acl.addPrincipalEntry(uuid(1), perms(0x2));
  EXPECT_EQ(evaluate(acl, &c.pa), std::vector<uint32_t>{0x2});
}

TEST(AclEval, MatchingGroupsAreUnited) {
  GxACL acl;
  acl.addGroupEntry(uuid(10), perms(0x1));
  acl.addGroupEntry(uuid(20), GxACLPermset(1, 0x2));
  acl.addGroupEntry(uuid(30), perms(0x80));  // not one of the caller's groups
  acl.addCellEntry(perms(0xFF));
  Caller c(1, {uuid(20), uuid(10), uuid(10), uuid(30, 1)});
  EXPECT_EQ(evaluate(acl, &c.pa, 4), (std::vector<uint32_t>{0x1, 0x2}));
}

TEST(AclEval, FallsBackToAnyOtherThenNothing) {
  GxACL acl;
  acl.addGroupEntry(uuid(10), perms(0x1));
  acl.addUnauthEntry(perms(0x10));
  acl.addCellEntry(perms(0x4));
  acl.addCellEntry(perms(0x6));  // the last any-other entry applies
  Caller stranger(2, {uuid(11), uuid(10, 3)});
  EXPECT_EQ(evaluate(acl, &stranger.pa), std::vector<uint32_t>{0x6});

  GxACL noCell;
  noCell.addGroupEntry(uuid(10), perms(0x1));
  noCell.addUnauthEntry(perms(0x10));  // never used for an authenticated caller
  EXPECT_EQ(evaluate(noCell, &stranger.pa, 3), (std::vector<uint32_t>{0, 0, 0}));
  GxACLPermset out;
  EXPECT_EQ(algorithm(noCell, &stranger.pa, nullptr, out), 1u);
  EXPECT_EQ(algorithm(GxACL(), &stranger.pa, nullptr, out), 1u);
}

TEST(AclEval, UnauthenticatedGetsAnyOtherAndUnauthMask) {
  GxACL acl;
  acl.addCellEntry(perms(0x7, 0x3));
  acl.addUnauthEntry(perms(0x5));
  EXPECT_EQ(evaluate(acl, nullptr), (std::vector<uint32_t>{0x5, 0}));
  GxACL onlyCell;
  onlyCell.addCellEntry(perms(0x7));
  EXPECT_EQ(evaluate(onlyCell, nullptr, 2), (std::vector<uint32_t>{0, 0}));
  GxACL onlyUnauth;
  onlyUnauth.addUnauthEntry(perms(0x7));
  EXPECT_EQ(evaluate(onlyUnauth, nullptr), std::vector<uint32_t>{});
}

TEST(AclEval, MaskPassesEveryEntryThroughIt) {
  GxACL acl;
  acl.addGroupEntry(uuid(10), perms(0x3, 0x1));
  acl.addGroupEntry(uuid(20), perms(0xC, 0x1, true));
  Caller c(1, {uuid(10), uuid(20)});
  GxACLPermset mask = perms(0x6), out;
  EXPECT_EQ(algorithm(acl, &c.pa, &mask, out), 0u);
  EXPECT_EQ(words(out.value()), (std::vector<uint32_t>{0x6, 0}));
}

}  // namespace
