// The attribute form of ACLs: entries written with registry names from the
// test directory and action strings from the current domain's catalogue,
// read back to the same ACL; the action-string errors.
#include <gtest/gtest.h>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/MrDomainMan.h"
#include "GxCore/db/daLocalPolicy.h"
#include "outside/rqa.h"
#include "slapd_fixture.h"

namespace {

using gxtest::Slapd;

struct Manager : MrDomainMan {
  unsigned long openDomains() override { return 0; }
  unsigned long closeDomains() override { return 0; }
  unsigned long refreshDomain(char const*) override { return 0; }
};

// "primary" (slot 0) with T, r and m; "web" (slot 1) with x and l.
GxActionGroups catalogue() {
  GxActionGroups c;
  unsigned long slot, st = 0;
  c.newGroup("primary", slot, st);
  c.newGroup("web", slot, st);
  for (char const* a : {"T", "r", "m"}) c.createAction("primary", a, nullptr, nullptr, 0, 0, 0, st);
  for (char const* a : {"x", "l"}) c.createAction("web", a, nullptr, nullptr, 0, 0, 0, st);
  EXPECT_EQ(st, 0u);
  return c;
}

GxACLPermset perms(unsigned long primary, unsigned long web = 0) {
  GxACLPermset p(0, primary);
  if (web) p.setBitMaskInGroup(1, web);
  return p;
}

class AclAttributeForm : public gxtest::SlapdTest {
 protected:
  void SetUp() override {
    gxtest::SlapdTest::SetUp();
    rqa_reset();
    rqa_set_suffixes(Slapd::people, Slapd::groups);
    ASSERT_EQ(rqa_rgy_init_utf8("127.0.0.1", slapd().port(), Slapd::bindDn, Slapd::bindPassword, nullptr, nullptr,
                                nullptr, nullptr),
              0);
    std::string path = dir_.file("policy.db");
    {
      unsigned long st = 0, seq = 0;
      daLocalStore creator("d", path.c_str());
      creator.createStore(st);
      creator.openStore(0, st);
      gxobj_holder record;
      catalogue().encode(record.rec, st);
      creator.setObject(daActionGroupName().getFullName(), record.rec, seq, st);
      ASSERT_EQ(st, 0u);
    }
    policy_ = std::make_unique<daLocalPolicy>("d", path.c_str(), 0, 0);
    unsigned long st = 0;
    policy_->openStore(1, st);
    ASSERT_EQ(st, 0u);
    daLocalDomain domain("d", policy_.get());
    manager_.addDomain(&domain);
    MrDomainMan::setDomainManager(&manager_);
    manager_.setCurrentDomainName("d");
    hx_uuid_from_string("00000000-0000-4000-8000-00000000abcd", unknown_, st);
  }
  void TearDown() override {
    // The manager keeps its registry handle for its life and never frees it.
    udir_handle_free(manager_.getUdirHandle("d"));
    manager_.clearCurrentDomainName();
    MrDomainMan::setDomainManager(nullptr);
    rqa_reset();
  }
  hx_uuid_t uuid(char const* name, bool group = false) {
    hx_uuid_t u{};
    udir_handle_t h = manager_.getUdirHandle("d");
    EXPECT_EQ(group ? util_lookup_group_uuid(name, &u, "d", h) : util_lookup_user_uuid(name, &u, "d", h), 0u);
    return u;
  }
  static std::vector<std::string> texts(HXObject const& o, char const* attr) {
    std::vector<std::string> out;
    for (unsigned i = 0; i < o.length(attr, "q"); ++i) out.push_back(o.getStringValue(attr, i, "q")->getChars());
    return out;
  }
  static unsigned long parse(char const* text) {
    GxACLPermset p;
    return GxACL::parseActionString(catalogue().value(), text, p);
  }

