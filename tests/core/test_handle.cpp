// Reference counting gate, handles and the counting rules of cache entries.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "GxCore/db/daStoreObjectHandle.h"
#include "GxCore/refCount.h"

namespace {

class Tracked : public daStoreObject {
 public:
  static inline std::atomic<int> alive{0};
  Tracked() { ++alive; }
  ~Tracked() override { --alive; }
};

// A container with the cached store's counting rules.
class CountingContainer : public Container<daStoreObject> {
 public:
  explicit CountingContainer(bool readOnly = false) : readOnly_(readOnly) {}
  void doReleaseObject(Handle<daStoreObject>& h) override { daReleaseCountedHandle(h, refLock_, readOnly_); }
  void doAttachHandle(Handle<daStoreObject>& h) override { daAttachCountedHandle(this, h, refLock_, readOnly_); }
  Handle<daStoreObject> issue(daCachedStoreEntry* e) {  // as the store does on a hit
    if (!readOnly_) ++e->refCount;
    return Handle<daStoreObject>(this, e->object, e);
  }

 private:
  ZLock_6_0 refLock_;
  bool readOnly_;
};

}  // namespace

TEST(RefCountTest, MisuseThrowsAndLeavesCountersUnchanged) {
  RefCount rc;
  EXPECT_THROW(rc.sharedUnlock(), ZInvalidParameterException_6_0);
  rc.exclusiveLock();
  EXPECT_THROW(rc.sharedUnlock(), ZInvalidParameterException_6_0);
  rc.exclusiveUnlock();
  EXPECT_THROW(rc.exclusiveUnlock(), ZInvalidParameterException_6_0);  // a second unlock
  rc.sharedLock();
  rc.sharedLock();
  EXPECT_THROW(rc.exclusiveUnlock(), ZInvalidParameterException_6_0);
  EXPECT_EQ(rc.getSharedCount(), 2u);
  EXPECT_EQ(rc.isExclusive(), 0);
  rc.sharedUnlock();
  rc.sharedUnlock();
  rc.exclusiveLock();  // the gate's lock was released as the exceptions passed
  EXPECT_EQ(rc.isExclusive(), 1);
  rc.exclusiveUnlock();
}

TEST(HandleTest, AttachCountsAndReleaseKeepsUnremovedEntry) {
  CountingContainer store;
  daCachedStoreEntry e1(new Tracked), e2(new Tracked);
  Handle<daStoreObject> a = store.issue(&e1);
  Handle<daStoreObject> b = store.issue(&e2);
  a.attachHandle(b);  // b's reference on e2 goes first
  EXPECT_EQ(e1.refCount, 2u);
  EXPECT_EQ(e2.refCount, 0u);
  EXPECT_EQ(b.object, e1.object);
  EXPECT_EQ(b.entry, &e1);
  Handle<daStoreObject>().attachHandle(b);  // attaching an empty handle empties b
  EXPECT_TRUE(b.isEmpty());
  EXPECT_EQ(b.entry, nullptr);
  EXPECT_EQ(e1.refCount, 1u);
  Handle<daStoreObject> c = std::move(a);  // moves do not count
  EXPECT_EQ(e1.refCount, 1u);
  EXPECT_EQ(a.get(), nullptr);
  c.release();
  EXPECT_EQ(e1.refCount, 0u);
  EXPECT_NE(e1.object, nullptr);  // still cached with a count of 0
}

TEST(HandleTest, DeletionFollowsRemovedEntriesLastReleaseAndUncachedHandlesOwnership) {
  int const base = Tracked::alive;
  CountingContainer store, readOnly(/*readOnly=*/true);
  auto* e = new daCachedStoreEntry(new Tracked);
  Handle<daStoreObject> b;
  {
    Handle<daStoreObject> a = store.issue(e);
    a.attachHandle(b);
    e->removed = 1;
  }
  EXPECT_EQ(Tracked::alive - base, 1);  // b still refers to it
  b.release();
  EXPECT_EQ(Tracked::alive - base, 0);

  daCachedStoreEntry fixed(new Tracked);
  fixed.removed = 1;  // a read-only container neither counts nor deletes
  Handle<daStoreObject> r = readOnly.issue(&fixed), copy;
  r.attachHandle(copy);
  copy.release();
  r.release();
  EXPECT_EQ(fixed.refCount, 0u);
  EXPECT_NE(fixed.object, nullptr);

  Handle<daStoreObject> u(&store, new Tracked, nullptr), c(&store, new Tracked, nullptr);
  c = std::move(u);  // c's own uncached object is released first
  EXPECT_EQ(Tracked::alive - base, 2);  // c's and the read-only entry's
  c.release();
  EXPECT_EQ(Tracked::alive - base, 1);
}

TEST(HandleConcurrencyTest, AttachAndReleaseAcrossThreadsKeepCountExact) {
  int const base = Tracked::alive;
  CountingContainer store;
  auto* e = new daCachedStoreEntry(new Tracked);
  Handle<daStoreObject> root = store.issue(e);
  std::vector<Handle<daStoreObject>> seeds(8);
  for (auto& s : seeds) root.attachHandle(s);  // each thread gets its own copy
  std::vector<std::thread> threads;
  for (auto& s : seeds)
    threads.emplace_back([mine = std::move(s)]() mutable {
      for (int i = 0; i < 20000; ++i) {
        Handle<daStoreObject> copy;
        mine.attachHandle(copy);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(e->refCount, 1u);  // only root is left
  e->removed = 1;
  root.release();
  EXPECT_EQ(Tracked::alive - base, 0);
}

TEST(RefCountConcurrencyTest, ExclusiveHolderIsAlone) {
  RefCount rc;
  std::atomic<int> readers{0}, writers{0};
  std::atomic<bool> violation{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (t < 2) {
          rc.exclusiveLock();
          if (++writers != 1 || readers != 0) violation = true;
          --writers;
          rc.exclusiveUnlock();
        } else {
          rc.sharedLock();
          ++readers;
          if (writers != 0) violation = true;
          --readers;
          rc.sharedUnlock();
        }
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_FALSE(violation);
  EXPECT_EQ(rc.getSharedCount(), 0u);
}
