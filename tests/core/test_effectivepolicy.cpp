// The policy in effect at one protected object: fetchACL, fetchRule and
// fetchPop with the memoising protocol and its set calls, and
// getExtAttributes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "test_support.h"

namespace {

using gxtest::MessageCapture;
using gxtest::TempDir;
using H = Handle<daStoreObject>;

constexpr unsigned long kNoObject = 0x132792F1;

// Policy objects and their texts, "?" when the handle holds something else.
template <class T, class F>
T* made(F set) {
  auto* o = new T;
  set(*o);
  return o;
}
GxACL* newAcl(char const* d) { return made<GxACL>([d](GxACL& a) { a.description(d); }); }
daRule* newRule(char const* text) { return made<daRule>([text](daRule& r) { r.setText(text); }); }
GxExtAttr* newExt(char const* value) { return made<GxExtAttr>([value](GxExtAttr& e) { e.addValue("k", value); }); }
GxPop* newPop(char const* d) { return made<GxPop>([d](GxPop& p) { p.setDescription(d); }); }
template <class Map>
Map* newMap(std::vector<char const*> const& names) {
  auto* m = new Map;
  for (char const* n : names) m->add(n);
  return m;
}

template <class T, class F>
std::string textOf(H const& h, F f) {
  auto* o = dynamic_cast<T*>(h.get());
  return o ? f(*o) : "?";
}
std::string aclText(H const& h) {
  return textOf<GxACL>(h, [](GxACL& a) { return a.description() ? a.description() : "?"; });
}
std::string ruleText(H const& h) {
  return textOf<daRule>(h, [](daRule& r) { return r.getText() ? r.getText()->str() : "?"; });
}
std::string popText(H const& h) {
  return textOf<GxPop>(h, [](GxPop& p) { return p.description() ? p.description() : "?"; });
}
std::string extValue(H const& h) {
  return textOf<GxExtAttr>(h, [](GxExtAttr& e) { return e.nameCount() == 1 ? e.value().entries[0].values[0] : "?"; });
}

// Counts the reads of the database file while it lives.
class DbReads {
 public:
  DbReads() {
    hx_svc_set_level(gxdmd_svc_handle, -1, 8);
    previous_ = hx_svc_set_sink([this](hx_svc_record const& r) {
      if (r.isTrace && r.text == "CII ENTRY: daLocalStore::getObject\n") ++reads_;
    });
  }
  ~DbReads() {
    hx_svc_set_level(gxdmd_svc_handle, -1, 0);
    hx_svc_set_sink(previous_);
  }
  int count() const { return reads_.load(); }

