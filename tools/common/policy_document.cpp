// What policy import and export share; see policy_document.h.
#include "tools/common/policy_document.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <utility>

#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/ZObject.h"
#include "outside/hxasn_acl.h"

namespace gxpolicy {
namespace document {
namespace {

struct EntryType {
  unsigned int type;
  char const* name;
};
constexpr EntryType kEntryTypes[] = {
    {acl_e_user, "user"},
    {acl_e_group, "group"},
    {acl_e_any_other, "any-other"},
    {acl_e_unauthenticated, "unauthenticated"},
};

}  // namespace

char const* sectionName(int section) { return section == kObjects ? "objects" : kKinds[section].section; }

char const* itemField(int section) { return section == kObjects ? "object" : kKinds[section].field; }

char const* entryTypeName(unsigned int type) {
  for (EntryType const& e : kEntryTypes)
    if (e.type == type) return e.name;
  return nullptr;
}

bool entryTypeOf(std::string const& name, unsigned int& type) {
  for (EntryType const& e : kEntryTypes)
    if (name == e.name) {
      type = e.type;
      return true;
    }
  return false;
}

char const* entryTypeNames() { return "user, group, any-other, unauthenticated"; }

Path Path::operator/(std::string const& key) const {
  bool plain = !key.empty();
  for (char c : key) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  if (plain) return Path(text_.empty() ? key : text_ + "." + key);
  using json = nlohmann::json;
  return Path(text_ + "[" + json(key).dump(-1, ' ', false, json::error_handler_t::replace) + "]");
}

Path Path::operator/(std::size_t index) const { return Path(text_ + "[" + std::to_string(index) + "]"); }

void Path::fail(std::string message, unsigned long status) const {
  throw BadItem{text_, std::move(message), status};
}

Path root() { return Path(); }

Problem problemOf(BadItem const& bad) { return Problem{bad.message, bad.status, "", bad.path}; }

void throughQuickMap(std::function<void()> const& convert, Path const& p) {
  try {
    convert();
  } catch (ZInvalidParameterException_6_0 const&) {
    p.fail("the database's action catalogue has no \"primary\" group with actions", gx_s_no_action_group);
  }
}

}  // namespace document

unsigned long keysUnder(daCachedStore& store, char const* base, std::vector<std::string>& out) {
  out.clear();
  gxobj_name_list_s_t list{};
  unsigned long seq = 0, st = 0;
  store.daLocalStore::listObjects(GxObjectName(base), 1, list, seq, st);
  if (st == da_s_no_such_object) return 0;
  if (st != 0) return st;
  std::string const prefix = std::string(base) + "/";
  for (unsigned long i = 0; i < list.count; ++i) {
    std::string key = list.names[i];
    if (key == base) out.emplace_back();
    else if (key.compare(0, prefix.size(), prefix) == 0) out.push_back(key.substr(prefix.size() - 1));
  }
  freeNameList(list);
  return 0;
}

unsigned long attachedTo(daCachedStore& store, int kind, std::string const& name, std::vector<std::string>& out) {
  std::unique_ptr<daPolicyName> policy = kKinds[kind].name(name.c_str());
  if (!policy) return 0;
  Handle<daStoreObject> h;
  unsigned long st = 0;
  store.getObject(policy->getPolicyToObjMapName(), h, st);
  if (st == da_s_no_such_object) return 0;
  if (st != 0) return st;
  auto const* map = dynamic_cast<daPolicyObjectMap const*>(h.get());
  for (unsigned int i = 0; map != nullptr && i < map->count(); ++i) out.push_back(map->get(i));
  return 0;
}

unsigned long objectPaths(daCachedStore& store, std::set<std::string>& out) {
  out.clear();
  // The extended attributes of objects live under the root's key.
  GxObjectName const extAttrBase = daPObjName("/").getExtAttrName().getFullName();
  std::vector<std::string> keys;
  for (char const* base : {daPObjName::pobjbasename_, daPObjName::pobjtoaclmapbasename_,
                           daPObjName::pobjtopopmapbasename_, daPObjName::pobjtorulemapbasename_,
                           extAttrBase.getChars()}) {
    if (unsigned long st = keysUnder(store, base, keys); st != 0) return st;
    for (std::string& suffix : keys) out.insert(suffix.empty() ? "/" : std::move(suffix));
  }
  return 0;
}

}  // namespace gxpolicy
