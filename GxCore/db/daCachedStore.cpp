#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "GxCore/db/dbtrace.h"
#include "outside/hxsvc.h"

namespace {

struct PobjListRow {
  char const* base;
  int type;
};
constexpr PobjListRow kPobjLists[] = {
    {daPObjName::pobjbasename_, gx_type_pobj},
    {daPObjName::pobjtoaclmapbasename_, gx_type_map_pobj_to_acl},
    {daPObjName::pobjtopopmapbasename_, gx_type_map_pobj_to_pop},
    {daPObjName::pobjtorulemapbasename_, gx_type_map_pobj_to_rule},
};

unsigned int clampCacheSize(unsigned int size) {
  if (size == 0) return daCachedStore::defaultCacheSize;
  if (size < daCachedStore::minCacheSize) return daCachedStore::minCacheSize;
  if (size > daCachedStore::maxCacheSize) return daCachedStore::maxCacheSize;
  return size;
}

}  // namespace

// ---- SortedList ----------------------------------------------------------------

SortedList::SortedList(ZArrayList_6_0& names, char const* baseName)
    : baseName_(baseName), names_(names.size(), true) {
  for (unsigned int i = 0; i < names.size(); ++i) {
    auto const* n = dynamic_cast<daStoreObjectName const*>(names.get(i));
    if (!n) continue;
    auto* text = new ZUTF8String_6_0(n->getShortName());
    if (!n->isRoot()) text->append(GxObjectName::separator_);
    names_.addNoCopy(text);
  }
  names_.sort(daStoreObjectNameSortCompare());
}

int SortedList::search(ZUTF8String_6_0& text) const {
  int lower = 0, upper = static_cast<int>(names_.size()) - 1;
  while (lower <= upper) {
    int mid = (lower + upper) / 2;
    int c = static_cast<ZUTF8String_6_0*>(names_.get(mid))->compareTo(text);
    if (c == 0) return mid;
    if (c < 0) lower = mid + 1;
    else upper = mid - 1;
  }
  return lower;
}

void SortedList::listObjects(daStoreObjectName const& name, ZArrayList_6_0& out, unsigned long& status) const {
  status = 0;
  out.removeAll();
  std::unique_ptr<daStoreObjectName> made;
  daStoreObjectName const* searched = &name;
  ZUTF8String_6_0 text(name.value());
  if (text.charAt(0) != GxObjectName::separator_) {
    text = ZUTF8String_6_0(GxObjectName::separatorStr_ + text.str());
    made.reset(name.newObject(text.getChars()));
    if (!made) return;
    searched = made.get();
  }
  if (!searched->isRoot()) text.append(GxObjectName::separator_);
  for (unsigned int i = static_cast<unsigned int>(search(text)); i < names_.size(); ++i) {
    auto const* stored = static_cast<ZUTF8String_6_0 const*>(names_.get(i));
    std::unique_ptr<daStoreObjectName> n(name.newObject(stored->getChars()));
    if (!n) break;
    if (!n->isRoot()) n->walkUp();
    if (!n->isAncestor(*searched, 1)) break;
    out.addNoCopy(n.release());
  }
}

// ---- construction, open and close ---------------------------------------------

daCachedStore::daCachedStore(char const* domainName, unsigned int cacheSize)
    : daLocalStore(domainName), cacheEnabled_(1), cacheSize_(clampCacheSize(cacheSize)) {}

daCachedStore::daCachedStore(char const* domainName, char const* path, int cacheEnabled, unsigned int cacheSize)
    : daLocalStore(domainName, path), cacheEnabled_(cacheEnabled), cacheSize_(clampCacheSize(cacheSize)) {}

daCachedStore::~daCachedStore() {
  unsigned long ignored;
  if (getCacheState() != closed) closeStore(ignored);
  daDecisionForgetStore(storeId_);
  if (table_) table_->clear(table_->ownsItsValues());
}

void daCachedStore::openStore(int readOnly, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::openStore", status, __FILE__, __LINE__, hx_trace_level_open);
  daLocalStore::openStore(readOnly, status);
  if (status != 0) {
    // Reads then reach the local store and report its errors.
    setCacheState(open);
    return;
  }
  if (cacheEnabled_ && !table_) table_ = std::make_unique<daCacheTable>(0, cacheSize_ / 2);
  if (pobjCacheEnabled_) buildSortedLists(status);
  setCacheState(open);
  daDecisionFileOpened(*decisionPolicies_);
  if (isReadOnly()) prepareDecisions();
}

