// daTransaction: a group of changes to a cached store. An update transaction
// collects the objects to set and the names to delete in a private change
// list, lets its own thread read its pending changes, and at commit swaps
// them into the cache and writes them to the database file in one step
// under the cache lock. Update transactions of one store run one at a time:
// each holds the store's transaction lock for writing from begin to commit
// or discard (the transaction owns that hold and gives it up when it is
// committed, discarded or destroyed).
//
// A transaction is used by one thread; its change list has no lock.
#pragma once

#include <memory>
#include <mutex>

#include "GxCore/db/daCacheTypes.h"
#include "outside/ZThread.h"

class daCachedStore;

enum class daTransactionMode : int {
  read = 0,    // no change list and no lock: commit and discard only unbind
  update = 1,  // a change list; the store's transaction lock held for writing
};

class daTransaction {
 public:
  daTransaction();
  daTransaction(daTransaction const&) = delete;
  daTransaction& operator=(daTransaction const&) = delete;
  // A transaction still bound to a store is discarded.
  virtual ~daTransaction();

  // Binds the store and the mode; an update transaction gets an empty
  // change list (30 buckets).
  void init(daTransactionMode mode, daCachedStore* store);
  // Deletes every pending entry with its object, gives up the transaction
  // lock and unbinds.
  void discard();
  // Drops the change list (deleting its entries and their objects when
  // deleteEntries is set), gives up the transaction lock and unbinds.
  void reset(int deleteEntries);

  daCachedStore* getStore() const { return store_; }
  daTransactionMode getMode() const { return mode_; }
  daCacheTable* getChangeList() const { return changes_.get(); }

 private:
  friend class daCachedStore;
  daCachedStore* store_ = nullptr;
  daTransactionMode mode_ = daTransactionMode::read;
  std::unique_ptr<daCacheTable> changes_;
  std::unique_lock<ZReadWriteLock_6_0> writeHold_;
};