  gxtest::TempDir dir_;
  std::unique_ptr<daLocalPolicy> policy_;
  Manager manager_;
  hx_uuid_t unknown_{};
};

TEST_F(AclAttributeForm, EntriesRoundTripThroughDirectoryNames) {
  GxACL acl;
  acl.description("web pages");
  acl.addUnauthEntry(perms(1));
  acl.addCellEntry(perms(2));
  acl.addGroupEntry(uuid("webteam", true), perms(3, 1));
  acl.addPrincipalEntry(uuid("alice"), perms(4));
  acl.addPrincipalEntry(uuid("bob"), perms(0, 2));
  acl.addPrincipalEntry(uuid("carol"), perms(0));

  HXObject attrs;
  ASSERT_EQ(acl.encode("acl1", "q", attrs), 0u);
  EXPECT_EQ(attrs.integerValue("aclentrycount", 0, "q"), 6u);
  EXPECT_EQ(texts(attrs, "aclentryid"), (std::vector<std::string>{"", "", "webteam", "alice", "bob", "carol"}));
  EXPECT_EQ(texts(attrs, "aclentryactions"), (std::vector<std::string>{"T", "r", "Tr[web]x", "m", "[web]l", ""}));
  EXPECT_EQ(texts(attrs, "aclid"), (std::vector<std::string>{"acl1"}));
  EXPECT_EQ(texts(attrs, "acldesc"), (std::vector<std::string>{"web pages"}));
  for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(attrs.integerValue("aclentrytype", i, "q"), (i < 2 ? i : i == 2 ? 2u : 3u));
  EXPECT_TRUE(attrs.attributeNames(nullptr).empty());  // only the qualified set was written

  GxACL back;
  ASSERT_EQ(back.decode("ignored", "q", attrs), 0u);
  ASSERT_EQ(back.numEntries(), acl.numEntries());
  EXPECT_STREQ(back.description(), "web pages");
  for (unsigned long i = 0; i < acl.numEntries(); ++i) {
    SCOPED_TRACE(i);
    GxACLEntry want(acl.entry(i)), got(back.entry(i));
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(std::memcmp(&got.id, &want.id, sizeof got.id), 0);
    for (unsigned g = 0; g < 2; ++g) EXPECT_EQ(got.perms.actionGroup(g), want.perms.actionGroup(g));
  }
}

TEST_F(AclAttributeForm, EntryTheRegistryCannotNameIsLeftOut) {
  GxACL acl;
  acl.addPrincipalEntry(unknown_, perms(1));
  acl.addGroupEntry(uuid("alice"), perms(1));  // a user's uuid is no group
  acl.addPrincipalEntry(uuid("bob"), perms(2));
  HXObject attrs;
  ASSERT_EQ(acl.encode("a", nullptr, attrs), 0u);
  EXPECT_EQ(attrs.integerValue("aclentrycount", 0, nullptr), 1u);
  EXPECT_EQ(attrs.getStringValue("aclentryid", 0, nullptr)->getChars(), std::string("bob"));
  EXPECT_EQ(attrs.length("aclentrytype", nullptr), 1u);

  HXObject empty;
  ASSERT_EQ(GxACL().encode("none", nullptr, empty), 0u);
  EXPECT_EQ(empty.attributeNames(nullptr), (std::vector<std::string>{"acldesc", "aclentrycount", "aclid"}));
  EXPECT_STREQ(empty.getStringValue("acldesc", 0, nullptr)->getChars(), "");
  GxACL back;  // an empty "acldesc" is an empty description, not none
  ASSERT_EQ(back.decode("none", nullptr, empty), 0u);
  ASSERT_NE(back.description(), nullptr);
  EXPECT_STREQ(back.description(), "");
}

TEST_F(AclAttributeForm, DecodeTakesUuidTextSkipsOtherKindsAndStopsAtUnknownNames) {
  char aliceText[37];
  unsigned long st;
  hx_uuid_to_string(uuid("alice"), aliceText, st);
  char unknownText[37];
  hx_uuid_to_string(unknown_, unknownText, st);
  HXObject attrs;
  auto entry = [&](unsigned kind, char const* id, char const* actions) {
    attrs.addIntegerValue("aclentrytype", kind, nullptr);
    attrs.addStringValue("aclentryid", id, nullptr);
    attrs.addStringValue("aclentryactions", actions, nullptr);
  };
  entry(3, aliceText, "r");
  entry(4, "", "T");
  entry(9, "", "");
  entry(3, "ALICE", "m");  // the directory matches names without case
  entry(3, "nobody", "T");
  entry(2, unknownText, "T");
  attrs.addIntegerValue("aclentrycount", 6, nullptr);
  attrs.addStringValue("acldesc", "kept only on success", nullptr);

  GxACL acl;
  EXPECT_EQ(acl.decode("x", nullptr, attrs), reg_s_no_such_user);
  ASSERT_EQ(acl.numEntries(), 2u);  // the entries before the failure stay
  hx_uuid_t alice = uuid("alice");
  for (unsigned long i = 0; i < 2; ++i) EXPECT_EQ(std::memcmp(&acl.entry(i).id, &alice, sizeof alice), 0);
  EXPECT_EQ(acl.description(), nullptr);

  attrs.setStringValue("aclentryid", "bob", 4, nullptr);
  GxACL again;
  EXPECT_EQ(again.decode("x", nullptr, attrs), reg_s_no_such_group);  // a uuid nobody has
  EXPECT_EQ(again.numEntries(), 3u);
}

TEST_F(AclAttributeForm, ActionStringErrors) {
  EXPECT_EQ(parse(""), 0u);
  EXPECT_EQ(parse("Tr[web]xl[primary]m"), 0u);
  EXPECT_EQ(parse("[web"), gx_s_bad_group_label);
  EXPECT_EQ(parse("[]x"), gx_s_bad_group_label);
  EXPECT_EQ(parse("[nope]x"), gx_s_bad_group_label);
  EXPECT_EQ(parse("[Web]x"), gx_s_bad_group_label);  // group names are exact
  EXPECT_EQ(parse("q"), gx_s_bad_action);
  EXPECT_EQ(parse("T]"), gx_s_bad_action);       // a closing bracket alone is a letter
  EXPECT_EQ(parse("[web]T"), gx_s_bad_action);   // T is not in web
  std::string label(255, 'a');
  EXPECT_EQ(parse(("[" + label + "]x").c_str()), gx_s_bad_group_label);
  EXPECT_EQ(parse(("[" + label + "a]x").c_str()), gx_s_group_label_too_long);
  EXPECT_EQ(parse(("[" + std::string(100000, 'b')).c_str()), gx_s_group_label_too_long);

  GxACLPermset p(3, 0xFF);
  EXPECT_EQ(GxACL::parseActionString(catalogue().value(), "m[web]l", p), 0u);
  EXPECT_EQ(p.actionGroup(0), 4u);
  EXPECT_EQ(p.actionGroup(1), 2u);
  EXPECT_EQ(p.actionGroup(3), 0u);  // reset first

  // Without a "primary" group letters need a label.
  GxActionGroups noPrimary;
  unsigned long slot, st = 0;
  noPrimary.newGroup("web", slot, st);
  noPrimary.createAction("web", "x", nullptr, nullptr, 0, 0, 0, st);
  EXPECT_EQ(GxACL::parseActionString(noPrimary.value(), "x", p), gx_s_bad_action);
  EXPECT_EQ(GxACL::parseActionString(noPrimary.value(), "[web]x", p), 0u);
}

TEST_F(AclAttributeForm, WithoutACurrentDomainNothingIsWritten) {
  Handle<daStoreObject> h;
  unsigned long st = 1;
  getGxACLActionGroups(h, st);
  EXPECT_EQ(st, 0u);
  EXPECT_NE(dynamic_cast<GxActionGroups*>(h.object), nullptr);
  h = Handle<daStoreObject>();

  manager_.clearCurrentDomainName();
  GxACL acl;
  acl.addUnauthEntry(perms(1));
  HXObject attrs;
  EXPECT_EQ(acl.encode("a", nullptr, attrs), da_s_store_unavailable);
  EXPECT_EQ(acl.decode("a", nullptr, attrs), da_s_store_unavailable);
  EXPECT_TRUE(attrs.empty());
  getGxACLActionGroups(h, st);
  EXPECT_EQ(st, da_s_store_unavailable);
  manager_.setCurrentDomainName("other");  // a domain with no store
  getGxACLActionGroups(h, st);
  EXPECT_EQ(st, da_s_store_unavailable);
  manager_.clearCurrentDomainName();
  manager_.setCurrentDomainName("d");  // for TearDown
}

}  // namespace
