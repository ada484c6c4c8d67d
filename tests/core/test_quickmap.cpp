// The action quick map: action strings to permission sets and back, the
// statuses of malformed strings, rebuilding after invalidation, and
// conversions from many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "test_support.h"

namespace {

// A cached store that counts the decoded-object reads it serves.
class CountingStore : public daCachedStore {
 public:
  using daCachedStore::daCachedStore;
  using daCachedStore::getObject;
  void getObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, unsigned long& status) override {
    ++reads;
    daCachedStore::getObject(name, handle, status);
  }
  std::atomic<int> reads{0};
};

// "primary" (slot 0): T 0x1, r 0x2 (or no actions); groups without
// actions in slots 1 and 2; "mygroup" (slot 3): a 0x1.
GxActionGroups catalogue(bool primaryActions = true) {
  GxActionGroups c;
  unsigned long slot, st;
  for (char const* g : {"primary", "one", "two", "mygroup"}) c.newGroup(g, slot, st);
  if (primaryActions) {
    c.createAction("primary", "T", nullptr, nullptr, 0, 0x1, 0, st);
    c.createAction("primary", "r", nullptr, nullptr, 0, 0x2, 0, st);
  }
  c.createAction("mygroup", "a", nullptr, nullptr, 0, 0x1, 0, st);
  return c;
}

class QuickMap : public ::testing::Test {
 protected:
  // A store on a fresh file holding c (when given), open writable or
  // read-only.
  std::unique_ptr<CountingStore> open(int readOnly, GxActionGroups const* c = nullptr) {
    unsigned long st;
    if (created_++ == 0) {
      daCachedStore creator("d", path_.c_str(), 1, 0);
      creator.createStore(st);
      EXPECT_EQ(st, 0u);
      creator.openStore(0, st);
      if (c != nullptr) store(creator, *c);
    }
    auto s = std::make_unique<CountingStore>("d", path_.c_str(), 1, 0);
    s->openStore(readOnly, st);
    EXPECT_EQ(st, 0u);
    return s;
  }
  static void store(daCachedStore& s, daStoreObject const& c) {
    unsigned long st;
    s.setObject(daActionGroupName(), dynamic_cast<daStoreObject*>(c.clone()), st);
    ASSERT_EQ(st, 0u);
  }
  static GxACLPermset perms(std::vector<std::pair<unsigned long, unsigned long>> words) {
    GxACLPermset p;
    for (auto [g, bits] : words) p.setBitMaskInGroup(g, bits);
    return p;
  }
  static std::string render(daCachedStore& s, GxACLPermset const& p, char const* prefix = "") {
    ZUTF8String_6_0 out(prefix);
    unsigned long st;
    s.mapBitmap(p, out, st);
    EXPECT_EQ(st, 0u);
    return out.str();
  }

  gxtest::TempDir dir_;
  std::string path_ = dir_.file("q.db");
  int created_ = 0;
};

// Each string replaces the whole set; a malformed one keeps the bits named
// before the fault. "[primary]T" is the same as "T". A group without
// actions is not in the map: naming it is naming an unknown group.
TEST_F(QuickMap, ActionStringStatusesAndTheBitsBeforeAFault) {
  GxActionGroups c = catalogue();
  auto s = open(1, &c);
  struct Case {
    char const* text;
    unsigned long status;
    unsigned long group0, group3;
  };
  for (Case const& k : {Case{"[primary]T", 0, 1, 0}, Case{"", 0, 0, 0}, Case{"TrTT", 0, 3, 0},
                        Case{"x", 0x1005B2F1, 0, 0}, Case{"T[mygroup]aT", 0x1005B2F1, 1, 1},
                        Case{"Tr[mygroup", 0x1005B1D5, 3, 0}, Case{"T[mygroup]", 0x1005B30C, 1, 0},
                        Case{"[nosuch]a", 0x1005B2F1, 0, 0}, Case{"[]a", 0x1005B2F1, 0, 0},
                        Case{"[one]", 0x1005B2F1, 0, 0}, Case{"[one]T", 0x1005B2F1, 0, 0}}) {
    GxACLPermset p(3, 0xFF);
    unsigned long st;
    s->mapAction(k.text, p, st);
    EXPECT_EQ(st, k.status) << k.text;
    EXPECT_EQ(p.actionGroup(0), k.group0) << k.text;
    EXPECT_EQ(p.actionGroup(3), k.group3) << k.text;
  }
}