void daCachedStore::buildSortedLists(unsigned long& status) {
  pobjLists_.clear();
  pobjLists_.resize(std::size(kPobjLists));
  for (size_t slot = 0; slot < std::size(kPobjLists); ++slot) {
    daStoreObjectName root(kPobjLists[slot].type, GxObjectName::separatorStr_, kPobjLists[slot].base);
    ZArrayList_6_0 names(1024, true);
    listObjects(root, 1, names, status);
    if (status == 0) pobjLists_[slot] = std::make_unique<SortedList>(names, kPobjLists[slot].base);
  }
}

void daCachedStore::closeStore(unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::closeStore", status, __FILE__, __LINE__);
  daDecisionFileClosing(*decisionPolicies_);
  setCacheState(closed);
  daLocalStore::closeStore(status);
  if (table_) {
    daRetiredEntries doomed;  // deleted after the locks below are released
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    std::lock_guard<ZLock_6_0> refs(refLock_);
    table_->clearWithCallback([&doomed](daStoreObjectName*, daCachedStoreEntry* e) { daCachedStoreEntry::retire(e, doomed); });
  }
  if (pobjCacheEnabled_) pobjLists_.clear();
}

// ---- raw records ------------------------------------------------------------------

void daCachedStore::getObject(daStoreObjectName const& name, gxobj_t& record, unsigned long& seq,
                              unsigned long& status) {
  daLocalStore::getObject(name, record, seq, status);
}
void daCachedStore::setObject(daStoreObjectName const& name, gxobj_t const& record, unsigned long& seq,
                              unsigned long& status) {
  daLocalStore::setObject(name, record, seq, status);
}
void daCachedStore::deleteObject(daStoreObjectName const& name, int recursive, unsigned long& seq,
                                 unsigned long& status) {
  daLocalStore::deleteObject(name, static_cast<unsigned char>(recursive), seq, status);
}
void daCachedStore::getObjects(daStoreObjectName const& name, int recursive, gxobj_list_s_t& list,
                               unsigned long& seq, unsigned long& status) {
  daLocalStore::getObjects(name, static_cast<unsigned char>(recursive), list, seq, status);
}
void daCachedStore::listObjects(daStoreObjectName const& name, int recursive, gxobj_name_list_s_t& list,
                                unsigned long& seq, unsigned long& status) {
  daLocalStore::listObjects(name, static_cast<unsigned char>(recursive), list, seq, status);
}

// ---- decoded objects ----------------------------------------------------------------

void daCachedStore::logUnavailable(unsigned long status) {
  HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_warning, da_s_store_unavailable, "%lx", status);
}

void daCachedStore::getObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::getObject", status, __FILE__, __LINE__);
  if (cacheEnabled_) getCachedObject(name, handle, 0, 0, status);
  else getDBObject(name, handle, status);
}

void daCachedStore::getDBObject(daStoreObjectName const& name, daStoreObject** object, unsigned long& status) {
  status = 0;
  if (object) *object = nullptr;
  if (getCacheState() != open) {
    status = da_s_store_unavailable;
    logUnavailable(status);
    return;
  }
  gxobj_holder r;
  unsigned long seq;
  daLocalStore::getObject(name.getFullName(), r.rec, seq, status);
  if (status == 0) daStoreObject::decode(r.rec, object, status);
}

void daCachedStore::getDBObject(daStoreObjectName const& name, Handle<daStoreObject>& handle,
                                unsigned long& status) {
  daStoreObject* obj = nullptr;
  getDBObject(name, &obj, status);
  if (status != 0) {
    delete obj;  // a rule record that failed to decode still comes with its object
    return;
  }
  handle = Handle<daStoreObject>(this, obj, nullptr);
}

void daCachedStore::handOut(daCachedStoreEntry* entry, Handle<daStoreObject>& handle) {
  if (!isReadOnly()) {
    std::lock_guard<ZLock_6_0> refs(refLock_);
    ++entry->refCount;
  }
  handle = Handle<daStoreObject>(this, entry->object, entry);
}

