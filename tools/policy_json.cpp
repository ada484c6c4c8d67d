// Policy documents <-> store. The document shape is described at the top of
// tools/cmd_io.cpp.
//
// Import runs in two phases. Reading turns the whole document into policy
// objects (converting action strings, parsing addresses and uuids, checking
// names and that every policy an object names exists) without touching the
// store; the first problem stops it. Writing then stages everything in one
// update transaction and commits it. Problems found while reading are
// thrown as BadItem so that the nested readers stay straight-line code; the
// two entry points catch them, and nothing else in this file throws on
// purpose.
#include "tools/policy_json.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxMapACLToPObject.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxsvc.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;
using H = Handle<daStoreObject>;

struct BadItem {
  std::string path;
  std::string message;
  unsigned long status;
};

// A place in the document, written as fields joined by "." and other keys
// (names, paths) in brackets: objects["/web/docs"].acl, acls.a1.entries[0].
class Path {
 public:
  Path operator/(std::string const& key) const {
    bool plain = !key.empty();
    for (char c : key) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (plain) return Path(text_.empty() ? key : text_ + "." + key);
    return Path(text_ + "[" + json(key).dump() + "]");
  }
  Path operator/(std::size_t index) const { return Path(text_ + "[" + std::to_string(index) + "]"); }
  std::string const& text() const { return text_; }
  [[noreturn]] void fail(std::string message, unsigned long status = 0) const {
    throw BadItem{text_, std::move(message), status};
  }

 private:
  Path() = default;
  explicit Path(std::string text) : text_(std::move(text)) {}
  friend Path root();
  std::string text_;
};
Path root() { return Path(); }

// ---- reading JSON values ----------------------------------------------------------

void checkFields(json const& j, Path const& p, std::initializer_list<char const*> allowed) {
  if (!j.is_object()) p.fail(p.text().empty() ? "the document is not a JSON object" : "expected a JSON object");
  for (auto const& item : j.items()) {
    bool known = false;
    for (char const* a : allowed) known = known || item.key() == a;
    if (!known) (p / item.key()).fail("unknown field");
  }
}

