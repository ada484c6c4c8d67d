// The cached store's cache state and the scope guard that sets it. Readers
// that keep handles across whole-cache operations hold the store's state
// lock shared (state open); clearing a full cache and replacing the database
// file hold it exclusively (states clearing and replacing) and put the state
// back to open when they end. daCheckCache is the body of the store's
// checkCache: it empties a cache table that has reached its size.
//
// The guard is written over the store type so that it does not depend on the
// cached store's definition; the store uses daCacheStateLock, the guard over
// daCachedStore. A store type S provides:
//   ZReadWriteLock_6_0& getStateLock();
//   void setCacheState(daCacheStates::cachestate);
#pragma once

#include <cstdint>
#include <mutex>

#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCacheTypes.h"
#include "GxCore/db/daStoreObjectHandle.h"
#include "GxCore/hashTable.h"
#include "outside/ZThread.h"


template <class Store>
class daCacheStateLockT : public ZStackReadWriteLock_6_0 {
 public:
  // State open takes the store's state lock shared; replacing and clearing
  // take it exclusively (blocking until every other holder has left). Then
  // the store's state is set to the requested one. Any other value takes no
  // lock and leaves the state alone.
  daCacheStateLockT(Store& store, daCacheStates::cachestate state)
      : ZStackReadWriteLock_6_0(store.getStateLock()), store_(store), state_(state) {
    if (state == daCacheStates::open) readLock();
    else if (state == daCacheStates::replacing || state == daCacheStates::clearing) writeLock();
    else return;
    store_.setCacheState(state);
  }
  // After an exclusive hold the state goes back to open; then the lock is
  // released.
  ~daCacheStateLockT() {
    if (state_ == daCacheStates::replacing || state_ == daCacheStates::clearing)
      store_.setCacheState(daCacheStates::open);
  }
  daCacheStateLockT(daCacheStateLockT const&) = delete;
  daCacheStateLockT& operator=(daCacheStateLockT const&) = delete;

  daCacheStates::cachestate getRequestedState() const { return state_; }

 private:
  Store& store_;
  daCacheStates::cachestate state_;
};

class daCachedStore;
using daCacheStateLock = daCacheStateLockT<daCachedStore>;

// Empties table when it holds at least cacheSize entries. The count is read
// under a shared state lock (state open) and the cache lock; when it has
// reached the size, the state lock is taken exclusively (state clearing),
// the count read again, and, if still at the size, every entry leaves the
// table: entries with counted handles are marked removed and deleted by
// their last release, the others are deleted at once. Locks, in order: the
// state lock, cacheLock, refLock. Returns true when the table was cleared.
template <class Store, class CacheLock>
bool daCheckCache(Store& store, daCacheTable& table, std::uint32_t cacheSize, CacheLock& cacheLock,
                  ZLock_6_0& refLock) {
  std::uint32_t count = 0;
  {
    daCacheStateLockT<Store> shared(store, daCacheStates::open);
    std::lock_guard<CacheLock> guard(cacheLock);
    count = table.getCount();
  }
  if (count < cacheSize) return false;
  daCacheStateLockT<Store> exclusive(store, daCacheStates::clearing);
  daRetiredEntries doomed;  // deleted after the locks below are released
  std::lock_guard<CacheLock> guard(cacheLock);
  if (table.getCount() < cacheSize) return false;
  std::lock_guard<ZLock_6_0> refGuard(refLock);
  table.clearWithCallback([&doomed](daStoreObjectName*, daCachedStoreEntry* e) { daCachedStoreEntry::retire(e, doomed); });
  return true;
}
