// One-call decisions. The warm path reads only thread-local state and the
// store's atomics (cache state, policy epoch, the quick map's published
// flag), so decisions on different cores never write a shared cache line.
// A decision whose object is not in the calling thread's memo resolves the
// policy in force through the cache, from the nearest ancestor the memo
// knows downwards, and remembers every object on the way.
#include "GxCore/db/daDecision.h"

#include <algorithm>
#include <atomic>
#include <bit>
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
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/dbtrace.h"

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

// A fixed array of n T's for the memo. Large arrays are mapped on their own
// and asked to be backed by huge pages: a warm lookup touches two random
// lines of the memo, and with 4 KiB pages each would also miss the TLB once
// the memo outgrows it.
template <class T>
class MemoArray {
 public:
  MemoArray() = default;
  explicit MemoArray(size_t n) : n_(n) {
    if (n == 0) return;
    size_t bytes = n * sizeof(T);
    if (bytes >= kHuge / 2) {
      mapped_ = bytes + kHuge;  // room to start on a huge-page boundary
      void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      base_ = p;
      auto aligned = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
      data_ = reinterpret_cast<T*>(aligned);
      ::madvise(data_, bytes, MADV_HUGEPAGE);  // advice only: without it the memo still works
    } else {
      data_ = static_cast<T*>(::operator new(bytes, std::align_val_t(alignof(T))));
    }
    std::uninitialized_value_construct_n(data_, n);
  }
  ~MemoArray() {
    if (data_ == nullptr) return;
    std::destroy_n(data_, n_);
    if (base_ != nullptr) ::munmap(base_, mapped_);
    else ::operator delete(data_, std::align_val_t(alignof(T)));
  }
  MemoArray(MemoArray&& o) noexcept { *this = std::move(o); }
  MemoArray& operator=(MemoArray&& o) noexcept {
    std::swap(n_, o.n_);
    std::swap(data_, o.data_);
    std::swap(base_, o.base_);
    std::swap(mapped_, o.mapped_);
    return *this;
  }
  MemoArray(MemoArray const&) = delete;
  MemoArray& operator=(MemoArray const&) = delete;

  size_t size() const { return n_; }
  T& operator[](size_t i) { return data_[i]; }
  T const& operator[](size_t i) const { return data_[i]; }

 private:
  static constexpr size_t kHuge = size_t{2} << 20;
  size_t n_ = 0;
  T* data_ = nullptr;
  void* base_ = nullptr;  // the mapping, for large arrays
  size_t mapped_ = 0;
};

// The policy in force at objects decided by this thread, for one store.
// Sets of eight slots; a set's hash tags and epochs (their low 32 bits)
// share one cache line and each slot fills one more, holding its path
// inline when it is short, so a warm lookup touches two lines. Below its
// size the memo doubles when it is three quarters full or a set is full;
// at its size a full set gives up its least recently used slot. Slots of
// another epoch count as free; the path is always compared, so a tag or an
// epoch that matches by chance never gives a wrong answer.
class ThreadMemo {
 public:
  explicit ThreadMemo(size_t maxSlots) : maxSlots_(maxSlots) { resize(std::min<size_t>(maxSlots, 1024)); }

  // The remembered policy of path in epoch, or null.
  PolicyRecord const* find(std::uint64_t hash, std::string_view path, std::uint64_t epoch) {
    size_t set = hash & setMask_;
    Tags const& t = tags_[set];
    std::uint32_t const tag = tagOf(hash), ep = static_cast<std::uint32_t>(epoch);
    for (unsigned w = 0; w < kWays; ++w) {
      if (t.hash[w] != tag || t.epoch[w] != ep) continue;
      Slot& s = slots_[set * kWays + w];
      if (!s.holds(path)) continue;
      s.stamp = ++clock_;
      return &s.record;
    }
    return nullptr;
  }

