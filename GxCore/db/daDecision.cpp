// One-call decisions. The warm path reads the store's shared memo and its
// atomics (cache state, policy epoch) and thread-local state, so decisions
// on different cores never write a shared cache line. A decision whose
// object is not in the memo resolves the policy in force through the cache,
// from the nearest ancestor the memo knows downwards, and publishes every
// object on the way.
#include "GxCore/db/daDecision.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/dbtrace.h"
#include "outside/hxutil.h"

namespace {

using PolicyRecord = std::shared_ptr<daPolicyInForce const>;

// A 64-bit hash of a path, eight bytes at a time, with a final avalanche:
// paths that share their tail (".../index.html") spread over the memo.
std::uint64_t pathHash(std::string_view s) {
  constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xBF58476D1CE4E5B9ull;
  std::uint64_t h = s.size() * k1;
  char const* p = s.data();
  size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = std::rotl((h ^ w) * k1, 29) * k2;
  }
  if (n > 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = std::rotl((h ^ w) * k1, 29) * k2;
  }
  h ^= h >> 31;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 29;
  return h;
}

}  // namespace

// Named (not anonymous): the store-side state below holds the memo.
namespace daDecisionMemo {

// The slots of a shared memo (and the storage of its entries): n 64-bit
// words, zero at first, read and written through std::atomic_ref. Large arrays are mapped on their own
// (zero pages cost nothing until touched, so a table sized to a large
// estate costs memory only as it fills) and asked to be backed by huge
// pages: a lookup touches one random slot line and one random entry, and
// with 4 KiB pages each would also miss the TLB.
class SlotArray {
 public:
  explicit SlotArray(size_t n) : n_(n) {
    size_t bytes = n * sizeof(std::uint64_t);
    if (bytes >= kHuge / 2) {
      mapped_ = bytes + kHuge;  // room to start on a huge-page boundary
      void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      base_ = p;
      auto aligned = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
      data_ = reinterpret_cast<std::uint64_t*>(aligned);
      ::madvise(data_, bytes, MADV_HUGEPAGE);  // advice only: without it the memo still works
    } else {
      data_ = static_cast<std::uint64_t*>(::operator new(bytes, std::align_val_t(64)));
      std::memset(data_, 0, bytes);
    }
  }
  ~SlotArray() {
    if (base_ != nullptr) ::munmap(base_, mapped_);
    else ::operator delete(data_, std::align_val_t(64));
  }
  SlotArray(SlotArray const&) = delete;
  SlotArray& operator=(SlotArray const&) = delete;

  size_t size() const { return n_; }
  std::atomic_ref<std::uint64_t> operator[](size_t i) const { return std::atomic_ref<std::uint64_t>(data_[i]); }
  // The words as raw storage (the memo's entries are carved from arrays too).
  char* bytes() const { return reinterpret_cast<char*>(data_); }

 private:
  static constexpr size_t kHuge = size_t{2} << 20;
  size_t n_;
  std::uint64_t* data_ = nullptr;
  void* base_ = nullptr;  // the mapping, for large arrays
  size_t mapped_ = 0;
};

// The policy in force at the objects decided in one policy epoch, shared by
// every thread that decides on the store: an open-addressing table (linear
// probing) of words that each hold a published entry's address and 16 bits
// of its path's hash. An entry (the path and the policy record) is written
// by the thread that resolved the object and published by one
// compare-and-swap into an empty slot; it never changes afterwards and lives
// as long as the table. A lookup reads slots and entries and writes nothing;
// the path is always compared, so a tag that matches by chance never gives
// a wrong answer. Nothing is ever removed: a new epoch gets a new table.
// When a probe sequence reaches its bound (the table is nearly full), the
// object is simply not remembered and is resolved again when asked.
class SharedMemo {
 public:
  // slots: a power of two.
  SharedMemo(std::uint64_t epoch, size_t slots) : epoch_(epoch), slots_(slots), mask_(slots - 1) {}
  ~SharedMemo() {
    for (Entry* e : entries_) e->~Entry();
  }
  SharedMemo(SharedMemo const&) = delete;
  SharedMemo& operator=(SharedMemo const&) = delete;

  std::uint64_t epoch() const { return epoch_; }
  size_t slots() const { return slots_.size(); }

  // The remembered policy of path, or null. Lock-free, writes nothing.
  PolicyRecord const* find(std::uint64_t hash, std::string_view path) const {
    std::uint64_t const tag = tagOf(hash);
    size_t i = hash & mask_;
    for (unsigned probe = 0; probe < kMaxProbe; ++probe, i = (i + 1) & mask_) {
      std::uint64_t w = slots_[i].load(std::memory_order_acquire);
      if (w == 0) return nullptr;
      if ((w & kTagMask) == tag && entryOf(w)->holds(path)) return &entryOf(w)->record;
    }
    return nullptr;
  }