json const* field(json const& j, char const* key) {
  auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

std::optional<std::string> optString(json const& j, char const* key, Path const& p) {
  json const* v = field(j, key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_string()) (p / key).fail("expected a string");
  return v->get<std::string>();
}

std::string needString(json const& j, char const* key, Path const& p) {
  auto s = optString(j, key, p);
  if (!s) (p / key).fail("missing");
  return *s;
}

uint32_t optUint32(json const& j, char const* key, Path const& p, uint32_t otherwise) {
  json const* v = field(j, key);
  if (v == nullptr) return otherwise;
  bool ok = v->is_number_unsigned() || (v->is_number_integer() && v->get<int64_t>() >= 0);
  if (!ok || v->get<uint64_t>() > std::numeric_limits<uint32_t>::max())
    (p / key).fail("expected an integer from 0 to 4294967295");
  return v->get<uint32_t>();
}

int32_t optInt32(json const& j, char const* key, Path const& p) {
  json const* v = field(j, key);
  if (v == nullptr) return 0;
  if (!v->is_number_integer() || v->get<int64_t>() < std::numeric_limits<int32_t>::min() ||
      (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(std::numeric_limits<int32_t>::max())))
    (p / key).fail("expected a 32-bit signed integer");
  return v->get<int32_t>();
}

bool optBool(json const& j, char const* key, Path const& p) {
  json const* v = field(j, key);
  if (v == nullptr) return false;
  if (!v->is_boolean()) (p / key).fail("expected true or false");
  return v->get<bool>();
}

// ---- policy kinds ----------------------------------------------------------------

// What differs between ACLs, POPs and rules for sections, attachments and
// maps. The index into kKinds is the kind.
struct Kind {
  char const* section;  // "acls"
  char const* field;    // the object's attachment field, "acl"
  char const* noun;     // "ACL"
  std::unique_ptr<daPolicyName> (*name)(char const* shortName);
  unsigned long (*isValid)(char const* text);
  daStoreObjectName const& (daPObjName::*objectMap)() const;
  char const* base;  // the key base of the policies
};

template <class N>
std::unique_ptr<daPolicyName> makeName(char const* shortName) {
  return std::make_unique<N>(shortName);
}

constexpr int kAcl = 0, kPop = 1, kRule = 2;
Kind const kKinds[3] = {
    {"acls", "acl", "ACL", makeName<daAclName>, daAclName::isValid, &daPObjName::getPObjToAclMapName,
     daAclName::aclbasename_},
    {"pops", "pop", "POP", makeName<daPopName>, daPopName::isValid, &daPObjName::getPObjToPopMapName,
     daPopName::popbasename_},
    {"rules", "rule", "rule", makeName<daRuleName>, daRuleName::isValid, &daPObjName::getPObjToRuleMapName,
     daRuleName::rulebasename_},
};

// ---- reading the document -----------------------------------------------------------

std::unique_ptr<GxExtAttr> readAttributes(json const& owner, Path const& p) {
  json const* a = field(owner, "attributes");
  if (a == nullptr) return nullptr;
  Path ap = p / "attributes";
  if (!a->is_object()) ap.fail("expected an object of attribute names");
  auto ext = std::make_unique<GxExtAttr>();
  for (auto const& item : a->items()) {
    Path np = ap / item.key();
    json const& values = item.value();
    if (item.key().empty()) np.fail("empty attribute name");
    if (!values.is_array() || values.empty()) np.fail("expected a non-empty array of strings");
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!values[i].is_string()) (np / i).fail("expected a string");
      // A repeated value is kept once, as the set keeps values unique.
      if (ext->addValue(item.key().c_str(), values[i].get<std::string>().c_str()) == GxExtAttr::noMemory_)
        (np / i).fail("out of memory", da_s_no_memory);
    }
  }
  if (ext->nameCount() == 0) return nullptr;
  return ext;
}

GxACLPermset readActions(daCachedStore& store, json const& entry, Path const& p) {
  std::string text = needString(entry, "actions", p);
  GxACLPermset perms;
  unsigned long st;
  store.mapAction(text.c_str(), perms, st);
  if (st != 0) (p / "actions").fail("bad action string " + json(text).dump(), st);
  return perms;
}

hx_uuid_t readUuid(json const& entry, Path const& p) {
  std::string text = needString(entry, "id", p);
  hx_uuid_t id{};
  unsigned long st;
  hx_uuid_from_string(text.c_str(), id, st);
  if (st != 0) (p / "id").fail("not a uuid", st);
  return id;
}

// "name" is a label for readers of the document: ACLs keep their subjects
// by uuid only (no registry is consulted here), so it is accepted and not
// stored.
void readEntry(daCachedStore& store, json const& e, Path const& p, GxACL& acl) {
  checkFields(e, p, {"type", "id", "name", "actions"});
  std::string type = needString(e, "type", p);
  optString(e, "name", p);
  GxACLPermset perms = readActions(store, e, p);
  unsigned long index;
  if (type == "user" || type == "group") {
    hx_uuid_t id = readUuid(e, p);
    index = type == "user" ? acl.addPrincipalEntry(id, perms) : acl.addGroupEntry(id, perms);
  } else {
    if (field(e, "id") != nullptr) (p / "id").fail("only user and group entries carry an id");
    if (type == "any-other") index = acl.addCellEntry(perms);
    else if (type == "unauthenticated") index = acl.addUnauthEntry(perms);
    else (p / "type").fail("unknown entry type " + json(type).dump() + " (user, group, any-other, unauthenticated)");
  }
  if (index == GxACL::notFound_) p.fail("out of memory", da_s_no_memory);
}

