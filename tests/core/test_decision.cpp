// One-call decisions: every answer of daCachedStore::decide must equal the
// walk a host would write itself (fetchACL/fetchPop/fetchRule up the tree,
// then ACL evaluation) on a store that reads the file directly, before and
// after policy changes, with small and large memos, from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "outside/hxdb.h"
#include "test_support.h"
#include "tools/common/estate.h"

// Counts the heap allocations of the thread that sets countAllocations.
// The sanitizers bring their own allocator, so the count is taken in the
// plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GXTEST_COUNTS_ALLOCATIONS 0
#else
#define GXTEST_COUNTS_ALLOCATIONS 1
#endif
namespace {
thread_local bool countAllocations = false;
thread_local long allocations = 0;
}  // namespace

#if GXTEST_COUNTS_ALLOCATIONS
void* operator new(std::size_t n) {
  if (countAllocations) ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::nothrow_t const&) noexcept {
  if (countAllocations) ++allocations;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, std::nothrow_t const& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::nothrow_t const&) noexcept { std::free(p); }
void operator delete[](void* p, std::nothrow_t const&) noexcept { std::free(p); }
#endif

namespace {

using gxtest::TempDir;
using H = Handle<daStoreObject>;

hx_uuid_t uuid(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  hx_uuid_t u;
  unsigned long st;
  hx_uuid_from_string(text, u, st);
  return u;
}

// A caller: a user with groups, or unauthenticated (null pa()).
struct Caller {
  Caller() = default;
  Caller(int user, std::vector<int> groupIds) : authenticated(true) {
    info.principal.uuid = uuid(user);
    for (int g : groupIds) groups.push_back(sec_id_t{uuid(g), nullptr});
  }
  explicit Caller(sec_id_pa_t const& from) : authenticated(true) {
    info.principal = from.principal;
    groups.assign(from.groups, from.groups + from.num_groups);
  }
  sec_id_pa_t* pa() {
    if (!authenticated) return nullptr;
    info.num_groups = static_cast<uint16_t>(groups.size());
    info.groups = groups.empty() ? nullptr : groups.data();
    return &info;
  }
  bool authenticated = false;
  sec_id_pa_t info{};
  std::vector<sec_id_t> groups;
};

// What a host's own walk finds: status, granted, and where each policy in
// force is attached (with the ACL's and POP's descriptions, unique per
// policy in these tests).
struct Answer {
  unsigned long status = 0;
  bool granted = false;
  std::string aclAt, acl, popAt, pop, ruleAt;
  unsigned long level = 0;
  bool operator==(Answer const&) const = default;
};
std::ostream& operator<<(std::ostream& o, Answer const& a) {
  return o << "{status " << std::hex << a.status << std::dec << ", granted " << a.granted << ", acl " << a.acl
           << "@" << a.aclAt << ", pop " << a.pop << "@" << a.popAt << ", rule@" << a.ruleAt << ", level "
           << a.level << "}";
}

template <class Fetch>
unsigned long walk(daPObjName at, H& found, std::string& where, Fetch fetch) {
  for (;; at.walkUp()) {
    unsigned long st = 0;
    fetch(at, found, st);
    if (st != 0) return st;
    if (!found.isEmpty()) {
      where = at.getPathName();
      return 0;
    }
    if (at.isRoot()) return 0;
  }
}

// How the rules in force answer: the fixture's text does not compile (a
// denial nothing waives); a generated estate's office hours permit at noon
// and deny (a denial warning mode waives) at night.
enum class RuleAnswer { notCompiled, permits, denies };

Answer freshWalk(daCachedStore& ref, char const* path, Caller& caller, char const* actions,
                 GxAddress const* address, RuleAnswer rules = RuleAnswer::notCompiled) {
  Answer a;
  GxACLPermset wanted, held;
  ref.mapAction(actions, wanted, a.status);
  if (a.status != 0) return a;
  daPObjName object(path);
  H acl, pop, rule, ext;
  int resolved = 0;
  a.status = walk(object, acl, a.aclAt, [&](daPObjName const& at, H& h, unsigned long& st) { ref.fetchACL(at, h, ext, st); });
  unsigned long popSt = walk(object, pop, a.popAt, [&](daPObjName const& at, H& h, unsigned long& st) {
    ref.fetchPop(at, h, ext, resolved, nullptr, st);
  });
  unsigned long ruleSt = walk(object, rule, a.ruleAt, [&](daPObjName const& at, H& h, unsigned long& st) {
    ref.fetchRule(at, h, ext, resolved, nullptr, st);
  });
  if (a.status == 0) a.status = popSt;
  if (a.status == 0) a.status = ruleSt;
  if (a.status != 0) return Answer{a.status};
  if (auto* g = dynamic_cast<GxACL*>(acl.get())) {
    a.acl = g->description() ? g->description() : "";
    unsigned long st;
    acl_inq_permset_for_pa(caller.pa(), const_cast<acl_ext_s_t*>(&g->value()), &held.value(), &st);
  }
  bool levelHolds = true, warning = false;
  if (auto* p = dynamic_cast<GxPop*>(pop.get())) {
    a.pop = p->description() ? p->description() : "";
    p->getIPAuthList();
    a.level = address != nullptr ? p->get_auth_level(*address) : p->get_auth_level(0);
    // The default context: level 1 when authenticated, else 0.
    levelHolds = a.level <= (caller.authenticated ? 1u : 0u);
    warning = p->warningMode() != 0;
  }
  bool const ruleHolds = rule.isEmpty() || rules == RuleAnswer::permits;
  bool const ruleBroken = !rule.isEmpty() && rules == RuleAnswer::notCompiled;
  // Warning mode waives the level and a rule's denial, never the ACL or a
  // rule that does not compile.
  a.granted = held.isActionSet(wanted) && !ruleBroken && ((levelHolds && ruleHolds) || warning);
  return a;
}

Answer decided(daCachedStore& s, char const* path, Caller& caller, char const* actions, GxAddress const* address,
               daDecision& d, std::int64_t timeSeconds = daDecisionContext::now) {
  Answer a;
  daDecisionContext ctx;
  ctx.timeSeconds = timeSeconds;
  s.decide(path, caller.pa(), actions, address, ctx, d, a.status);
  if (a.status != 0) return a;
  a.granted = d.granted();
  if (d.hasAcl()) {
    a.aclAt = d.aclLocation();
    a.acl = d.acl()->description() ? d.acl()->description() : "";
  }
  if (d.hasPop()) {
    a.popAt = d.popLocation();
    a.pop = d.pop()->description() ? d.pop()->description() : "";
  }
  if (d.hasRule()) a.ruleAt = d.ruleLocation();
  a.level = d.requiredAuthLevel();
  return a;
}

class Decide : public ::testing::Test {
 protected:
  static constexpr char const* kObjects[] = {"/",    "/a",   "/a/b",   "/a/b/c", "/a/b/c/d", "/a/b/c/d/e/f",
                                             "/a/e", "/x",   "/x/y",   "/x/y/z", "/x/y/z/w"};
  static constexpr char const* kActions[] = {"T", "r", "Tr", "x"};