  // Remembers record for path unless some thread has already (its entry
  // stays: both were resolved in this epoch) or the probe bound is reached.
  // Throws std::bad_alloc when memory runs out.
  void insert(std::uint64_t hash, std::string_view path, PolicyRecord const& record) {
    Entry* mine = allocate(path, record);
    auto const address = reinterpret_cast<std::uint64_t>(mine);
    if ((address & kTagMask) != 0) return;  // not representable beside a tag: not shared
    std::uint64_t const word = tagOf(hash) | address;
    size_t i = hash & mask_;
    for (unsigned probe = 0; probe < kMaxProbe; ++probe, i = (i + 1) & mask_) {
      std::uint64_t w = slots_[i].load(std::memory_order_acquire);
      if (w == 0 && slots_[i].compare_exchange_strong(w, word, std::memory_order_acq_rel)) return;
      if ((w & kTagMask) == tagOf(hash) && entryOf(w)->holds(path)) return;  // another thread's
    }
  }

 private:
  // Slot words: the entry's address in the low 48 bits (user-space
  // addresses), the top 16 bits of the path's hash above them; 0 is empty.
  static constexpr std::uint64_t kTagMask = 0xFFFFull << 48;
  static constexpr unsigned kMaxProbe = 64;
  static std::uint64_t tagOf(std::uint64_t hash) { return hash & kTagMask; }

  struct Entry {
    PolicyRecord record;
    std::uint32_t length;
    char const* text() const { return reinterpret_cast<char const*>(this + 1); }
    bool holds(std::string_view p) const { return p.size() == length && std::memcmp(text(), p.data(), length) == 0; }
  };
  static Entry* entryOf(std::uint64_t w) { return reinterpret_cast<Entry*>(w & ~kTagMask); }

  // An entry in the table's arena: chunks carved in order under a lock
  // (only misses allocate), each twice the last up to 2 MiB (then backed by
  // huge pages, as the slots are), an entry of up to a cache line never
  // straddling two, so a lookup reads one line of it.
  Entry* allocate(std::string_view path, PolicyRecord const& record) {
    size_t const bytes = (sizeof(Entry) + path.size() + 15) & ~size_t{15};
    char* at;
    {
      std::lock_guard<std::mutex> g(arenaMutex_);
      if (bytes <= 64 && (used_ & 63) + bytes > 64) used_ = (used_ + 63) & ~size_t{63};
      if (chunks_.empty() || used_ + bytes > chunkBytes_) {
        chunkBytes_ = std::max(std::clamp(chunkBytes_ * 2, kFirstChunk, kLastChunk), bytes);
        chunks_.push_back(std::make_unique<SlotArray>((chunkBytes_ + 7) / 8));
        used_ = 0;
      }
      at = chunks_.back()->bytes() + used_;
      used_ += bytes;
      entries_.reserve(entries_.size() + 1);  // may throw: before the entry exists
      auto* e = new (at) Entry{record, static_cast<std::uint32_t>(path.size())};
      entries_.push_back(e);
    }
    std::memcpy(at + sizeof(Entry), path.data(), path.size());
    return reinterpret_cast<Entry*>(at);
  }

  static constexpr size_t kFirstChunk = size_t{64} << 10, kLastChunk = size_t{2} << 20;

  // Read by every lookup: never written after construction.
  std::uint64_t const epoch_;
  SlotArray slots_;
  size_t const mask_;
  // Written by misses, on lines of their own.
  alignas(64) std::mutex arenaMutex_;
  std::vector<std::unique_ptr<SlotArray>> chunks_;
  size_t chunkBytes_ = 0, used_ = 0;
  std::vector<Entry*> entries_;  // every entry made, published or not
};

}  // namespace daDecisionMemo

namespace {

using daDecisionMemo::SharedMemo;

// Action strings converted by this thread for one store: a service asks
// with a handful of strings, and a remembered one needs neither the quick
// map nor the state lock that guards it. A few entries searched in full (a
// direct-mapped table would make two of five strings collide half the
// time), replaced in turn; a string of up to eight bytes is its own key.
class ActionMemo {
 public:
  // The permissions an action string named in epoch, copied into perms;
  // false when it was not converted in this epoch.
  bool find(std::string_view actions, std::uint64_t epoch, GxACLPermset& perms) const {
    std::uint64_t const key = actionKey(actions);
    for (Item const& e : items_)
      if (e.key == key && e.epoch == epoch && e.length == actions.size() &&
          (actions.size() <= sizeof key || e.longText == actions)) {
        perms = e.perms;
        return true;
      }
    return false;
  }
  void remember(std::string_view actions, std::uint64_t epoch, GxACLPermset const& perms) {
    Item& e = items_[next_++ % kItems];
    e.epoch = epoch;
    e.key = actionKey(actions);
    e.length = actions.size();
    if (actions.size() > sizeof e.key) e.longText.assign(actions.data(), actions.size());
    e.perms = perms;
  }