 private:
  std::atomic<int> reads_{0};
  hx_svc_sink previous_;
};

// A policy database in a temporary directory holding the standard objects
// (writeStandard): written through a writable store, then opened read-only
// or writable for the test.
class PolicyDb : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("policy.db");
    unsigned long st;
    daLocalStore("d", path_.c_str()).createStore(st);
    ASSERT_EQ(st, 0u);
    writeStandard();
  }

  std::unique_ptr<daCachedStore> open(int readOnly, int cacheEnabled = 1) {
    auto s = std::make_unique<daCachedStore>("d", path_.c_str(), cacheEnabled, 0);
    unsigned long st;
    s->openStore(readOnly, st);
    EXPECT_EQ(st, 0u);
    return s;
  }
  // Writes each (name, object) pair, one transaction each; the store owns
  // the objects.
  void write(std::vector<std::pair<daStoreObjectName, daStoreObject*>> const& items) {
    auto w = open(0);
    for (auto const& [name, obj] : items) {
      unsigned long st;
      w->setObject(name, obj, st);
      ASSERT_EQ(st, 0u);
    }
  }
  // /a carries ACL "acl1", POP "p1" and rule "r1", each with extended
  // attributes ("acl-ext", "pop-ext", "rule-ext"); the maps of /bad name
  // policies that do not exist; those of /two name two policies each.
  void writeStandard() {
    write({{daAclName("acl1"), newAcl("first")},
           {daAclName("acl1").getExtAttrName(), newExt("acl-ext")},
           {daPObjName("/a").getPObjToAclMapName(), newMap<GxMapPObjectToACL>({"acl1"})},
           {daRuleName("r1"), newRule("rule one")},
           {daRuleName("r1").getExtAttrName(), newExt("rule-ext")},
           {daPObjName("/a").getPObjToRuleMapName(), newMap<daMapObjToRule>({"r1"})},
           {daPObjName("/bad").getPObjToAclMapName(), newMap<GxMapPObjectToACL>({"ghost"})},
           {daPObjName("/bad").getPObjToRuleMapName(), newMap<daMapObjToRule>({"ghost"})},
           {daPObjName("/two").getPObjToAclMapName(), newMap<GxMapPObjectToACL>({"acl1", "acl1"})},
           {daPObjName("/two").getPObjToRuleMapName(), newMap<daMapObjToRule>({"r1", "r1"})},
           {daPopName("p1"), newPop("pop one")},
           {daPopName("p1").getExtAttrName(), newExt("pop-ext")},
           {daPObjName("/a").getPObjToPopMapName(), newMap<GxMapObjToPop>({"p1"})},
           {daPObjName("/bad").getPObjToPopMapName(), newMap<GxMapObjToPop>({"ghost"})},
           {daPObjName("/two").getPObjToPopMapName(), newMap<GxMapObjToPop>({"p1", "p1"})}});
  }

  TempDir dir_;
  std::string path_;
};

// Runs f on another thread; false when it has not returned within 5 s (the
// thread is then left behind, as a hung reader would be).
template <class F>
bool returnsPromptly(F f) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ready = done->get_future();
  std::thread t([f, done] {
    f();
    done->set_value();
  });
  if (ready.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    t.detach();
    return false;
  }
  t.join();
  return true;
}

// ---- fetchACL ----------------------------------------------------------------

using FetchAcl = PolicyDb;

