// Policy export; see policy_export.h.
#include "tools/common/policy_export.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxsvc.h"
#include "outside/hxutil.h"
#include "outside/registry.h"
#include "tools/common/policy_document.h"
#include "tools/common/pop_access.h"
#include "tools/common/policy_write.h"

namespace gxpolicy {
namespace {

using namespace document;
using json = nlohmann::json;
using H = Handle<daStoreObject>;

std::string keyOf(daStoreObjectName const& name) { return name.getFullName().getChars(); }

// The store takes texts as bytes, while a JSON document is UTF-8 (the
// serialiser throws on anything else). Texts that are not UTF-8 are written
// with U+FFFD in place of each invalid byte, and their places noted: the
// stored bytes cannot round-trip, and the user must hear which items lost
// them.
class TextCleaner {
 public:
  explicit TextCleaner(std::vector<std::string>* places) : places_(places) {}

  // text, or its cleaned copy (place noted).
  std::string key(std::string const& text, Path const& p) {
    if (valid(text)) return text;
    note(p);
    return replaced(text);
  }

  // Cleans every string and member name in j, p being j's place.
  void clean(json& j, Path const& p) {
    if (j.is_string()) {
      if (!valid(j.get_ref<std::string const&>())) {
        note(p);
        j = replaced(j.get_ref<std::string const&>());
      }
    } else if (j.is_array()) {
      for (std::size_t i = 0; i < j.size(); ++i) clean(j[i], p / i);
    } else if (j.is_object()) {
      bool keysValid = true;
      for (auto const& item : j.items()) keysValid = keysValid && valid(item.key());
      if (keysValid) {
        for (auto& item : j.items()) clean(item.value(), p / item.key());
        return;
      }
      json rebuilt = json::object();
      for (auto& item : j.items()) {
        Path ip = p / item.key();
        json& v = rebuilt[key(item.key(), ip)] = std::move(item.value());
        clean(v, ip);
      }
      j = std::move(rebuilt);
    }
  }

 private:
  static bool valid(std::string const& text) {
    return text.find('\0') == std::string::npos && utf8_validchars(text.c_str(), "") != 0;
  }
  static std::string replaced(std::string const& text) {
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
  }
  void note(Path const& p) {
    if (places_ != nullptr) places_->push_back(p.text());
  }