 private:
  static constexpr unsigned kItems = 8;
  struct Item {
    std::uint64_t key = 0;
    std::uint64_t epoch = 0;  // 0: empty
    std::size_t length = 0;
    std::string longText;  // strings longer than the key
    GxACLPermset perms;
  };
  static std::uint64_t actionKey(std::string_view s) {
    std::uint64_t key = 0;
    if (s.size() <= sizeof key) std::memcpy(&key, s.data(), s.size());
    else key = pathHash(s);
    return key;
  }
  Item items_[kItems];
  unsigned next_ = 0;
};

// What a thread keeps for one store: its action strings and its reference
// to the store's shared memo of the epoch it last decided in (the reference
// keeps that table alive while the thread may read it; it is given up when
// the thread next decides in a later epoch, or leaves).
struct ThreadState {
  ActionMemo actions;
  std::shared_ptr<SharedMemo> memo;
};

// The calling thread's state, one per store it has decided on lately; the
// least recently used one goes when a fifth store comes.
class ThreadStates {
 public:
  ThreadState& forStore(daCachedStore const& store) {
    std::uint64_t id = store.storeId();
    if (last_ != nullptr && lastId_ == id) return *last_;
    Item* found = nullptr;
    for (Item& i : items_)
      if (i.storeId == id) found = &i;
    if (found == nullptr) {
      if (items_.size() >= kStores) {
        auto lru = std::min_element(items_.begin(), items_.end(),
                                    [](Item const& a, Item const& b) { return a.used < b.used; });
        items_.erase(lru);
      }
      items_.push_back(Item{id, std::make_unique<ThreadState>(), 0});
      found = &items_.back();
    }
    found->used = ++clock_;
    last_ = found->state.get();
    lastId_ = id;
    return *last_;
  }

 private:
  static constexpr size_t kStores = 4;
  struct Item {
    std::uint64_t storeId;
    std::unique_ptr<ThreadState> state;
    std::uint64_t used;
  };
  std::vector<Item> items_;
  ThreadState* last_ = nullptr;
  std::uint64_t lastId_ = 0;
  std::uint64_t clock_ = 0;
};

thread_local ThreadStates tlsStates;

}  // namespace

// ---- store-side copies of the policies -------------------------------------------

// The store-side state of the decisions. The memo shared by the store's
// threads, for the newest epoch any thread has decided in. And copies of the
// ACLs and POPs that remembered decisions share, per epoch: every thread
// that meets one policy in one epoch shares one copy. The copies table is
// only a way to share; dropping it (a new epoch, or too many policies)
// leaves the copies alive in the decisions that hold them.
struct daDecisionPolicies {
  using SharedMemo = daDecisionMemo::SharedMemo;
  static constexpr size_t maxShared = 65536;

  // The shared memo for epoch, made when the newest one is older; one of a
  // later epoch when a thread has already made it (the caller then decides
  // in that epoch: the policy epoch only moves forwards). slots is called to
  // size a new table. Throws std::bad_alloc.
  template <class Slots>
  std::shared_ptr<SharedMemo> memo(std::uint64_t epoch, Slots&& slots) {
    std::lock_guard<std::mutex> g(memoMutex);
    if (!current || current->epoch() < epoch) {
      current.reset();  // the old table goes (when no thread holds it) before the new one is made
      current = std::make_shared<SharedMemo>(epoch, slots());
    }
    return current;
  }

  std::shared_ptr<GxACL const> acl(std::uint64_t epoch, std::string const& name, GxACL const& stored) {
    return share(acls, epoch, name, stored,
                 [](GxACL const& a) -> std::shared_ptr<GxACL const> { return std::make_shared<GxACL const>(a); });
  }
  // The rule's program, compiled once per rule and epoch. A stored object
  // that is not a rule gives a program that answers false: it never permits.
  std::shared_ptr<daRuleProgram const> rule(std::uint64_t epoch, std::string const& name,
                                            daStoreObject const& stored) {
    return share(rules, epoch, name, stored, [&name](daStoreObject const& o) -> std::shared_ptr<daRuleProgram const> {
      auto const* r = dynamic_cast<daRule const*>(&o);
      std::string text, reason;
      std::vector<std::string> attributes;
      if (r != nullptr) {
        if (auto const* t = r->getText()) text = t->getChars();
        if (auto const* why = r->getReason()) reason = why->getChars();
        ZArrayList_6_0 adi;
        r->getADIList(adi);
        for (unsigned i = 0; i < adi.size(); ++i)
          if (auto const* a = dynamic_cast<ZUTF8String_6_0 const*>(adi.get(i))) attributes.emplace_back(a->getChars());
      } else {
        text = "false";
      }
      return daRuleProgram::make(name, std::move(text), std::move(reason), std::move(attributes));
    });
  }
  std::shared_ptr<GxPop const> pop(std::uint64_t epoch, std::string const& name, GxPop const& stored) {
    return share(pops, epoch, name, stored, [](GxPop const& p) {
      auto copy = std::make_shared<GxPop>(p);
      copy->getIPAuthList();  // loaded before the copy is shared: readers then take no lock
      return std::shared_ptr<GxPop const>(std::move(copy));
    });
  }

 private:
  template <class T, class From, class Copy>
  std::shared_ptr<T const> share(std::unordered_map<std::string, std::shared_ptr<T const>>& table,
                                 std::uint64_t at, std::string const& name, From const& stored, Copy&& copy) {
    std::lock_guard<std::mutex> g(mutex);
    if (at < epoch) return copy(stored);  // resolved in an epoch already gone: not shared
    if (at > epoch) {
      acls.clear();
      pops.clear();
      rules.clear();
      epoch = at;
    }
    auto [it, added] = table.try_emplace(name);
    if (added) {
      if (table.size() > maxShared) {
        table.clear();
        it = table.try_emplace(name).first;
      }
      it->second = copy(stored);
    }
    return it->second;
  }

