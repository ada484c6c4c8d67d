// Writing policies and protected objects into a store, as `gxpolicy import`
// and the synthetic estate generator both do: each item replaces what the
// database holds under its name (extended attributes and, for an object,
// its attachments included), and every attachment is recorded in both
// directions -- the object's map names the policy, the policy's map lists
// the object.
//
// Changes are staged in update transactions of a bounded size, each
// committed when it is full, so that neither the pending changes nor their
// decoded objects grow with the whole input. The policy-to-object maps are
// accumulated in memory (one set of paths per policy touched) and written
// once, by finish(), so a policy attached to many objects is rewritten once
// rather than once per object.
//
// Each transaction is atomic on its own; wrap the writer's life in
// AtomicWrites to make all of them one database transaction.
//
// Not synchronised: one writer per store at a time (it holds the store's
// transaction lock while a transaction is open).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "GxCore/GxExtAttr.h"
#include "GxCore/GxPObj.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daStoreObjectHandle.h"
#include "GxCore/db/daTransaction.h"
#include "GxCore/handle.h"

class daCachedStore;
class daPolicyObjectMap;
class daStoreObject;

namespace gxpolicy {

// What differs between ACLs, POPs and rules for document sections,
// attachments and maps. The index into kKinds is the kind.
struct Kind {
  char const* section;  // "acls"
  char const* field;    // the object's attachment field, "acl"
  char const* noun;     // "ACL"
  std::unique_ptr<daPolicyName> (*name)(char const* shortName);
  unsigned long (*isValid)(char const* text);
  daStoreObjectName const& (daPObjName::*objectMap)() const;
  char const* base;  // the key base of the policies
};
constexpr int kAcl = 0, kPop = 1, kRule = 2, kKindCount = 3;
extern Kind const kKinds[kKindCount];

struct PolicyItem {
  std::unique_ptr<daPolicyName> name;
  std::unique_ptr<daStoreObject> object;
  std::unique_ptr<GxExtAttr> ext;  // null: none (any stored ones are removed)
};

struct ObjectItem {
  daPObjName name;
  std::unique_ptr<GxPObj> pobj;
  std::unique_ptr<GxExtAttr> ext;                // null: none
  std::optional<std::string> policy[kKindCount];  // per kind; none: nothing attached
};

// Makes every transaction the writer commits on store part of ONE database
// transaction (the store's write group) while it lives: commit() keeps
// them, the destructor abandons them if commit() was not reached, so a
// failure or a crash leaves nothing of them in the file. reserveBytes: room
// for the group's growth (the map cannot grow during it).
class AtomicWrites {
 public:
  AtomicWrites(daCachedStore& store, size_t reserveBytes);
  AtomicWrites(AtomicWrites const&) = delete;
  AtomicWrites& operator=(AtomicWrites const&) = delete;
  ~AtomicWrites();
  // 0, or why the group could not begin (nothing may be written then).
  unsigned long status() const { return status_; }
  // Writes the group: 0, or the group's failure / commit status (nothing
  // was written).
  unsigned long commit();

 private:
  daCachedStore& store_;
  unsigned long status_ = 0;
  bool open_ = false;
};

class PolicyWriter {
 public:
  // store must be open writable. changesPerTransaction bounds the staged
  // changes (sets and deletes) per transaction.
  explicit PolicyWriter(daCachedStore& store, unsigned long changesPerTransaction = 20000);
  PolicyWriter(PolicyWriter const&) = delete;
  PolicyWriter& operator=(PolicyWriter const&) = delete;
  // An open transaction is discarded: call finish() to keep it.
  ~PolicyWriter();

  // Each returns 0, or the status of the first failure (then failure()
  // says what failed and every later call returns the same status without
  // writing). The item's objects are moved out.
  unsigned long policy(PolicyItem& item);
  unsigned long object(ObjectItem& item);
  // Remove an item with everything stored for it: a policy's record, its
  // extended attributes and its list of objects (the caller makes sure no
  // object still names it); an object's record, its extended attributes
  // and its attachments (leaving the policies' lists). Keys that are not
  // there are skipped.
  unsigned long removePolicy(int kind, std::string const& name);
  unsigned long removeObject(daPObjName const& object);
  // Writes the accumulated policy-to-object maps and commits the last
  // transaction.
  unsigned long finish();

  std::string const& failure() const { return failure_; }
  unsigned long committedTransactions() const { return commits_; }

 private:
  // Paths to add to and remove from one policy's policy-to-object map.
  struct Listing {
    std::vector<std::string> added;  // in the order attached
    std::set<std::string> addedSet, removed;
  };

  unsigned long fail(std::string what, unsigned long status);
  unsigned long begin();
  unsigned long commit();
  unsigned long changed();
  unsigned long put(daStoreObjectName const& name, std::unique_ptr<daStoreObject> object);
  unsigned long remove(daStoreObjectName const& name);
  unsigned long removeIfStored(daStoreObjectName const& name);
  // The object under name as the transaction sees it into h (left empty
  // when there is none); the writer's status on a failed read.
  unsigned long fetch(daStoreObjectName const& name, Handle<daStoreObject>& h);
  unsigned long read(daStoreObjectName const& name, std::unique_ptr<daPolicyObjectMap>& copy,
                     daPolicyObjectMap* factory);
  unsigned long replaceExt(daStoreObjectName const& name, std::unique_ptr<GxExtAttr> ext);
  unsigned long attach(daPObjName const& object, int kind, std::optional<std::string> const& want);
  unsigned long writeListing(int kind, std::string const& policy, Listing const& listing);

  daCachedStore& store_;
  unsigned long limit_;
  daTransaction t_;
  unsigned long changes_ = 0, commits_ = 0, status_ = 0;
  std::string failure_;
  std::map<std::string, Listing> listings_[kKindCount];
};

}  // namespace gxpolicy
