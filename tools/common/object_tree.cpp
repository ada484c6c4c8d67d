// The tree of protected objects one level at a time; see object_tree.h.
#include "tools/common/object_tree.h"

#include <map>
#include <string_view>

#include "GxCore/daStoreObjectName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxdb.h"

namespace gxpolicy {
namespace {

bool validParent(std::string const& path) {
  if (path == "/") return true;
  return !path.empty() && path.front() == '/' && path.back() != '/' && path.find("//") == std::string::npos &&
         path.find('\0') == std::string::npos;
}

// Adds the children of the keys under prefix (base + parent + "/") to
// children: each child's own key costs one seek, and its subtree one more,
// skipped at once. Names are UTF-8, whose bytes never reach 0xFF, so a key
// "CHILD/" followed by 0xFF bytes sorts after every key of CHILD's subtree.
unsigned long collect(hx_db_handle* h, std::string const& prefix, std::map<std::string, bool>& children) {
  std::string after = prefix;
  for (;;) {
    unsigned long status = 0;
    std::string key;
    bool const any = hx_db_key_after(h, after, key, status);
    if (status != 0) return status;
    if (!any || key.compare(0, prefix.size(), prefix) != 0) return 0;
    std::string_view rest = std::string_view(key).substr(prefix.size());
    std::size_t slash = rest.find('/');
    std::string child(rest.substr(0, slash));
    bool& below = children[child];
    if (slash == std::string_view::npos) {
      after = key;
    } else {
      below = true;
      after = prefix + child + "/" + std::string(8, '\xff');
    }
  }
}

}  // namespace

unsigned long objectChildren(daCachedStore& store, std::string const& parent, std::optional<std::string> const& after,
                             std::size_t limit, std::vector<ObjectChild>& out, bool& more,
                             std::string const& namePrefix) {
  out.clear();
  more = false;
  if (!validParent(parent) || limit == 0) return gx_s_bad_pobj_name;
  hx_db_handle* h = store.getDBHandle();
  if (h == nullptr) return hx_db_s_bad_argument;
  std::string const extAttrBase = daPObjName("/").getExtAttrName().getFullName().getChars();
  std::string const below = parent == "/" ? "/" : parent + "/";
  std::map<std::string, bool> children;
  for (std::string const& base : {std::string(daPObjName::pobjbasename_), std::string(daPObjName::pobjtoaclmapbasename_),
                                 std::string(daPObjName::pobjtopopmapbasename_),
                                 std::string(daPObjName::pobjtorulemapbasename_), extAttrBase})
    if (unsigned long st = collect(h, base + below, children); st != 0) return st;
  auto it = children.lower_bound(namePrefix);
  if (after && *after >= namePrefix) it = children.upper_bound(*after);
  auto matches = [&](auto i) { return i != children.end() && i->first.compare(0, namePrefix.size(), namePrefix) == 0; };
  for (; matches(it) && out.size() < limit; ++it) out.push_back({it->first, below + it->first, it->second});
  more = matches(it);
  return 0;
}

}  // namespace gxpolicy