  std::mutex memoMutex;
  std::shared_ptr<SharedMemo> current;
  std::mutex mutex;
  std::uint64_t epoch = 0;
  std::unordered_map<std::string, std::shared_ptr<GxACL const>> acls;
  std::unordered_map<std::string, std::shared_ptr<GxPop const>> pops;
  std::unordered_map<std::string, std::shared_ptr<daRuleProgram const>> rules;
};

std::shared_ptr<daDecisionPolicies> daMakeDecisionPolicies() { return std::make_shared<daDecisionPolicies>(); }

std::uint64_t daNextStoreId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

char const* daDecision::permissionsText() const {
  if (!textReady_) {
    permissionsText_.clear();  // the conversion appends
    unsigned long st = 0;
    if (store_ != nullptr) store_->mapBitmapShared(permissions_, permissionsText_, st);
    if (st != 0) permissionsText_.clear();
    textReady_ = true;
  }
  return permissionsText_.getChars();
}

char const* daDecisionEntryText(daDecisionEntry e) {
  switch (e) {
    case daDecisionEntry::user: return "user";
    case daDecisionEntry::group: return "group";
    case daDecisionEntry::anyOther: return "any-other";
    case daDecisionEntry::unauthenticated: return "unauthenticated";
    default: return "none";
  }
}

// ---- resolving the policy in force --------------------------------------------------

namespace {

// The policy in force at one object while it is being resolved, with the
// status of each kind's lookup: a failed lookup is in force below its
// object just as a policy would be, and nothing that carries one is
// remembered.
struct Resolved {
  PolicyRecord record;  // null: nothing in force
  unsigned long aclStatus = 0, popStatus = 0, ruleStatus = 0;
  bool clean() const { return aclStatus == 0 && popStatus == 0 && ruleStatus == 0; }
};

// What one object's own map of one kind says: nothing attached (status 0,
// empty name), the policy's name and object, or the lookup's failure.
template <class Object>
struct Own {
  unsigned long status = 0;
  std::string name;
  Handle<daStoreObject> object;
  Object const* get() const { return dynamic_cast<Object const*>(object.get()); }
};

// Reads the map of one kind under mapName and the policy it names, with
// the statuses of fetchACL/fetchPop/fetchRule: a map naming no policy or
// several, or of another kind, is badMap; a named policy that does not
// exist is missing.
template <class Map, class Name, class Object>
void readOwn(daCachedStore& store, daStoreObjectName const& mapName, unsigned long badMap, unsigned long missing,
             Own<Object>& own) {
  Handle<daStoreObject> mapHandle;
  unsigned long st = 0;
  store.getObject(mapName, mapHandle, st);
  if (st == da_s_no_such_object) return;  // nothing attached here
  if (st != 0) {
    own.status = st;
    return;
  }
  auto const* map = dynamic_cast<Map const*>(mapHandle.get());
  if (map == nullptr || map->count() != 1) {
    own.status = badMap;
    return;
  }
  own.name = map->get(0);
  store.getObject(Name(own.name.c_str()), own.object, st);
  if (st == da_s_no_such_object || (st == 0 && own.get() == nullptr)) st = missing;
  own.status = st;
}

class Resolver {
 public:
  Resolver(daCachedStore& store, daDecisionPolicies& policies, SharedMemo& memo)
      : store_(store), policies_(policies), memo_(memo), epoch_(memo.epoch()) {}

  // The policy in force at object (a valid, normalised name), remembering
  // every object resolved on the way whose answer carries no failure.
  Resolved resolve(daPObjName const& object) {
    std::vector<daPObjName> chain;  // object and its ancestors the memo does not know, nearest first
    Resolved base;
    daPObjName at(object);
    for (;;) {
      std::string_view path = at.getPathName();
      if (PolicyRecord const* known = memo_.find(pathHash(path), path)) {
        base.record = *known;
        break;
      }
      chain.push_back(at);
      if (at.isRoot()) break;
      at.walkUp();
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      base = below(base, *it);
      std::string_view path = it->getPathName();
      if (base.clean()) memo_.insert(pathHash(path), path, base.record);
    }
    return base;
  }

