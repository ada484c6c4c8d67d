// What the cached store's declaration needs of its cache: the values of its
// cache state and the name of its table type. The table itself
// (GxCore/hashTable.h) and the state guard (daCacheStateLock.h) are the
// library's internals: a host that includes daCachedStore.h sees neither.
#pragma once

class daStoreObjectName;
class daCachedStoreEntry;
template <class K, class V>
class hashTable;

// The values of daCachedStore::cachestate; the store brings them into its
// own scope (using cachestate = daCacheStates::cachestate; using enum ...).
struct daCacheStates {
  enum cachestate : int {
    closed = 0,     // constructed or closed: every cached read fails with 0x132792F4
    open = 1,       // normal operation
    replacing = 2,  // the database file is being replaced, state lock held exclusively
    clearing = 3,   // the whole cache is being cleared, state lock held exclusively
  };
};

// The cache's table (and a transaction's change list): complete in
// GxCore/hashTable.h.
using daCacheTable = hashTable<daStoreObjectName, daCachedStoreEntry>;
