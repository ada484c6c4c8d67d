// daCachedStore: the store policy readers and writers use. It adds to the
// local store a cache of decoded objects behind counted handles, with one
// loader per missing name (other readers wait on the entry condition),
// absent entries that remember names the database does not have, and
// optional sorted name lists that answer recursive listings of protected
// objects and their policy maps from memory (the pobj cache).
//
// Locks, always taken in this order: the state lock (readers that keep
// handles hold it shared through daCacheStateLock; clearing the cache and
// replacing the file hold it exclusively), the transaction lock, the cache
// lock, then briefly either the entry condition or the reference lock. The
// cache lock is never held while the database file is read.
//
// On a read-only store no reference counts are kept: a hit costs one table
// lookup under the cache lock, and handles stay valid while the caller holds
// the state lock shared.
//
// Processes: a store belongs to the process that opened it. A child of
// fork() must neither use nor close the stores it inherited; it opens its
// own. fork() waits for the background preparation of a large read-only
// store's decisions (its attachment index and policies: about a tenth of a
// second at 1M objects) if one is running, so that the child starts with
// no thread of this library and no lock held by one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daActionQuickMap.h"
#include "GxCore/db/daAudit.h"
#include "GxCore/db/daCacheTypes.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/db/daStoreObjectHandle.h"
#include "GxCore/db/daTransaction.h"
#include "GxCore/handle.h"
#include "outside/ZCollections.h"
#include "outside/ZThread.h"

// Orders names (or texts) by their compare().
class daStoreObjectNameSortCompare : public ZSortCompare_6_0 {
 public:
  int sortCompare(ZObject_6_0 const* a, ZObject_6_0 const* b) const override { return a->compare(*b); }
};

// The names stored under one base key, each text followed by "/" (the root
// stays "/"), sorted ascending: a recursive listing is a binary search and
// a forward scan.
class SortedList {
 public:
  // Takes the short names of the daStoreObjectNames in names.
  SortedList(ZArrayList_6_0& names, char const* baseName);
  SortedList(SortedList const&) = delete;
  SortedList& operator=(SortedList const&) = delete;

  // Index of text, or where it would be inserted.
  int search(ZUTF8String_6_0& text) const;
  // name itself (when stored) and every stored name below it, ascending, as
  // new names of name's class; status 0.
  void listObjects(daStoreObjectName const& name, ZArrayList_6_0& out, unsigned long& status) const;
  ZUTF8String_6_0 const& getBaseName() const { return baseName_; }

 private:
  ZUTF8String_6_0 baseName_;
  ZArrayList_6_0 names_;
};

class daCachedStore : public daLocalStore, public Container<daStoreObject> {
 public:
  using cachestate = daCacheStates::cachestate;
  static constexpr cachestate closed = daCacheStates::closed;
  static constexpr cachestate open = daCacheStates::open;
  static constexpr cachestate replacing = daCacheStates::replacing;
  static constexpr cachestate clearing = daCacheStates::clearing;
  static constexpr unsigned int defaultCacheSize = 32768;
  static constexpr unsigned int minCacheSize = 256;
  static constexpr unsigned int maxCacheSize = 524288;
  // Rounds of the entry-condition wait, in milliseconds.
  static constexpr long entryWaitMs = 3;

  // cacheSize 0 means 32768; values are clamped to 256..524288.
  daCachedStore(char const* domainName, unsigned int cacheSize);
  daCachedStore(char const* domainName, char const* path, int cacheEnabled, unsigned int cacheSize);
  ~daCachedStore() override;

  void createStore(unsigned long& status) override { daLocalStore::createStore(status); }
  // Opens the file (a failure is returned, the cache state still becomes
  // open so that reads report the store's errors), builds the cache table
  // when the cache is on and the sorted lists when the pobj cache is on.
  // On a read-only store also makes the decision memo of the current
  // epoch, and a background thread backs its slots with memory and builds
  // the attachment index (which objects have a policy attached: see
  // daDecision.h), so that neither the open nor the first decision waits
  // for them; decisions made before the index is ready read the maps. The
  // index another store of this process built from the same version of the
  // file is taken at once instead.
  void openStore(int readOnly, unsigned long& status) override;
  // Stops and joins that background thread, closes the file and empties
  // the cache; entries still held by handles are deleted by their last
  // release. The sorted lists are dropped.
  void closeStore(unsigned long& status) override;