std::unique_ptr<daStoreObject> readAcl(daCachedStore& store, json const& j, Path const& p) {
  checkFields(j, p, {"description", "entries", "attributes"});
  auto acl = std::make_unique<GxACL>();
  if (auto d = optString(j, "description", p)) acl->description(d->c_str());
  if (json const* entries = field(j, "entries")) {
    Path ep = p / "entries";
    if (!entries->is_array()) ep.fail("expected an array of entries");
    for (std::size_t i = 0; i < entries->size(); ++i) readEntry(store, (*entries)[i], ep / i, *acl);
  }
  return acl;
}

void addIPAuth(GxPop& pop, GxAddress const& network, GxAddress const& netmask, uint32_t level, Path const& p) {
  if (unsigned long st = pop.appendIPAuth(network, netmask, level); st != 0) p.fail("cannot add the IP-auth entry", st);
}

GxAddress readAddress(json const& e, char const* key, Path const& p) {
  std::string text = needString(e, key, p);
  GxAddress a(text.c_str());
  if (!a.addressIsValid()) (p / key).fail("not an IPv4 or IPv6 address: " + json(text).dump(), gx_s_invalid_address);
  return a;
}

// The default entry (level default_level, 0.0.0.0/0.0.0.0) comes first, as
// every POP needs one: it is the level for callers no later entry matches.
std::unique_ptr<daStoreObject> readPop(json const& j, Path const& p) {
  checkFields(j, p, {"description", "warning", "audit", "qop", "day_access", "start_access", "end_access",
                     "time_reference", "default_level", "ipauth", "attributes"});
  auto pop = std::make_unique<GxPop>();
  if (auto d = optString(j, "description", p)) pop->setDescription(d->c_str());
  pop->setWarningMode(optBool(j, "warning", p) ? 1 : 0);
  pop->setAuditLevel(optUint32(j, "audit", p, 0));
  pop->setQualityOfProtection(optUint32(j, "qop", p, 0));
  pop->setDayAccess(optUint32(j, "day_access", p, 0));
  pop->setStartAccess(optInt32(j, "start_access", p));
  pop->setEndAccess(optInt32(j, "end_access", p));
  pop->setTimeReferenceAccess(optUint32(j, "time_reference", p, 0));
  GxAddress any("0.0.0.0");
  addIPAuth(*pop, any, any, optUint32(j, "default_level", p, 0), p / "default_level");
  if (json const* list = field(j, "ipauth")) {
    Path lp = p / "ipauth";
    if (!list->is_array()) lp.fail("expected an array of IP-auth entries");
    for (std::size_t i = 0; i < list->size(); ++i) {
      json const& e = (*list)[i];
      Path ep = lp / i;
      checkFields(e, ep, {"network", "netmask", "level"});
      GxAddress network = readAddress(e, "network", ep);
      GxAddress netmask = readAddress(e, "netmask", ep);
      if (netmask.addressFamily() != network.addressFamily())
        (ep / "netmask").fail("not of the network's address family", gx_s_pop_bad_ipauth_address);
      if (field(e, "level") == nullptr) (ep / "level").fail("missing");
      addIPAuth(*pop, network, netmask, optUint32(e, "level", ep, 0), ep);
    }
  }
  unsigned long st = pop->setAttrlist();
  if (st != 0) p.fail("cannot store the IP-auth list", st);
  return pop;
}

std::unique_ptr<daStoreObject> readRule(json const& j, Path const& p) {
  checkFields(j, p, {"description", "text", "reason", "adilist", "attributes"});
  auto rule = std::make_unique<daRule>();
  if (auto d = optString(j, "description", p)) rule->setDescription(ZUTF8String_6_0(d->c_str()));
  if (auto t = optString(j, "text", p)) rule->setText(ZUTF8String_6_0(t->c_str()));
  if (auto r = optString(j, "reason", p)) rule->setReason(ZUTF8String_6_0(r->c_str()));
  if (json const* adi = field(j, "adilist")) {
    Path ap = p / "adilist";
    if (!adi->is_array()) ap.fail("expected an array of strings");
    ZArrayList_6_0 list;
    for (std::size_t i = 0; i < adi->size(); ++i) {
      if (!(*adi)[i].is_string()) (ap / i).fail("expected a string");
      list.addNoCopy(new ZUTF8String_6_0((*adi)[i].get<std::string>().c_str()));
    }
    if (list.size() > 0) rule->setADIList(list);
  }
  return rule;
}