  void SetUp() override {
    path_ = dir_.file("policy.db");
    unsigned long st;
    gxtest::createPolicyDb(path_);
    writer_ = std::make_unique<daCachedStore>("d", path_.c_str(), 1, 0);
    writer_->openStore(0, st);
    ASSERT_EQ(st, 0u);
    // A store that reads the file itself: the ground truth.
    ref_ = std::make_unique<daCachedStore>("d", path_.c_str(), 0, 0);
    ref_->openStore(1, st);
    ASSERT_EQ(st, 0u);

    callers_.emplace_back(1, std::vector<int>{});      // has its own entry at /a/b
    callers_.emplace_back(2, std::vector<int>{10});    // group 10
    callers_.emplace_back(3, std::vector<int>{10, 11});
    callers_.emplace_back(4, std::vector<int>{});      // no entry anywhere
    callers_.emplace_back();                           // unauthenticated

    // "/" any-other r, unauthenticated r; "/a/b" user 1 Tr, group 10 T,
    // group 11 x, any-other nothing; "/x/y" user 2 x, unauthenticated T.
    putAcl("root", "root-acl", {{'o', 0, "r"}, {'u', 0, "rT"}});
    putAcl("ab", "ab-acl", {{'U', 1, "Tr"}, {'G', 10, "T"}, {'G', 11, "x"}, {'o', 0, ""}});
    putAcl("xy", "xy-acl", {{'U', 2, "x"}, {'u', 0, "T"}});
    attach<GxMapPObjectToACL>(daPObjName("/").getPObjToAclMapName(), "root");
    attach<GxMapPObjectToACL>(daPObjName("/a/b").getPObjToAclMapName(), "ab");
    attach<GxMapPObjectToACL>(daPObjName("/x/y").getPObjToAclMapName(), "xy");
    // POP "inside" at /a: 10.0.0.0/8 level 1, everyone else 2.
    putPop("inside", "inside-pop", 2, "10.0.0.0", "255.0.0.0", 1);
    attach<GxMapObjToPop>(daPObjName("/a").getPObjToPopMapName(), "inside");
    putRule("r1");
    attach<daMapObjToRule>(daPObjName("/a/b/c").getPObjToRuleMapName(), "r1");
  }

  struct EntrySpec {
    char kind;  // U user, G group, o any-other, u unauthenticated
    int id;
    char const* actions;
  };
  void putAcl(char const* name, char const* description, std::vector<EntrySpec> const& entries) {
    auto* acl = new GxACL;
    acl->description(description);
    for (auto const& e : entries) {
      GxACLPermset p;
      unsigned long st;
      writer_->mapAction(e.actions, p, st);
      ASSERT_EQ(st, 0u) << e.actions;
      if (e.kind == 'U') acl->addPrincipalEntry(uuid(e.id), p);
      else if (e.kind == 'G') acl->addGroupEntry(uuid(e.id), p);
      else if (e.kind == 'o') acl->addCellEntry(p);
      else acl->addUnauthEntry(p);
    }
    set(daAclName(name), acl);
  }
  void putPop(char const* name, char const* description, unsigned long defaultLevel, char const* net,
              char const* mask, unsigned long level) {
    auto* pop = new GxPop;
    pop->setDescription(description);
    pop->appendIPAuth(GxAddress("0.0.0.0"), GxAddress("0.0.0.0"), defaultLevel);
    pop->appendIPAuth(GxAddress(net), GxAddress(mask), level);
    pop->setAttrlist();
    set(daPopName(name), pop);
  }
  void putRule(char const* name) {
    auto* rule = new daRule;
    rule->setText("rule text");
    set(daRuleName(name), rule);
  }
  template <class Map>
  void attach(daStoreObjectName const& mapName, char const* policy) {
    auto* m = new Map;
    m->add(policy);
    set(mapName, m);
  }
  void detach(daStoreObjectName const& mapName) {
    unsigned long st;
    writer_->deleteObject(mapName, 0, st);
    ASSERT_EQ(st, 0u);
  }
  void set(daStoreObjectName const& name, daStoreObject* o) {
    unsigned long st;
    writer_->setObject(name, o, st);
    ASSERT_EQ(st, 0u);
  }

