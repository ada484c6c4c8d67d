// The cache state guard: lock modes and the states it sets and restores.
// (The clearing of a full cache is pinned through the cached store.)
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