void daCachedStore::getCachedObject(daStoreObjectName const& name, Handle<daStoreObject>& handle, int build,
                                    int wantAbsent, unsigned long& status) {
  status = 0;
  if (build) wantAbsent = 1;
  if (getCacheState() != open) {
    status = da_s_store_unavailable;
    logUnavailable(status);
    return;
  }
  if (!table_) {
    status = da_s_no_such_object;
    logUnavailable(status);
    return;
  }
  // The new reference is made in fresh and moved into handle after the
  // cache lock is released, so releasing the caller's old reference never
  // runs under it.
  Handle<daStoreObject> fresh;
  std::unique_lock<ZLock_6_0> cache(cacheLock_);
  for (;;) {
    if (!cache.owns_lock()) cache.lock();
    daCachedStoreEntry* entry = table_->find(name);
    if (entry) {
      if (entry->state == daCachedStoreEntry::ready) {
        count(cacheHit);
        handOut(entry, fresh);
        break;
      }
      if (entry->state == daCachedStoreEntry::absent) {
        count(cacheHit);
        status = da_s_no_such_object;
        if (wantAbsent) handOut(entry, fresh);
        break;
      }
      // Loading or building in another thread: wait for a completion (or
      // one round, since a completion can slip between the look and the
      // wait) and look again.
      std::unique_lock<ZCondition_6_0> waiting(entryCondition_);
      cache.unlock();
      bool timedOut = false;
      entryCondition_.wait(entryWaitMs, timedOut);
      continue;
    }

    // A miss: this thread loads the name. The loader holds one reference
    // (on a writable store) so that a commit or a clear meanwhile only
    // marks the entry removed.
    count(cacheMiss);
    auto* loading = new daCachedStoreEntry();
    loading->state = daCachedStoreEntry::loading;
    loading->refCount = isReadOnly() ? 0 : 1;
    table_->put(name, loading);
    cache.unlock();

    daStoreObject* obj = nullptr;
    unsigned long readStatus = 0;
    {
      gxobj_holder r;
      unsigned long seq;
      daLocalStore::getObject(name.getFullName(), r.rec, seq, readStatus);
      if (readStatus == 0) daStoreObject::decode(r.rec, &obj, readStatus);
    }

    cache.lock();
    if (table_->find(name) != loading) {
      // A commit or a clear took the entry away while it was read.
      delete obj;
      detachEntry(loading);
      std::lock_guard<ZCondition_6_0> wake(entryCondition_);
      entryCondition_.broadcast();
      continue;
    }
    if (readStatus == 0) {
      loading->object = obj;
      if (build) {
        loading->state = daCachedStoreEntry::building;
      } else {
        loading->state = daCachedStoreEntry::ready;
        loading->resolved = 1;
      }
      fresh = Handle<daStoreObject>(this, obj, loading);  // takes over the loader's reference
    } else if (readStatus == da_s_no_such_object) {
      delete obj;
      loading->state = daCachedStoreEntry::absent;
      loading->object = nullptr;
      status = readStatus;
      if (wantAbsent) {
        if (build) loading->state = daCachedStoreEntry::building;
        fresh = Handle<daStoreObject>(this, nullptr, loading);
      } else {
        detachEntry(loading);
      }
    } else {
      // A failed read leaves nothing behind: the next reader tries again.
      delete obj;
      table_->remove(name);
      loading->removed = 1;
      loading->resolved = 0;
      loading->state = daCachedStoreEntry::absent;
      status = readStatus;
      detachEntry(loading);
    }
    std::lock_guard<ZCondition_6_0> wake(entryCondition_);
    entryCondition_.broadcast();
    break;
  }
  cache.unlock();
  if (!fresh.isEmpty()) handle = std::move(fresh);
}

void daCachedStore::getBuildingObject(daStoreObjectName const& name, Handle<daStoreObject>& handle,
                                      unsigned long& status) {
  status = 0;
  if (getCacheState() != open) {
    status = da_s_store_unavailable;
    logUnavailable(status);
    return;
  }
  Handle<daStoreObject> fresh;
  {
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    daCachedStoreEntry* entry = table_ ? table_->find(name) : nullptr;
    if (!entry) {
      status = da_s_no_such_object;
      return;
    }
    fresh = Handle<daStoreObject>(this, entry->object, entry);
  }
  handle = std::move(fresh);
}

