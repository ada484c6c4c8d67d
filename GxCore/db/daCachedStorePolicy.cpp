// The policy in effect at one protected object: the ACL, POP and rule its
// object-to-policy maps name, and their extended attributes. Each answer is
// remembered on the attached part of the cached map (under the cache lock),
// so a repeated question costs one table lookup and a few handle copies.
//
// A map entry this call loaded itself comes back from the load protocol in
// the `building` state and other readers wait for it. Every path out of a
// fetch that holds such an entry finishes it: as `absent` when the database
// has no map, otherwise as `ready` -- with the answer when one was found,
// and with an empty attached part after a failure, so the next call simply
// resolves again. The one exception is the memoising POP/rule protocol,
// which hands an absent, building entry to its caller on purpose; the
// caller's setAttachedPop/setAttachedRule finishes it.
#include <memory>
#include <mutex>
#include <new>
#include <typeinfo>

#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/dbtrace.h"
#include "outside/hxsvc.h"

namespace {

using PolicyHandle = Handle<daStoreObject>;
using Entry = daCachedStoreEntry;

// What differs between the three kinds of attached policy.
struct AclKind {
  using Map = GxMapPObjectToACL;
  using Name = daAclName;
  static constexpr unsigned long badMap = gx_s_acl_map_bad;
  static constexpr unsigned long missing = gx_s_acl_missing;
  static constexpr bool readsExtAttr = true;
  static daStoreObjectName const& mapName(daPObjName const& o) { return o.getPObjToAclMapName(); }
};
struct PopKind {
  static constexpr char const* setName = "daCachedStore::setAttachedPop";
  using Map = GxMapObjToPop;
  using Name = daPopName;
  static constexpr unsigned long badMap = gx_s_pop_map_bad;
  static constexpr unsigned long missing = gx_s_pop_missing;
  static constexpr bool readsExtAttr = true;
  static daStoreObjectName const& mapName(daPObjName const& o) { return o.getPObjToPopMapName(); }
};
struct RuleKind {
  static constexpr char const* setName = "daCachedStore::setAttachedRule";
  using Map = daMapObjToRule;
  using Name = daRuleName;
  static constexpr unsigned long badMap = gx_s_rule_map_bad;
  static constexpr unsigned long missing = gx_s_rule_missing;
  static constexpr bool readsExtAttr = false;  // rules are answered without their extended attributes
  static daStoreObjectName const& mapName(daPObjName const& o) { return o.getPObjToRuleMapName(); }
};

void logStoreUnavailable(unsigned long status) {
  HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_warning, da_s_store_unavailable, "%lx", status);
}

// The map of the kind's class, or null when the record stored under the map
// key is of another kind. The exact-type test keeps the hit path free of a
// full dynamic_cast.
template <class Map>
Map* asMap(daStoreObject* o) {
  if (o == nullptr) return nullptr;
  if (typeid(*o) == typeid(Map)) return static_cast<Map*>(o);
  return dynamic_cast<Map*>(o);
}

bool isRemoved(PolicyHandle const& h) { return h.entry != nullptr && h.entry->removed != 0; }

// One fetch of the policy attached to one object. The map handle is filled
// by the caller's choice of read; resolve() answers from the map's attached
// part or reads the policy (and its extended attributes) and remembers it.
// The caller's outputs are filled only on success, outside the cache lock,
// so releasing what they held never runs under it. Destroying the fetch
// finishes a building map entry this fetch owns.
template <class Kind>
class PolicyFetch {
 public:
  PolicyFetch(daCachedStore& store, ZLock_6_0& cacheLock, daPObjName const& object, PolicyHandle& policy,
              PolicyHandle& extAttr, int& resolved, ZUTF8String_6_0* location, unsigned long& status)
      : store_(store),
        cacheLock_(cacheLock),
        object_(object),
        policy_(policy),
        extAttr_(extAttr),
        resolved_(resolved),
        location_(location),
        status_(status) {}
  PolicyFetch(PolicyFetch const&) = delete;
  PolicyFetch& operator=(PolicyFetch const&) = delete;
  ~PolicyFetch() { finishOwned(); }

  // The object's map handle, read by the caller.
  PolicyHandle& map() { return map_; }