  // A read-only replica of the test's database (cache on), open.
  std::unique_ptr<daCachedStore> openReplica(unsigned int memoSize = 0) {
    auto r = std::make_unique<daCachedStore>("d", path_.c_str(), 1, 0);
    if (memoSize != 0) r->setDecisionMemoSize(memoSize);
    unsigned long st;
    r->openStore(1, st);
    EXPECT_EQ(st, 0u);
    return r;
  }
  // Waits (up to ten seconds) for s's attachment index, built in the
  // background after the open.
  static bool indexReady(daCachedStore& s) {
    for (int i = 0; i < 1000 && !s.attachmentIndexReady(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s.attachmentIndexReady();
  }

  // Every object, caller, action string and address, decided on s and
  // walked on the reference store.
  void expectAllMatch(daCachedStore& s, char const* when) {
    GxAddress inside("10.1.2.3"), outside("192.168.0.1");
    GxAddress const* addresses[] = {nullptr, &inside, &outside};
    daDecision d;
    for (char const* object : kObjects)
      for (Caller& c : callers_)
        for (char const* actions : kActions)
          for (GxAddress const* addr : addresses)
            ASSERT_EQ(decided(s, object, c, actions, addr, d), freshWalk(*ref_, object, c, actions, addr))
                << when << ": " << object << " " << actions;
  }

  // Every path (by default every object), caller, action string and
  // address (by default none) decided on s, in one order: for comparing two
  // stores' answers.
  std::vector<Answer> allAnswers(daCachedStore& s, std::vector<std::string> const& paths = objects(),
                                 std::vector<GxAddress const*> const& addresses = {nullptr}) {
    std::vector<Answer> all;
    daDecision d;
    for (std::string const& path : paths)
      for (Caller& c : callers_)
        for (char const* actions : kActions)
          for (GxAddress const* address : addresses) all.push_back(decided(s, path.c_str(), c, actions, address, d));
    return all;
  }
  static std::vector<std::string> objects() { return {std::begin(kObjects), std::end(kObjects)}; }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<daCachedStore> writer_, ref_;
  std::vector<Caller> callers_;
};

TEST_F(Decide, ExplainsWhyOnEachKindOfEntry) {
  daDecision d;
  unsigned long st;
  GxAddress inside("10.9.9.9");
  writer_->decide("/a/b/c/d", callers_[0].pa(), "Tr", &inside, d, st);
  ASSERT_EQ(st, 0u);
  EXPECT_FALSE(d.granted());  // the ACL grants, but the fixture's rule text is no rule
  EXPECT_EQ(d.cause(), daDecisionCause::ruleNotCompiled);
  EXPECT_EQ(d.appliedEntry(), daDecisionEntry::user);
  EXPECT_STREQ(d.aclName(), "ab");
  EXPECT_STREQ(d.aclLocation(), "/a/b");
  EXPECT_STREQ(d.popName(), "inside");
  EXPECT_STREQ(d.popLocation(), "/a");
  EXPECT_EQ(d.requiredAuthLevel(), 1u);
  EXPECT_STREQ(d.ruleName(), "r1");
  EXPECT_STREQ(d.ruleLocation(), "/a/b/c");
  EXPECT_STREQ(d.permissionsText(), "Tr");

  writer_->decide("/a/b", callers_[2].pa(), "Tx", nullptr, d, st);  // groups 10 and 11 unite
  EXPECT_FALSE(d.granted());
  EXPECT_EQ(d.cause(), daDecisionCause::authLevel);
  EXPECT_STREQ(d.reason(), "step-up to level 2 required");
  EXPECT_EQ(d.appliedEntry(), daDecisionEntry::group);
  EXPECT_EQ(d.requiredAuthLevel(), 2u);  // no address given: the POP's default entry
  EXPECT_FALSE(d.hasRule());

  writer_->decide("/a/b", callers_[3].pa(), "r", nullptr, d, st);  // any-other grants nothing here
  EXPECT_FALSE(d.granted());
  EXPECT_EQ(d.appliedEntry(), daDecisionEntry::anyOther);

  writer_->decide("/x", nullptr, "r", nullptr, d, st);
  EXPECT_TRUE(d.granted());
  EXPECT_EQ(d.appliedEntry(), daDecisionEntry::unauthenticated);
  EXPECT_STREQ(d.aclLocation(), "/");
  EXPECT_FALSE(d.hasPop());

  writer_->decide("/x/y/z", callers_[3].pa(), "r", nullptr, d, st);  // no any-other at /x/y
  EXPECT_FALSE(d.granted());
  EXPECT_EQ(d.appliedEntry(), daDecisionEntry::none);
  EXPECT_STREQ(d.permissionsText(), "");
}

TEST_F(Decide, WarmDecisionAllocatesNothing) {
  if (!GXTEST_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are counted in the plain build";
  // /x also gets an access window read in a named zone, beside a level.
  auto* windowed = new GxPop;
  windowed->setDayAccess(0x3E);  // Monday to Friday
  windowed->setStartAccess(8 * 60);
  windowed->setEndAccess(18 * 60);
  windowed->setTimeReferenceAccess(2);
  windowed->appendIPAuth(GxAddress("0.0.0.0"), GxAddress("0.0.0.0"), 1);
  windowed->setAttrlist();
  windowed->setZone("Europe/Berlin");
  set(daPopName("windowed"), windowed);
  attach<GxMapObjToPop>(daPObjName("/x").getPObjToPopMapName(), "windowed");
  auto replica = openReplica();
  unsigned long st;
  daDecision d;
  GxAddress inside("10.1.2.3");
  daDecisionContext monday, sunday;
  monday.timeSeconds = 1796634000;  // 2026-12-07 10:00 in Berlin
  sunday.timeSeconds = monday.timeSeconds - 86400;
  auto all = [&] {
    for (char const* object : kObjects) {
      replica->decide(object, callers_[2].pa(), "Tr", &inside, d, st);
      replica->decide(object, callers_[2].pa(), "Tr", &inside, monday, d, st);
      replica->decide(object, callers_[2].pa(), "Tr", &inside, sunday, d, st);
      replica->decide(object, callers_[2].pa(), "r", nullptr, sunday, d, st);
    }
  };
  all();
  replica->decide("/x", callers_[2].pa(), "r", &inside, sunday, d, st);
  ASSERT_EQ(d.cause(), daDecisionCause::outsideWindow);
  replica->decide("/x", callers_[2].pa(), "r", &inside, monday, d, st);
  ASSERT_TRUE(d.granted());
  countAllocations = true;
  all();
  countAllocations = false;
  EXPECT_EQ(allocations, 0);
}

TEST_F(Decide, AnswersLikeAFreshWalkOnReadOnlyAndWritableStores) {
  expectAllMatch(*writer_, "writable");
  auto replica = openReplica();
  expectAllMatch(*replica, "read-only");
  expectAllMatch(*replica, "read-only, warm");
}

// A decision evaluates its memo record's copy of the ACL (compact when every
// entry's permissions fit one word): the permissions, to the last word and
// count, and the entry that applied are acleval's on the ACL itself, for
// any mix of entries (repeated users and groups, several or no any-other
// and unauthenticated entries, empty sets, sets of two and three words),
// first and warm, from the file and through the cache. Every fourth ACL
// names many principals, more than the slot's summary keeps one by one.
TEST_F(Decide, RecordsAnswerLikeTheAclItselfForAnyMixOfEntries) {
  std::mt19937 rng(7);
  std::vector<std::string> objects;
  for (int a = 0; a < 80; ++a) {
    auto* acl = new GxACL;
    std::string const name = "mix" + std::to_string(a);
    bool const many = a % 4 == 3;
    for (int i = 0, n = static_cast<int>(many ? 10 + rng() % 8 : rng() % 10); i < n; ++i) {
      GxACLPermset p = a % 8 == 7      ? GxACLPermset(1 + rng() % 2, rng())  // several words
                       : rng() % 6 == 0 ? GxACLPermset()                      // no word
                                        : GxACLPermset(0, rng());
      switch (rng() % (many ? 3 : 4)) {
        case 0: acl->addPrincipalEntry(uuid(1 + static_cast<int>(rng() % 9)), p); break;
        case 1: acl->addGroupEntry(uuid(20 + static_cast<int>(rng() % 8)), p); break;
        case 2: acl->addCellEntry(p); break;
        default: acl->addUnauthEntry(p); break;
      }
    }
    set(daAclName(name.c_str()), acl);
    objects.push_back("/mix/" + std::to_string(a));
    attach<GxMapPObjectToACL>(daPObjName(objects.back().c_str()).getPObjToAclMapName(), name.c_str());
  }
  std::vector<Caller> callers = {Caller(1, {}),        Caller(2, {20}),     Caller(3, {20, 21, 22}),
                                 Caller(4, {23, 20}),  Caller(5, {28}),     Caller(6, {}),
                                 Caller(7, {24}),      Caller(8, {25, 26}), Caller(9, {27}),
                                 Caller(10, {29, 30}), Caller()};
  auto replica = openReplica();
  daDecision d;
  for (daCachedStore* s : {writer_.get(), replica.get()})
    for (int pass = 0; pass < 2; ++pass)
      for (std::string const& object : objects)
        for (Caller& c : callers) {
          GxACLPermset expected(d.permissions());  // the count a decision leaves is the one it found
          unsigned long st = 1;
          s->decide(object.c_str(), c.pa(), "T", nullptr, d, st);
          ASSERT_EQ(st, 0u);
          ASSERT_TRUE(d.hasAcl());
          acl_applied_entry_t applied = acl_applied_none;
          acl_inq_permset_for_pa_applied(c.pa(), &d.acl()->value(), &expected.value(), &applied, &st);
          ASSERT_TRUE(d.permissions() == expected) << object << " pass " << pass;
          ASSERT_EQ(d.appliedEntry(), static_cast<daDecisionEntry>(applied)) << object << " pass " << pass;
        }
}

// The memo is the store's, not the thread's: a thread that has never
// decided answers from what another thread resolved, resolving nothing, and
// resolves a new object from there.
TEST_F(Decide, AFreshThreadAnswersAndResolvesFromWhatAnotherThreadResolved) {
  auto replica = openReplica();
  expectAllMatch(*replica, "first thread");
  daCachedStore::Counts before = replica->counts();
  std::thread([&] { expectAllMatch(*replica, "fresh thread"); }).join();
  daCachedStore::Counts after = replica->counts();
  EXPECT_EQ(after.memoMisses, before.memoMisses);
  EXPECT_GT(after.memoHits, before.memoHits);
  // An object nobody has asked about is resolved from its nearest
  // remembered ancestor, another thread's: one level, and with the
  // attachment index no map read at all, since nothing is attached there.
  ASSERT_TRUE(indexReady(*replica));
  std::thread([&] {
    daDecision d;
    EXPECT_EQ(decided(*replica, "/a/b/c/d/new", callers_[0], "Tr", nullptr, d),
              freshWalk(*ref_, "/a/b/c/d/new", callers_[0], "Tr", nullptr));
  }).join();
  daCachedStore::Counts resolved = replica->counts();
  EXPECT_EQ(resolved.memoMisses, after.memoMisses + 1);
  EXPECT_EQ(resolved.mapReads, after.mapReads);
  EXPECT_EQ(resolved.cacheHits + resolved.cacheMisses, after.cacheHits + after.cacheMisses);
}

// With the attachment index a read-only replica reads only the maps of
// the objects that have a policy attached, of the kinds attached; a deep
// object is resolved below its remembered ancestor; and after a change at
// that ancestor (a new file: the replica is reopened) every answer is a
// fresh walk's again, deep objects included.
TEST_F(Decide, IndexedReplicaReadsOnlyAttachedMapsAndFollowsAChangeAtAnAncestor) {
  auto replica = openReplica();
  ASSERT_TRUE(indexReady(*replica));
  daDecision d;
  // "/" has an ACL, "/a" a POP, "/a/b" an ACL: "/a/b"'s ACL hides the
  // root's, so two maps are read, not nine.
  EXPECT_EQ(decided(*replica, "/a/b", callers_[0], "Tr", nullptr, d),
            freshWalk(*ref_, "/a/b", callers_[0], "Tr", nullptr));
  EXPECT_EQ(replica->counts().mapReads, 2u);
  // Below the remembered "/a/b", only "/a/b/c"'s rule map is read.
  char const* deep = "/a/b/c/d/e/f/g/h";
  EXPECT_EQ(decided(*replica, deep, callers_[0], "Tr", nullptr, d), freshWalk(*ref_, deep, callers_[0], "Tr", nullptr));
  EXPECT_EQ(replica->counts().mapReads, 3u);
  expectAllMatch(*replica, "indexed");

  // A change at the ancestor of each kind, and a new attachment between it
  // and the deep object.
  putAcl("ab", "ab-acl-2", {{'U', 1, "r"}, {'o', 0, "T"}});
  putPop("outside", "outside-pop", 1, "10.0.0.0", "255.0.0.0", 3);
  attach<GxMapObjToPop>(daPObjName("/a/b").getPObjToPopMapName(), "outside");
  attach<GxMapPObjectToACL>(daPObjName("/a/b/c/d/e").getPObjToAclMapName(), "xy");
  detach(daPObjName("/a/b/c").getPObjToRuleMapName());
  unsigned long st;
  replica->closeStore(st);
  replica->openStore(1, st);
  ASSERT_EQ(st, 0u);
  // Decided at once (before the index may be ready), then with it.
  for (char const* when : {"reopened", "reopened, indexed"}) {
    if (std::string(when) == "reopened, indexed") ASSERT_TRUE(indexReady(*replica));
    for (Caller& c : callers_)
      EXPECT_EQ(decided(*replica, deep, c, "Tr", nullptr, d), freshWalk(*ref_, deep, c, "Tr", nullptr)) << when;
    expectAllMatch(*replica, when);
  }
}

// A replica whose memo is large (as sized for about 100,000 objects) looks
// an object up by the nearest of it, its parent and its grandparent that
// has a policy of its own, and remembers fewer objects than one with a
// small memo (which looks each path up as it is) for the same questions; it
// answers like the small one for paths in normal form and not, deep and
// long ones, and again after changes at and between owners.
TEST_F(Decide, LargeMemoLooksObjectsUpByTheirOwnerAndAnswersLikeASmallOne) {
  std::vector<std::string> paths = objects();
  for (char const* odd :
       {"/a//b", "//a/b", "/a/b/", "/a/b ", "/a/b\t", "/a/b\nc", "/a/b/c/d/e/f/", "/a/b/c/d/e/f/g/h/i/j/k"})
    paths.push_back(odd);
  std::string deep = "/a/b/c/d/e";
  while (deep.size() < 300) deep += "/level";
  paths.push_back(deep);
  GxAddress inside("10.1.2.3");
  std::vector<GxAddress const*> const addresses = {nullptr, &inside};
  auto small = openReplica(), large = openReplica(1u << 17);
  for (char const* when : {"first", "changed"}) {
    ASSERT_TRUE(indexReady(*small) && indexReady(*large)) << when;
    EXPECT_EQ(allAnswers(*large, paths, addresses), allAnswers(*small, paths, addresses)) << when;
    EXPECT_LT(large->decisionMemoObjects(), small->decisionMemoObjects()) << when;
    expectAllMatch(*large, when);
    if (std::string(when) == "changed") break;
    // An ACL on the parent of "/a/b/c/d/e/f", none at "/a/b" any more, a
    // POP on a grandparent.
    attach<GxMapPObjectToACL>(daPObjName("/a/b/c/d/e").getPObjToAclMapName(), "xy");
    detach(daPObjName("/a/b").getPObjToAclMapName());
    attach<GxMapObjToPop>(daPObjName("/a/b/c/d").getPObjToPopMapName(), "inside");
    for (auto* replica : {small.get(), large.get()}) {
      unsigned long st;
      replica->closeStore(st);
      replica->openStore(1, st);
      ASSERT_EQ(st, 0u);
    }
  }
}

// A replica opened on a file another replica of this process has indexed,
// unchanged since, has the index from its open on: its first decision reads
// only the attached maps. Once the file has changed the old index (which
// lacks the new attachment) is not taken, and answers follow the change.
TEST_F(Decide, ReplicaOfAnUnchangedFileTakesTheIndexAnotherBuilt) {
  unsigned long const before = daDecisionIndexAtOpen(1);  // every file indexed in the background
  auto first = openReplica();
  ASSERT_TRUE(indexReady(*first));
  auto second = openReplica();
  daDecision d;
  EXPECT_EQ(decided(*second, "/a/b", callers_[0], "Tr", nullptr, d), freshWalk(*ref_, "/a/b", callers_[0], "Tr", nullptr));
  EXPECT_EQ(second->counts().mapReads, 2u);  // "/a/b"'s ACL, "/a"'s POP ("/"'s ACL is hidden)
  putAcl("fresh", "fresh-acl", {{'o', 0, "x"}});
  attach<GxMapPObjectToACL>(daPObjName("/x/y/z").getPObjToAclMapName(), "fresh");
  auto third = openReplica();
  expectAllMatch(*third, "changed file");
  ASSERT_TRUE(indexReady(*third));
  expectAllMatch(*third, "changed file, indexed");
  daDecisionIndexAtOpen(before);
}

// A replica of a file indexed in the background preloads the policies the
// maps name: a replica that takes that index decides on every object, the
// first time, without reading a policy, and answers like a fresh walk. A
// policy of another kind or one that does not decode is left out, and the
// decisions read and report it as before.
TEST_F(Decide, PreloadedPoliciesAnswerLikeAFreshWalkAndAreNotReadAgain) {
  unsigned long const before = daDecisionIndexAtOpen(1);
  auto preloaded = [](daCachedStore& s) {
    for (int i = 0; i < 1000 && !s.attachmentPoliciesPreloaded(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s.attachmentPoliciesPreloaded();
  };
  {
    auto first = openReplica();
    ASSERT_TRUE(preloaded(*first));
    auto second = openReplica();
    expectAllMatch(*second, "preloaded");
    EXPECT_GT(second->counts().memoMisses, 0u);
    EXPECT_EQ(second->counts().policyReads, 0u);
  }
  gxtest::MessageCapture quiet;
  auto* pop = new GxPop;  // "xy" is a POP's record
  pop->setAttrlist();
  set(daAclName("xy"), pop);
  unsigned char garbage[] = {0xFF, 0x01, 0x02};  // "inside" is bytes no decoder reads
  gxobj_t const record{nullptr, 0, gx_type_pop, sizeof garbage, garbage};
  unsigned long st;
  hx_db_raw_write(
      writer_->getDBHandle(),
      [&](hx_db_raw_txn& txn) {
        return txn.put(daPopName("inside").getFullName().getChars(), hx_db_stored_value(record));
      },
      st);
  ASSERT_EQ(st, 0u);
  auto damaged = openReplica();
  ASSERT_TRUE(preloaded(*damaged));
  std::vector<Answer> const withPreload = allAnswers(*damaged);
  EXPECT_GT(damaged->counts().policyReads, 0u);
  damaged.reset();  // its index goes with it
  daDecisionIndexAtOpen(before);
  auto unloaded = openReplica();  // indexed at once, nothing preloaded
  ASSERT_FALSE(unloaded->attachmentPoliciesPreloaded());
  EXPECT_EQ(withPreload, allAnswers(*unloaded));
}

// fork() waits for a replica's background preparation: the child inherits
// a finished one (and no thread of the library), and a replica it opens of
// its own on the file answers like the parent's.
TEST_F(Decide, ConcurrencyForkWaitsForTheBackgroundPreparation) {
  unsigned long const before = daDecisionIndexAtOpen(1);
  std::vector<Answer> expected;
  for (char const* object : kObjects)
    for (Caller& c : callers_)
      for (char const* actions : kActions) expected.push_back(freshWalk(*ref_, object, c, actions, nullptr));
  auto replica = openReplica();
  int const child = gxtest::inChild([&] {
    if (!replica->attachmentPoliciesPreloaded()) return 1;  // read only: the child leaves it alone
    auto own = openReplica();
    return allAnswers(*own) == expected ? 0 : 2;
  });
  EXPECT_EQ(child, 0);
  EXPECT_EQ(allAnswers(*replica), expected);
  daDecisionIndexAtOpen(before);
}

// A file removed and made anew at the same path, with as many transactions
// (its inode may well be the old one's), is indexed anew even while the old
// file's index lives on (a daDecision holds its memo).
TEST_F(Decide, FileMadeAnewAtThePathIsIndexedAnew) {
  unsigned long const before = daDecisionIndexAtOpen(1);
  unsigned long st;
  auto makeFile = [&](char const* at) {  // an ACL granting x to any-other, attached at `at` only
    writer_.reset();
    ref_.reset();
    std::filesystem::remove(path_);
    std::filesystem::remove(path_ + "-lock");
    gxtest::createPolicyDb(path_);
    writer_ = std::make_unique<daCachedStore>("d", path_.c_str(), 1, 0);
    writer_->openStore(0, st);
    ASSERT_EQ(st, 0u);
    putAcl("g", "g-acl", {{'o', 0, "x"}});
    attach<GxMapPObjectToACL>(daPObjName(at).getPObjToAclMapName(), "g");
    ref_ = std::make_unique<daCachedStore>("d", path_.c_str(), 0, 0);
    ref_->openStore(1, st);
    ASSERT_EQ(st, 0u);
  };
  daDecision kept;
  for (char const* at : {"/x", "/a/e", "/x/y"}) {
    makeFile(at);
    auto replica = openReplica();
    expectAllMatch(*replica, at);
    ASSERT_TRUE(indexReady(*replica));
    expectAllMatch(*replica, at);
    decided(*replica, at, callers_[3], "x", nullptr, kept);  // keeps this file's index alive
  }
  daDecisionIndexAtOpen(before);
}

// A decision taken from one epoch's memo still explains itself after the
// epoch has moved and every thread has moved on to the new memo.
TEST_F(Decide, AnswerOutlivesTheMemoItCameFrom) {
  daDecision kept, other;
  unsigned long st;
  writer_->decide("/a/b/c/d", callers_[0].pa(), "Tr", nullptr, kept, st);
  ASSERT_EQ(st, 0u);
  putAcl("ab", "ab-acl-2", {{'U', 4, "T"}});  // the epoch moves
  std::thread([&] {
    daDecision d;
    unsigned long ts;
    writer_->decide("/a/b/c/d", callers_[0].pa(), "Tr", nullptr, d, ts);
  }).join();
  writer_->decide("/a/b/c/d", callers_[0].pa(), "Tr", nullptr, other, st);
  EXPECT_EQ(other.appliedEntry(), daDecisionEntry::none);
  EXPECT_EQ(kept.appliedEntry(), daDecisionEntry::user);
  EXPECT_STREQ(kept.aclName(), "ab");
  EXPECT_STREQ(kept.aclLocation(), "/a/b");
  EXPECT_STREQ(kept.ruleLocation(), "/a/b/c");
}

// A thread-local store made before the thread's first decision is destroyed
// after the thread's decision state (thread-locals go in the reverse order
// of their making), as a static store is at exit after the main thread's:
// its destruction, and a decision made then, must not touch that state.
TEST_F(Decide, StoreDestroyedAfterTheThreadsDecisionStateDecidesAndGoesCleanly) {
  static std::string path;
  static std::atomic<int> atEnd{-1};
  path = path_;
  std::thread([] {
    struct Held {
      std::unique_ptr<daCachedStore> store;
      ~Held() {
        daDecision d;
        unsigned long st;
        store->decide("/", nullptr, "r", nullptr, d, st);
        atEnd = st == 0 && d.granted() ? 1 : 0;
      }
    };
    thread_local Held held;
    held.store = std::make_unique<daCachedStore>("d", path.c_str(), 1, 0);
    unsigned long st;
    held.store->openStore(1, st);
    daDecision d;
    held.store->decide("/", nullptr, "r", nullptr, d, st);
    ASSERT_TRUE(d.granted());
  }).join();
  EXPECT_EQ(atEnd.load(), 1);
}

TEST_F(Decide, FollowsEveryPolicyChangeOnAWritableStore) {
  gxtest::MessageCapture quiet;  // the missing ACL and the bad map are logged
  expectAllMatch(*writer_, "initial");
  putAcl("abc", "abc-acl", {{'G', 10, "r"}});
  attach<GxMapPObjectToACL>(daPObjName("/a/b/c").getPObjToAclMapName(), "abc");
  expectAllMatch(*writer_, "ACL attached below another");
  putAcl("ab", "ab-acl-2", {{'U', 4, "T"}});
  expectAllMatch(*writer_, "ACL replaced in place");
  detach(daPObjName("/a/b").getPObjToAclMapName());
  expectAllMatch(*writer_, "ACL detached");
  putPop("inside", "inside-pop-2", 3, "192.168.0.0", "255.255.0.0", 0);
  attach<GxMapObjToPop>(daPObjName("/x/y").getPObjToPopMapName(), "inside");
  expectAllMatch(*writer_, "POP changed and attached twice");
  detach(daPObjName("/a/b/c").getPObjToRuleMapName());
  attach<daMapObjToRule>(daPObjName("/a").getPObjToRuleMapName(), "r1");
  expectAllMatch(*writer_, "rule moved up");
  unsigned long st;
  writer_->deleteObject(daAclName("xy"), 0, st);  // the map now names a missing ACL
  expectAllMatch(*writer_, "ACL record deleted");
  auto* twoNames = new GxMapPObjectToACL;
  twoNames->add("root");
  twoNames->add("ab");
  set(daPObjName("/a").getPObjToAclMapName(), twoNames);
  expectAllMatch(*writer_, "map naming two ACLs");
}

// A memo table large enough to be kept for reuse comes back, uncleared, for
// the next epoch of the writer and for the next replica: nothing of its
// earlier uses may answer, through all the generations a table has and the
// fresh one that follows.
TEST_F(Decide, ReusedMemoTablesForgetEveryEarlierAnswer) {
  writer_->setDecisionMemoSize(4096);  // 128 KiB of slots: mapped, and kept when let go
  for (int round = 0; round < 300; ++round) {
    if (round % 2 == 0) attach<GxMapPObjectToACL>(daPObjName("/a/b/c").getPObjToAclMapName(), "xy");
    else detach(daPObjName("/a/b/c").getPObjToAclMapName());
    daDecision d;
    for (char const* object : {"/a/b/c", "/a/b/c/d/e/f", "/a"})
      ASSERT_EQ(decided(*writer_, object, callers_[1], "x", nullptr, d),
                freshWalk(*ref_, object, callers_[1], "x", nullptr))
          << "round " << round << " " << object;
    if (round % 60 == 0) expectAllMatch(*writer_, "writer");
  }
  for (int round = 0; round < 3; ++round) {
    putAcl("ab", "ab-acl", {{'U', 1, round % 2 == 0 ? "T" : "Tr"}, {'G', 10, "x"}});
    auto replica = openReplica(4096);
    ASSERT_TRUE(indexReady(*replica));
    expectAllMatch(*replica, "replica");
  }
}

// A replica reads maps straight from its file, without the map objects:
// damaged maps must fail there as the cached walk fails.
TEST_F(Decide, ReplicaAnswersDamagedMapsLikeAFreshWalk) {
  gxtest::MessageCapture quiet;
  auto named = [](std::vector<char const*> names) {
    auto* m = new GxMapPObjectToACL;
    for (char const* n : names) m->add(n);
    return m;
  };
  set(daPObjName("/a").getPObjToAclMapName(), named({"root", "ab"}));  // two names
  set(daPObjName("/x/y").getPObjToAclMapName(), named({}));             // none
  set(daPObjName("/a/b/c").getPObjToAclMapName(), named({"nosuch"}));   // a missing ACL
  set(daPObjName("/x/y/z").getPObjToAclMapName(), named({""}));         // an empty name: no ACL has it
  auto* popMap = new GxMapObjToPop;  // a POP map's record under an ACL map's key
  popMap->add("inside");
  set(daPObjName("/a/e").getPObjToAclMapName(), popMap);
  auto* aclMap = new GxMapPObjectToACL;  // and the other way round
  aclMap->add("root");
  set(daPObjName("/x").getPObjToPopMapName(), aclMap);
  auto replica = openReplica();
  ASSERT_TRUE(indexReady(*replica));
  expectAllMatch(*replica, "damaged maps");
}

TEST_F(Decide, StaysCorrectWithATinyMemo) {
  writer_->setDecisionMemoSize(1);  // 64 slots: most objects below do not fit
  for (int i = 0; i < 300; ++i) {
    std::string p = "/a/b/n" + std::to_string(i);
    if (i % 7 == 0) {
      putAcl(("n" + std::to_string(i)).c_str(), p.c_str(), {{'o', 0, "x"}});
      attach<GxMapPObjectToACL>(daPObjName(p.c_str()).getPObjToAclMapName(), ("n" + std::to_string(i)).c_str());
    }
  }
  auto replica = openReplica(64);
  daDecision d;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 300; ++i) {
      std::string p = "/a/b/n" + std::to_string(i) + "/leaf";
      ASSERT_EQ(decided(*replica, p.c_str(), callers_[3], "x", nullptr, d),
                freshWalk(*ref_, p.c_str(), callers_[3], "x", nullptr))
          << p;
    }
  }
  // A full memo stops growing: what it cannot hold is not kept at all.
  EXPECT_LE(replica->decisionMemoObjects(), 64u);
}

TEST_F(Decide, ReopenedStoreForgetsOldAnswers) {
  auto replica = openReplica();
  unsigned long st;
  daDecision d;
  replica->decide("/x/y/z", callers_[1].pa(), "x", nullptr, d, st);
  EXPECT_TRUE(d.granted());
  putAcl("xy", "xy-acl", {});  // written through another store: this one cannot know
  replica->closeStore(st);
  replica->decide("/x/y/z", callers_[1].pa(), "x", nullptr, d, st);
  EXPECT_EQ(st, 0x132792F4u);
  EXPECT_FALSE(d.granted());
  replica->openStore(1, st);
  replica->decide("/x/y/z", callers_[1].pa(), "x", nullptr, d, st);
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(d.granted());
}

TEST_F(Decide, EpochMovesOnlyWithChangesToPolicies) {
  std::uint64_t before = writer_->policyEpoch();
  auto* ext = new GxExtAttr;
  ext->addValue("k", "v");
  set(daPObjName("/a").getExtAttrName(), ext);  // not part of any decision
  EXPECT_EQ(writer_->policyEpoch(), before);
  putRule("r2");
  EXPECT_GT(writer_->policyEpoch(), before);
  before = writer_->policyEpoch();
  writer_->checkCache();  // clearing a (full) cache changes no policy
  daCacheStateLock(*writer_, daCachedStore::clearing);
  EXPECT_EQ(writer_->policyEpoch(), before);
}

TEST_F(Decide, WarmDecisionsGoOnWhileTheCacheIsCleared) {
  auto replica = openReplica();
  unsigned long st;
  daDecision d;
  replica->decide("/a/b/c", callers_[0].pa(), "T", nullptr, d, st);
  ASSERT_EQ(st, 0u);
  daCacheStateLock clearing(*replica, daCachedStore::clearing);
  replica->decide("/a/b/c", callers_[0].pa(), "T", nullptr, d, st);  // the memo knows it
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(d.appliedEntry(), daDecisionEntry::user);
}

TEST_F(Decide, RejectsBadInputWithAStatus) {
  daDecision d;
  unsigned long st;
  writer_->decide("/a", callers_[0].pa(), "T", nullptr, d, st);
  ASSERT_TRUE(d.granted() || st == 0);
  struct Case {
    char const* path;
    char const* actions;
    unsigned long status;
  } const cases[] = {
      {"a/b", "T", 0x1005B1C9}, {"/a//b", "T", 0x1005B1C9}, {nullptr, "T", 0x1005B1C9},
      {"/a", "Tq", 0x1005B2F1}, {"/a", "T[nosuchgroup]r", 0x1005B2F1}, {"/a", nullptr, 0x1005B2F1},
      {"/", "", 0x1005B2F1},  // asks for nothing: refused, not granted by every ACL
  };
  gxtest::MessageCapture quiet;
  for (auto const& c : cases) {
    writer_->decide(c.path, callers_[0].pa(), c.actions, nullptr, d, st);
    EXPECT_EQ(st, c.status) << (c.path ? c.path : "null") << " " << (c.actions ? c.actions : "null");
    EXPECT_FALSE(d.granted());
    EXPECT_FALSE(d.hasAcl());
  }
  // A trailing separator names the same object.
  writer_->decide("/a/b/", callers_[0].pa(), "Tr", nullptr, d, st);
  EXPECT_EQ(st, 0u);
  EXPECT_STREQ(d.aclLocation(), "/a/b");
}

// Readers decide on a read-only replica and a writable store while the
// writable store's policy flips; once the writer is done every thread's
// next answers equal a fresh walk.
TEST_F(Decide, ConcurrencyReadersAndACommittingWriter) {
  writer_->setDecisionMemoSize(4096);  // each epoch's table is kept and reused by a later one
  auto replica = openReplica();
  unsigned long st;
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  auto reader = [&](daCachedStore* s, Caller caller) {
    daDecision d;
    unsigned long rs;
    while (!stop.load()) {
      for (char const* object : kObjects) {
        s->decide(object, caller.pa(), "Tr", nullptr, d, rs);
        if (rs != 0 && rs != 0x1005B1C4u) mismatches.fetch_add(1);
      }
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(reader, replica.get(), callers_[0]);
  threads.emplace_back(reader, writer_.get(), callers_[0]);
  threads.emplace_back(reader, writer_.get(), callers_[2]);
  for (int i = 0; i < 40; ++i) {
    if (i % 2 == 0) attach<GxMapPObjectToACL>(daPObjName("/a/b/c").getPObjToAclMapName(), "xy");
    else detach(daPObjName("/a/b/c").getPObjToAclMapName());
    putAcl("ab", "ab-acl", {{'U', 1, i % 3 == 0 ? "T" : "Tr"}, {'G', 10, "T"}});
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  expectAllMatch(*writer_, "after the writer");
  std::thread([&] { expectAllMatch(*writer_, "after the writer, another thread"); }).join();
}

// Threads decide on a replica from the moment it opens, while its
// attachment index is built in the background and published: every answer
// before, during and after equals a fresh walk's, with a small memo and with
// a large one (which looks objects up by their paths until the index is
// there, then by their nearest owners).
TEST_F(Decide, ConcurrencyDecisionsWhileTheIndexIsBuiltInTheBackground) {
  struct Question {
    char const* object;
    size_t caller;
    char const* actions;
    Answer expected;
  };
  std::vector<Question> questions;
  for (char const* object : kObjects)
    for (size_t c = 0; c < callers_.size(); ++c)
      for (char const* actions : kActions)
        questions.push_back({object, c, actions, freshWalk(*ref_, object, callers_[c], actions, nullptr)});
  unsigned long const before = daDecisionIndexAtOpen(1);  // every file indexed in the background
  for (int round = 0; round < 6; ++round) {
    auto replica = openReplica(round % 2 == 0 ? 0 : 1u << 17);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&, t, callers = callers_] () mutable {
        daDecision d;
        for (int pass = 0; pass < 20; ++pass)
          for (size_t i = 0; i < questions.size(); ++i) {
            Question const& q = questions[(i + t * 7) % questions.size()];
            if (decided(*replica, q.object, callers[q.caller], q.actions, nullptr, d) != q.expected)
              mismatches.fetch_add(1);
          }
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0) << "round " << round;
    EXPECT_TRUE(indexReady(*replica));
  }
  daDecisionIndexAtOpen(before);
}

// Every object of a generated estate (100,000 objects; fewer under the
// sanitizers, which make the walk ten times slower), decided on a read-only
// replica with the default memo and cache, against the walk.
TEST(DecideAtScale, AgreesWithAFreshWalkOnEveryObjectOfAGeneratedEstate) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr unsigned long kObjects = 10000;
#else
  constexpr unsigned long kObjects = 100000;
#endif
  TempDir dir;
  std::string path = dir.file("estate.db");
  gxestate::Estate estate;
  unsigned long st;
  gxtest::createPolicyDb(path);
  {
    daCachedStore writer("d", path.c_str(), 1, 0);
    writer.openStore(0, st);
    gxestate::Options o;
    o.objects = kObjects;
    o.naming = gxestate::Naming::repeated;
    gxestate::generate(writer, o, estate, st);
    ASSERT_EQ(st, 0u);
  }
  std::vector<gxpolicy::CallerAttributes> callers;
  for (gxestate::User const& u : estate.users) callers.push_back(gxestate::callerOf(u));
  daCachedStore replica("d", path.c_str(), 1, 0), ref("d", path.c_str(), 1, 0);
  replica.openStore(1, st);
  ref.openStore(1, st);
  char const* const actions[] = {"r", "Tr", "x", "rx", "T"};
  GxAddress address("10.20.30.40");
  daDecision d;
  // Resolving at noon, when the generated office-hours rules permit, then
  // from the memo at 03:00 UTC, when they deny.
  struct Round {
    std::int64_t time;
    RuleAnswer rules;
  } const rounds[] = {{1796644800, RuleAnswer::permits}, {1796612400, RuleAnswer::denies}};
  for (Round const& round : rounds) {
    for (size_t i = 0; i < estate.objects.size(); ++i) {
      Caller c = i % 7 == 0 ? Caller() : Caller(*callers[i % callers.size()].pa());
      char const* object = estate.objects[i].c_str();
      ASSERT_EQ(decided(replica, object, c, actions[i % 5], &address, d, round.time),
                freshWalk(ref, object, c, actions[i % 5], &address, round.rules))
          << object << " at " << round.time;
    }
  }
}

}  // namespace
