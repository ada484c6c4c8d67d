// The cached store: the load protocol, absent entries,
// failed reads, cache clearing and listings from memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "test_support.h"

namespace {

using gxtest::putAcl;  // writes the record straight to the file, behind any cache
using gxtest::TempDir;

class CachedStore : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_.file("cached.db"); }

  // Creates the file with ACL records a0..a{n-1}, then opens a store on it.
  std::unique_ptr<daCachedStore> make(int acls, int readOnly = 0, int cacheEnabled = 1, unsigned int size = 0,
                                      bool pobjCache = false, std::vector<char const*> pobjs = {}) {
    unsigned long st;
    {
      daLocalStore creator("d", path_.c_str());
      creator.createStore(st);
      EXPECT_EQ(st, 0u);
      creator.openStore(0, st);
      for (int i = 0; i < acls; ++i) putAcl(creator, "a" + std::to_string(i));
      for (char const* p : pobjs) putRaw(creator, daPObjName(p).getFullName(), gx_type_pobj);
    }
    auto store = std::make_unique<daCachedStore>("d", path_.c_str(), cacheEnabled, size);
    store->enablePobjCache(pobjCache);
    store->openStore(readOnly, st);
    EXPECT_EQ(st, 0u);
    return store;
  }
  static void putRaw(daLocalStore& s, GxObjectName const& key, uint32_t type, char const* bytes = "x") {
    gxobj_t rec{nullptr, 0, type, static_cast<uint32_t>(std::strlen(bytes)),
                reinterpret_cast<unsigned char*>(const_cast<char*>(bytes))};
    unsigned long seq, st;
    s.setObject(key, rec, seq, st);
    ASSERT_EQ(st, 0u);
  }

  TempDir dir_;
  std::string path_;
};

TEST(CachedStoreSize, IsClampedToItsRange) {
  for (auto [asked, got] : {std::pair{0u, 32768u}, {100u, 256u}, {600000u, 524288u}, {1000u, 1000u}})
    EXPECT_EQ(daCachedStore("d", asked).getCacheSize(), got) << asked;
}

TEST_F(CachedStore, ClosedStoreIsUnavailable) {
  auto store = make(1);
  unsigned long st;
  store->closeStore(st);
  gxtest::MessageCapture messages;
  Handle<daStoreObject> h;
  store->getObject(daAclName("a0"), h, st);
  EXPECT_EQ(st, 0x132792F4u);
  EXPECT_TRUE(h.isEmpty());
  EXPECT_EQ(messages.count(0x132792F4), 1u);
}

TEST_F(CachedStore, HitsShareOneEntryCountedUnlessReadOnly) {
  for (int readOnly : {0, 1}) {
    SCOPED_TRACE(readOnly);
    std::filesystem::remove(path_);
    auto store = make(2, readOnly);
    unsigned long const held = readOnly ? 0 : 1;
    unsigned long st;
    Handle<daStoreObject> a, b;
    store->getObject(daAclName("a1"), a, st);
    ASSERT_EQ(st, 0u);
    ASSERT_NE(a.get(), nullptr);
    EXPECT_EQ(a->getName().str(), "/auth/extended-acl/a1");
    EXPECT_NE(dynamic_cast<GxACL*>(a.get()), nullptr);
    store->getObject(daAclName("a1"), b, st);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a.entry->refCount, 2 * held);
    a.attachHandle(b);
    EXPECT_EQ(a.entry->refCount, 2 * held);
    b.release();
    EXPECT_EQ(a.entry->refCount, held);
    EXPECT_EQ(store->getCacheCount(), 1u);
  }
}

TEST_F(CachedStore, MissingNameIsRememberedAsAbsent) {
  auto store = make(0);
  unsigned long st;
  Handle<daStoreObject> h;
  store->getObject(daAclName("late"), h, st);
  EXPECT_EQ(st, 0x132792F1u);
  EXPECT_TRUE(h.isEmpty());
  putAcl(*store, "late");  // the absent entry still answers
  store->getObject(daAclName("late"), h, st);
  EXPECT_EQ(st, 0x132792F1u);
  // With wantAbsent the caller gets a handle on the absent entry.
  store->getCachedObject(daAclName("late"), h, 0, 1, st);
  EXPECT_EQ(st, 0x132792F1u);
  EXPECT_FALSE(h.isEmpty());
  EXPECT_EQ(h.get(), nullptr);
  EXPECT_EQ(h.entry->state, daCachedStoreEntry::absent);
}