TEST_F(FetchAcl, AnswersIncludingNoMapAreRememberedOnTheMapEntry) {
  auto s = open(1);
  unsigned long st;
  H acl, ext, none, noneExt;
  s->fetchACL(daPObjName("/a"), acl, ext, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(aclText(acl), "first");
  EXPECT_EQ(extValue(ext), "acl-ext");
  s->fetchACL(daPObjName("/nothing"), none, noneExt, st);
  EXPECT_EQ(st, 0u);
  EXPECT_TRUE(none.isEmpty());
  EXPECT_TRUE(noneExt.isEmpty());
  DbReads reads;
  H again, againExt;
  s->fetchACL(daPObjName("/a"), again, againExt, st);
  EXPECT_TRUE(again.get() == acl.get() && againExt.get() == ext.get());
  s->fetchACL(daPObjName("/nothing"), none, noneExt, st);
  EXPECT_EQ(st, 0u);
  EXPECT_TRUE(none.isEmpty());
  EXPECT_EQ(reads.count(), 0);
}

TEST_F(FetchAcl, BadMapsAreReportedAndTheirEntriesFinished) {
  auto s = open(1);
  MessageCapture messages;
  unsigned long st;
  H acl, ext;
  s->fetchACL(daPObjName("/bad"), acl, ext, st);
  EXPECT_EQ(st, 0x1005B1C4u);
  EXPECT_EQ(messages.inserts(0x1005B1C4), (std::vector<std::string>{"/bad", "ghost"}));
  s->fetchACL(daPObjName("/two"), acl, ext, st);
  EXPECT_EQ(st, 0x1005B1C3u);
  EXPECT_EQ(messages.inserts(0x1005B1C3), (std::vector<std::string>{"/two"}));
  EXPECT_TRUE(acl.isEmpty());
  H entry;
  s->getBuildingObject(daPObjName("/bad").getPObjToAclMapName(), entry, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(entry.entry->state, daCachedStoreEntry::ready);
}

TEST_F(FetchAcl, ReplacedAclAndExtAttrsAreReadAgain) {
  auto s = open(0);
  unsigned long st;
  H acl, ext;
  s->fetchACL(daPObjName("/a"), acl, ext, st);
  ASSERT_EQ(aclText(acl), "first");
  s->setObject(daAclName("acl1"), newAcl("second"), st);
  ASSERT_EQ(st, 0u);
  s->fetchACL(daPObjName("/a"), acl, ext, st);
  EXPECT_EQ(aclText(acl), "second");
  s->setObject(daAclName("acl1").getExtAttrName(), newExt("new-ext"), st);
  s->fetchACL(daPObjName("/a"), acl, ext, st);
  EXPECT_EQ(extValue(ext), "new-ext");
  EXPECT_EQ(acl.entry->refCount, 2u);  // the caller's and the one remembered on the map

  s->closeStore(st);  // a closed store is unavailable
  MessageCapture messages;
  s->fetchACL(daPObjName("/a"), acl, ext, st);
  EXPECT_EQ(st, 0x132792F4u);
  EXPECT_EQ(messages.count(0x132792F4), 1u);
}

TEST_F(FetchAcl, DisabledCacheReadsMapAclAndExtAttrsEveryTime) {
  auto s = open(1, /*cacheEnabled=*/0);
  for (int round = 0; round < 2; ++round) {
    DbReads reads;
    unsigned long st;
    H acl, ext;
    s->fetchACL(daPObjName("/a"), acl, ext, st);
    EXPECT_EQ(aclText(acl), "first");
    EXPECT_EQ(extValue(ext), "acl-ext");
    EXPECT_EQ(acl.entry, nullptr);  // uncached: the handle owns the object (ASan sees a leak)
    EXPECT_EQ(reads.count(), 3);
  }
  EXPECT_EQ(s->getCacheCount(), 0u);
}

// Deleting a cached map releases the counted handles of its remembered
// answer: closing the store, a commit that replaces the map and a cache
// clear all delete maps while the cache is being emptied.
TEST_F(FetchAcl, WritableStoreDropsMapsWithRememberedAnswers) {
  auto s = open(0);
  unsigned long st;
  auto fetch = [&] {
    H acl, ext;
    s->fetchACL(daPObjName("/a"), acl, ext, st);
    EXPECT_EQ(aclText(acl), "first");
  };
  ASSERT_TRUE(returnsPromptly([&] {
    fetch();
    // Rewriting the map retires the cached one with its remembered answer.
    s->setObject(daPObjName("/a").getPObjToAclMapName(), newMap<GxMapPObjectToACL>({"acl1"}), st);
    EXPECT_EQ(st, 0u);
    fetch();
    s->closeStore(st);
  }));
  EXPECT_EQ(st, 0u);
}

using FetchAclConcurrency = PolicyDb;

TEST_F(FetchAclConcurrency, FirstCallsForOneObjectLoadTheMapOnce) {
  auto s = open(1);
  DbReads reads;
  std::atomic<int> waiting{8};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      daCacheStateLock reading(*s, daCachedStore::open);
      --waiting;
      while (waiting.load() > 0) std::this_thread::yield();
      unsigned long st;
      H acl, ext;
      s->fetchACL(daPObjName("/a"), acl, ext, st);
      EXPECT_EQ(aclText(acl), "first");
      EXPECT_EQ(extValue(ext), "acl-ext");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(reads.count(), 3);  // the map, the ACL and its extended attributes
}

TEST_F(FetchAclConcurrency, FailedFetchesLeaveNoReaderWaiting) {
  auto s = open(1);
  MessageCapture quiet;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      daCacheStateLock reading(*s, daCachedStore::open);
      for (int i = 0; i < 20; ++i) {
        unsigned long st;
        H acl, ext;
        s->fetchACL(daPObjName((t + i) % 2 ? "/bad" : "/two"), acl, ext, st);
        EXPECT_EQ(st, (t + i) % 2 ? 0x1005B1C4u : 0x1005B1C3u);
      }
    });
  }
  for (auto& t : threads) t.join();
}