  // The permissions an action string named in epoch, copied into perms;
  // false when it was not converted in this epoch.
  bool findActions(std::string_view actions, std::uint64_t epoch, GxACLPermset& perms) const {
    std::uint64_t const key = actionKey(actions);
    for (ActionEntry const& e : actions_)
      if (e.key == key && e.epoch == epoch && e.length == actions.size() &&
          (actions.size() <= sizeof key || e.longText == actions)) {
        perms = e.perms;
        return true;
      }
    return false;
  }
  void rememberActions(std::string_view actions, std::uint64_t epoch, GxACLPermset const& perms) {
    ActionEntry& e = actions_[nextAction_++ % kActionEntries];
    e.epoch = epoch;
    e.key = actionKey(actions);
    e.length = actions.size();
    if (actions.size() > sizeof e.key) e.longText.assign(actions.data(), actions.size());
    e.perms = perms;
  }

  void insert(std::uint64_t hash, std::string_view path, std::uint64_t epoch, PolicyRecord const& record) {
    if (filled_ * 4 > slots_.size() * 3 && canGrow()) resize(slots_.size() * 2);
    std::uint32_t const ep = static_cast<std::uint32_t>(epoch);
    int way = freeWay(hash, ep);
    // A full set makes the memo grow while it may: evicting there would make
    // the objects of one crowded set miss over and over.
    while (way < 0 && canGrow()) {
      resize(slots_.size() * 2);
      way = freeWay(hash, ep);
    }
    size_t set = hash & setMask_;
    Tags& t = tags_[set];
    if (way < 0) way = oldest(set);
    if (t.epoch[way] == 0) ++filled_;
    t.hash[way] = tagOf(hash);
    t.epoch[way] = ep;
    Slot& s = slots_[set * kWays + way];
    s.stamp = ++clock_;
    s.assign(path);
    s.record = record;
  }

 private:
  static constexpr unsigned kWays = 8;
  struct alignas(64) Tags {
    std::uint32_t hash[kWays] = {};
    std::uint32_t epoch[kWays] = {};  // 0: empty (store epochs start at 1)
  };
  // The set index takes the low bits of the hash, the tag the high ones.
  static std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }
  // One cache line: the path's length and, up to kInline bytes, its text;
  // a longer path lives on the heap.
  struct alignas(64) Slot {  // 4 + 4 + 32 + 16 + 8 bytes
    static constexpr size_t kInline = 32;
    std::uint32_t stamp = 0;
    std::uint32_t length = 0;
    char text[kInline];
    PolicyRecord record;
    std::unique_ptr<char[]> longText;

    std::string_view path() const { return {length <= kInline ? text : longText.get(), length}; }
    bool holds(std::string_view p) const {
      return p.size() == length && std::memcmp(length <= kInline ? text : longText.get(), p.data(), length) == 0;
    }
    void assign(std::string_view p) {
      length = static_cast<std::uint32_t>(p.size());
      if (p.size() <= kInline) {
        longText.reset();
        std::memcpy(text, p.data(), p.size());
      } else {
        longText.reset(new char[p.size()]);
        std::memcpy(longText.get(), p.data(), p.size());
      }
    }
  };

  static_assert(sizeof(Slot) == 64, "a slot fills one cache line");

  // Action strings converted by this thread: a service asks with a handful
  // of strings, and a remembered one needs neither the quick map nor the
  // state lock that guards it. A few entries searched in full (a direct-mapped
  // table would make two of five strings collide half the time), replaced
  // in turn; a string of up to eight bytes is its own key.
  static constexpr unsigned kActionEntries = 8;
  struct ActionEntry {
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
  ActionEntry actions_[kActionEntries];
  unsigned nextAction_ = 0;

  bool canGrow() const { return slots_.size() * 2 <= maxSlots_; }
  // A way of hash's set holding nothing of epoch ep, or -1.
  int freeWay(std::uint64_t hash, std::uint32_t ep) const {
    Tags const& t = tags_[hash & setMask_];
    for (unsigned w = 0; w < kWays; ++w)
      if (t.epoch[w] != ep) return static_cast<int>(w);
    return -1;
  }
  // The least recently used way of a set.
  int oldest(size_t set) const {
    Slot const* s = &slots_[set * kWays];
    int o = 0;
    for (unsigned w = 1; w < kWays; ++w)
      if (s[w].stamp - clock_ < s[o].stamp - clock_) o = static_cast<int>(w);  // oldest across stamp wrap
    return o;
  }

  // Rebuilds the memo with slots slots (a power of two), keeping what fits.
  void resize(size_t slots) {
    size_t sets = std::max<size_t>(slots / kWays, 1);
    MemoArray<Tags> oldTags = std::exchange(tags_, MemoArray<Tags>(sets));
    MemoArray<Slot> oldSlots = std::exchange(slots_, MemoArray<Slot>(sets * kWays));
    setMask_ = sets - 1;
    filled_ = 0;
    for (size_t set = 0; set < oldTags.size(); ++set) {
      for (unsigned w = 0; w < kWays; ++w) {
        std::uint32_t e = oldTags[set].epoch[w];
        if (e == 0) continue;
        std::uint64_t h = pathHash(oldSlots[set * kWays + w].path());
        size_t to = h & setMask_;
        for (unsigned v = 0; v < kWays; ++v) {
          if (tags_[to].epoch[v] != 0) continue;
          tags_[to].hash[v] = tagOf(h);
          tags_[to].epoch[v] = e;
          slots_[to * kWays + v] = std::move(oldSlots[set * kWays + w]);
          ++filled_;
          break;
        }
      }
    }
  }

  size_t const maxSlots_;
  MemoArray<Tags> tags_;
  MemoArray<Slot> slots_;
  size_t setMask_ = 0;
  size_t filled_ = 0;
  std::uint32_t clock_ = 0;
};