 private:
  // The policy in force at object given what is in force at its parent.
  Resolved below(Resolved const& parent, daPObjName const& object) {
    Own<GxACL> acl;
    Own<GxPop> pop;
    Own<daStoreObject> rule;
    readOwn<GxMapPObjectToACL, daAclName>(store_, object.getPObjToAclMapName(), gx_s_acl_map_bad,
                                          gx_s_acl_missing, acl);
    readOwn<GxMapObjToPop, daPopName>(store_, object.getPObjToPopMapName(), gx_s_pop_map_bad, gx_s_pop_missing,
                                      pop);
    readOwn<daMapObjToRule, daRuleName>(store_, object.getPObjToRuleMapName(), gx_s_rule_map_bad,
                                        gx_s_rule_missing, rule);
    bool ownAcl = acl.status != 0 || !acl.name.empty();
    bool ownPop = pop.status != 0 || !pop.name.empty();
    bool ownRule = rule.status != 0 || !rule.name.empty();
    if (!ownAcl && !ownPop && !ownRule) return parent;  // shares the parent's record

    Resolved r;
    r.aclStatus = ownAcl ? acl.status : parent.aclStatus;
    r.popStatus = ownPop ? pop.status : parent.popStatus;
    r.ruleStatus = ownRule ? rule.status : parent.ruleStatus;
    auto rec = parent.record ? std::make_shared<daPolicyInForce>(*parent.record) : std::make_shared<daPolicyInForce>();
    std::string location = object.getPathName();
    if (ownAcl) {
      rec->acl = acl.status == 0 ? policies_.acl(epoch_, acl.name, *acl.get()) : nullptr;
      rec->aclName = acl.status == 0 ? acl.name : std::string();
      rec->aclLocation = acl.status == 0 ? location : std::string();
    }
    if (ownPop) {
      rec->pop = pop.status == 0 ? policies_.pop(epoch_, pop.name, *pop.get()) : nullptr;
      rec->window = rec->pop ? daAccessWindow(*rec->pop) : daAccessWindow();
      rec->popName = pop.status == 0 ? pop.name : std::string();
      rec->popLocation = pop.status == 0 ? location : std::string();
    }
    if (ownRule) {
      rec->ruleName = rule.status == 0 ? rule.name : std::string();
      rec->ruleLocation = rule.status == 0 ? location : std::string();
      rec->rule = rule.status == 0 ? policies_.rule(epoch_, rule.name, *rule.object.get()) : nullptr;
    }
    r.record = std::move(rec);
    return r;
  }

  daCachedStore& store_;
  daDecisionPolicies& policies_;
  SharedMemo& memo_;
  std::uint64_t const epoch_;
};

}  // namespace

// ---- the decision ------------------------------------------------------------------

void daCachedStore::setDecisionMemoSize(unsigned int entries) {
  unsigned int n = entries == 0 ? 0 : std::bit_ceil(std::clamp(entries, 64u, maxDecisionMemoSize));
  decisionMemoSize_.store(n, std::memory_order_relaxed);
}

namespace {

// perms becomes the permissions the action string names, converted by the
// store's quick map under the store's state lock (shared): a replica's map
// is rebuilt while that lock is held exclusively. Returns mapAction's
// status, or gx_s_no_action_group / da_s_no_memory when the map cannot be
// built (the exceptions of the quick map end here).
unsigned long requestedPermissions(daCachedStore& store, char const* actions, GxACLPermset& perms) {
  unsigned long status = 0;
  ZStackReadWriteLock_6_0 reading(store.getStateLock(), ZReadWriteLock_6_0::READ);
  // The quick map throws when it cannot be built; a decision reports it.
  try {
    store.mapAction(actions, perms, status);
  } catch (ZInvalidParameterException_6_0 const&) {
    status = gx_s_no_action_group;  // no "primary" group with an action
  } catch (ZOutOfMemoryException_6_0 const&) {
    status = da_s_no_memory;
  }
  return status;
}

// Slots of a new shared memo: the size set on the store, or room for every
// record of its file with a third of the slots left free. Records count the
// objects with a record and the maps and policies attached to them, so the
// objects alone fill well under two thirds. The caller holds the state lock
// shared.
size_t memoSlots(daCachedStore& store) {
  if (unsigned int n = store.getDecisionMemoSize()) return n;
  unsigned long records = 0, st = 0;
  if (store.isStoreOpen()) store.getObjectCount(records, st);
  if (st != 0) records = 0;
  return std::bit_ceil(std::clamp<size_t>(records + records / 2, 1024, daCachedStore::maxDecisionMemoSize));
}

// state's memo becomes the store's shared memo for epoch, or a later one
// (the caller decides in its epoch). Made under the state lock held shared,
// since sizing it reads the file. Returns da_s_store_unavailable when the
// store is closed, da_s_no_memory when the table cannot be made.
unsigned long joinSharedMemo(daCachedStore& store, daDecisionPolicies& policies, ThreadState& state,
                             std::uint64_t epoch) {
  state.memo.reset();  // this thread's hold on the older table goes first
  ZStackReadWriteLock_6_0 reading(store.getStateLock(), ZReadWriteLock_6_0::READ);
  if (store.getCacheState() == daCacheStates::closed) return da_s_store_unavailable;
  try {
    state.memo = policies.memo(epoch, [&store] { return memoSlots(store); });
  } catch (std::bad_alloc const&) {
    return da_s_no_memory;
  }
  return 0;
}

}  // namespace

bool daCachedStore::openOnceSettled() {
  ZStackReadWriteLock_6_0 settled(getStateLock(), ZReadWriteLock_6_0::READ);
  return getCacheState() != closed;
}

void daCachedStore::decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
                           daDecision& decision, unsigned long& status) {
  decide(path, caller, actions, address, daDecisionContext{}, decision, status);
}