// ---- fetchPop, fetchRule and the memoising protocol ------------------------------------

using FetchFn = void (daCachedStore::*)(daPObjName const&, H&, H&, int&, ZUTF8String_6_0*, unsigned long&);
using SetFn = void (daCachedStore::*)(daPObjName const&, H&, H&, ZUTF8String_6_0*, unsigned long&);

// The policy in force at path, found the way a server does it: memoising
// fetches up the tree, then the answer recorded for every object on the way
// that had nothing recorded.
H inForce(daCachedStore& s, FetchFn fetch, SetFn set, char const* path, H& ext, ZUTF8String_6_0& where,
          unsigned long& st) {
  daPObjName obj(path);
  std::vector<daPObjName> unrecorded;
  H policy;
  for (;;) {
    int resolved = 1;
    (s.*fetch)(obj, policy, ext, resolved, &where, st);
    if (st != 0 || !policy.isEmpty() || resolved) break;
    unrecorded.push_back(obj);
    if (obj.isRoot()) break;
    obj.walkUp();
  }
  unsigned long setStatus;
  for (auto const& o : unrecorded) (s.*set)(o, policy, ext, policy.isEmpty() ? nullptr : &where, setStatus);
  return policy;
}
H ruleInForce(daCachedStore& s, char const* path, ZUTF8String_6_0& where, unsigned long& st) {
  H ext;
  return inForce(s, &daCachedStore::fetchRule, &daCachedStore::setAttachedRule, path, ext, where, st);
}
H popInForce(daCachedStore& s, char const* path, H& ext, ZUTF8String_6_0& where, unsigned long& st) {
  return inForce(s, &daCachedStore::fetchPop, &daCachedStore::setAttachedPop, path, ext, where, st);
}

// "/a/l1/.../l<levels>": objects with nothing of their own below /a.
std::string deep(int levels) {
  std::string p = "/a";
  for (int i = 1; i <= levels; ++i) p += "/l" + std::to_string(i);
  return p;
}

using FetchPolicy = PolicyDb;

// The policies' own object (level 0, "/a") and every object below it that
// inherits: all remembered, with the extended attributes and the location.
TEST_F(FetchPolicy, OwnAndInheritedAnswersAreRecordedForTheWholeWalk) {
  auto s = open(1);
  unsigned long st;
  ZUTF8String_6_0 where;
  H popExt;
  H rule = ruleInForce(*s, deep(8).c_str(), where, st);
  H pop = popInForce(*s, deep(3).c_str(), popExt, where, st);
  ASSERT_EQ(ruleText(rule), "rule one");
  ASSERT_EQ(popText(pop), "pop one");
  EXPECT_EQ(where.str(), "/a");
  DbReads reads;
  for (int level = 8; level >= 0; --level) {
    H r, p, e;
    ZUTF8String_6_0 at;
    int resolved = 1;
    s->fetchRule(daPObjName(deep(level).c_str()), r, e, resolved, &at, st);
    EXPECT_EQ(r.get(), rule.get());
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(at.str(), "/a");
    if (level > 3) continue;
    ZUTF8String_6_0 popAt;
    s->fetchPop(daPObjName(deep(level).c_str()), p, e, resolved, &popAt, st);
    EXPECT_EQ(p.get(), pop.get());
    EXPECT_EQ(e.get(), popExt.get());
    EXPECT_EQ(extValue(e), "pop-ext");
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(popAt.str(), "/a");
  }
  EXPECT_EQ(reads.count(), 0);
}