struct PolicyItem {
  std::unique_ptr<daPolicyName> name;
  std::unique_ptr<daStoreObject> object;
  std::unique_ptr<GxExtAttr> ext;
};

struct ObjectItem {
  daPObjName name;
  std::unique_ptr<GxPObj> pobj;
  std::unique_ptr<GxExtAttr> ext;
  std::optional<std::string> policy[3];  // per kind; none: nothing attached
};

struct Plan {
  std::vector<PolicyItem> policies[3];
  std::vector<ObjectItem> objects;
};

void readPolicies(daCachedStore& store, json const& doc, int kind, Plan& plan) {
  Kind const& k = kKinds[kind];
  json const* section = field(doc, k.section);
  if (section == nullptr) return;
  Path sp = root() / k.section;
  if (!section->is_object()) sp.fail(std::string("expected an object of ") + k.noun + "s by name");
  for (auto const& item : section->items()) {
    Path p = sp / item.key();
    if (unsigned long st = k.isValid(item.key().c_str()); st != 0)
      p.fail(std::string("invalid ") + k.noun + " name", st);
    PolicyItem pi;
    pi.name = k.name(item.key().c_str());
    switch (kind) {
      case kAcl: pi.object = readAcl(store, item.value(), p); break;
      case kPop: pi.object = readPop(item.value(), p); break;
      default: pi.object = readRule(item.value(), p); break;
    }
    pi.ext = readAttributes(item.value(), p);
    plan.policies[kind].push_back(std::move(pi));
  }
}

bool inPlan(Plan const& plan, int kind, std::string const& name) {
  for (auto const& pi : plan.policies[kind])
    if (name == pi.name->getShortName()) return true;
  return false;
}

// The policy an object names must be valid and in the document or the
// database.
std::string readAttachment(daCachedStore& store, Plan const& plan, json const& j, int kind, Path const& p) {
  Kind const& k = kKinds[kind];
  std::string name = *optString(j, k.field, p);
  Path fp = p / k.field;
  if (unsigned long st = k.isValid(name.c_str()); st != 0) fp.fail(std::string("invalid ") + k.noun + " name", st);
  if (inPlan(plan, kind, name)) return name;
  H h;
  unsigned long st;
  store.getObject(*k.name(name.c_str()), h, st);
  if (st == da_s_no_such_object)
    fp.fail(std::string("no ") + k.noun + " named " + json(name).dump() + " in the document or the database", st);
  if (st != 0) fp.fail(std::string("cannot read ") + k.noun + " " + json(name).dump(), st);
  return name;
}

void readObjects(daCachedStore& store, json const& doc, Plan& plan) {
  json const* section = field(doc, "objects");
  if (section == nullptr) return;
  Path sp = root() / "objects";
  if (!section->is_object()) sp.fail("expected an object of protected objects by path");
  std::set<std::string> seen;
  for (auto const& item : section->items()) {
    Path p = sp / item.key();
    json const& j = item.value();
    checkFields(j, p, {"description", "type", "attachable", "acl", "pop", "rule", "attributes"});
    ObjectItem oi;
    oi.name = daPObjName(item.key().c_str());
    if (unsigned long st = oi.name.validateAndFix(); st != 0) p.fail("invalid protected object name", st);
    if (!seen.insert(oi.name.getPathName()).second) p.fail("the same object is listed twice");
    oi.pobj = std::make_unique<GxPObj>();
    if (auto d = optString(j, "description", p)) oi.pobj->description(d->c_str());
    oi.pobj->type(optUint32(j, "type", p, 0));
    bool attachable = field(j, "attachable") == nullptr || optBool(j, "attachable", p);
    oi.pobj->policyAttachable(attachable);
    for (int kind = 0; kind < 3; ++kind) {
      if (field(j, kKinds[kind].field) == nullptr) continue;
      if (!attachable) (p / kKinds[kind].field).fail("policies cannot be attached to an object that is not attachable");
      oi.policy[kind] = readAttachment(store, plan, j, kind, p);
    }
    oi.ext = readAttributes(j, p);
    plan.objects.push_back(std::move(oi));
  }
}

