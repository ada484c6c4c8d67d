// Staging items into bounded update transactions; see policy_write.h.
#include "tools/common/policy_write.h"

#include "outside/hxdb.h"

#include <cstring>
#include <utility>

#include "GxCore/GxAcl.h"
#include "GxCore/GxMapACLToPObject.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daCachedStore.h"

namespace gxpolicy {
namespace {

using H = Handle<daStoreObject>;

template <class N>
std::unique_ptr<daPolicyName> makeName(char const* shortName) {
  return std::make_unique<N>(shortName);
}

std::string keyOf(daStoreObjectName const& name) { return name.getFullName().getChars(); }

}  // namespace

Kind const kKinds[kKindCount] = {
    {"acls", "acl", "ACL", makeName<daAclName>, daAclName::isValid, &daPObjName::getPObjToAclMapName,
     daAclName::aclbasename_},
    {"pops", "pop", "POP", makeName<daPopName>, daPopName::isValid, &daPObjName::getPObjToPopMapName,
     daPopName::popbasename_},
    {"rules", "rule", "rule", makeName<daRuleName>, daRuleName::isValid, &daPObjName::getPObjToRuleMapName,
     daRuleName::rulebasename_},
};

AtomicWrites::AtomicWrites(daCachedStore& store, size_t reserveBytes) : store_(store) {
  store_.beginWriteGroup(reserveBytes, status_);
  open_ = status_ == 0;
}

AtomicWrites::~AtomicWrites() {
  if (!open_) return;
  unsigned long ignored = 0;
  store_.endWriteGroup(false, ignored);
}

unsigned long AtomicWrites::commit() {
  if (!open_) return status_ != 0 ? status_ : hx_db_s_bad_argument;
  open_ = false;
  store_.endWriteGroup(true, status_);
  return status_;
}

PolicyWriter::PolicyWriter(daCachedStore& store, unsigned long changesPerTransaction)
    : store_(store), limit_(changesPerTransaction == 0 ? 1 : changesPerTransaction) {}

// t_'s destructor discards a transaction still open.
PolicyWriter::~PolicyWriter() = default;

unsigned long PolicyWriter::fail(std::string what, unsigned long status) {
  if (status_ == 0) {
    status_ = status;
    failure_ = std::move(what);
  }
  if (t_.getStore() != nullptr) store_.discardTransaction(t_);
  return status_;
}

unsigned long PolicyWriter::begin() {
  if (status_ != 0 || t_.getStore() != nullptr) return status_;
  unsigned long st = 0;
  store_.beginTransaction(t_, daTransactionMode::update, st);
  if (st != 0) return fail("cannot begin a transaction", st);
  changes_ = 0;
  return 0;
}

unsigned long PolicyWriter::commit() {
  if (status_ != 0 || t_.getStore() == nullptr) return status_;
  unsigned long st = 0;
  store_.commitTransaction(t_, st);
  if (st != 0) return fail("writing the changes failed", st);
  ++commits_;
  return 0;
}

// Counts one staged change; a full transaction is committed.
unsigned long PolicyWriter::changed() { return ++changes_ >= limit_ ? commit() : 0; }

unsigned long PolicyWriter::put(daStoreObjectName const& name, std::unique_ptr<daStoreObject> object) {
  if (begin() != 0) return status_;
  unsigned long st = 0;
  store_.setObject(t_, name, object.release(), st);
  if (st != 0) return fail("cannot stage " + keyOf(name), st);
  return changed();
}

unsigned long PolicyWriter::remove(daStoreObjectName const& name) {
  if (begin() != 0) return status_;
  unsigned long st = 0;
  store_.deleteObject(t_, name, 0, st);
  if (st != 0) return fail("cannot stage the removal of " + keyOf(name), st);
  return changed();
}

// The map under name as the transaction sees it, as a new copy made by
// factory (owned here); copy stays null when there is none.
unsigned long PolicyWriter::read(daStoreObjectName const& name, std::unique_ptr<daPolicyObjectMap>& copy,
                                 daPolicyObjectMap* factory) {
  std::unique_ptr<daPolicyObjectMap> made(factory);
  copy.reset();
  H h;
  if (fetch(name, h) != 0) return status_;
  if (h.isEmpty()) return 0;
  auto const* stored = dynamic_cast<daPolicyObjectMap const*>(h.get());
  if (stored == nullptr) return fail(keyOf(name) + " is not a policy map", da_s_unknown_type);
  if (!made) return fail("out of memory", da_s_no_memory);
  made->set(stored->value());
  copy = std::move(made);
  return 0;
}

unsigned long PolicyWriter::replaceExt(daStoreObjectName const& name, std::unique_ptr<GxExtAttr> ext) {
  if (ext) return put(name, std::move(ext));
  return removeIfStored(name);
}

unsigned long PolicyWriter::removeIfStored(daStoreObjectName const& name) {
  {
    H h;
    if (fetch(name, h) != 0) return status_;
    if (h.isEmpty()) return 0;
  }
  return remove(name);
}

unsigned long PolicyWriter::removePolicy(int kind, std::string const& policy) {
  std::unique_ptr<daPolicyName> name = kKinds[kind].name(policy.c_str());
  // A list gathered for it earlier in this writer would be written back.
  listings_[kind].erase(policy);
  if (removeIfStored(*name) != 0 || removeIfStored(name->getExtAttrName()) != 0) return status_;
  return removeIfStored(name->getPolicyToObjMapName());
}

unsigned long PolicyWriter::removeObject(daPObjName const& object) {
  if (removeIfStored(object) != 0 || removeIfStored(object.getExtAttrName()) != 0) return status_;
  for (int kind = 0; kind < kKindCount; ++kind)
    if (attach(object, kind, std::nullopt) != 0) return status_;
  return 0;
}

unsigned long PolicyWriter::fetch(daStoreObjectName const& name, H& h) {
  if (begin() != 0) return status_;
  unsigned long st = 0;
  store_.getObject(t_, name, h, st);
  if (st == da_s_no_such_object) return 0;
  if (st != 0) return fail("cannot read " + keyOf(name), st);
  return 0;
}

unsigned long PolicyWriter::policy(PolicyItem& item) {
  if (put(*item.name, std::move(item.object)) != 0) return status_;
  return replaceExt(item.name->getExtAttrName(), std::move(item.ext));
}

unsigned long PolicyWriter::object(ObjectItem& item) {
  if (put(item.name, std::move(item.pobj)) != 0) return status_;
  if (replaceExt(item.name.getExtAttrName(), std::move(item.ext)) != 0) return status_;
  for (int kind = 0; kind < kKindCount; ++kind)
    if (attach(item.name, kind, item.policy[kind]) != 0) return status_;
  return 0;
}

// Writes the object's map and notes the change of the policies' lists: the
// object leaves the list of a policy it no longer names and joins want's.
unsigned long PolicyWriter::attach(daPObjName const& object, int kind, std::optional<std::string> const& want) {
  Kind const& k = kKinds[kind];
  daStoreObjectName const& mapName = (object.*k.objectMap)();
  std::unique_ptr<daPolicyObjectMap> old;
  if (read(mapName, old, k.name("x")->objToPolicyMapFactory()) != 0) return status_;
  std::string path = object.getPathName();
  if (old) {
    for (unsigned int i = 0; i < old->count(); ++i) {
      if (want && *want == old->get(i)) continue;
      Listing& l = listings_[kind][old->get(i)];
      l.removed.insert(path);
    }
  }
  if (!want) return old ? remove(mapName) : 0;
  std::unique_ptr<daPolicyObjectMap> map(k.name(want->c_str())->objToPolicyMapFactory());
  if (!map) return fail("out of memory", da_s_no_memory);
  map->add(want->c_str());
  Listing& l = listings_[kind][*want];
  l.removed.erase(path);
  if (l.addedSet.insert(path).second) l.added.push_back(path);
  return put(mapName, std::move(map));
}

// The policy's list as stored, less the removed paths, then the added
// paths it does not hold yet; an emptied list is deleted.
unsigned long PolicyWriter::writeListing(int kind, std::string const& policy, Listing const& listing) {
  std::unique_ptr<daPolicyName> name = kKinds[kind].name(policy.c_str());
  daStoreObjectName const& mapName = name->getPolicyToObjMapName();
  std::unique_ptr<daPolicyObjectMap> old;
  if (read(mapName, old, name->policyToObjMapFactory()) != 0) return status_;
  std::unique_ptr<daPolicyObjectMap> map(name->policyToObjMapFactory());
  if (!map) return fail("out of memory", da_s_no_memory);
  std::set<std::string> held;
  for (unsigned int i = 0; old && i < old->count(); ++i) {
    char const* path = old->get(i);
    if (listing.removed.count(path) == 0 && held.insert(path).second) map->add(path);
  }
  for (std::string const& path : listing.added)
    if (held.insert(path).second) map->add(path.c_str());
  if (map->count() > 0) return put(mapName, std::move(map));
  return old ? remove(mapName) : 0;
}

unsigned long PolicyWriter::finish() {
  for (int kind = 0; kind < kKindCount; ++kind) {
    for (auto const& [policy, listing] : listings_[kind])
      if (writeListing(kind, policy, listing) != 0) return status_;
    listings_[kind].clear();
  }
  return commit();
}

}  // namespace gxpolicy