TEST_F(QuickMap, PermissionsRenderPrimaryFirstThenGroupsInSlotOrder) {
  GxActionGroups c = catalogue();
  unsigned long st;
  c.createAction("one", "z", nullptr, nullptr, 0, 0x4, 0, st);
  c.createAction("mygroup", "B", nullptr, nullptr, 0, 0x2, 0, st);
  auto s = open(0, &c);
  EXPECT_EQ(render(*s, perms({{0, 0x3}, {3, 0x1}})), "Tr[mygroup]a");
  EXPECT_EQ(render(*s, perms({{0, 0x3}, {3, 0x1}}), "x"), "xTr[mygroup]a");
  EXPECT_EQ(render(*s, perms({{3, 0x3}, {1, 0x4}, {0, 0x2}})), "r[one]z[mygroup]Ba");
  EXPECT_EQ(render(*s, perms({{1, 0x1}, {0, 0x80}, {2, 0xFF}})), "");  // bits that name no action
  GxACLPermset back;
  s->mapAction("r[one]z[mygroup]Ba", back, st);
  EXPECT_EQ(back, perms({{3, 0x3}, {1, 0x4}, {0, 0x2}}));
}

// A "primary" group without actions does not enter the map, which then
// has no default group: the conversion throws, and decide answers with a
// status instead (0x1005B1D5: no such group).
TEST_F(QuickMap, EmptyPrimaryGroupThrowsUntilFixedAndInvalidatedAndDecideAnswersAStatus) {
  GxActionGroups bad = catalogue(false);
  auto s = open(0, &bad);
  std::atomic<int> thrownTraces{0};
  hx_svc_set_level(gxdmd_svc_handle, -1, 9);
  auto previous = hx_svc_set_sink([&](hx_svc_record const& r) {
    if (r.isTrace && r.text == "ZInvalidParameterException Exception thrown. \n") ++thrownTraces;
  });
  GxACLPermset p;
  unsigned long st;
  EXPECT_THROW(s->mapAction("T", p, st), ZInvalidParameterException_6_0);
  hx_svc_set_level(gxdmd_svc_handle, -1, 0);
  hx_svc_set_sink(previous);
  EXPECT_EQ(thrownTraces.load(), 1);
  EXPECT_FALSE(s->quickMap().isPopulated());
  EXPECT_THROW(s->mapAction("[mygroup]a", p, st), ZInvalidParameterException_6_0);
  daDecision d;
  for (char const* actions : {"T", "[mygroup]a"}) {
    st = 0;
    EXPECT_NO_THROW(s->decide("/a", nullptr, actions, nullptr, d, st));
    EXPECT_EQ(st, 0x1005B1D5u) << actions;
    EXPECT_FALSE(d.granted());
  }

  store(*s, catalogue());
  s->invalidateQuickMap();
  s->mapAction("T[mygroup]a", p, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(p, perms({{0, 0x1}, {3, 0x1}}));
}

TEST_F(QuickMap, UnreadableCatalogueReturnsTheStoreStatusAndConvertsNothing) {
  auto s = open(0);
  GxACLPermset p(0, 0x3);
  unsigned long st;
  s->mapAction("T", p, st);
  EXPECT_EQ(st, 0x132792F1u);
  EXPECT_EQ(p.actionGroup(0), 0u);
  ZUTF8String_6_0 out("x");
  s->mapBitmap(perms({{0, 1}}), out, st);
  EXPECT_EQ(st, 0x132792F1u);
  EXPECT_EQ(out.str(), "x");

  store(*s, GxACL());  // a record of another kind under the catalogue's key
  s->mapAction("T", p, st);
  EXPECT_EQ(st, 0x132792F2u);
  EXPECT_FALSE(s->quickMap().isPopulated());
}

// Thread tests, also run under ThreadSanitizer.
class QuickMapConcurrency : public QuickMap {};

TEST_F(QuickMapConcurrency, FirstConversionsOnAReplicaBuildOnce) {
  GxActionGroups c = catalogue();
  auto s = open(1, &c);
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      ++ready;
      while (ready.load() < 6) std::this_thread::yield();
      GxACLPermset p;
      unsigned long st;
      s->mapAction("Tr[mygroup]a", p, st);
      if (st != 0 || !(p == perms({{0, 0x3}, {3, 0x1}}))) ++wrong;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(s->reads.load(), 1);
}

TEST_F(QuickMapConcurrency, ConversionsRaceInvalidation) {
  GxActionGroups c = catalogue();
  auto s = open(0, &c);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> converters;
  for (int t = 0; t < 2; ++t) {
    converters.emplace_back([&] {
      GxACLPermset const want = perms({{0, 0x3}, {3, 0x1}});
      for (int i = 0; i < 300; ++i) {
        GxACLPermset p;
        ZUTF8String_6_0 out;
        unsigned long st, st2;
        s->mapAction("Tr[mygroup]a", p, st);
        s->mapBitmap(want, out, st2);
        if (st != 0 || st2 != 0 || !(p == want) || out.str() != "Tr[mygroup]a") ++wrong;
      }
    });
  }
  std::thread invalidator([&] {
    while (!done.load()) {
      s->invalidateQuickMap();
      std::this_thread::yield();
    }
  });
  for (auto& th : converters) th.join();
  done = true;
  invalidator.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
