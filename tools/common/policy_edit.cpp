// Edits of the policy by name; see policy_edit.h. Every item is kept in the
// document's form and rewritten through the import's readers and the
// export's writers after each operation (normaliseItem), so an operation
// is checked exactly as import checks an item, and before and after are
// comparable as the change log records them.
#include "tools/common/policy_edit.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxutil.h"
#include "outside/registry.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;
using namespace document;

char const* nounOf(int section) { return section == kObjects ? "protected object" : kKinds[section].noun; }

std::string named(int section, std::string const& key) {
  return section == kObjects ? std::string("the protected object ") + key
                             : std::string("the ") + kKinds[section].noun + " " + json(key).dump();
}

bool atOrBelow(std::string const& path, std::string const& prefix) {
  if (prefix == "/" || path == prefix) return true;
  return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 && path[prefix.size()] == '/';
}

// A few paths for a message: "/a, /b and 3 more".
std::string some(std::vector<std::string> const& paths) {
  std::string out;
  std::size_t shown = std::min<std::size_t>(paths.size(), 3);
  for (std::size_t i = 0; i < shown; ++i) out += (i == 0 ? "" : ", ") + paths[i];
  if (paths.size() > shown) out += " and " + std::to_string(paths.size() - shown) + " more";
  return out;
}

// The raw window fields of a POP, which its "access" replaces.
constexpr char const* kRawWindow[] = {"day_access", "start_access", "end_access", "time_reference"};

// Runs read, rewriting a problem's place from inner (a scratch item built
// around the value at p) to p itself.
template <class F>
json atPlace(F read, std::string const& inner, Path const& p) {
  try {
    return read();
  } catch (BadItem& bad) {
    if (bad.path.compare(0, inner.size(), inner) == 0) {
      std::string rest = bad.path.substr(inner.size());
      if (p.text().empty() && !rest.empty() && rest[0] == '.') rest.erase(0, 1);
      bad.path = p.text() + rest;
    }
    throw;
  }
}

}  // namespace

PolicyEdit::PolicyEdit(daCachedStore& store, gxreg::Registry* registry) : store_(store), registry_(registry) {}

std::string PolicyEdit::objectKey(std::string const& path, Path const& p) {
  if (path.find('\0') != std::string::npos) p.fail("contains a NUL character");
  daPObjName name(path.c_str());
  if (unsigned long st = name.validateAndFix(); st != 0) p.fail("invalid protected object name " + json(path).dump(), st);
  return name.getPathName();
}

PolicyEdit::Item& PolicyEdit::load(int section, std::string const& key) {
  auto [it, added] = items_.try_emplace({section, key});
  if (added) {
    try {
      it->second.before = exportItem(store_, registry_, section, key);
    } catch (...) {
      items_.erase(it);
      throw;
    }
    it->second.after = it->second.before;
    it->second.order = touched_++;
  }
  return it->second;
}

json const& PolicyEdit::current(int section, std::string const& key) { return load(section, key).after; }

PolicyEdit::Item& PolicyEdit::existing(int section, std::string const& key, Path const& p) {
  Item& item = load(section, key);
  if (item.after.is_null())
    p.fail("there is no " + std::string(nounOf(section)) + " " + (section == kObjects ? key : json(key).dump()) +
               (section == kObjects ? " (create it first)" : ""),
           da_s_no_such_object);
  return item;
}

void PolicyEdit::set(Item& item, json after, Path const& p) {
  item.after = std::move(after);
  item.place = p.text();
}

void PolicyEdit::create(int section, std::string const& given, json const& value, Path const& p) {
  std::string key = section == kObjects ? objectKey(given, p) : given;
  Item& item = load(section, key);
  if (!item.after.is_null()) p.fail(named(section, key) + " exists already");
  json fields = value.is_null() ? json::object() : value;
  set(item, normaliseItem(store_, registry_, section, key, fields, p), p);
}

void PolicyEdit::modify(int section, std::string const& given, json const& fields, Path const& p) {
  std::string key = section == kObjects ? objectKey(given, p) : given;
  Item& item = existing(section, key, p);
  if (!fields.is_object()) p.fail("expected an object of the fields to change");
  json merged = item.after;
  if (section == kPop && fields.contains("access"))
    for (char const* raw : kRawWindow) merged.erase(raw);
  if (section == kPop)
    for (char const* raw : kRawWindow)
      if (fields.contains(raw)) merged.erase("access");
  for (auto const& field : fields.items()) {
    if (field.value().is_null()) merged.erase(field.key());
    else merged[field.key()] = field.value();
  }
  set(item, normaliseItem(store_, registry_, section, key, merged, p), p);
}