TEST_F(FetchPolicy, RecordedNoneIsAnsweredWithoutHandleAndSetWithoutFetchRecordsNothing) {
  auto s = open(1);
  unsigned long st;
  ZUTF8String_6_0 where("untouched");
  EXPECT_TRUE(ruleInForce(*s, "/x/y", where, st).isEmpty());
  for (char const* p : {"/x/y", "/x", "/"}) {
    H r, ext;
    int resolved = 1;
    s->fetchRule(daPObjName(p), r, ext, resolved, &where, st);
    EXPECT_EQ(st, 0u);
    EXPECT_TRUE(r.isEmpty()) << p;
    EXPECT_EQ(resolved, 1) << p;
  }
  EXPECT_EQ(where.str(), "untouched");

  H rule, ext;
  s->getObject(daRuleName("r1"), rule, st);
  unsigned int entries = s->getCacheCount();
  ZUTF8String_6_0 at("/a");
  s->setAttachedRule(daPObjName("/never/fetched"), rule, ext, &at, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(s->getCacheCount(), entries);
  int resolved = 1;
  H none;
  s->fetchRule(daPObjName("/never/fetched"), none, ext, resolved, nullptr, st);
  EXPECT_TRUE(none.isEmpty());
  EXPECT_EQ(resolved, 0);
  s->setAttachedRule(daPObjName("/never/fetched"), none, ext, nullptr, st);
}

TEST_F(FetchPolicy, WritableStoreNeverMemoisesAndSetCallsDoNothing) {
  auto s = open(0);
  unsigned long st;
  H rule, ext;
  for (char const* p : {"/a/b", "/a", "/a"}) {
    int resolved = 1;
    s->fetchRule(daPObjName(p), rule, ext, resolved, nullptr, st);
    EXPECT_EQ(resolved, 0) << p;
  }
  ASSERT_EQ(ruleText(rule), "rule one");
  unsigned int entries = s->getCacheCount();
  st = 12345;
  s->setAttachedRule(daPObjName("/a/b"), rule, ext, nullptr, st);
  EXPECT_EQ(st, 12345u);
  EXPECT_EQ(s->getCacheCount(), entries);
  H again;
  int resolved = 1;
  s->fetchRule(daPObjName("/a/b"), again, ext, resolved, nullptr, st);
  EXPECT_TRUE(again.isEmpty());
}

// The caller's extended-attribute handle is left as it was by fetchACL for
// an ACL without any and by fetchRule always, computed or remembered.
TEST_F(FetchPolicy, AclWithoutExtAttrsAndFetchRuleLeaveTheExtAttrHandleAlone) {
  write({{daAclName("plain"), newAcl("plain")},
         {daPObjName("/p").getPObjToAclMapName(), newMap<GxMapPObjectToACL>({"plain"})}});
  auto s = open(1);
  unsigned long st;
  H ext, acl, rule;
  s->getObject(daAclName("acl1"), ext, st);
  daStoreObject* before = ext.get();
  for (int resolved : {0, 1, 1}) {
    s->fetchACL(daPObjName("/p"), acl, ext, st);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(aclText(acl), "plain");
    EXPECT_EQ(ext.get(), before);
    s->fetchRule(daPObjName("/a"), rule, ext, resolved, nullptr, st);
    EXPECT_EQ(ruleText(rule), "rule one");
    EXPECT_EQ(ext.get(), before);
  }
}

TEST_F(FetchPolicy, BadMapsAreReportedWithTheKindsStatuses) {
  auto s = open(1);
  MessageCapture messages;
  struct Kind {
    FetchFn fetch;
    unsigned long missing, badMap;
  };
  for (Kind k : {Kind{&daCachedStore::fetchPop, 0x1005B1D0, 0x1005B1DC},
                 Kind{&daCachedStore::fetchRule, 0x1005B1DB, 0x1005B1DA}}) {
    for (int resolved : {1, 0}) {  // memoising and plain
      unsigned long st;
      H policy, ext;
      (s.get()->*k.fetch)(daPObjName("/bad"), policy, ext, resolved, nullptr, st);
      EXPECT_EQ(st, k.missing);
      EXPECT_EQ(resolved, 0);
      resolved = 1;
      (s.get()->*k.fetch)(daPObjName("/two"), policy, ext, resolved, nullptr, st);
      EXPECT_EQ(st, k.badMap);
      EXPECT_EQ(resolved, 0);
      EXPECT_TRUE(policy.isEmpty());
      EXPECT_TRUE(ext.isEmpty());
    }
    EXPECT_EQ(messages.inserts(k.missing), (std::vector<std::string>{"/bad", "ghost"}));
    EXPECT_EQ(messages.inserts(k.badMap), (std::vector<std::string>{"/two"}));
  }
}

using FetchPolicyConcurrency = PolicyDb;

TEST_F(FetchPolicyConcurrency, WalksUpOneBranchAgreeOnTheInheritedPolicy) {
  auto s = open(1);
  std::atomic<int> waiting{6};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      daCacheStateLock reading(*s, daCachedStore::open);
      --waiting;
      while (waiting.load() > 0) std::this_thread::yield();
      for (int i = 0; i < 30; ++i) {
        unsigned long st;
        ZUTF8String_6_0 where;
        H rule = ruleInForce(*s, deep(8 - (t + i) % 3).c_str(), where, st);
        EXPECT_EQ(ruleText(rule), "rule one");
        EXPECT_EQ(where.str(), "/a");
        EXPECT_TRUE(ruleInForce(*s, "/elsewhere/x", where, st).isEmpty());
        H ext;
        H pop = popInForce(*s, deep(1 + (t + i) % 4).c_str(), ext, where, st);
        EXPECT_EQ(popText(pop), "pop one");
        EXPECT_EQ(extValue(ext), "pop-ext");
      }
    });
  }
  for (auto& t : threads) t.join();
}