void readDocument(daCachedStore& store, json const& doc, Plan& plan) {
  checkFields(doc, root(), {"acls", "pops", "rules", "objects"});
  for (int kind = 0; kind < 3; ++kind) readPolicies(store, doc, kind, plan);
  readObjects(store, doc, plan);
}

// ---- writing the plan ----------------------------------------------------------------

std::string keyOf(daStoreObjectName const& name) { return name.getFullName().getChars(); }

// Stages the plan's changes in one update transaction. An item replaces
// what the database holds under its name, extended attributes and an
// object's attachments included (absent in the document: removed). Each
// attachment is written both ways: the object's map names the policy, and
// the policy's map gains the object (and the previous policy's map loses
// it), other objects in those maps kept.
class Stager {
 public:
  Stager(daCachedStore& store, daTransaction& t) : store_(store), t_(t) {}

  void policy(PolicyItem& pi) {
    put(*pi.name, std::move(pi.object));
    replaceExt(pi.name->getExtAttrName(), std::move(pi.ext));
  }

  void object(ObjectItem& oi) {
    put(oi.name, std::move(oi.pobj));
    replaceExt(oi.name.getExtAttrName(), std::move(oi.ext));
    for (int kind = 0; kind < 3; ++kind) attach(oi.name, kind, oi.policy[kind]);
  }

 private:
  void put(daStoreObjectName const& name, std::unique_ptr<daStoreObject> object) {
    unsigned long st = 0;
    store_.setObject(t_, name, object.release(), st);
    if (st != 0) root().fail("cannot stage " + keyOf(name), st);
  }

  void remove(daStoreObjectName const& name) {
    unsigned long st;
    store_.deleteObject(t_, name, 0, st);
    if (st != 0) root().fail("cannot stage the removal of " + keyOf(name), st);
  }

  // The map under name as the transaction sees it, as a new copy made by
  // factory; null when there is none.
  std::unique_ptr<daPolicyObjectMap> mapCopy(daStoreObjectName const& name, daPolicyObjectMap* factory) {
    std::unique_ptr<daPolicyObjectMap> copy(factory);
    H h;
    unsigned long st;
    store_.getObject(t_, name, h, st);
    if (st == da_s_no_such_object) return nullptr;
    if (st != 0) root().fail("cannot read " + keyOf(name), st);
    auto const* stored = dynamic_cast<daPolicyObjectMap const*>(h.get());
    if (stored == nullptr) root().fail(keyOf(name) + " is not a policy map", da_s_unknown_type);
    if (!copy) root().fail("out of memory", da_s_no_memory);
    copy->set(stored->value());
    return copy;
  }

  bool exists(daStoreObjectName const& name) {
    H h;
    unsigned long st;
    store_.getObject(t_, name, h, st);
    if (st != 0 && st != da_s_no_such_object) root().fail("cannot read " + keyOf(name), st);
    return st == 0;
  }

  void replaceExt(daStoreObjectName const& name, std::unique_ptr<GxExtAttr> ext) {
    if (ext) put(name, std::move(ext));
    else if (exists(name)) remove(name);
  }

  void attach(daPObjName const& object, int kind, std::optional<std::string> const& want) {
    Kind const& k = kKinds[kind];
    daStoreObjectName const& mapName = (object.*k.objectMap)();
    std::unique_ptr<daPolicyName> probe = k.name("x");
    auto old = mapCopy(mapName, probe->objToPolicyMapFactory());
    if (old) {
      for (unsigned int i = 0; i < old->count(); ++i)
        if (!want || *want != old->get(i)) unlist(*k.name(old->get(i)), object.getPathName());
    }
    if (want) {
      std::unique_ptr<daPolicyName> policy = k.name(want->c_str());
      std::unique_ptr<daPolicyObjectMap> map(policy->objToPolicyMapFactory());
      if (!map) root().fail("out of memory", da_s_no_memory);
      map->add(want->c_str());
      put(mapName, std::move(map));
      list(*policy, object.getPathName());
    } else if (old) {
      remove(mapName);
    }
  }