std::vector<std::string> PolicyEdit::objectsBelow(std::string const& path) {
  std::set<std::string> paths;
  if (unsigned long st = objectPaths(store_, paths); st != 0)
    root().fail("cannot list the protected objects", st);
  for (auto const& [id, item] : items_) {
    if (id.first != kObjects) continue;
    if (item.after.is_null()) paths.erase(id.second);
    else paths.insert(id.second);
  }
  std::vector<std::string> below;
  for (std::string const& other : paths)
    if (other != path && atOrBelow(other, path)) below.push_back(other);
  return below;
}

void PolicyEdit::remove(int section, std::string const& given, bool recursive, Path const& p) {
  std::string key = section == kObjects ? objectKey(given, p) : given;
  Item& item = existing(section, key, p);
  if (section == kObjects) {
    std::vector<std::string> below = objectsBelow(key);
    if (!below.empty() && !recursive)
      p.fail(named(section, key) + " has " + std::to_string(below.size()) + " object" +
             (below.size() == 1 ? "" : "s") + " below it (" + some(below) + "); delete them first, or recursively");
    for (std::string const& other : below) set(load(kObjects, other), json(), p);
  }
  set(item, json(), p);
}

// The entry in the form export writes, its subject resolved and checked
// against the registry: a user or group must be known to it.
json PolicyEdit::subjectEntry(std::string const& acl, json const& entry, Path const& p) {
  if (!entry.is_object()) p.fail("expected an entry object");
  json e = entry;
  if (!e.contains("actions")) e["actions"] = "";
  json scratch = {{"entries", json::array({e})}};
  std::string const inner = (p / "entries" / 0).text();
  json made = atPlace([&] { return normaliseItem(store_, registry_, kAcl, acl, scratch, p); }, inner, p);
  json ne = made["entries"][0];
  std::string type = ne["type"];
  if (registry_ != nullptr && ne.contains("id") && !ne.contains("name"))
    p.fail("no " + type + " with uuid " + ne["id"].get<std::string>() + " in the user registry", da_s_no_such_object);
  return ne;
}

namespace {
bool sameSubject(json const& a, json const& b) { return a["type"] == b["type"] && a.value("id", "") == b.value("id", ""); }
std::string subjectText(json const& e) {
  std::string type = e["type"];
  if (e.contains("name")) return type + " " + e["name"].get<std::string>();
  return e.contains("id") ? type + " " + e["id"].get<std::string>() : type;
}
}  // namespace

void PolicyEdit::editList(int section, std::string const& key, char const* field, json const& element, bool put,
                          bool (*same)(json const&, json const&), std::string const& missing, Path const& p) {
  Item& item = existing(section, key, p);
  json merged = item.after;
  json& list = merged[field];
  if (!list.is_array()) list = json::array();
  auto it = std::find_if(list.begin(), list.end(), [&](json const& e) { return same(e, element); });
  if (!put && it == list.end()) p.fail(named(section, key) + " has no " + missing);
  if (!put) list.erase(it);
  else if (it != list.end()) *it = element;
  else list.push_back(element);
  set(item, normaliseItem(store_, registry_, section, key, merged, p), p);
}

void PolicyEdit::setEntry(std::string const& acl, json const& entry, Path const& p) {
  existing(kAcl, acl, p);
  editList(kAcl, acl, "entries", subjectEntry(acl, entry, p), true, sameSubject, "", p);
}

void PolicyEdit::removeEntry(std::string const& acl, json const& entry, Path const& p) {
  existing(kAcl, acl, p);
  json ne = subjectEntry(acl, entry, p);
  editList(kAcl, acl, "entries", ne, false, sameSubject, "entry for " + subjectText(ne), p);
}

namespace {
// The network and netmask as export writes them, checked as import does.
json levelEntry(daCachedStore& store, std::string const& pop, std::string const& network, std::string const& netmask,
                unsigned long level, Path const& p) {
  json scratch = {{"ipauth", json::array({{{"network", network}, {"netmask", netmask}, {"level", level}}})}};
  std::string const inner = (p / "ipauth" / 0).text();
  json made = atPlace([&] { return normaliseItem(store, nullptr, kPop, pop, scratch, p); }, inner, p);
  return made["ipauth"][0];
}
bool sameNetwork(json const& a, json const& b) { return a["network"] == b["network"] && a["netmask"] == b["netmask"]; }
}  // namespace

void PolicyEdit::setLevel(std::string const& pop, std::string const& network, std::string const& netmask,
                          unsigned long level, Path const& p) {
  existing(kPop, pop, p);
  editList(kPop, pop, "ipauth", levelEntry(store_, pop, network, netmask, level, p), true, sameNetwork, "", p);
}

void PolicyEdit::removeLevel(std::string const& pop, std::string const& network, std::string const& netmask,
                             Path const& p) {
  existing(kPop, pop, p);
  json ne = levelEntry(store_, pop, network, netmask, 0, p);
  editList(kPop, pop, "ipauth", ne, false, sameNetwork,
           "level for " + ne["network"].get<std::string>() + "/" + ne["netmask"].get<std::string>(), p);
}