void daCachedStore::finishCachedEntry(daCachedStoreEntry* entry, daCachedStoreEntry::entrystate state) {
  if (entry) {
    entry->state = state;
    entry->resolved = 1;
  }
  std::lock_guard<ZCondition_6_0> wake(entryCondition_);
  entryCondition_.broadcast();
}

void daCachedStore::detachEntry(daCachedStoreEntry* entry) {
  if (!entry) return;
  bool last;
  {
    std::lock_guard<ZLock_6_0> refs(refLock_);
    if (!isReadOnly() && entry->refCount > 0) --entry->refCount;
    last = entry->refCount == 0 && entry->removed;
  }
  if (last) delete entry;
}

void daCachedStore::listObjects(daStoreObjectName const& name, int recursive, ZArrayList_6_0& out,
                                unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::listObjects", status, __FILE__, __LINE__);
  out.removeAll();
  if (pobjCacheEnabled_ && recursive) {
    char const* base = name.getBaseName();
    for (auto const& list : pobjLists_) {
      if (list && base && list->getBaseName() == base) {
        list->listObjects(name, out, status);
        return;
      }
    }
  }
  gxobj_name_list_s_t keys{};
  unsigned long seq;
  daLocalStore::listObjects(name.getFullName(), static_cast<unsigned char>(recursive), keys, seq, status);
  if (status == 0) {
    size_t cut = name.getBaseName() ? std::strlen(name.getBaseName()) : 0;
    for (unsigned long i = 0; i < keys.count; ++i) {
      char const* key = keys.names[i];
      char const* rest = std::strlen(key) >= cut ? key + cut : "";
      if (daStoreObjectName* n = name.newObject(rest)) out.addNoCopy(n);
    }
  }
  freeNameList(keys);
}

// ---- handles and the cache state ------------------------------------------------

void daCachedStore::doReleaseObject(Handle<daStoreObject>& handle) {
  daReleaseCountedHandle(handle, refLock_, isReadOnly() != 0);
}

void daCachedStore::doAttachHandle(Handle<daStoreObject>& handle) {
  daAttachCountedHandle(this, handle, refLock_, isReadOnly() != 0);
}

void daCachedStore::endWriteGroup(bool keep, unsigned long& status) {
  daLocalStore::endWriteGroup(keep, status);
  if (keep && status == 0) return;
  notePolicyChange();
  if (table_) {
    daRetiredEntries doomed;  // deleted after the locks below are released
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    std::lock_guard<ZLock_6_0> refs(refLock_);
    table_->clearWithCallback([&doomed](daStoreObjectName*, daCachedStoreEntry* e) { daCachedStoreEntry::retire(e, doomed); });
  }
  if (pobjCacheEnabled_ && isStoreOpen()) {
    unsigned long listStatus = 0;
    buildSortedLists(listStatus);
  }
}

unsigned daCachedStore::counterSlot() {
  static std::atomic<unsigned> next{0};
  thread_local unsigned const slot = next.fetch_add(1, std::memory_order_relaxed) % counterSlots;
  return slot;
}

daCachedStore::Counts daCachedStore::counts() const {
  Counts c;
  for (CounterSlot const& s : counters_) {
    c.cacheHits += s.n[cacheHit].load(std::memory_order_relaxed);
    c.cacheMisses += s.n[cacheMiss].load(std::memory_order_relaxed);
    c.memoHits += s.n[memoHit].load(std::memory_order_relaxed);
    c.memoMisses += s.n[memoMiss].load(std::memory_order_relaxed);
    c.mapReads += s.n[mapRead].load(std::memory_order_relaxed);
    c.policyReads += s.n[policyRead].load(std::memory_order_relaxed);
  }
  return c;
}

void daCachedStore::checkCache() {
  if (table_) daCheckCache(*this, *table_, cacheSize_, cacheLock_, refLock_);
}

unsigned int daCachedStore::getCacheCount() {
  std::lock_guard<ZLock_6_0> cache(cacheLock_);
  return table_ ? table_->getCount() : 0;
}

// ---- transactions ---------------------------------------------------------------