  // Adds path to the policy's policy-to-object map (once).
  void list(daPolicyName const& policy, char const* path) {
    daStoreObjectName const& name = policy.getPolicyToObjMapName();
    auto map = mapCopy(name, policy.policyToObjMapFactory());
    if (!map) map.reset(policy.policyToObjMapFactory());
    if (!map) root().fail("out of memory", da_s_no_memory);
    for (unsigned int i = 0; i < map->count(); ++i)
      if (std::strcmp(map->get(i), path) == 0) return;
    map->add(path);
    put(name, std::move(map));
  }

  // Removes path from the policy's policy-to-object map; an emptied map is
  // deleted.
  void unlist(daPolicyName const& policy, char const* path) {
    daStoreObjectName const& name = policy.getPolicyToObjMapName();
    auto map = mapCopy(name, policy.policyToObjMapFactory());
    if (!map) return;
    map->remove(path);
    if (map->count() == 0) remove(name);
    else put(name, std::move(map));
  }

  daCachedStore& store_;
  daTransaction& t_;
};

// ---- export -------------------------------------------------------------------------

// The keys under base (base itself included), each as the text after base.
std::vector<std::string> keysUnder(daCachedStore& store, char const* base) {
  gxobj_name_list_s_t list{};
  unsigned long seq, st;
  store.daLocalStore::listObjects(GxObjectName(base), 1, list, seq, st);
  if (st == da_s_no_such_object) return {};
  if (st != 0) root().fail(std::string("cannot list ") + base, st);
  std::vector<std::string> out;
  std::string prefix = std::string(base) + "/";
  for (unsigned long i = 0; i < list.count; ++i) {
    std::string key = list.names[i];
    if (key == base) out.emplace_back();
    else if (key.compare(0, prefix.size(), prefix) == 0) out.push_back(key.substr(prefix.size() - 1));
  }
  freeNameList(list);
  return out;
}

// The object under name, which must be of class T; null when there is none.
template <class T>
T* fetch(daCachedStore& store, daStoreObjectName const& name, H& h, Path const& p) {
  unsigned long st;
  store.getObject(name, h, st);
  if (st == da_s_no_such_object) return nullptr;
  if (st != 0) p.fail("cannot read " + keyOf(name), st);
  T* object = dynamic_cast<T*>(h.get());
  if (object == nullptr) p.fail(keyOf(name) + " does not hold the expected kind of record", da_s_unknown_type);
  return object;
}

void writeAttributes(daCachedStore& store, daStoreObjectName const& name, json& out, Path const& p) {
  H h;
  GxExtAttr const* ext = fetch<GxExtAttr>(store, name, h, p / "attributes");
  if (ext == nullptr || ext->nameCount() == 0) return;
  json attrs = json::object();
  gxextattr_s_t const& v = ext->value();
  for (uint32_t i = 0; i < v.count; ++i) {
    json values = json::array();
    for (uint32_t n = 0; n < v.entries[i].value_count; ++n) values.push_back(v.entries[i].values[n]);
    attrs[v.entries[i].name] = std::move(values);
  }
  out["attributes"] = std::move(attrs);
}

std::string actionsOf(daCachedStore& store, GxACLPermset const& perms, Path const& p) {
  ZUTF8String_6_0 text;
  unsigned long st;
  store.mapBitmap(perms, text, st);
  if (st != 0) p.fail("cannot render the permissions as an action string", st);
  return text.getChars();
}