  // The database has no map for the object: a map entry this fetch loaded
  // now records that nothing is attached.
  void finishAbsent() {
    if (map_.entry == nullptr) return;
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    if (map_.entry->state == Entry::building) store_.finishCachedEntry(map_.entry, Entry::absent);
  }

  // The hit path, under one cache lock and without a handle on the map:
  // answers when the entry under mapName settles the question (a current
  // remembered answer, an absent map, a recorded inherited answer). False
  // when there is no such entry yet, it is being loaded or built, or the
  // policy must be read; the caller then takes the full path.
  bool answerFromCache(daCacheTable* table, daStoreObjectName const& mapName, bool memo) {
    if (table == nullptr) return false;
    Answer remembered;
    {
      std::lock_guard<ZLock_6_0> cache(cacheLock_);
      Entry* e = table->find(mapName);
      if (e == nullptr || e->state == Entry::loading || e->state == Entry::building) return false;
      bool absent = e->state == Entry::absent;
      if (absent && !memo) return true;  // nothing attached
      if (!lookAt(*e, absent, remembered) && !absent) return false;
    }
    deliver(remembered);
    return true;
  }

  // Answers from the map in map(). fromAbsent: the map handle is on an
  // absent entry (the database has no map), which may carry an inherited
  // answer recorded by a set call; then nothing is read from the database
  // and resolved is the entry's flag.
  void resolve(bool fromAbsent) {
    if (map_.entry == nullptr) {
      compute(asMap<typename Kind::Map>(map_.get()));  // the cache is off
      return;
    }
    Answer remembered;
    bool mustRead;
    {
      std::lock_guard<ZLock_6_0> cache(cacheLock_);
      // An absent entry left building belongs to the caller's set call.
      ownsBuilding_ = !fromAbsent && map_.entry->state == Entry::building;
      mustRead = !lookAt(*map_.entry, fromAbsent, remembered) && !fromAbsent;
    }
    if (mustRead) compute(asMap<typename Kind::Map>(map_.get()));
    else deliver(remembered);
  }

 private:
  struct Answer {
    bool found = false;
    PolicyHandle policy;
    PolicyHandle extAttr;
    ZUTF8String_6_0 location;
  };

  // Looks at the map entry e (cache lock held). fromAbsent: e is absent
  // from the database; whatever it carries is a recorded inherited answer
  // and resolved becomes its flag. True when a current remembered answer
  // was copied into out (or, for an absent entry, when it settles that
  // nothing is recorded); false when the policy has to be read.
  bool lookAt(Entry& e, bool fromAbsent, Answer& out) {
    daStoreObject* obj = e.object;
    if (fromAbsent) {
      resolved_ = e.resolved;
      if (obj == nullptr) return true;  // nothing recorded, or "no policy" recorded
    }
    auto* map = asMap<typename Kind::Map>(obj);
    if (map != nullptr && takeRemembered(*map, out)) return true;
    resolved_ = 0;  // computed by this call, or a recorded answer no longer current: look again
    return false;
  }

  // Copies a current remembered answer out of the attached part; false when
  // there is none (or the policy or its extended attributes have been
  // replaced since). The caller holds the cache lock.
  bool takeRemembered(typename Kind::Map& map, Answer& out) {
    if (!map.haveAttachedObject()) return false;
    if (isRemoved(map.getAttachedObjectHandle()) || isRemoved(map.getAttachedExtAttrHandle())) return false;
    out.found = true;
    if (!map.existsAttachedObject()) {
      status_ = Kind::missing;
      return true;
    }
    map.getAttachedObjectHandle().attachHandle(out.policy);
    if (Kind::readsExtAttr && map.haveAttachedExtAttr()) map.getAttachedExtAttrHandle().attachHandle(out.extAttr);
    if (location_ != nullptr) out.location = map.getEffectiveLocation();
    return true;
  }

  // Moves a found answer into the caller's outputs (status 0 only).
  void deliver(Answer& a) {
    if (!a.found) return;
    if (status_ != 0) {
      resolved_ = 0;
      return;
    }
    if (!a.extAttr.isEmpty()) extAttr_ = std::move(a.extAttr);
    policy_ = std::move(a.policy);
    if (location_ != nullptr) *location_ = a.location;
  }