  std::vector<std::string>* places_;
};

// keysUnder for the export: a listing that fails is the document's problem.
std::vector<std::string> keysUnder(daCachedStore& store, char const* base) {
  std::vector<std::string> out;
  if (unsigned long st = gxpolicy::keysUnder(store, base, out); st != 0)
    root().fail(std::string("cannot list ") + base, st);
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

void writeAttributes(GxExtAttr const* ext, json& out) {
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
  unsigned long st = 0;
  throughQuickMap([&] { store.mapBitmap(perms, text, st); }, p);
  if (st != 0) p.fail("cannot render the permissions as an action string", st);
  return text.getChars();
}

json exportAcl(daCachedStore& store, gxreg::Registry* registry, GxACL const& acl, Path const& p) {
  json j = json::object();
  if (acl.description()) j["description"] = acl.description();
  json entries = json::array();
  for (unsigned long i = 0; i < acl.numEntries(); ++i) {
    acl_entry_s_t const& e = acl.entry(i);
    json entry = json::object();
    char const* type = entryTypeName(e.entry_type);
    if (type == nullptr) (p / "entries" / i).fail("entry of unsupported type " + std::to_string(e.entry_type));
    entry["type"] = type;
    if (e.entry_type == acl_e_user || e.entry_type == acl_e_group) {
      char id[37];
      unsigned long st;
      hx_uuid_to_string(e.id, id, st);
      if (st != 0) (p / "entries" / i).fail("cannot format the entry's uuid", st);
      entry["id"] = id;
      // A uuid the registry does not know keeps its entry, without a name.
      std::string name;
      if (registry != nullptr &&
          (e.entry_type == acl_e_user ? registry->userName(e.id, name) : registry->groupName(e.id, name)) == 0)
        entry["name"] = name;
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
  if (json access = writePopAccess(pop); !access.is_null()) j["access"] = std::move(access);
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

// The object at path as stored, in the document's form; null when it has
// no record, no attachment and no attributes, unless always.
json exportStoredObject(daCachedStore& store, std::string const& path, Path const& p, bool always) {
  daPObjName name(path.c_str());
  H h, eh;
  GxPObj const* pobj = fetch<GxPObj>(store, name, h, p);
  GxExtAttr const* ext = fetch<GxExtAttr>(store, name.getExtAttrName(), eh, p / "attributes");
  std::optional<std::string> policy[kKindCount];
  bool any = pobj != nullptr || ext != nullptr;
  for (int kind = 0; kind < kKindCount; ++kind) {
    Kind const& k = kKinds[kind];
    H mh;
    auto const* map = fetch<daPolicyObjectMap>(store, (name.*k.objectMap)(), mh, p / k.field);
    if (map == nullptr) continue;
    if (map->count() != 1)
      (p / k.field).fail("the object's map names " + std::to_string(map->count()) + " " + k.noun + "s");
    policy[kind] = map->get(0);
    any = true;
  }
  if (!any && !always) return json();
  GxPObj defaults;
  return objectItemJson(pobj != nullptr ? *pobj : defaults, policy, ext);
}

void exportPolicies(daCachedStore& store, gxreg::Registry* registry, int kind, json& doc, TextCleaner& cleaner) {
  Kind const& k = kKinds[kind];
  json section = json::object();
  for (std::string const& suffix : keysUnder(store, k.base)) {
    if (suffix.size() < 2) continue;  // the base key itself names no policy
    std::string name = suffix.substr(1);
    Path p = root() / k.section / name;
    std::unique_ptr<daPolicyName> pn = k.name(name.c_str());
    json j = exportItem(store, registry, kind, name);
    if (j.is_null()) p.fail(std::string("the ") + k.noun + " disappeared while it was read", da_s_no_such_object);
    cleaner.clean(j, p);
    section[cleaner.key(name, p)] = std::move(j);
  }
  doc[k.section] = std::move(section);
}

// Every path with a protected-object record, an attachment or extended
// attributes; a listing that fails is the document's problem.
std::set<std::string> objectPaths(daCachedStore& store) {
  std::set<std::string> paths;
  if (unsigned long st = gxpolicy::objectPaths(store, paths); st != 0) root().fail("cannot list the objects", st);
  return paths;
}

void exportObjects(daCachedStore& store, json& doc, TextCleaner& cleaner) {
  json section = json::object();
  for (std::string const& path : objectPaths(store)) {
    Path p = root() / sectionName(kObjects) / path;
    json j = exportStoredObject(store, path, p, true);
    cleaner.clean(j, p);
    section[cleaner.key(path, p)] = std::move(j);
  }
  doc[sectionName(kObjects)] = std::move(section);
}

}  // namespace

namespace document {

json policyItemJson(daCachedStore& store, gxreg::Registry* registry, int kind, daStoreObject& policy,
                    GxExtAttr const* ext, Path const& p) {
  json j;
  auto wrongKind = [&]() { p.fail(std::string("the record is not a ") + kKinds[kind].noun, da_s_unknown_type); };
  switch (kind) {
    case kAcl: {
      auto const* acl = dynamic_cast<GxACL const*>(&policy);
      if (acl == nullptr) wrongKind();
      j = exportAcl(store, registry, *acl, p);
      break;
    }
    case kPop: {
      auto* pop = dynamic_cast<GxPop*>(&policy);
      if (pop == nullptr) wrongKind();
      j = exportPop(*pop);
      break;
    }
    default: {
      auto const* rule = dynamic_cast<daRule const*>(&policy);
      if (rule == nullptr) wrongKind();
      j = exportRule(*rule);
      break;
    }
  }
  writeAttributes(ext, j);
  return j;
}

json objectItemJson(GxPObj const& pobj, std::optional<std::string> const (&policy)[kKindCount], GxExtAttr const* ext) {
  json j = json::object();
  if (pobj.description()) j["description"] = pobj.description();
  j["type"] = pobj.type();
  j["attachable"] = pobj.policyAttachable();
  for (int kind = 0; kind < kKindCount; ++kind)
    if (policy[kind]) j[kKinds[kind].field] = *policy[kind];
  writeAttributes(ext, j);
  return j;
}

json exportItem(daCachedStore& store, gxreg::Registry* registry, int section, std::string const& key) {
  Path p = root() / sectionName(section) / key;
  if (section == kObjects) return exportStoredObject(store, key, p, false);
  Kind const& k = kKinds[section];
  std::unique_ptr<daPolicyName> name = k.name(key.c_str());
  H h, eh;
  unsigned long st;
  store.getObject(*name, h, st);
  if (st == da_s_no_such_object) return json();
  if (st != 0) p.fail("cannot read " + keyOf(*name), st);
  GxExtAttr const* ext = fetch<GxExtAttr>(store, name->getExtAttrName(), eh, p / "attributes");
  return policyItemJson(store, registry, section, *h.get(), ext, p);
}

json normaliseItem(daCachedStore& store, gxreg::Registry* registry, int section, std::string const& key,
                   json const& value, Path const& p) {
  if (section == kObjects) {
    ObjectItem oi = readObjectItem(key, value, p);
    return objectItemJson(*oi.pobj, oi.policy, oi.ext.get());
  }
  PolicyItem pi = readPolicyItem(store, registry, section, key, value, p);
  return policyItemJson(store, registry, section, *pi.object, pi.ext.get(), p);
}

}  // namespace document

bool exportPolicyDocument(daCachedStore& store, nlohmann::json& doc, Problem& problem,
                          std::vector<std::string>* invalidText, gxreg::Registry* registry) {
  problem = Problem{};
  doc = json::object();
  if (invalidText != nullptr) invalidText->clear();
  TextCleaner cleaner(invalidText);
  try {
    for (int kind = 0; kind < 3; ++kind) exportPolicies(store, registry, kind, doc, cleaner);
    exportObjects(store, doc, cleaner);
  } catch (BadItem const& bad) {
    problem = problemOf(bad);
    return false;
  }
  return true;
}

}  // namespace gxpolicy