namespace {

// Whether a pending change can change the policy in force at some object:
// an ACL, POP or rule, an object's map naming one, or a recursive delete
// (which may take any of them with it).
bool changesPolicyInForce(daStoreObjectName const& name, daCachedStoreEntry const& change) {
  if (change.state == daCachedStoreEntry::absent && change.recursive) return true;
  switch (name.getTypeID()) {
    case gx_type_acl:
    case gx_type_pop:
    case gx_type_rule:
    case gx_type_map_pobj_to_acl:
    case gx_type_map_pobj_to_pop:
    case gx_type_map_pobj_to_rule:
      return true;
    default:
      return false;
  }
}

bool isUpdate(daTransaction const& t) {
  return t.getMode() == daTransactionMode::update && t.getChangeList() != nullptr;
}

// The pending change under name in an update transaction, created (empty)
// on first use; its old object, if any, is deleted, since the caller is
// about to replace it.
daCachedStoreEntry& pendingChange(daTransaction& t, daStoreObjectName const& name) {
  daCacheTable& changes = *t.getChangeList();
  daCachedStoreEntry* e = changes.find(name);
  if (!e) {
    e = new daCachedStoreEntry();
    changes.put(name, e);
  }
  delete e->object;
  e->object = nullptr;
  return *e;
}

}  // namespace

void daCachedStore::beginTransaction(daTransaction& t, daTransactionMode mode, unsigned long& status) {
  status = 0;
  if (t.getStore()) discardTransaction(t);
  if (mode == daTransactionMode::update) t.writeHold_ = std::unique_lock<ZReadWriteLock_6_0>(transactionLock_);
  t.init(mode, this);
}

void daCachedStore::discardTransaction(daTransaction& t) { t.discard(); }

void daCachedStore::setObject(daTransaction& t, daStoreObjectName const& name, daStoreObject* object,
                              unsigned long& status) {
  status = 0;
  std::unique_ptr<daStoreObject> owned(object);
  if (!isUpdate(t)) {
    status = da_s_store_unavailable;
    return;
  }
  daCachedStoreEntry& e = pendingChange(t, name);
  e.object = owned.release();
  e.state = daCachedStoreEntry::ready;
  e.recursive = 0;
}

void daCachedStore::deleteObject(daTransaction& t, daStoreObjectName const& name, int recursive,
                                 unsigned long& status) {
  status = 0;
  if (!isUpdate(t)) {
    status = da_s_store_unavailable;
    return;
  }
  daCachedStoreEntry& e = pendingChange(t, name);
  e.recursive = recursive;
  e.state = daCachedStoreEntry::absent;
}

void daCachedStore::getObject(daTransaction& t, daStoreObjectName const& name, Handle<daStoreObject>& handle,
                              unsigned long& status) {
  status = 0;
  daCachedStoreEntry* e = isUpdate(t) ? t.getChangeList()->find(name) : nullptr;
  if (!e) {
    getObject(name, handle, status);
    return;
  }
  if (e->state == daCachedStoreEntry::absent) {
    status = da_s_no_such_object;
    return;
  }
  if (!isReadOnly()) ++e->refCount;  // the change list belongs to this thread
  handle = Handle<daStoreObject>(this, e->object, e);
}

namespace {

// The commit's write pass: every change-list entry, in walk order, becomes
// one item of a single batch; a pending set whose object cannot be encoded
// (or that has none) fails on its own and stays out of the batch. status
// becomes the last failed item's status (unchanged when none failed).
// Returns whether any item was written. The caller holds the cache lock.
bool writeChanges(daLocalStore& store, daCacheTable& changes, std::vector<char>& written, unsigned long& status) {
  size_t const n = changes.getCount();
  written.assign(n, 0);
  struct Item {
    GxObjectName key;
    gxobj_holder record;
    unsigned long status = 0;
    bool inBatch = false;
  };
  std::unique_ptr<Item[]> items;
  std::vector<daLocalStoreWrite> batch;
  try {
    items.reset(new Item[n]);
    batch.reserve(n);
  } catch (std::bad_alloc const&) {
    status = da_s_no_memory;
    return false;
  }
  size_t i = 0;
  hashTableIterator<daStoreObjectName, daCachedStoreEntry> w(changes);
  for (w.findNextElement(0); w.current() != nullptr; w.findNextElement(1), ++i) {
    daCachedStoreEntry* e = w.value();
    Item& item = items[i];
    item.key = w.key()->getFullName();
    if (e->state == daCachedStoreEntry::absent) {
      batch.push_back(daLocalStoreWrite{&item.key, nullptr, static_cast<unsigned char>(e->recursive), 0});
    } else if (!e->object) {
      item.status = da_s_no_such_object;
      continue;
    } else {
      e->object->encode(item.record.rec, item.status);
      if (item.status != 0) continue;
      batch.push_back(daLocalStoreWrite{&item.key, &item.record.rec, 0, 0});
    }
    item.inBatch = true;
  }
  unsigned long seq, batchStatus;
  store.writeObjects(batch.data(), batch.size(), seq, batchStatus);
  bool any = false;
  size_t b = 0;
  for (i = 0; i < n; ++i) {
    unsigned long itemStatus = items[i].inBatch ? batch[b++].status : items[i].status;
    if (itemStatus != 0) {
      status = itemStatus;
    } else {
      written[i] = 1;
      any = true;
    }
  }
  return any;
}

}  // namespace