  virtual void enableCache() { cacheEnabled_ = 1; }
  virtual void disableCache() { cacheEnabled_ = 0; }
  virtual int isCacheEnabled() const { return cacheEnabled_; }
  virtual void enablePobjCache(int on) { pobjCacheEnabled_ = on; }
  unsigned int getCacheSize() const { return cacheSize_; }

  // ---- raw records: forwards to the local store, bypassing the cache ------
  using daLocalStore::deleteObject;
  using daLocalStore::getObject;
  using daLocalStore::getObjects;
  using daLocalStore::listObjects;
  using daLocalStore::setObject;
  virtual void getObject(daStoreObjectName const& name, gxobj_t& record, unsigned long& seq, unsigned long& status);
  virtual void setObject(daStoreObjectName const& name, gxobj_t const& record, unsigned long& seq,
                         unsigned long& status);
  virtual void deleteObject(daStoreObjectName const& name, int recursive, unsigned long& seq, unsigned long& status);
  virtual void getObjects(daStoreObjectName const& name, int recursive, gxobj_list_s_t& list, unsigned long& seq,
                          unsigned long& status);
  virtual void listObjects(daStoreObjectName const& name, int recursive, gxobj_name_list_s_t& list,
                           unsigned long& seq, unsigned long& status);

  // ---- decoded objects ------------------------------------------------------
  // The object under name through the cache (or straight from the file when
  // the cache is off, as an uncached handle that owns the object). 0x132792F1
  // when the database has no such object; 0x132792F4 when the store is not
  // open. handle is left as it was on failure.
  virtual void getObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, unsigned long& status);
  virtual void getObject(daStoreObjectName const& name, unsigned long, Handle<daStoreObject>& handle,
                         unsigned long& status) {
    getObject(name, handle, status);
  }
  // Reads and decodes without the cache; *object is the caller's.
  void getDBObject(daStoreObjectName const& name, daStoreObject** object, unsigned long& status);
  void getDBObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, unsigned long& status);
  // The cached read. build: the caller completes the entry itself and calls
  // finishCachedEntry (implies wantAbsent). wantAbsent: a name the database
  // does not have still yields a handle (object null) with 0x132792F1.
  void getCachedObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, int build, int wantAbsent,
                       unsigned long& status);
  // An uncounted handle on the entry under name, whatever its state
  // (read-only stores only); 0x132792F1 when there is none.
  void getBuildingObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, unsigned long& status);
  // Completes a building entry and wakes every waiting reader.
  void finishCachedEntry(daCachedStoreEntry* entry, daCachedStoreEntry::entrystate state);
  // Drops a loader's reference; deletes the entry when that was the last one
  // and it has left the table. The caller holds the cache lock.
  void detachEntry(daCachedStoreEntry* entry);

  // Names under name: from the sorted lists when the pobj cache covers the
  // name's base and recursive is set, else from the file. out receives new
  // names of name's class; it is emptied first and stays empty on failure.
  virtual void listObjects(daStoreObjectName const& name, int recursive, ZArrayList_6_0& out,
                           unsigned long& status);

  // ---- transactions -------------------------------------------------------------
  // Binds t to this store; an update transaction waits for any other update
  // transaction of this store to end and then holds the transaction lock.
  void beginTransaction(daTransaction& t, daTransactionMode mode, unsigned long& status);
  // Drops t's pending changes and unbinds it; nothing reaches the cache or
  // the file.
  void discardTransaction(daTransaction& t);
  // Swaps t's changes into the cache and writes them to the file, under the
  // cache lock. Every item is written even after a failure; the status is
  // that of the last failed item. Observers are told when anything was
  // written. t is unbound afterwards.
  void commitTransaction(daTransaction& t, unsigned long& status);
  // Pending changes of an update transaction (0x132792F4 on a read
  // transaction). setObject takes ownership of object in every case.
  virtual void setObject(daTransaction& t, daStoreObjectName const& name, daStoreObject* object,
                         unsigned long& status);
  virtual void deleteObject(daTransaction& t, daStoreObjectName const& name, int recursive, unsigned long& status);
  // The pending object of t under name, else the store's object; a pending
  // delete gives 0x132792F1.
  virtual void getObject(daTransaction& t, daStoreObjectName const& name, Handle<daStoreObject>& handle,
                         unsigned long& status);
  virtual void getObject(daTransaction& t, daStoreObjectName const& name, unsigned long,
                         Handle<daStoreObject>& handle, unsigned long& status) {
    getObject(t, name, handle, status);
  }
  // One-call writes, each a whole update transaction. The store owns object.
  virtual void setObject(daStoreObjectName const& name, daStoreObject* object, unsigned long& status);
  virtual void setObject(daStoreObjectName const& name, gxobj_t& record, unsigned long& status);
  virtual void deleteObject(daStoreObjectName const& name, int recursive, unsigned long& status);

  // ---- effective policy at one object (daCachedStorePolicy.cpp) ---------------
  // The ACL attached to object (no ancestor is consulted) and that ACL's
  // extended attributes. Status 0 with both handles unchanged when nothing
  // is attached; 0x1005B1C3 when the map names no ACL or several;
  // 0x1005B1C4 when the named ACL does not exist; 0x132792F4 when the store
  // is not open; read/decode statuses otherwise. With the cache on, the
  // answer is remembered on the cached map. Handles are left as they were
  // on failure; the caller releases them.
  void fetchACL(daPObjName const& object, Handle<daStoreObject>& acl, Handle<daStoreObject>& extAttr,
                unsigned long& status);
  // The POP (rule) attached to object, as fetchACL, with the memoising
  // protocol for inherited answers on read-only cached stores: resolved 1
  // on entry asks for it, 1 on return means the answer was remembered.
  // location (may be null) receives where the policy is attached.
  // Statuses 0x1005B1DC/0x1005B1D0 (rules 0x1005B1DA/0x1005B1DB).
  // No handle with resolved 0 after a memoising fetch: the caller looks
  // further up and then must call setAttachedPop/Rule for object, which
  // readers of its map wait for. Read-only callers hold
  // daCacheStateLock(open) while they use the handles.
  void fetchPop(daPObjName const& object, Handle<daStoreObject>& pop, Handle<daStoreObject>& extAttr,
                int& resolved, ZUTF8String_6_0* location, unsigned long& status);
  void fetchRule(daPObjName const& object, Handle<daStoreObject>& rule, Handle<daStoreObject>& extAttr,
                 int& resolved, ZUTF8String_6_0* location, unsigned long& status);
  // Records the inherited answer (empty handles: none in force) a caller
  // found for object after a memoising fetch left its map entry building.
  // Does nothing on a writable store or with the cache off. Records only on
  // the entry a fetch left building (or an absent one with nothing
  // recorded); always wakes the map's readers.
  void setAttachedPop(daPObjName const& object, Handle<daStoreObject>& pop, Handle<daStoreObject>& extAttr,
                      ZUTF8String_6_0* location, unsigned long& status);
  void setAttachedRule(daPObjName const& object, Handle<daStoreObject>& rule, Handle<daStoreObject>& extAttr,
                       ZUTF8String_6_0* location, unsigned long& status);
  // The extended attributes of object itself (ownerType 0x50B) or of the
  // ACL (0x50D), POP (0x507) or rule (0x50F) attached to it. 0x1005B1CF
  // when there are none; 0x1005B38A for another owner type.
  virtual void getExtAttributes(daPObjName& object, unsigned long ownerType, int checkObject,
                                Handle<daStoreObject>& extAttr, unsigned long& status);

  // ---- one-call decisions (daDecision.cpp) ---------------------------------------
  // May caller (null: unauthenticated) perform actions (an action string,
  // e.g. "Tr" or "r[mygroup]x") on the protected object at path, in the
  // request's context ctx (time, authentication level, protection,
  // attributes; see daDecisionContext)? On status 0, decision says granted
  // or not and why (see daDecision): the ACL in force, then the POP's
  // access window, the level it requires from address (null: not given; the
  // POP's default level applies), its quality of protection, and the rule
  // in force, each denial with its cause, and the POP's warning mode. No
  // answer rests on the ACL alone. ctx and what it points to are read during
  // the call only. When an audit sink is set and the audit level in force
  // selects the decision (setAuditSink), the sink gets its record before
  // decide returns, failures included; the sink may block, and decide waits.
  // Statuses: 0x1005B1C9 for a path that is not a valid object name (or
  // null); 0x1005B2F1 for an empty (or null) action string -- it asks for
  // nothing -- and for an unknown action letter or group; 0x1005B1D5 for a
  // "[" without its "]", and when the catalogue has no "primary" group
  // holding an action (the quick map cannot be built: decide lets no
  // exception out); 0x1005B30C for a group name at the end of the string;
  // 0x10652065 when memory runs out building the quick map; the
  // catalogue's read status when it cannot be read; 0x132792F4 when the
  // store is closed; the ACL/POP/rule lookup statuses (0x1005B1C3,
  // 0x1005B1C4, 0x1005B1DC, 0x1005B1D0, 0x1005B1DA, 0x1005B1DB) when a
  // policy in force cannot be read; read and decode statuses otherwise.
  // On failure decision is reset (nothing granted).
  // 0x10652065 also when memory runs out for the decision memo, or for a
  // reason text or the rule's compilation. A condition that denies (the
  // window, the level, the protection, the rule, even a rule that fails or
  // does not compile) is an answer, not a status: status 0, cause() says.
  // Thread-safe. A warm decision takes no lock; one that must resolve the
  // policy in force, or that is the thread's first in a new policy epoch,
  // takes the state lock shared (daCacheStateLock(open)), so the calling
  // thread must not hold this store's state lock itself. A thread's first
  // decision in a policy epoch, and a decision handed to an audit sink, also
  // take the database lock briefly (the record's sequence number,
  // getSeqNum): nor must it hold that.
  // Never throws: every failure is a status. A warm decision with no rule
  // in force allocates nothing once decision has been used.
  void decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
              daDecisionContext const& ctx, daDecision& decision, unsigned long& status);
  // decide in the default context: the time now, level 1 for an
  // authenticated caller and 0 otherwise, no protection, no attributes.
  void decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
              daDecision& decision, unsigned long& status);

  // The sink audit records go to (null: none, the default). Thread-safe,
  // may be called while others decide: decisions that began before may
  // still give the previous sink a record, so the store keeps every sink it
  // was given until it is destroyed. Throws std::bad_alloc.
  void setAuditSink(std::shared_ptr<daAuditSink> sink);
  // The audit level (daAuditBits) for objects without a POP in force, and
  // for decisions that failed (nothing is known of the POP then);
  // daDefaultAuditLevel until set. A POP's own audit level governs the
  // objects it is in force at, 0 meaning none of their decisions.
  void setDefaultAuditLevel(std::uint32_t level);
  std::uint32_t defaultAuditLevel() const { return defaultAuditLevel_.load(std::memory_order_relaxed); }
  // Records the library could not make (memory ran out building one); the
  // decision stood.
  std::uint64_t auditRecordsLost() const { return auditLost_.load(std::memory_order_relaxed); }
  // Slots of the decision memo the store's threads share (rounded up to a
  // power of two, at least 64, at most maxDecisionMemoSize): it holds the
  // policy in force at about that many objects (fewer once it is nearly
  // full; an object it cannot hold is resolved again each time it is asked
  // about). From 131,072 slots, on a read-only store once its attachment
  // index is built, an object is remembered under the nearest of it, its
  // parent and its grandparent that has a policy of its own (the
  // grandparent when none has), whose slot then serves every object asked
  // about below it (decisionMemoObjects() counts slots, not the objects
  // they served). 0, the default, sizes it to the store: room for every
  // record of the file, so for every object with a record or an
  // attachment. The memo costs 32 bytes a slot (it keeps no copy of the
  // objects' paths) and a record per distinct policy in force (see
  // README). Takes effect for the memo made at the next policy epoch.
  static constexpr unsigned int maxDecisionMemoSize = 1u << 28;
  void setDecisionMemoSize(unsigned int entries);
  // The slots set (0: sized to the store).
  unsigned int getDecisionMemoSize() const { return decisionMemoSize_.load(std::memory_order_relaxed); }
  // A number no other store of this process has had: keys per-thread state.
  std::uint64_t storeId() const { return storeId_; }

  // How often the cache and the decision memos answered from memory, since
  // the store was made: a cache hit is a lookup that found its entry
  // (loaded or known absent), a miss one that read the file; a memo hit is a
  // decision that found the policy in force in the store's shared memo, a miss one
  // that resolved it; map reads count the object-to-policy maps memo
  // misses consulted to resolve objects (through the cache, or on a
  // read-only store from the file, or with the attachment index only at
  // objects that have a policy attached, from the index's copy of the name
  // each map lists); policy reads count the ACLs, POPs and rules memo
  // misses read (on a read-only store, those that neither the epoch's
  // shared copies nor the attachment index's preloaded ones held). For
  // monitoring: the counts are kept per thread slot without a lock, so a
  // reading taken while others decide is approximate.
  struct Counts {
    std::uint64_t cacheHits = 0, cacheMisses = 0, memoHits = 0, memoMisses = 0, mapReads = 0, policyReads = 0;
  };
  Counts counts() const;
  // Whether decisions in the current policy epoch resolve with the
  // attachment index (a read-only store, once its background thread has
  // built it: see openStore). Takes a mutex of the decisions briefly.
  bool attachmentIndexReady() const;
  // Whether that index also holds the policies its maps name, decoded
  // (from a background thread, after the index: large files only). Takes
  // a mutex of the decisions briefly.
  bool attachmentPoliciesPreloaded() const;
  // Objects the decision memo of the current policy epoch remembers (0
  // before the epoch's first decision): what its memory grows with.
  // Takes mutexes of the decisions briefly.
  std::size_t decisionMemoObjects() const;

  // ---- action strings (daActionQuickMap.cpp) ------------------------------------
  // status = the quick map's mapAction / mapBitmap (see daActionQuickMap).
  // A replica's quick map is read without a lock of its own and rebuilt
  // while the local policy holds the state lock exclusively (a file
  // replacement): call these holding the state lock shared, or where no
  // replacement can happen. decide needs neither.
  void mapAction(char const* actions, GxACLPermset& perms, unsigned long& status);
  void mapBitmap(GxACLPermset const& perms, ZUTF8String_6_0& out, unsigned long& status);
  // mapBitmap for a caller that does not hold the state lock: takes it
  // shared (so the calling thread must not hold it in any mode).
  void mapBitmapShared(GxACLPermset const& perms, ZUTF8String_6_0& out, unsigned long& status);
  // Call after changing the action catalogue: also moves the policy epoch,
  // so action strings remembered by decide are converted again.
  void invalidateQuickMap();
  daActionQuickMap& quickMap() { return quickMap_; }

  // ---- handles ----------------------------------------------------------------
  void doReleaseObject(Handle<daStoreObject>& handle) override;
  void doAttachHandle(Handle<daStoreObject>& handle) override;

  // ---- cache state --------------------------------------------------------------
  ZReadWriteLock_6_0& getStateLock() { return stateLock_; }
  virtual cachestate getCacheState() const { return state_.load(std::memory_order_acquire); }
  // Closing and replacing the file also move the policy epoch, so
  // remembered decisions are dropped. Clearing the cache does not: the
  // decision memo keeps its own copies of the policies, and the monitor
  // clears a full cache whenever it fills, which says nothing about policy.
  virtual void setCacheState(cachestate s) {
    if (s == closed || s == replacing) notePolicyChange();
    state_.store(s, std::memory_order_release);
  }
  // Empties the cache when it holds cacheSize entries or more.
  virtual void checkCache();
  // The local store's write group; a group that ends without being written
  // (abandoned, or failed) also empties the cache and the sorted object
  // lists and moves the policy epoch, since its commits updated them.
  void endWriteGroup(bool keep, unsigned long& status) override;
  // The clear callback of the cache table.
  static void callback(daStoreObjectName* key, daCachedStoreEntry* entry) { daCachedStoreEntry::retire(key, entry); }
  // Number of entries in the cache table (0 without a table).
  unsigned int getCacheCount();

  // ---- policy epoch -----------------------------------------------------------
  // A counter that moves whenever the policy in force at some object may have
  // changed: a committed transaction that changes an ACL, POP, rule or an
  // object's map of one (or deletes recursively), a file replacement, a
  // close. Remembered decisions carry the epoch they were computed in and
  // are used only while it is current. Lock-free.
  void notePolicyChange() { policyEpoch_.fetch_add(1, std::memory_order_acq_rel); }
  std::uint64_t policyEpoch() const { return policyEpoch_.load(std::memory_order_acquire); }

  // ---- access review ----------------------------------------------------------
  // What the access review keeps between calls (daAccessReview.cpp: what it
  // read of the attachment points in one policy epoch, immutable once kept,
  // shared by the calls of every thread); opaque here. keepReview replaces
  // it. Each takes a mutex of its own for the exchange only; no other lock.
  std::shared_ptr<void const> reviewKept() const {
    std::lock_guard<std::mutex> g(reviewMutex_);
    return reviewKept_;
  }
  void keepReview(std::shared_ptr<void const> kept) {
    std::lock_guard<std::mutex> g(reviewMutex_);
    reviewKept_.swap(kept);  // the old one is released after the mutex
  }

 protected:
  daCacheTable* cacheTable() { return table_.get(); }
  ZLock_6_0& cacheLock() { return cacheLock_; }
  ZLock_6_0& refLock() { return refLock_; }
  ZCondition_6_0& entryCondition() { return entryCondition_; }
  ZReadWriteLock_6_0& transactionLock() { return transactionLock_; }

 private:
  void logUnavailable(unsigned long status);
  // Sets handle to (this, entry's object, entry), counting it on a writable
  // store. The caller holds the cache lock.
  void handOut(daCachedStoreEntry* entry, Handle<daStoreObject>& handle);
  void buildSortedLists(unsigned long& status);
  void dropSortedLists();
  // Waits for an exclusive holder of the state lock (a file replacement
  // closes and reopens the store under it); true when the store is open.
  bool openOnceSettled();
  // Makes the decision memo of the current epoch now (see openStore); a
  // shortage of memory is left for the first decision to report.
  void prepareDecisions();
  // decide without the audit record.
  void decideOnPolicy(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
                      daDecisionContext const& ctx, daDecision& decision, unsigned long& status);
  // Hands the decision's record to sink when the audit level in force
  // selects it.
  void audit(daAuditSink& sink, char const* path, sec_id_pa_t const* caller, char const* actions,
             GxAddress const* address, daDecision const& decision, unsigned long status) noexcept;

  // Counts in cache-line sized slots, one per thread (threads beyond the
  // slot count share): a hot read path must not make every core write one
  // line. An increment is a relaxed load and store, not a locked add: its
  // thread owns the slot, and threads sharing a slot may lose a count,
  // which monitoring tolerates. Counts sums the slots.
  enum Counter { cacheHit, cacheMiss, memoHit, memoMiss, mapRead, policyRead, counterKinds };
  struct alignas(64) CounterSlot {
    std::atomic<std::uint64_t> n[counterKinds]{};
  };
  static constexpr unsigned counterSlots = 32;
  void count(Counter c, std::uint64_t by = 1) { countIn(counterSlot(), c, by); }
  // count in a slot the caller looked up before (a decision keeps its
  // thread's: counterSlot() costs a thread-local lookup).
  void countIn(unsigned slot, Counter c, std::uint64_t by = 1) {
    std::atomic<std::uint64_t>& n = counters_[slot].n[c];
    n.store(n.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
  }
  static unsigned counterSlot();

  ZCondition_6_0 entryCondition_;
  ZLock_6_0 cacheLock_;
  ZReadWriteLock_6_0 transactionLock_;
  std::unique_ptr<daCacheTable> table_;
  std::atomic<cachestate> state_{closed};
  std::atomic<std::uint64_t> policyEpoch_{1};
  std::uint64_t const storeId_ = daNextStoreId();
  std::atomic<unsigned int> decisionMemoSize_{0};
  // The ACLs and POPs copied for remembered decisions (daDecision.cpp).
  std::shared_ptr<daDecisionPolicies> const decisionPolicies_ = daMakeDecisionPolicies();
  // The audit sink in force, and every sink set (kept alive for decisions
  // still using an older one).
  std::atomic<daAuditSink*> auditSink_{nullptr};
  std::mutex auditSinksMutex_;
  std::vector<std::shared_ptr<daAuditSink>> auditSinks_;
  std::atomic<std::uint32_t> defaultAuditLevel_{daDefaultAuditLevel};
  std::atomic<std::uint64_t> auditLost_{0};
  mutable std::mutex reviewMutex_;
  std::shared_ptr<void const> reviewKept_;
  ZReadWriteLock_6_0 stateLock_;
  ZLock_6_0 refLock_;
  int cacheEnabled_;
  unsigned int cacheSize_;
  int pobjCacheEnabled_ = 0;
  std::vector<std::unique_ptr<SortedList>> pobjLists_;
  daActionQuickMap quickMap_;
  CounterSlot counters_[counterSlots];
};