TEST_F(CachedStore, BuildLeavesTheEntryToItsBuilder) {
  auto store = make(1);
  unsigned long st;
  Handle<daStoreObject> h;
  store->getCachedObject(daAclName("a0"), h, 1, 0, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(h.entry->state, daCachedStoreEntry::building);
  store->finishCachedEntry(h.entry, daCachedStoreEntry::ready);
  Handle<daStoreObject> again;
  store->getObject(daAclName("a0"), again, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(again.get(), h.get());
  EXPECT_EQ(again.entry->resolved, 1);
}

TEST_F(CachedStore, FailedReadLeavesNoEntry) {
  auto store = make(0);
  putRaw(*store, daAclName("bad").getFullName(), gx_type_acl, "\x30\x80garbage");
  unsigned long st;
  Handle<daStoreObject> h;
  gxtest::MessageCapture quiet;
  store->getObject(daAclName("bad"), h, st);
  EXPECT_NE(st, 0u);
  EXPECT_NE(st, 0x132792F1u);
  EXPECT_TRUE(h.isEmpty());
  EXPECT_EQ(store->getCacheCount(), 0u);
  putAcl(*store, "bad");  // repaired, the next read reaches the database again
  store->getObject(daAclName("bad"), h, st);
  EXPECT_EQ(st, 0u);
}

TEST_F(CachedStore, FullCacheIsClearedButHeldEntriesLive) {
  auto store = make(300, 0, 1, 256);
  unsigned long st;
  Handle<daStoreObject> kept;
  store->getObject(daAclName("a0"), kept, st);
  for (int i = 1; i < 255; ++i) {
    Handle<daStoreObject> h;
    store->getObject(daAclName(("a" + std::to_string(i)).c_str()), h, st);
  }
  store->checkCache();
  EXPECT_EQ(store->getCacheCount(), 255u);  // one below the size: unchanged
  Handle<daStoreObject> h;
  store->getObject(daAclName("a255"), h, st);
  store->checkCache();
  EXPECT_EQ(store->getCacheCount(), 0u);
  EXPECT_EQ(store->getCacheState(), daCachedStore::open);  // restored after the clear
  EXPECT_EQ(kept.entry->removed, 1);
  EXPECT_EQ(kept->getName().str(), "/auth/extended-acl/a0");
  kept.release();  // the last release deletes the removed entry
}

TEST_F(CachedStore, ListingFromMemoryStaysBelowTheName) {
  auto store = make(0, 1, 1, 0, /*pobjCache=*/true, {"/a", "/a/x", "/a/x/y", "/ab", "/b"});
  unsigned long st;
  ZArrayList_6_0 out;
  store->listObjects(daPObjName("/a"), 1, out, st);
  ASSERT_EQ(st, 0u);
  std::vector<std::string> names;
  for (unsigned int i = 0; i < out.size(); ++i)
    names.push_back(static_cast<daPObjName*>(out.get(i))->value().str());
  EXPECT_EQ(names, (std::vector<std::string>{"/a", "/a/x", "/a/x/y"}));
  // Not recursive: from the file, direct children only.
  store->listObjects(daPObjName("/a"), 0, out, st);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(static_cast<daPObjName*>(out.get(0))->value().str(), "/a/x");
  store->listObjects(daPObjName("/"), 1, out, st);
  EXPECT_EQ(out.size(), 5u);
}

TEST_F(CachedStore, ConcurrencyReadersOfMissingNamesLoadEachOnce) {
  auto store = make(40);
  std::atomic<int> reads{0};
  hx_svc_set_level(gxdmd_svc_handle, -1, 8);
  auto previous = hx_svc_set_sink([&](hx_svc_record const& r) {
    if (r.isTrace && r.text == "CII ENTRY: daLocalStore::getObject\n") ++reads;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 40; ++i) {
          unsigned long st;
          Handle<daStoreObject> h;
          store->getObject(daAclName(("a" + std::to_string(i)).c_str()), h, st);
          ASSERT_EQ(st, 0u);
          ASSERT_NE(h.get(), nullptr);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  hx_svc_set_level(gxdmd_svc_handle, -1, 0);
  hx_svc_set_sink(previous);
  EXPECT_EQ(reads.load(), 40);
}

TEST_F(CachedStore, ConcurrencyClearingUnderLoadKeepsHandlesValid) {
  auto store = make(300, 0, 1, 256);
  std::atomic<bool> stop{false};
  std::thread clearer([&] {
    while (!stop) store->checkCache();
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) {
        // Readers that keep handles across a clear hold the state lock shared.
        daCacheStateLock reading(*store, daCachedStore::open);
        unsigned long st;
        Handle<daStoreObject> h, copy;
        store->getObject(daAclName(("a" + std::to_string((i * 7 + t) % 300)).c_str()), h, st);
        ASSERT_EQ(st, 0u);
        h.attachHandle(copy);
        ASSERT_EQ(copy->getName(), h->getName());
      }
    });
  }
  for (auto& th : readers) th.join();
  stop = true;
  clearer.join();
}

}  // namespace