// The calling thread's memos, one per store it has decided on lately; the
// least recently used one goes when a fifth store comes.
class ThreadMemos {
 public:
  ThreadMemo& forStore(daCachedStore const& store) {
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
      items_.push_back(Item{id, std::make_unique<ThreadMemo>(store.getDecisionMemoSize()), 0});
      found = &items_.back();
    }
    found->used = ++clock_;
    last_ = found->memo.get();
    lastId_ = id;
    return *last_;
  }

 private:
  static constexpr size_t kStores = 4;
  struct Item {
    std::uint64_t storeId;
    std::unique_ptr<ThreadMemo> memo;
    std::uint64_t used;
  };
  std::vector<Item> items_;
  ThreadMemo* last_ = nullptr;
  std::uint64_t lastId_ = 0;
  std::uint64_t clock_ = 0;
};

thread_local ThreadMemos tlsMemos;

}  // namespace

// ---- store-side copies of the policies -------------------------------------------

// Copies of the ACLs and POPs that remembered decisions share, per epoch:
// every thread that meets one policy in one epoch shares one copy. The
// table is only a way to share; dropping it (a new epoch, or too many
// policies) leaves the copies alive in the decisions that hold them.
struct daDecisionPolicies {
  static constexpr size_t maxShared = 65536;

  std::shared_ptr<GxACL const> acl(std::uint64_t epoch, std::string const& name, GxACL const& stored) {
    return share(acls, epoch, name, stored, [](GxACL const& a) { return std::make_shared<GxACL const>(a); });
  }
  std::shared_ptr<GxPop const> pop(std::uint64_t epoch, std::string const& name, GxPop const& stored) {
    return share(pops, epoch, name, stored, [](GxPop const& p) {
      auto copy = std::make_shared<GxPop>(p);
      copy->getIPAuthList();  // loaded before the copy is shared: readers then take no lock
      return std::shared_ptr<GxPop const>(std::move(copy));
    });
  }

