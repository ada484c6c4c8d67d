// Edits of the policy by name: create, change and delete ACLs, POPs, rules
// and protected objects, set and remove ACL entries and a POP's levels by
// network, attach and detach policies -- what the gxpolicy edit commands,
// `gxpolicy apply` and the administration service all do.
//
// A PolicyEdit is a working set of items in the form a policy document
// gives them (policy_import.h; export's form), each read from the store when
// an operation first touches it. Every operation checks what it can on its
// own and throws document::BadItem (at the place it is given, with what is
// wrong) when it cannot apply; check() then checks what needs the whole
// edit; write() hands the items that changed to a PolicyWriter. Nothing is
// written before write(), so an edit refused at any step leaves the
// database as it was. runEdit (policy_changes.h) does all of it in one
// database write group with the change log.
//
// What an edit refuses (each with a message naming the item): creating an
// item that exists; changing, deleting or attaching one that does not (an
// object must be created before a policy is attached to it); attaching
// where another policy of the kind is attached, or to an object that is
// not attachable; deleting a policy still attached to an object; deleting
// an object with objects below it unless recursive; an entry whose user or
// group the registry does not know; a bad action string, address, name,
// field or rule text (as import refuses them).
//
// Not synchronised: one thread. The store is read, never written, until
// write(); its reads must see the database as the edit's write group does.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/policy_document.h"
#include "tools/common/policy_write.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// One item's change: section kAcl, kPop, kRule or document::kObjects; key
// its name or path; before and after in the document's form, null when
// absent.
struct ItemChange {
  int section;
  std::string key;
  nlohmann::json before, after;
};

class PolicyEdit {
 public:
  using Path = document::Path;

  // store: open (writable for write()); registry: not owned, may be null
  // (then entries name users and groups by uuid only, unchecked).
  PolicyEdit(daCachedStore& store, gxreg::Registry* registry);
  PolicyEdit(PolicyEdit const&) = delete;
  PolicyEdit& operator=(PolicyEdit const&) = delete;

  // Each throws document::BadItem (at p) and leaves the working set as it
  // was when it refuses; std::bad_alloc when memory runs out.
  // value / fields: the item as a document gives it. modify replaces the
  // fields given (null removes one); a POP's "access" replaces its raw
  // window fields and the other way round.
  void create(int section, std::string const& key, nlohmann::json const& value, Path const& p);
  void modify(int section, std::string const& key, nlohmann::json const& fields, Path const& p);
  // An object is deleted with its attachments; with recursive, with every
  // object below it too.
  void remove(int section, std::string const& key, bool recursive, Path const& p);
  // entry: {"type", "id" or "name" (user, group), "actions"}; an entry of
  // the same type and subject is replaced, else it is added.
  void setEntry(std::string const& acl, nlohmann::json const& entry, Path const& p);
  // entry: {"type", "id" or "name"}; the ACL must hold such an entry.
  void removeEntry(std::string const& acl, nlohmann::json const& entry, Path const& p);
  // The POP's level for callers in network/netmask (an ipauth entry of the
  // document): replaces the entry of the same network and netmask, else is
  // added last. removeLevel: the POP must hold such an entry.
  void setLevel(std::string const& pop, std::string const& network, std::string const& netmask, unsigned long level,
                Path const& p);
  void removeLevel(std::string const& pop, std::string const& network, std::string const& netmask, Path const& p);
  // kind: kAcl, kPop or kRule. attach: a no-op when policy is attached
  // there already. detach: policy must be the one attached.
  void attach(int kind, std::string const& policy, std::string const& object, Path const& p);
  void detach(int kind, std::string const& policy, std::string const& object, Path const& p);

  // What needs the whole edit: every policy an object names exists, and no
  // policy deleted is still attached. Throws document::BadItem at the
  // place of the operation that made the fault.
  void check();
  // The items whose content changed, in the order first touched.
  std::vector<ItemChange> changes() const;
  // Hands each changed item to writer (after check()); 0 or the writer's
  // status (writer.failure() says what failed). Does not call finish().
  unsigned long write(PolicyWriter& writer);

  // The item as edited so far (null: absent), read from the store when not
  // yet touched. Throws as exportItem does.
  nlohmann::json const& current(int section, std::string const& key);
  // A protected object's path normalised, or BadItem at p.
  static std::string objectKey(std::string const& path, Path const& p);

 private:
  struct Item {
    nlohmann::json before, after;
    std::string place;  // the operation that last changed it
    unsigned long order = 0;
  };
  Item& load(int section, std::string const& key);
  void set(Item& item, nlohmann::json after, Path const& p);
  Item& existing(int section, std::string const& key, Path const& p);
  // Puts element into the list field of an item (replacing the one same
  // matches, else appended), or with !put takes the matching one out (none:
  // refused as "has no <missing>").
  void editList(int section, std::string const& key, char const* field, nlohmann::json const& element, bool put,
                bool (*same)(nlohmann::json const&, nlohmann::json const&), std::string const& missing, Path const& p);
  nlohmann::json subjectEntry(std::string const& acl, nlohmann::json const& entry, Path const& p);
  std::vector<std::string> objectsBelow(std::string const& path);

  daCachedStore& store_;
  gxreg::Registry* registry_;
  std::map<std::pair<int, std::string>, Item> items_;
  unsigned long touched_ = 0;
};

}  // namespace gxpolicy