// Commit: the write pass encodes every pending set and writes all of the
// transaction's records in ONE database transaction (writeObjects), so a
// crash leaves all of them in the file or none; then the swap pass puts
// into the cache the changes the file took, and only those: a change the
// file did not take (a full disk, an I/O or sync error, an item that
// failed on its own) is dropped, never read by this process as if it were
// stored. An item that fails on its own (encode error, key too long,
// delete of a missing key) is skipped and reported while the others are
// written; the commit's status is that of the last failed item in walk
// order, and observers are told when at least one item was written. The
// cache lock is held across both passes, so cached readers see a change
// once it is in the file and the cache both.
void daCachedStore::commitTransaction(daTransaction& t, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::commitTransaction", status, __FILE__, __LINE__);
  if (!isUpdate(t)) {
    t.reset(1);
    return;
  }
  daCacheTable& changes = *t.getChangeList();
  // Replaced entries nobody holds are deleted after the cache and reference
  // locks are released: deleting a policy map releases the counted handles
  // of its remembered answer, which takes the reference lock.
  daRetiredEntries doomed;
  bool intoCache = cacheEnabled_ && table_;
  bool changed = false;
  std::vector<daStoreObjectName> dropped;  // changes the file did not take
  {
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    std::vector<char> written;
    changed = writeChanges(*this, changes, written, status);
    // Swap pass: readers see the new objects and deletions from here on.
    bool policyChanged = false;
    std::size_t i = 0;
    hashTableIterator<daStoreObjectName, daCachedStoreEntry> it(changes);
    for (it.findNextElement(0); it.current() != nullptr; it.findNextElement(1), ++i) {
      daStoreObjectName const& name = *it.key();
      if (i >= written.size() || !written[i]) {
        dropped.push_back(name);
        continue;
      }
      policyChanged = policyChanged || changesPolicyInForce(name, *it.value());
      if (table_) {
        if (daCachedStoreEntry* cached = table_->find(name)) {
          table_->remove(name);
          std::lock_guard<ZLock_6_0> refs(refLock_);
          daCachedStoreEntry::retire(cached, doomed);
        }
      }
      if (intoCache) table_->put(name, it.value());
    }
    if (policyChanged) notePolicyChange();  // remembered decisions may no longer hold
  }
  doomed.clear();
  if (intoCache) {
    // The cache took the written entries; the dropped ones are deleted here.
    for (daStoreObjectName const& name : dropped) {
      delete changes.find(name);
      changes.remove(name);
    }
  }
  if (changed) {
    unsigned long notifyStatus;
    notifyStoreAvailableObservers(notifyStatus, 0);
  }
  t.reset(intoCache ? 0 : 1);
}

void daCachedStore::setObject(daStoreObjectName const& name, daStoreObject* object, unsigned long& status) {
  daTransaction t;
  beginTransaction(t, daTransactionMode::update, status);
  setObject(t, name, object, status);
  if (status != 0) discardTransaction(t);
  else commitTransaction(t, status);
}

void daCachedStore::setObject(daStoreObjectName const& name, gxobj_t& record, unsigned long& status) {
  daStoreObject* object = nullptr;
  daStoreObject::decode(record, &object, status);
  if (status != 0) {
    delete object;
    return;
  }
  setObject(name, object, status);
}

void daCachedStore::deleteObject(daStoreObjectName const& name, int recursive, unsigned long& status) {
  daTransaction t;
  beginTransaction(t, daTransactionMode::update, status);
  deleteObject(t, name, recursive, status);
  if (status != 0) discardTransaction(t);
  else commitTransaction(t, status);
}