 private:
  template <class T, class Copy>
  std::shared_ptr<T const> share(std::unordered_map<std::string, std::shared_ptr<T const>>& table,
                                 std::uint64_t at, std::string const& name, T const& stored, Copy&& copy) {
    std::lock_guard<std::mutex> g(mutex);
    if (at < epoch) return copy(stored);  // resolved in an epoch already gone: not shared
    if (at > epoch) {
      acls.clear();
      pops.clear();
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

  std::mutex mutex;
  std::uint64_t epoch = 0;
  std::unordered_map<std::string, std::shared_ptr<GxACL const>> acls;
  std::unordered_map<std::string, std::shared_ptr<GxPop const>> pops;
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
  Resolver(daCachedStore& store, daDecisionPolicies& policies, ThreadMemo& memo, std::uint64_t epoch)
      : store_(store), policies_(policies), memo_(memo), epoch_(epoch) {}

  // The policy in force at object (a valid, normalised name), remembering
  // every object resolved on the way whose answer carries no failure.
  Resolved resolve(daPObjName const& object) {
    std::vector<daPObjName> chain;  // object and its ancestors the memo does not know, nearest first
    Resolved base;
    daPObjName at(object);
    for (;;) {
      std::string_view path = at.getPathName();
      if (PolicyRecord const* known = memo_.find(pathHash(path), path, epoch_)) {
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
      if (base.clean()) memo_.insert(pathHash(path), path, epoch_, base.record);
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
      rec->popName = pop.status == 0 ? pop.name : std::string();
      rec->popLocation = pop.status == 0 ? location : std::string();
    }
    if (ownRule) {
      rec->ruleName = rule.status == 0 ? rule.name : std::string();
      rec->ruleLocation = rule.status == 0 ? location : std::string();
    }
    r.record = std::move(rec);
    return r;
  }

  daCachedStore& store_;
  daDecisionPolicies& policies_;
  ThreadMemo& memo_;
  std::uint64_t const epoch_;
};

}  // namespace

// ---- the decision ------------------------------------------------------------------

void daCachedStore::setDecisionMemoSize(unsigned int entries) {
  unsigned int n = std::clamp(entries, 64u, 4194304u);
  decisionMemoSize_.store(std::bit_ceil(n), std::memory_order_relaxed);
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

}  // namespace

bool daCachedStore::openOnceSettled() {
  ZStackReadWriteLock_6_0 settled(getStateLock(), ZReadWriteLock_6_0::READ);
  return getCacheState() != closed;
}

void daCachedStore::decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
                           daDecision& decision, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::decide", status, __FILE__, __LINE__);
  // Every failure leaves the record reset; success overwrites every field
  // (the policy handle only when it changes, sparing two atomic updates).
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
  // resolved while a commit lands carries the older epoch and is never used.
  std::uint64_t const epoch = policyEpoch();
  ThreadMemo& memo = tlsMemos.forStore(*this);
  std::string_view const actionText(actions);
  if (!memo.findActions(actionText, epoch, decision.requested_)) {
    status = requestedPermissions(*this, actions, decision.requested_);
    if (status != 0) return;
    memo.rememberActions(actionText, epoch, decision.requested_);
  }
  std::string_view key(path);
  std::uint64_t const hash = pathHash(key);
  if (PolicyRecord const* known = memo.find(hash, key, epoch)) {
    count(memoHit);
    if (decision.policy_ != *known) decision.policy_ = *known;
  } else {
    count(memoMiss);
    ZUTF8String_6_0 text(path);
    status = daPObjName::validateAndFix(text);
    if (status != 0) return;
    daPObjName object(text.getChars());
    Resolved r;
    {
      daCacheStateLock reading(*this, open);
      r = Resolver(*this, *decisionPolicies_, memo, epoch).resolve(object);
    }
    status = r.aclStatus != 0 ? r.aclStatus : (r.popStatus != 0 ? r.popStatus : r.ruleStatus);
    if (status != 0) return;
    // Also under the text the caller gave, when normalising changed it.
    if (key != object.getPathName()) memo.insert(hash, key, epoch, r.record);
    decision.policy_ = std::move(r.record);
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
  if (address != nullptr && decision.hasPop()) decision.authLevel_ = decision.pop()->get_auth_level(*address);
}
