// The cache state guard and the clearing of a full cache.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "GxCore/db/daCacheStateLock.h"

namespace {

struct FakeStore {
  ZReadWriteLock_6_0& getStateLock() { return stateLock; }
  void setCacheState(daCacheStates::cachestate s) { state = s; }
  ZReadWriteLock_6_0 stateLock;
  std::atomic<daCacheStates::cachestate> state{daCacheStates::open};
  ZLock_6_0 cacheLock, refLock;
};

}  // namespace

TEST(CacheStateLockTest, ModesAndStatesFollowRequestedState) {
  FakeStore s;
  {
    daCacheStateLockT<FakeStore> a(s, daCacheStates::open), b(s, daCacheStates::open);  // readers share
    EXPECT_FALSE(s.stateLock.tryWriteLock());
  }
  for (auto st : {daCacheStates::replacing, daCacheStates::clearing}) {
    {
      daCacheStateLockT<FakeStore> g(s, st);
      EXPECT_EQ(g.held(), ZReadWriteLock_6_0::WRITE);
      EXPECT_EQ(s.state, st);
    }
    EXPECT_EQ(s.state, daCacheStates::open);
  }
  s.state = daCacheStates::closed;
  {
    daCacheStateLockT<FakeStore> g(s, daCacheStates::closed);
    EXPECT_EQ(g.held(), ZReadWriteLock_6_0::NONE);
  }
  EXPECT_EQ(s.state, daCacheStates::closed);
  ASSERT_TRUE(s.stateLock.tryWriteLock());
  s.stateLock.writeUnlock();
}

TEST(CheckCacheTest, ClearsOnlyAtCacheSizeAndKeepsHeldEntriesAsRemoved) {
  FakeStore s;
  daCacheTable t(1, 2);
  for (int i = 0; i < 3; ++i) t.put(daAclName(("a" + std::to_string(i)).c_str()), new daCachedStoreEntry);
  EXPECT_FALSE(daCheckCache(s, t, 4, s.cacheLock, s.refLock));  // one below the size
  EXPECT_EQ(t.getCount(), 3u);
  auto* held = new daCachedStoreEntry;
  held->refCount = 1;
  t.put(daAclName("held"), held);
  EXPECT_TRUE(daCheckCache(s, t, 4, s.cacheLock, s.refLock));
  EXPECT_EQ(t.getCount(), 0u);
  EXPECT_EQ(held->removed, 1);  // its last release deletes it
  EXPECT_EQ(s.state, daCacheStates::open);
  delete held;
}