void daCachedStore::decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
                           daDecisionContext const& ctx, daDecision& decision, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::decide", status, __FILE__, __LINE__);
  decideOnPolicy(path, caller, actions, address, ctx, decision, status);
  if (daAuditSink* sink = auditSink_.load(std::memory_order_acquire))
    audit(*sink, path, caller, actions, address, decision, status);
}

void daCachedStore::decideOnPolicy(char const* path, sec_id_pa_t* caller, char const* actions,
                                   GxAddress const* address, daDecisionContext const& ctx, daDecision& decision,
                                   unsigned long& status) {
  // Every failure leaves the record reset; success overwrites every field
  // (the owner only when it changes, sparing two atomic updates).
  struct ResetOnFailure {
    daDecision& d;
    unsigned long const& st;
    ~ResetOnFailure() {
      if (st != 0) d.reset();
    }
  } resetOnFailure{decision, status};
  decision.granted_ = false;
  decision.entry_ = daDecisionEntry::none;
  decision.authLevel_ = 0;
  decision.time_ = ctx.timeSeconds;
  decision.callerLevel_ = ctx.authLevel == daDecisionContext::defaultAuthLevel ? (caller != nullptr ? 1 : 0)
                                                                               : std::max(ctx.authLevel, 0);
  decision.protection_ = ctx.protection;
  // A question must ask for something: an empty (or absent) action string
  // would otherwise be granted everywhere, ACL or none.
  if (path == nullptr || actions == nullptr || actions[0] == '\0') {
    status = path == nullptr ? gx_s_bad_pobj_name : gx_s_bad_action;
    return;
  }
  // A store being replaced or having its cache cleared still decides: from
  // the memo, or after the exclusive holder has gone (the state lock below).
  // A replacement closes and reopens the store while it holds that lock, so
  // a closed store is looked at again once the lock can be had.
  if (getCacheState() == closed && !openOnceSettled()) {
    status = da_s_store_unavailable;
    return;
  }

  // The epoch is read before the memo is consulted or filled: an answer
  // resolved while a commit lands goes to the older epoch's table, which no
  // decision uses once the epoch has moved.
  ThreadState& mine = tlsStates.forStore(*this);
  if (!mine.memo || mine.memo->epoch() != policyEpoch()) {
    status = joinSharedMemo(*this, *decisionPolicies_, mine, policyEpoch());
    if (status != 0) return;
  }
  SharedMemo& memo = *mine.memo;
  std::uint64_t const epoch = memo.epoch();
  std::string_view const actionText(actions);
  if (!mine.actions.find(actionText, epoch, decision.requested_)) {
    status = requestedPermissions(*this, actions, decision.requested_);
    if (status != 0) return;
    mine.actions.remember(actionText, epoch, decision.requested_);
  }
  std::string_view key(path);
  std::uint64_t const hash = pathHash(key);
  if (PolicyRecord const* known = memo.find(hash, key)) {
    count(memoHit);
    decision.policy_ = known->get();
    if (decision.owner_.get() != &memo) decision.owner_ = mine.memo;
  } else {
    count(memoMiss);
    ZUTF8String_6_0 text(path);
    status = daPObjName::validateAndFix(text);
    if (status != 0) return;
    daPObjName object(text.getChars());
    Resolved r;
    try {
      daCacheStateLock reading(*this, open);
      r = Resolver(*this, *decisionPolicies_, memo).resolve(object);
      // Also under the text the caller gave, when normalising changed it.
      if (r.clean() && key != object.getPathName()) memo.insert(hash, key, r.record);
    } catch (std::bad_alloc const&) {
      status = da_s_no_memory;
      return;
    }
    status = r.aclStatus != 0 ? r.aclStatus : (r.popStatus != 0 ? r.popStatus : r.ruleStatus);
    if (status != 0) return;
    decision.policy_ = r.record.get();
    decision.owner_ = std::move(r.record);
  }

  if (GxACL const* acl = decision.acl()) {
    acl_applied_entry_t applied = acl_applied_none;
    unsigned long evalStatus = 0;
    acl_inq_permset_for_pa_applied(caller, &acl->value(), &decision.permissions_.value(), &applied, &evalStatus);
    decision.entry_ = static_cast<daDecisionEntry>(applied);
  } else {
    decision.permissions_.setMinPermissions();
  }
  decision.granted_ = decision.permissions_.isActionSet(decision.requested_);
  decision.store_ = this;
  decision.textReady_ = false;  // named on demand: most callers only look at granted()
  if (GxPop const* pop = decision.pop())
    decision.authLevel_ = address != nullptr ? pop->get_auth_level(*address) : pop->get_auth_level(0);
  decision.warning_ = false;
  decision.wouldCause_ = daDecisionCause::granted;
  decision.wouldReason_.clear();
  decision.reason_.clear();
  if (!decision.granted_) {
    decision.cause_ = decision.hasAcl() ? daDecisionCause::aclDenied : daDecisionCause::noAcl;
    try {
      decision.reason_.assign(decision.hasAcl() ? "the ACL does not grant every action asked for" : "no ACL in force");
    } catch (std::bad_alloc const&) {
      status = da_s_no_memory;
    }
    return;
  }
  decision.cause_ = daDecisionCause::granted;
  try {
    decision.applyConditions(ctx, path, caller, actions, address);
  } catch (std::bad_alloc const&) {
    status = da_s_no_memory;  // a reason text could not grow: nothing is granted
  }
}