  // Reads the policy the map names and its extended attributes, remembers
  // them on a cached map and hands them out.
  void compute(typename Kind::Map* map) {
    if (map == nullptr || map->count() != 1) {
      HX_LOG(gxacl_svc_handle, 0, hx_svc_attr_error, Kind::badMap, "%s", object_.getPathName());
      status_ = Kind::badMap;
      return;
    }
    typename Kind::Name name(map->get(0));
    Answer a;
    a.found = true;
    store_.getObject(name, a.policy, status_);
    if (status_ == da_s_no_such_object) {
      HX_LOG(gxacl_svc_handle, 0, hx_svc_attr_error, Kind::missing, "%s%s", object_.getPathName(), map->get(0));
      resolved_ = 0;
      status_ = Kind::missing;
      return;
    }
    if (status_ != 0) return;
    if (Kind::readsExtAttr) {
      unsigned long extStatus = 0;
      store_.getObject(name.getExtAttrName(), a.extAttr, extStatus);
      // A policy without extended attributes is not an error. Any other
      // failure is returned and nothing is remembered, so the next call
      // tries again instead of answering without the attributes.
      if (extStatus != 0 && extStatus != da_s_no_such_object) {
        status_ = extStatus;
        return;
      }
    }
    a.location = object_.getPathName();
    if (map_.entry != nullptr) remember(*map, a);
    deliver(a);
  }

  // Replaces whatever the attached part held by the fresh answer and, when
  // this fetch loaded the map, makes the entry ready for the waiting readers.
  void remember(typename Kind::Map& map, Answer& a) {
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    map.invalidateAttached();
    // Only cached policies can be shared with the map; an uncached one
    // (the cache switched off meanwhile) belongs to this call alone.
    if (a.policy.entry != nullptr) {
      map.setAttachedObjectHandle(a.policy);
      map.setAttachedObjectExists(1);
      if (a.extAttr.entry != nullptr) {
        map.setAttachedExtAttrHandle(a.extAttr);
        map.setAttachedExtAttrExists(1);
      }
      // Always recorded, so that a later memoising fetch that asks for the
      // location gets it even when the first caller did not.
      map.setEffectiveLocation(a.location);
    }
    if (ownsBuilding_) {
      store_.finishCachedEntry(map_.entry, Entry::ready);
      ownsBuilding_ = false;
    }
  }

  // A map entry this fetch loaded and could not fill becomes ready with an
  // empty attached part: the map itself is valid, and the next fetch
  // resolves it again.
  void finishOwned() {
    if (!ownsBuilding_) return;
    std::lock_guard<ZLock_6_0> cache(cacheLock_);
    store_.finishCachedEntry(map_.entry, Entry::ready);
    ownsBuilding_ = false;
  }

  daCachedStore& store_;
  ZLock_6_0& cacheLock_;
  daPObjName const& object_;
  PolicyHandle& policy_;
  PolicyHandle& extAttr_;
  int& resolved_;
  ZUTF8String_6_0* location_;
  unsigned long& status_;
  PolicyHandle map_;
  bool ownsBuilding_ = false;
};

// fetchPop and fetchRule: the plain fetch, or the memoising one on a
// read-only store with the cache on when resolved is 1.
template <class Kind>
void fetchAttached(daCachedStore& store, ZLock_6_0& cacheLock, daCacheTable* table, daPObjName const& object,
                   PolicyHandle& policy, PolicyHandle& extAttr, int& resolved, ZUTF8String_6_0* location,
                   unsigned long& status) {
  status = 0;
  if (!store.isReadOnly()) resolved = 0;  // memoised answers need uncounted entries
  if (store.getCacheState() != daCachedStore::open) {
    resolved = 0;
    status = da_s_store_unavailable;
    logStoreUnavailable(status);
    return;
  }
  PolicyFetch<Kind> fetch(store, cacheLock, object, policy, extAttr, resolved, location, status);
  daStoreObjectName const& mapName = Kind::mapName(object);
  if (!store.isCacheEnabled() || resolved == 0) {
    store.getObject(mapName, fetch.map(), status);
    if (status == da_s_no_such_object) {
      status = 0;  // nothing attached
      return;
    }
    if (status == 0) fetch.resolve(false);
  } else {
    if (fetch.answerFromCache(table, mapName, true)) return;
    store.getCachedObject(mapName, fetch.map(), 1, 1, status);
    if (status == da_s_no_such_object) {
      // No map in the database. A fresh entry stays building for the
      // caller's set call; an older one may carry a recorded answer.
      status = 0;
      if (fetch.map().entry == nullptr) resolved = 0;
      else fetch.resolve(true);
    } else if (status == 0) {
      fetch.resolve(false);
    }
  }
  if (status != 0) resolved = 0;
}