json exportAcl(daCachedStore& store, GxACL const& acl, Path const& p) {
  json j = json::object();
  if (acl.description()) j["description"] = acl.description();
  json entries = json::array();
  for (unsigned long i = 0; i < acl.numEntries(); ++i) {
    acl_entry_s_t const& e = acl.entry(i);
    json entry = json::object();
    switch (e.entry_type) {
      case acl_e_user: entry["type"] = "user"; break;
      case acl_e_group: entry["type"] = "group"; break;
      case acl_e_any_other: entry["type"] = "any-other"; break;
      case acl_e_unauthenticated: entry["type"] = "unauthenticated"; break;
      default: (p / "entries" / i).fail("entry of unsupported type " + std::to_string(e.entry_type));
    }
    if (e.entry_type == acl_e_user || e.entry_type == acl_e_group) {
      char id[37];
      unsigned long st;
      hx_uuid_to_string(e.id, id, st);
      if (st != 0) (p / "entries" / i).fail("cannot format the entry's uuid", st);
      entry["id"] = id;
    }
    entry["actions"] = actionsOf(store, GxACLPermset(e.perms), p / "entries" / i);
    entries.push_back(std::move(entry));
  }
  j["entries"] = std::move(entries);
  return j;
}

json exportPop(GxPop& pop) {
  json j = json::object();
  if (pop.description()) j["description"] = pop.description();
  j["warning"] = pop.warningMode() != 0;
  j["audit"] = pop.auditLevel();
  j["qop"] = pop.qualityOfProtection();
  j["day_access"] = pop.dayAccess();
  j["start_access"] = pop.startAccess();
  j["end_access"] = pop.endAccess();
  j["time_reference"] = pop.timeReferenceAccess();
  // A POP without "popipauthlist" is read from its IPv4 list.
  pop.getIPAuthList();
  // Without any entry every caller is refused (level noAuthLevel_); written
  // as that default level, which imports back to the same answers.
  j["default_level"] = pop.get_auth_level(0);
  json list = json::array();
  for (int i = 1; i < static_cast<int>(pop.get_auth_count()); ++i) {
    GxAddress network, netmask;
    pop.get_network_addr(i, network);
    pop.get_netmask_addr(i, netmask);
    ZUTF8String_6_0 n, m;
    network.getStrAddress(n);
    netmask.getStrAddress(m);
    list.push_back({{"network", n.getChars()}, {"netmask", m.getChars()}, {"level", pop.get_auth_level(i)}});
  }
  j["ipauth"] = std::move(list);
  return j;
}

json exportRule(daRule const& rule) {
  json j = json::object();
  ZUTF8String_6_0 description = rule.getDescription();
  if (description.getLength() > 0) j["description"] = description.getChars();
  if (auto const* t = rule.getText()) j["text"] = t->getChars();
  if (auto const* r = rule.getReason()) j["reason"] = r->getChars();
  ZArrayList_6_0 adi;
  rule.getADIList(adi);
  if (adi.size() > 0) {
    json list = json::array();
    for (unsigned int i = 0; i < adi.size(); ++i)
      list.push_back(static_cast<ZUTF8String_6_0 const*>(adi.get(i))->getChars());
    j["adilist"] = std::move(list);
  }
  return j;
}

void exportPolicies(daCachedStore& store, int kind, json& doc) {
  Kind const& k = kKinds[kind];
  json section = json::object();
  for (std::string const& suffix : keysUnder(store, k.base)) {
    if (suffix.size() < 2) continue;  // the base key itself names no policy
    std::string name = suffix.substr(1);
    Path p = root() / k.section / name;
    std::unique_ptr<daPolicyName> pn = k.name(name.c_str());
    H h;
    json j;
    switch (kind) {
      case kAcl: j = exportAcl(store, *fetch<GxACL>(store, *pn, h, p), p); break;
      case kPop: j = exportPop(*fetch<GxPop>(store, *pn, h, p)); break;
      default: j = exportRule(*fetch<daRule>(store, *pn, h, p)); break;
    }
    writeAttributes(store, pn->getExtAttrName(), j, p);
    section[name] = std::move(j);
  }
  doc[k.section] = std::move(section);
}