// ---- the conditions of the policy in force --------------------------------------

namespace {

std::int64_t clockSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Appends n in decimal to out (no allocation within its capacity).
void appendNumber(std::string& out, unsigned long n) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

char const* protectionText(unsigned long qop) {
  switch (qop) {
    case 0: return "none";
    case 1: return "integrity";
    case 2: return "privacy";
    default: return nullptr;
  }
}

}  // namespace

char const* daDecisionCauseText(daDecisionCause c) {
  switch (c) {
    case daDecisionCause::granted: return "granted";
    case daDecisionCause::noAcl: return "no-acl";
    case daDecisionCause::aclDenied: return "acl-denied";
    case daDecisionCause::outsideWindow: return "outside-window";
    case daDecisionCause::authLevel: return "auth-level";
    case daDecisionCause::protection: return "protection";
    case daDecisionCause::ruleDenied: return "rule-denied";
    case daDecisionCause::ruleMissingAttribute: return "rule-missing-attribute";
    case daDecisionCause::ruleError: return "rule-error";
    case daDecisionCause::ruleLimit: return "rule-limit";
    case daDecisionCause::ruleNotCompiled: return "rule-not-compiled";
  }
  return "unknown";
}

std::int64_t daDecision::timeSeconds() const {
  if (time_ == daDecisionContext::now) time_ = clockSeconds();
  return time_;
}

bool daDecision::fail(daDecisionCause c, bool hard) {
  GxPop const* p = pop();
  if (hard || p == nullptr || p->warningMode() == 0) {
    granted_ = false;
    cause_ = c;
    warning_ = false;  // a denial after a waived condition: nothing was waived in the end
    wouldCause_ = daDecisionCause::granted;
    wouldReason_.clear();
    return true;
  }
  // Warning mode: the first condition that would deny is what the answer
  // would have been; the others are still checked for a hard failure.
  if (!warning_) {
    warning_ = true;
    wouldCause_ = c;
    wouldReason_.assign("would deny: ");
    wouldReason_.append(reason_);
  }
  reason_.clear();
  return false;
}

void daDecision::applyConditions(daDecisionContext const& ctx, char const* path, sec_id_pa_t const* caller,
                                 char const* actions, GxAddress const* address) {
  if (GxPop const* p = pop()) {
    daAccessWindow const& window = policy_->window;
    if (window.limited()) {
      if (window.broken()) {
        reason_.assign(window.brokenReason());
        if (fail(daDecisionCause::outsideWindow, true)) return;
      } else if (!window.allows(timeSeconds())) {
        reason_.assign("outside the access window");
        if (fail(daDecisionCause::outsideWindow, false)) return;
      }
    }
    if (static_cast<unsigned long>(callerLevel_) < authLevel_) {
      reason_.assign("step-up to level ");
      appendNumber(reason_, authLevel_);
      reason_.append(" required");
      if (fail(daDecisionCause::authLevel, false)) return;
    }
    unsigned long const qop = p->qualityOfProtection();
    if (static_cast<unsigned long>(protection_) < qop) {
      reason_.assign("connection protection ");
      if (char const* name = protectionText(qop)) reason_.append(name);
      else appendNumber(reason_.append("level "), qop);  // beyond privacy: no connection has it
      reason_.append(" required");
      if (fail(daDecisionCause::protection, qop > 2)) return;
    }
  }
  applyRule(ctx, path, caller, actions, address);
}

namespace {

// What a rule sees of the caller and the address, as text, kept per thread
// so that a warm evaluation allocates nothing.
struct RuleTexts {
  char user[37];
  std::vector<std::array<char, 37>> groupUuids;
  std::vector<std::string_view> groups;
  ip_addr_s_t address;
  std::string detail;
};
thread_local RuleTexts tlsRuleTexts;

}  // namespace