// Whether a set call may record on entry: the building entry a memoising
// fetch handed to its caller, or an absent entry a plain read left with
// nothing recorded. Entries being loaded by another thread, ready maps and
// entries that already carry an answer are left alone. Cache lock held.
bool acceptsRecord(Entry const& e) {
  if (e.object != nullptr) return false;
  return e.state == Entry::building || (e.state == Entry::absent && e.resolved == 0);
}

// setAttachedPop and setAttachedRule.
template <class Kind>
void recordInherited(daCachedStore& store, ZLock_6_0& cacheLock, daCacheTable* table, daPObjName const& object,
                     PolicyHandle& policy, PolicyHandle& extAttr, ZUTF8String_6_0* location, unsigned long& status) {
  if (!store.isReadOnly() || !store.isCacheEnabled()) return;
  status = 0;
  DBTrace trace(Kind::setName, status, __FILE__, __LINE__);
  if (store.getCacheState() != daCachedStore::open) {
    status = da_s_store_unavailable;
    logStoreUnavailable(status);
    return;
  }
  // The synthetic map that carries an inherited answer is made before the
  // lock is taken; unique_ptr deletes it on every path where no entry
  // takes it (among them: no entry under the map name at all).
  std::unique_ptr<typename Kind::Map> synthetic;
  if (policy.get() != nullptr && policy.entry != nullptr) {
    synthetic.reset(new (std::nothrow) typename Kind::Map());
    if (!synthetic) HX_LOG(bas_svc_handle, 0, hx_svc_attr_error, da_s_no_memory, "");
  }

  // The entry is looked up under the same lock that changes it: a pointer
  // kept across an unlock could be an entry another thread was loading and
  // has dropped since.
  std::lock_guard<ZLock_6_0> cache(cacheLock);
  Entry* e = table != nullptr ? table->find(Kind::mapName(object)) : nullptr;
  if (e != nullptr && e->state == Entry::building && e->object != nullptr) {
    // A map that exists in the database is resolved by the fetch itself.
    e->state = Entry::ready;
    e->resolved = 0;
  } else if (e != nullptr && acceptsRecord(*e)) {
    if (policy.get() == nullptr) {
      store.finishCachedEntry(e, Entry::absent);  // records that no policy is in force
      return;
    }
    if (!synthetic) {
      // No memory, or a handle the cache does not keep (it cannot be
      // shared): nothing recorded, the next fetch asks the caller again.
      e->state = Entry::absent;
      e->resolved = 0;
    } else {
      synthetic->setAttachedObjectHandle(policy);
      if (extAttr.entry != nullptr) {
        synthetic->setAttachedExtAttrHandle(extAttr);
        synthetic->setAttachedExtAttrExists(1);
      }
      if (location != nullptr) synthetic->setEffectiveLocation(*location);
      synthetic->setAttachedObjectExists(1);
      e->object = synthetic.release();
      store.finishCachedEntry(e, Entry::absent);  // absent from the database, resolved 1
      return;
    }
  }
  store.finishCachedEntry(nullptr, Entry::absent);  // wakes the readers only
}

// The extended attributes of the rule attached to object, named after the
// rule's name in the object's rule map (the rule object itself may carry no
// name when it was written through this store). None: status 0, ext
// untouched.
void readRuleExtAttr(daCachedStore& store, daPObjName const& object, PolicyHandle& ext, unsigned long& status) {
  PolicyHandle mapHandle;
  store.getObject(RuleKind::mapName(object), mapHandle, status);
  auto* map = asMap<RuleKind::Map>(mapHandle.get());
  if (status != 0 || map == nullptr || map->count() != 1) {
    status = 0;  // the rule was found through this map a moment ago; a change meanwhile is not an error here
    return;
  }
  store.getObject(daRuleName(map->get(0)).getExtAttrName(), ext, status);
  if (status == da_s_no_such_object) status = 0;
}

}  // namespace