// ---- getExtAttributes ---------------------------------------------------------------

using GetExtAttributes = PolicyDb;

TEST_F(GetExtAttributes, OwnerTypesAndTheirStatuses) {
  write({{daPObjName("/a"), new GxPObj},
         {daPObjName("/a").getExtAttrName(), newExt("obj-ext")},
         {daAclName("plain"), newAcl("plain")},
         {daPObjName("/p").getPObjToAclMapName(), newMap<GxMapPObjectToACL>({"plain"})}});
  auto s = open(1);
  unsigned long st;
  daPObjName a("/a"), p("/p"), nothing("/nothing");
  H ext, none;
  // A protected object: with checkObject a missing object is reported.
  s->getExtAttributes(a, 0x50B, 1, ext, st);
  EXPECT_EQ(extValue(ext), "obj-ext");
  s->getExtAttributes(nothing, 0x50B, 1, none, st);
  EXPECT_EQ(st, kNoObject);
  s->getExtAttributes(nothing, 0x50B, 0, none, st);
  EXPECT_EQ(st, 0x1005B1CFu);
  EXPECT_TRUE(none.isEmpty());
  // The policy attached to the object.
  for (auto [type, value] : {std::pair{0x50Dul, "acl-ext"}, {0x507ul, "pop-ext"}, {0x50Ful, "rule-ext"}}) {
    s->getExtAttributes(a, type, 0, ext, st);
    EXPECT_EQ(extValue(ext), value);
    s->getExtAttributes(nothing, type, 1, ext, st);  // nothing attached
    EXPECT_EQ(st, 0x1005B1CFu);
  }
  s->getExtAttributes(p, 0x50D, 0, none, st);  // an ACL without extended attributes
  EXPECT_EQ(st, 0x1005B1CFu);
  MessageCapture messages;
  s->getExtAttributes(a, 0x50C, 0, none, st);
  EXPECT_EQ(st, 0x1005B38Au);
  EXPECT_EQ(messages.count(0x1005B38A), 1u);
  EXPECT_TRUE(none.isEmpty());
}

}  // namespace