void PolicyEdit::attach(int kind, std::string const& policy, std::string const& path, Path const& p) {
  std::string key = objectKey(path, p);
  Item& object = existing(kObjects, key, p);
  existing(kind, policy, p);
  char const* field = kKinds[kind].field;
  if (!object.after.value("attachable", true)) p.fail(named(kObjects, key) + " is not attachable");
  if (object.after.contains(field)) {
    std::string attached = object.after[field];
    if (attached == policy) return;
    p.fail(named(kObjects, key) + " has " + named(kind, attached) + " attached; detach it first");
  }
  json merged = object.after;
  merged[field] = policy;
  set(object, std::move(merged), p);
}

void PolicyEdit::detach(int kind, std::string const& policy, std::string const& path, Path const& p) {
  std::string key = objectKey(path, p);
  Item& object = existing(kObjects, key, p);
  char const* field = kKinds[kind].field;
  if (!object.after.contains(field)) p.fail(std::string("no ") + kKinds[kind].noun + " is attached at " + key);
  std::string attached = object.after[field];
  if (!policy.empty() && attached != policy)
    p.fail(std::string("the ") + kKinds[kind].noun + " attached at " + key + " is " + json(attached).dump() +
           ", not " + json(policy).dump());
  json merged = object.after;
  merged.erase(field);
  set(object, std::move(merged), p);
}

void PolicyEdit::check() {
  // Policies deleted while an object outside the edit still names them.
  std::vector<std::pair<int, std::string>> deleted;
  for (auto const& [id, item] : items_)
    if (id.first != kObjects && !item.before.is_null() && item.after.is_null()) deleted.push_back(id);
  for (auto const& [kind, name] : deleted) {
    Kind const& k = kKinds[kind];
    std::unique_ptr<daPolicyName> pn = k.name(name.c_str());
    Handle<daStoreObject> h;
    unsigned long st = 0;
    store_.getObject(pn->getPolicyToObjMapName(), h, st);
    if (st != 0 && st != da_s_no_such_object) root().fail("cannot read the objects of " + named(kind, name), st);
    auto const* map = dynamic_cast<daPolicyObjectMap const*>(h.get());
    std::vector<std::string> still;
    for (unsigned int i = 0; map != nullptr && i < map->count(); ++i) {
      std::string path = map->get(i);
      auto it = items_.find({kObjects, path});
      json const& after = it == items_.end() ? json() : it->second.after;
      if (it == items_.end() || (after.is_object() && after.value(k.field, "") == name)) still.push_back(path);
    }
    if (!still.empty())
      throw BadItem{items_.at({kind, name}).place,
                    named(kind, name) + " is still attached at " + some(still) + "; detach it first", 0};
  }
  // Every policy an object of the edit names exists once the edit is made.
  std::vector<std::pair<std::string, Item const*>> objects;
  for (auto const& [id, item] : items_)
    if (id.first == kObjects && !item.after.is_null()) objects.emplace_back(id.second, &item);
  for (auto const& [path, item] : objects)
    for (int kind = 0; kind < kKindCount; ++kind) {
      char const* field = kKinds[kind].field;
      if (!item->after.contains(field)) continue;
      std::string name = item->after[field];
      if (load(kind, name).after.is_null())
        throw BadItem{item->place,
                      named(kObjects, path) + " names " + named(kind, name) + ", which does not exist",
                      da_s_no_such_object};
    }
}

std::vector<ItemChange> PolicyEdit::changes() const {
  std::vector<std::pair<unsigned long, ItemChange>> ordered;
  for (auto const& [id, item] : items_)
    if (item.before != item.after) ordered.push_back({item.order, ItemChange{id.first, id.second, item.before, item.after}});
  std::sort(ordered.begin(), ordered.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
  std::vector<ItemChange> out;
  out.reserve(ordered.size());
  for (auto& o : ordered) out.push_back(std::move(o.second));
  return out;
}

unsigned long PolicyEdit::write(PolicyWriter& writer) {
  for (ItemChange const& c : changes()) {
    Path p = root() / sectionName(c.section) / c.key;
    unsigned long st;
    if (c.section == kObjects) {
      if (c.after.is_null()) {
        st = writer.removeObject(daPObjName(c.key.c_str()));
      } else {
        ObjectItem oi = readObjectItem(c.key, c.after, p);
        st = writer.object(oi);
      }
    } else if (c.after.is_null()) {
      st = writer.removePolicy(c.section, c.key);
    } else {
      PolicyItem pi = readPolicyItem(store_, registry_, c.section, c.key, c.after, p);
      st = writer.policy(pi);
    }
    if (st != 0) return st;
  }
  return 0;
}

}  // namespace gxpolicy