// Every path with a protected-object record, an attachment or extended
// attributes.
std::set<std::string> objectPaths(daCachedStore& store) {
  std::set<std::string> paths;
  // The extended attributes of objects live under the root's key.
  GxObjectName const extAttrBase = daPObjName("/").getExtAttrName().getFullName();
  for (char const* base : {daPObjName::pobjbasename_, daPObjName::pobjtoaclmapbasename_,
                           daPObjName::pobjtopopmapbasename_, daPObjName::pobjtorulemapbasename_,
                           extAttrBase.getChars()}) {
    for (std::string& suffix : keysUnder(store, base)) paths.insert(suffix.empty() ? "/" : suffix);
  }
  return paths;
}

void exportObjects(daCachedStore& store, json& doc) {
  json section = json::object();
  for (std::string const& path : objectPaths(store)) {
    Path p = root() / "objects" / path;
    daPObjName name(path.c_str());
    json j = json::object();
    H h;
    GxPObj const* pobj = fetch<GxPObj>(store, name, h, p);
    GxPObj defaults;
    if (pobj == nullptr) pobj = &defaults;
    if (pobj->description()) j["description"] = pobj->description();
    j["type"] = pobj->type();
    j["attachable"] = pobj->policyAttachable();
    for (int kind = 0; kind < 3; ++kind) {
      Kind const& k = kKinds[kind];
      H mh;
      auto const* map = fetch<daPolicyObjectMap>(store, (name.*k.objectMap)(), mh, p / k.field);
      if (map == nullptr) continue;
      if (map->count() != 1)
        (p / k.field).fail("the object's map names " + std::to_string(map->count()) + " " + k.noun + "s");
      j[k.field] = map->get(0);
    }
    writeAttributes(store, name.getExtAttrName(), j, p);
    section[path] = std::move(j);
  }
  doc["objects"] = std::move(section);
}

}  // namespace

bool parsePolicyDocument(std::string const& text, nlohmann::json& doc, DocumentProblem& problem) {
  problem = DocumentProblem{};
  try {
    doc = json::parse(text);
  } catch (json::exception const& e) {
    problem.message = std::string("malformed JSON: ") + e.what();
    return false;
  }
  return true;
}

bool importPolicyDocument(daCachedStore& store, nlohmann::json const& doc, ImportCounts& counts,
                          DocumentProblem& problem) {
  counts = ImportCounts{};
  problem = DocumentProblem{};
  Plan plan;
  try {
    readDocument(store, doc, plan);
    daTransaction t;
    unsigned long st;
    store.beginTransaction(t, daTransactionMode::update, st);
    if (st != 0) root().fail("cannot begin a transaction", st);
    Stager stager(store, t);
    for (auto& policies : plan.policies)
      for (PolicyItem& pi : policies) stager.policy(pi);
    for (ObjectItem& oi : plan.objects) stager.object(oi);
    // A failure above leaves t to its destructor, which discards it.
    store.commitTransaction(t, st);
    if (st != 0) root().fail("writing the changes failed", st);
  } catch (BadItem const& bad) {
    problem = DocumentProblem{bad.path, bad.message, bad.status};
    return false;
  }
  counts.acls = plan.policies[kAcl].size();
  counts.pops = plan.policies[kPop].size();
  counts.rules = plan.policies[kRule].size();
  counts.objects = plan.objects.size();
  return true;
}

bool exportPolicyDocument(daCachedStore& store, nlohmann::json& doc, DocumentProblem& problem) {
  problem = DocumentProblem{};
  doc = json::object();
  try {
    for (int kind = 0; kind < 3; ++kind) exportPolicies(store, kind, doc);
    exportObjects(store, doc);
  } catch (BadItem const& bad) {
    problem = DocumentProblem{bad.path, bad.message, bad.status};
    return false;
  }
  return true;
}

std::string describe(DocumentProblem const& problem) {
  std::string text = problem.path.empty() ? problem.message : problem.path + ": " + problem.message;
  if (problem.status != 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " (status 0x%8.8lx: ", problem.status);
    text += buf;
    text += hx_svc_status_text(problem.status);
    text += ")";
  }
  return text;
}

}  // namespace gxpolicy