void daCachedStore::fetchACL(daPObjName const& object, Handle<daStoreObject>& acl, Handle<daStoreObject>& extAttr,
                             unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::fetchACL", status, __FILE__, __LINE__);
  if (getCacheState() != open) {
    status = da_s_store_unavailable;
    logStoreUnavailable(status);
    return;
  }
  int resolved = 0;  // ACL answers are remembered on the object's own map only
  PolicyFetch<AclKind> fetch(*this, cacheLock(), object, acl, extAttr, resolved, nullptr, status);
  daStoreObjectName const& mapName = AclKind::mapName(object);
  if (isCacheEnabled()) {
    if (fetch.answerFromCache(cacheTable(), mapName, false)) return;
    getCachedObject(mapName, fetch.map(), 1, 0, status);
  } else {
    getObject(mapName, fetch.map(), status);
  }
  if (status == da_s_no_such_object) {
    status = 0;  // nothing attached
    fetch.finishAbsent();
    return;
  }
  if (status == 0) fetch.resolve(false);
}

void daCachedStore::fetchPop(daPObjName const& object, Handle<daStoreObject>& pop, Handle<daStoreObject>& extAttr,
                             int& resolved, ZUTF8String_6_0* location, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::fetchPop", status, __FILE__, __LINE__);
  fetchAttached<PopKind>(*this, cacheLock(), cacheTable(), object, pop, extAttr, resolved, location, status);
}

void daCachedStore::fetchRule(daPObjName const& object, Handle<daStoreObject>& rule, Handle<daStoreObject>&,
                              int& resolved, ZUTF8String_6_0* location, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::fetchRule", status, __FILE__, __LINE__);
  Handle<daStoreObject> unused;  // rules are answered without extended attributes
  fetchAttached<RuleKind>(*this, cacheLock(), cacheTable(), object, rule, unused, resolved, location, status);
}

void daCachedStore::setAttachedPop(daPObjName const& object, Handle<daStoreObject>& pop,
                                   Handle<daStoreObject>& extAttr, ZUTF8String_6_0* location, unsigned long& status) {
  recordInherited<PopKind>(*this, cacheLock(), cacheTable(), object, pop, extAttr, location, status);
}

void daCachedStore::setAttachedRule(daPObjName const& object, Handle<daStoreObject>& rule,
                                    Handle<daStoreObject>& extAttr, ZUTF8String_6_0* location,
                                    unsigned long& status) {
  recordInherited<RuleKind>(*this, cacheLock(), cacheTable(), object, rule, extAttr, location, status);
}

void daCachedStore::getExtAttributes(daPObjName& object, unsigned long ownerType, int checkObject,
                                     Handle<daStoreObject>& extAttr, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::getExtAttributes", status, __FILE__, __LINE__);
  if (ownerType == static_cast<unsigned long>(gx_type_pobj)) {
    if (checkObject) {
      Handle<daStoreObject> self;
      getObject(object, self, status);
      if (status != 0) return;
    }
    getObject(object.getExtAttrName(), extAttr, status);
    if (status == da_s_no_such_object) status = gx_s_no_ext_attr;
    return;
  }

  Handle<daStoreObject> policy, ext;
  int resolved = 0;  // a plain fetch: nothing is memoised for the caller
  switch (ownerType) {
    case gx_type_acl:
      fetchACL(object, policy, ext, status);
      break;
    case gx_type_pop:
      fetchPop(object, policy, ext, resolved, nullptr, status);
      break;
    case gx_type_rule:
      fetchRule(object, policy, ext, resolved, nullptr, status);
      // A rule's extended attributes are kept under its name like those of
      // the other policies; fetchRule does not read them, so read them here.
      if (status == 0 && policy.get() != nullptr) readRuleExtAttr(*this, object, ext, status);
      break;
    default:
      status = gx_s_bad_owner_type;
      HX_LOG(gxacl_svc_handle, 0, hx_svc_attr_warning, gx_s_bad_owner_type, "%lx", ownerType);
      return;
  }
  if (status == 0) {
    if (ext.get() != nullptr) extAttr = std::move(ext);
    else status = gx_s_no_ext_attr;
  } else if (status == da_s_no_such_object && !checkObject) {
    status = gx_s_no_ext_attr;
  }
}