void daDecision::applyRule(daDecisionContext const& ctx, char const* path, sec_id_pa_t const* caller,
                           char const* actions, GxAddress const* address) {
  if (!hasRule()) return;
  daRuleProgram const* program = policy_->rule.get();
  if (program == nullptr) {  // cannot happen for a resolved rule; denies all the same
    reason_.assign("rule ").append(policy_->ruleName).append(" cannot be evaluated");
    fail(daDecisionCause::ruleNotCompiled, true);
    return;
  }
  RuleTexts& t = tlsRuleTexts;
  daRuleInput in;
  if (caller != nullptr) {
    in.authenticated = true;
    unsigned long st = 0;
    hx_uuid_to_string(caller->principal.uuid, t.user, st);
    if (st == 0) in.userUuid = std::string_view(t.user, 36);
    if (caller->principal.name != nullptr) in.userName = caller->principal.name;
    // Groups by name where the caller's credentials carry one, else by uuid.
    if (t.groupUuids.size() < caller->num_groups) t.groupUuids.resize(caller->num_groups);
    t.groups.clear();
    for (std::uint16_t i = 0; i < caller->num_groups; ++i) {
      sec_id_t const& g = caller->groups[i];
      if (g.name != nullptr) {
        t.groups.emplace_back(g.name);
        continue;
      }
      char* text = t.groupUuids[i].data();
      hx_uuid_to_string(g.uuid, *reinterpret_cast<char(*)[37]>(text), st);
      if (st == 0) t.groups.emplace_back(text, 36);
    }
    in.groups = &t.groups;
  }
  if (address != nullptr && address->addressIsValid()) {
    address->to_ip_addr_t(t.address);
    in.address = t.address.text;
  }
  in.timeSeconds = timeSeconds();
  in.object = path;
  in.actions = actions;
  in.authLevel = callerLevel_;
  in.protection = protection_;
  in.attributes = ctx.attributes;
  daRuleVerdict const v = daEvaluateRule(*program, in, t.detail);
  switch (v) {
    case daRuleVerdict::permit: return;
    case daRuleVerdict::deny:
      if (!program->reason().empty()) reason_.assign(program->reason());
      else reason_.assign("denied by rule ").append(program->name());
      fail(daDecisionCause::ruleDenied, false);
      return;
    case daRuleVerdict::missingAttribute:
      reason_.assign("rule needs attribute ").append(t.detail);
      fail(daDecisionCause::ruleMissingAttribute, false);
      return;
    case daRuleVerdict::error:
      reason_.assign("rule ").append(program->name()).append(": ").append(t.detail);
      fail(daDecisionCause::ruleError, true);
      return;
    case daRuleVerdict::limit:
      reason_.assign("rule ").append(program->name()).append(": ").append(t.detail);
      fail(daDecisionCause::ruleLimit, true);
      return;
    case daRuleVerdict::notCompiled:
      reason_.assign("rule ").append(program->name()).append(" does not compile: ").append(t.detail);
      fail(daDecisionCause::ruleNotCompiled, true);
      return;
  }
}

// ---- the audit trail -------------------------------------------------------------

void daCachedStore::setAuditSink(std::shared_ptr<daAuditSink> sink) {
  std::lock_guard<std::mutex> g(auditSinksMutex_);
  daAuditSink* raw = sink.get();
  if (sink) auditSinks_.push_back(std::move(sink));  // kept: a decision may still be using it
  auditSink_.store(raw, std::memory_order_release);
}

void daCachedStore::setDefaultAuditLevel(std::uint32_t level) {
  defaultAuditLevel_.store(level, std::memory_order_relaxed);
}

namespace {

// Whether level selects a decision that ended with status and decision.
bool selects(std::uint32_t level, unsigned long status, daDecision const& d) {
  if (status != 0) return (level & daAuditError) != 0;
  if (!d.granted()) return (level & daAuditDeny) != 0;
  return (level & daAuditPermit) != 0 || (d.warning() && (level & daAuditWarning) != 0);
}

// The texts an audit record points to, kept per thread so that a busy
// auditing thread reuses them.
struct AuditTexts {
  char user[37];
  std::vector<std::array<char, 37>> groupText;
  std::vector<std::string_view> groups;
  ip_addr_s_t address;
};
thread_local AuditTexts tlsAuditTexts;

std::string_view uuidText(hx_uuid_t const& u, char (&out)[37]) {
  unsigned long st = 0;
  hx_uuid_to_string(u, out, st);
  return st == 0 ? std::string_view(out, 36) : std::string_view();
}

}  // namespace

void daCachedStore::audit(daAuditSink& sink, char const* path, sec_id_pa_t const* caller, char const* actions,
                          GxAddress const* address, daDecision const& decision, unsigned long status) noexcept {
  std::uint32_t const level = status == 0 && decision.hasPop()
                                  ? static_cast<std::uint32_t>(decision.pop()->auditLevel())
                                  : defaultAuditLevel_.load(std::memory_order_relaxed);
  if (!selects(level, status, decision)) return;
  try {
    AuditTexts& t = tlsAuditTexts;
    daAuditRecord r;
    r.timeSeconds = decision.timeSeconds();
    if (caller != nullptr) {
      r.userUuid = uuidText(caller->principal.uuid, t.user);
      if (caller->principal.name != nullptr) r.userName = caller->principal.name;
      t.groupText.resize(caller->num_groups);
      t.groups.clear();
      for (std::uint16_t i = 0; i < caller->num_groups; ++i)
        t.groups.push_back(uuidText(caller->groups[i].uuid, *reinterpret_cast<char(*)[37]>(t.groupText[i].data())));
      r.groups = &t.groups;
    }
    if (address != nullptr && address->addressIsValid()) {
      address->to_ip_addr_t(t.address);
      r.address = t.address.text;
    }
    r.object = path != nullptr ? path : "";
    r.actions = actions != nullptr ? actions : "";
    r.authLevel = decision.callerAuthLevel();
    r.protection = decision.protection();
    r.status = status;
    r.decision = status == 0 ? &decision : nullptr;
    unsigned long sequence = 0, st = 0;
    getSeqNum(sequence, st);
    r.sequence = st == 0 ? static_cast<std::uint32_t>(sequence) : 0;
    sink.record(r);
  } catch (std::bad_alloc const&) {
    auditLost_.fetch_add(1, std::memory_order_relaxed);  // the decision stands; the loss is counted
  }
}
