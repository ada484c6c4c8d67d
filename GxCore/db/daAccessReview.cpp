// Access review. Both directions take the policy in force from decide (so
// that they resolve exactly what it resolves, memo included) and evaluate
// the ACL's entries in decide's order. whatCan reads only the keys of the
// three object-to-policy maps: an object without a map of its own has its
// parent's policy, so the answer can change only at those keys.
#include "GxCore/db/daAccessReview.h"

#include <algorithm>
#include <array>
#include <deque>
#include <cstring>
#include <exception>
#include <string_view>
#include <unordered_map>
#include <type_traits>
#include <utility>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxPop.h"
#include "GxCore/daRule.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daAccessWindow.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daReviewSupport.h"
#include "outside/file_registry.h"
#include "outside/hxasn_view.h"
#include "outside/hxdb.h"
#include "outside/registry.h"

namespace dareview {

std::string uuidText(hx_uuid_t const& u) {
  char text[37] = {};
  unsigned long st = 0;
  hx_uuid_to_string(u, text, st);
  return st == 0 ? std::string(text) : std::string();
}

std::string actionText(daCachedStore& store, GxACLPermset const& p) {
  ZUTF8String_6_0 text;
  unsigned long st = 0;
  store.mapBitmapShared(p, text, st);
  return st == 0 ? std::string(text.getChars()) : std::string();
}

}  // namespace dareview

namespace {

using dareview::actionText;
using dareview::uuidText;

bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string addressText(GxAddress const& a) {
  ZUTF8String_6_0 text;
  return a.getStrAddress(text) == 0 ? std::string(text.getChars()) : std::string("?");
}

std::string twoDigits(long n) { return (n < 10 ? "0" : "") + std::to_string(n); }

// The POP's window in words: days as a bit mask (bit 0 Sunday), hours as
// HH:MM-HH:MM, and the zone.
std::string windowText(GxPop const& pop, daAccessWindow const& w) {
  if (w.broken()) return w.brokenReason();
  std::string out;
  if (pop.dayAccess() != 0) {
    static char const* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    out = "days";
    for (int d = 0; d < 7; ++d)
      if (pop.dayAccess() & (1ul << d)) out += std::string(" ") + kDays[d];
  }
  if (pop.startAccess() != pop.endAccess()) {
    if (!out.empty()) out += ' ';
    out += twoDigits(pop.startAccess() / 60) + ":" + twoDigits(pop.startAccess() % 60) + "-" +
           twoDigits(pop.endAccess() / 60) + ":" + twoDigits(pop.endAccess() % 60);
  }
  out += pop.timeReferenceAccess() == 0 ? " UTC" : pop.timeReferenceAccess() == 1 ? " local time" : " " + w.zoneName();
  return out;
}

// The attributes the rule names (its ADI list) and its text into c.
void ruleDetails(daRule const& r, daReviewConditions& c) {
  ZArrayList_6_0 list;
  r.getADIList(list);
  for (unsigned int i = 0; i < list.size(); ++i)
    if (auto const* text = dynamic_cast<ZUTF8String_6_0 const*>(list.get(i))) c.ruleAttributes.emplace_back(text->getChars());
  if (ZUTF8String_6_0 const* text = r.getText()) c.ruleText = text->getChars();
}

// The rule attached at location's details into c; none when it cannot be
// read (decide has just read it, so it can).
void readRule(daCachedStore& store, std::string const& location, daReviewConditions& c) {
  daCacheStateLock reading(store, daCachedStore::open);
  Handle<daStoreObject> rule, extAttr;
  int resolved = 0;
  unsigned long st = 0;
  store.fetchRule(daPObjName(location.c_str()), rule, extAttr, resolved, nullptr, st);
  auto const* r = dynamic_cast<daRule const*>(rule.get());
  if (st == 0 && r != nullptr) ruleDetails(*r, c);
}

}  // namespace

namespace dareview {

void popConditions(GxPop const& pop, daReviewConditions& c) {
  c.hasPop = true;
  c.defaultLevel = pop.get_auth_level(0);
  for (unsigned long i = 1, n = pop.get_auth_count(); i < n; ++i) {
    GxAddress network, netmask;
    pop.get_network_addr(static_cast<int>(i), network);
    pop.get_netmask_addr(static_cast<int>(i), netmask);
    c.levels.push_back({addressText(network), addressText(netmask), pop.get_auth_level(static_cast<int>(i))});
  }
  daAccessWindow const window(pop);
  c.window = window.limited();
  c.windowBroken = window.broken();
  if (c.window) c.windowText = windowText(pop, window);
  c.protection = pop.qualityOfProtection();
  c.warningMode = pop.warningMode() != 0;
}

daReviewConditions conditionsOf(daCachedStore& store, daDecision const& d) {
  daReviewConditions c;
  if (GxPop const* pop = d.hasPop() ? d.pop() : nullptr) {
    popConditions(*pop, c);
    c.popName = d.popName();
    c.popLocation = d.popLocation();
  }
  if (d.hasRule()) {
    c.ruleName = d.ruleName();
    c.ruleLocation = d.ruleLocation();
    readRule(store, c.ruleLocation, c);
  }
  return c;
}

// 0 when the store has a protected object at path (normalised), or path is
// the root, which every object is below; da_s_no_such_object when not.
unsigned long checkExists(daCachedStore& store, std::string const& path) {
  if (path == "/") return 0;
  Handle<daStoreObject> h;
  unsigned long st = 0;
  store.getObject(daPObjName(path.c_str()), h, st);
  return st;
}

}  // namespace dareview

namespace {

using dareview::checkExists;
using dareview::conditionsOf;

// Whether the ACL decide used grants every action asked for.
bool aclGrants(daDecision const& d) {
  return d.cause() != daDecisionCause::noAcl && d.cause() != daDecisionCause::aclDenied;
}

}  // namespace

// ---- conditions --------------------------------------------------------------------

bool daReviewConditions::any(int callerLevel) const {
  if (!ruleName.empty()) return true;
  if (!hasPop) return false;
  if (window || protection != 0) return true;
  auto const level = static_cast<unsigned long>(std::max(callerLevel, 0));
  if (defaultLevel > level) return true;
  return std::any_of(levels.begin(), levels.end(), [level](Level const& l) { return l.level > level; });
}

std::string daReviewConditions::describe(int callerLevel) const {
  if (!any(callerLevel)) return std::string();
  std::string out;
  auto add = [&out](std::string const& part) { out += (out.empty() ? "" : "; ") + part; };
  if (hasPop) {
    auto const level = static_cast<unsigned long>(std::max(callerLevel, 0));
    bool levelMatters = defaultLevel > level ||
                        std::any_of(levels.begin(), levels.end(), [level](Level const& l) { return l.level > level; });
    if (levelMatters) {
      std::string part = "level " + std::to_string(defaultLevel);
      if (!levels.empty()) {
        part += " (";
        for (size_t i = 0; i < levels.size(); ++i)
          part += (i ? ", " : "") + std::string("level ") + std::to_string(levels[i].level) + " from " +
                  levels[i].network + "/" + levels[i].netmask;
        part += ")";
      }
      add(part);
    }
    if (window) add((windowBroken ? "broken access window: " : "access window ") + windowText);
    if (protection != 0)
      add("protection " + std::string(protection == 1 ? "integrity" : protection == 2 ? "privacy" : "none suffices"));
    if (warningMode) add("warning mode (window, level and protection waived)");
  }
  if (!ruleName.empty()) {
    std::string part = "rule " + ruleName;
    for (size_t i = 0; i < ruleAttributes.size(); ++i) part += (i ? ", " : " (reads ") + ruleAttributes[i];
    add(ruleAttributes.empty() ? part : part + ")");
  }
  return out;
}

// ---- who can -----------------------------------------------------------------------

namespace {

struct Subject {
  hx_uuid_t uuid;
  GxACLPermset perms;
};

// Finds uuid in subjects, or adds it with no permissions.
Subject& subjectOf(std::vector<Subject>& subjects, hx_uuid_t const& uuid) {
  for (Subject& s : subjects)
    if (sameUuid(s.uuid, uuid)) return s;
  subjects.push_back({uuid, GxACLPermset()});
  return subjects.back();
}

// The file registry behind registry, when it is one (it lists members).
std::shared_ptr<gxreg::FileRegistry const> memberLister(gxreg::Registry* registry) {
  if (auto* file = dynamic_cast<gxreg::FileRegistry*>(registry))
    return std::shared_ptr<gxreg::FileRegistry const>(std::shared_ptr<void>(), file);
  if (auto* watched = dynamic_cast<gxreg::WatchedFileRegistry*>(registry)) return watched->current();
  return nullptr;
}

// out gets the members of the ACL's groups (groupOut, named by the
// registry; groups the same in order with their united entries) with no
// user entry of their own whom the entries of the groups they are in, as
// the registry gives them, grant together. da_s_review_no_members when the
// registry cannot list members; a membership lookup's failure.
unsigned long expandMembers(daDecision const& d, std::vector<Subject> const& users,
                            std::vector<Subject> const& groups, std::vector<daReviewSubject> const& groupOut,
                            gxreg::Registry& registry, std::vector<daReviewMember>& out) {
  auto lister = memberLister(&registry);
  if (!lister) return da_s_review_no_members;
  std::vector<hx_uuid_t> seen;
  std::vector<hx_uuid_t> memberGroups;
  for (daReviewSubject const& g : groupOut) {
    if (g.name.empty()) continue;  // a group the registry does not know has no members there
    for (std::string const& memberName : lister->members(g.name)) {
      hx_uuid_t member{};
      if (registry.userUuid(memberName, member) != 0) continue;
      if (std::any_of(seen.begin(), seen.end(), [&](hx_uuid_t const& u) { return sameUuid(u, member); })) continue;
      seen.push_back(member);
      // A user entry of its own decides for the user alone.
      if (std::any_of(users.begin(), users.end(), [&](Subject const& u) { return sameUuid(u.uuid, member); }))
        continue;
      memberGroups.clear();
      if (unsigned long st = registry.userGroups(member, memberGroups); st != 0) return st;
      GxACLPermset granted;
      daReviewMember m{member, memberName, {}};
      for (size_t i = 0; i < groups.size(); ++i) {
        if (std::none_of(memberGroups.begin(), memberGroups.end(),
                         [&](hx_uuid_t const& x) { return sameUuid(x, groups[i].uuid); }))
          continue;
        granted |= groups[i].perms;
        m.viaGroups.push_back(groupOut[i].name.empty() ? uuidText(groups[i].uuid) : groupOut[i].name);
      }
      if (granted.isActionSet(d.requested())) out.push_back(std::move(m));
    }
  }
  return 0;
}

}  // namespace

void daWhoCan(daCachedStore& store, char const* object, char const* actions, gxreg::Registry* registry,
              daWhoCanOptions const& options, daWhoCanResult& result, unsigned long& status) {
  result = daWhoCanResult{};
  if (options.expand && registry == nullptr) {
    status = da_s_review_no_members;
    return;
  }
  daDecision d;
  store.decide(object, nullptr, actions, nullptr, d, status);
  if (status != 0) return;
  ZUTF8String_6_0 text(object);
  daPObjName::validateAndFix(text);
  result.object = text.getChars();
  status = checkExists(store, result.object);
  if (status != 0) {
    result = daWhoCanResult{};
    return;
  }
  result.actions = actions;
  result.conditions = conditionsOf(store, d);
  if (!d.hasAcl()) return;
  result.hasAcl = true;
  result.aclName = d.aclName();
  result.aclLocation = d.aclLocation();

  acl_ext_s_t const& acl = d.acl()->value();
  std::vector<Subject> users, groups;
  acl_entry_s_t const* anyOther = nullptr;
  acl_entry_s_t const* unauth = nullptr;
  for (uint32_t i = 0; i < acl.num_entries; ++i) {
    acl_entry_s_t const& e = acl.entries[i];
    switch (e.entry_type) {
      case acl_e_user: subjectOf(users, e.id).perms = GxACLPermset(e.perms); break;  // the last one decides
      case acl_e_group: subjectOf(groups, e.id).perms |= GxACLPermset(e.perms); break;
      case acl_e_any_other: anyOther = &e; break;
      case acl_e_unauthenticated: unauth = &e; break;
      default: break;
    }
  }
  GxACLPermset const& requested = d.requested();
  for (Subject const& u : users) {
    daReviewSubject s{u.uuid, {}, actionText(store, u.perms), u.perms.isActionSet(requested)};
    if (registry != nullptr) registry->userName(u.uuid, s.name);
    result.users.push_back(std::move(s));
  }
  for (Subject const& g : groups) {
    daReviewSubject s{g.uuid, {}, actionText(store, g.perms), g.perms.isActionSet(requested)};
    if (registry != nullptr) registry->groupName(g.uuid, s.name);
    result.groups.push_back(std::move(s));
  }
  if (anyOther != nullptr) {
    GxACLPermset p(anyOther->perms);
    result.hasAnyOther = true;
    result.anyOtherPermissions = actionText(store, p);
    result.anyOtherGranted = p.isActionSet(requested);
  }
  if (unauth != nullptr) {
    result.hasUnauthenticated = true;
    GxACLPermset p(unauth->perms);
    if (anyOther != nullptr) p &= GxACLPermset(anyOther->perms);
    else p.setMinPermissions();  // without an any-other entry nothing reaches unauthenticated callers
    result.unauthenticatedPermissions = actionText(store, p);
    result.unauthenticatedGranted = anyOther != nullptr && p.isActionSet(requested);
  }
  if (options.expand) {
    status = expandMembers(d, users, groups, result.groups, *registry, result.members);
    if (status != 0) result = daWhoCanResult{};
  }
}

// ---- paths and map keys ------------------------------------------------------------

namespace dareview {

// Paths ordered as a tree is walked: a parent right before its subtree
// ("/a", "/a/b", "/a-b"), so '/' sorts below every other byte.
bool treeLess(std::string_view a, std::string_view b) {
  size_t const n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (a[i] == '/') return true;
    if (b[i] == '/') return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

// path is at or below under (both normalised).
bool within(std::string_view path, std::string_view under) {
  if (under == "/") return !path.empty() && path[0] == '/';
  return path.substr(0, under.size()) == under && (path.size() == under.size() || path[under.size()] == '/');
}

bool isAncestor(std::string_view a, std::string_view b) { return a != b && within(b, a); }

namespace {

struct KeyScan {
  size_t baseLength;
  std::string const* under;
  std::function<bool(std::string_view)> const* each;
  std::exception_ptr failure;
};

bool scanKey(void* context, char const* key, size_t length) {
  auto& scan = *static_cast<KeyScan*>(context);
  std::string_view path(key + scan.baseLength, length - scan.baseLength);
  if (path.empty()) path = "/";
  if (!within(path, *scan.under)) return true;  // another base, or a sibling that shares the text
  try {
    return (*scan.each)(path);
  } catch (...) {
    scan.failure = std::current_exception();
    return false;
  }
}

}  // namespace

void scanKeys(daCachedStore& store, char const* base, std::string const& under,
              std::function<bool(std::string_view)> const& each, unsigned long& status) {
  std::string prefix = base;
  if (under != "/") prefix += under;
  KeyScan scan{std::strlen(base), &under, &each, nullptr};
  {
    daCacheStateLock reading(store, daCachedStore::open);
    if (store.getDBHandle() == nullptr) {
      status = da_s_store_unavailable;
      return;
    }
    hx_db_scan_prefix(store.getDBHandle(), prefix.c_str(), scanKey, &scan, status);
  }
  if (scan.failure) std::rethrow_exception(scan.failure);
}

void scanAttachmentPoints(daCachedStore& store, std::string const& under,
                          std::function<bool(std::string_view)> const& each, unsigned long& status) {
  status = 0;
  for (char const* base :
       {daPObjName::pobjtoaclmapbasename_, daPObjName::pobjtopopmapbasename_, daPObjName::pobjtorulemapbasename_}) {
    scanKeys(store, base, under, each, status);
    if (status != 0) return;
  }
}

void PointPaths::add(daCachedStore& store, unsigned long& status) {
  sorted_.clear();
  std::function<bool(std::string_view)> const collect = [this](std::string_view p) {
    spans_.emplace_back(text_.size(), p.size());
    text_.append(p);
    return true;
  };
  scanAttachmentPoints(store, under_, collect, status);
}

std::vector<std::string_view> const& PointPaths::sorted() {
  if (!sorted_.empty()) return sorted_;
  sorted_.reserve(spans_.size() + 1);
  for (auto [offset, length] : spans_) sorted_.emplace_back(text_.data() + offset, length);
  std::sort(sorted_.begin(), sorted_.end(), treeLess);
  sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
  if (sorted_.empty() || sorted_.front() != under_) sorted_.insert(sorted_.begin(), under_);
  return sorted_;
}

}  // namespace dareview

// ---- what can ----------------------------------------------------------------------

namespace {

using dareview::isAncestor;
using dareview::scanKeys;
using dareview::treeLess;
using dareview::within;

// The conditions of one POP and rule placement, read and described once
// per call.
struct Conditions {
  daReviewConditions conditions;
  bool conditional = false;  // conditions.any(level)
  int key = 0;               // 1 + the number of the description: equal keys, equal answers
};

enum Kind { kAcl = 0, kPop = 1, kRule = 2 };

// A policy in force: its name (a number the walk gave it, -1 none) and the
// point it is attached to (-1: above under, as the decision at under says).
struct Placed {
  int32_t name = -1;
  int32_t at = -1;
};

// A granted answer: the ACL in force (its name and location) and the
// conditions, shared by the points with the same placements. A grant of
// the walk (fastAnswers) has neither: it keeps what is in force, and the
// region it starts is filled from that (Answers::fill).
struct Grant {
  Conditions const* conditions = nullptr;
  std::pair<std::string, std::string> const* acl = nullptr;  // name, location
  int key = 0;
  bool conditional = false;  // conditions->conditional
  std::array<Placed, 3> placed{};
};

// The answer at one attachment point (or at under).
struct Point {
  std::string_view path;  // in Answers::paths
  Grant const* grant = nullptr;  // null: the ACL does not grant
  int key() const { return grant != nullptr ? grant->key : 0; }
};

// The answers at under and at every attachment point below it, in tree
// order, and the grants they point to.
struct Answers {
  explicit Answers(std::string const& under) : paths(under) {}
  dareview::PointPaths paths;
  std::vector<Point> points;
  std::deque<Grant> grants;
  std::deque<Conditions> conditions;
  std::deque<std::pair<std::string, std::string>> acls;
  std::shared_ptr<void const> keep;  // what the points' paths of the walk (fastAnswers) are in
  // Fills a region's ACL and conditions from a grant of the walk.
  std::function<void(Grant const&, daWhatCanRegion&)> fill;
};

// ---- what can, read from the file ---------------------------------------------------
// On a read-only store the answers at the points come from one walk down
// the points in tree order instead of a decision at each: the maps are read
// with the keys (one pass over each map's range), each point inherits what
// is in force at its nearest point above, and each ACL in force anywhere is
// read once and answered in place for the caller (hxAsnAclAnswer), never
// decoded. Every POP and rule in force is read as a decision would read it,
// so a policy that cannot be read is still found. Anything the walk does not
// take as it is (a map naming no policy or several, a missing policy, a
// record it does not read) sends the whole call back to the decisions, which
// give the exact status; the walk's answers are otherwise theirs.

// Calls each(key, storedValue) for the records whose keys begin with prefix,
// in key order, until it returns false. Statuses as hx_db_scan_records.
template <class Each>
void scanRecords(hx_db_handle* h, std::string const& prefix, Each& each, unsigned long& status) {
  // The greatest text below prefix that any key could hold before it: the
  // scan starts after it, so a key equal to prefix is seen.
  std::string after = prefix;
  after.back() = static_cast<char>(after.back() - 1);
  after.append(4, '\xff');
  struct Context {
    std::string const& prefix;
    Each& each;
    std::exception_ptr failure;
  } context{prefix, each, nullptr};
  auto visit = [](void* c, std::string_view key, std::string_view value) -> bool {
    auto& x = *static_cast<Context*>(c);
    if (key < x.prefix) return true;
    if (key.substr(0, x.prefix.size()) != x.prefix) return false;
    try {
      return x.each(key, value);
    } catch (...) {
      x.failure = std::current_exception();
      return false;
    }
  };
  hx_db_scan_records(h, after.c_str(), visit, &context, status);
  if (context.failure) std::rethrow_exception(context.failure);
}

// The one policy name of a map record (stored form) of type; false for a
// map of another type, naming no policy or several, or not read in place.
bool mapName(std::string_view stored, uint32_t type, std::string_view& name) {
  uint32_t value = 0, found = 0, count = 0, reserved = 0;
  std::string_view bytes;
  if (!hx_db_parse_stored(stored, value, found, bytes) || found != type) return false;
  HxBerView r(bytes.data(), bytes.size());
  return r.beginSequence() && r.getUInt32(count) && count == 1 && r.getUInt32(reserved) && r.getUInt32(reserved) &&
         r.beginSequence() && r.getText(name) && !name.empty() && r.endSequence() && r.endSequence() && r.finished();
}

// The policy names the walk met, by kind, each numbered once.
struct Walk {
  std::deque<std::string> names[3];  // a deque: the index's views stay valid as it grows
  std::unordered_map<std::string_view, int32_t> index[3];
  int32_t intern(int kind, std::string_view name) {
    auto found = index[kind].find(name);
    if (found != index[kind].end()) return found->second;
    auto const n = static_cast<int32_t>(names[kind].size());
    index[kind].emplace(names[kind].emplace_back(name), n);
    return n;
  }
};

// The points at and below under with their own maps: paths into text, in
// tree order, under first, with the names each point's maps give (-1
// none). False when a map is not taken as it is.
bool readPoints(daCachedStore& store, std::string const& under, Walk& walk, std::string& text,
                std::vector<std::string_view>& paths, std::vector<std::array<int32_t, 3>>& own, unsigned long& status) {
  struct Item {
    uint32_t offset, length;
    int32_t name;
  };
  std::vector<Item> items[3];  // per kind, in key order
  bool taken = true;
  text.assign(under);  // the first point's path, kept with the others
  static constexpr std::pair<char const*, uint32_t> kMaps[] = {
      {daPObjName::pobjtoaclmapbasename_, gx_type_map_pobj_to_acl},
      {daPObjName::pobjtopopmapbasename_, gx_type_map_pobj_to_pop},
      {daPObjName::pobjtorulemapbasename_, gx_type_map_pobj_to_rule}};
  {
    daCacheStateLock reading(store, daCachedStore::open);
    if (store.getDBHandle() == nullptr) {
      status = da_s_store_unavailable;
      return true;
    }
    for (int kind = kAcl; kind <= kRule; ++kind) {
      std::string const base = kMaps[kind].first;
      auto each = [&](std::string_view key, std::string_view value) {
        std::string_view path = key.substr(base.size());
        if (path.empty()) path = "/";
        if (!within(path, under)) return true;  // another base, or a sibling that shares the text
        std::string_view name;
        if (!mapName(value, kMaps[kind].second, name)) return taken = false;
        items[kind].push_back({static_cast<uint32_t>(text.size()), static_cast<uint32_t>(path.size()),
                               walk.intern(kind, name)});
        text.append(path);
        return true;
      };
      scanRecords(store.getDBHandle(), under == "/" ? base : base + under, each, status);
      if (status != 0 || !taken) return taken;
    }
  }
  // Key order is tree order unless a name holds a byte below '/': each
  // kind's run is then sorted, and the three merged.
  struct Ref {
    std::string_view path;
    int kind;
    int32_t name;
  };
  auto less = [](Ref const& x, Ref const& y) { return treeLess(x.path, y.path); };
  std::vector<Ref> runs[3], merged, all;
  for (int kind = kAcl; kind <= kRule; ++kind) {
    runs[kind].reserve(items[kind].size());
    for (Item const& i : items[kind]) runs[kind].push_back({std::string_view(text.data() + i.offset, i.length), kind, i.name});
    if (!std::is_sorted(runs[kind].begin(), runs[kind].end(), less)) std::sort(runs[kind].begin(), runs[kind].end(), less);
  }
  merged.reserve(runs[kAcl].size() + runs[kPop].size());
  std::merge(runs[kAcl].begin(), runs[kAcl].end(), runs[kPop].begin(), runs[kPop].end(), std::back_inserter(merged), less);
  all.reserve(merged.size() + runs[kRule].size());
  std::merge(merged.begin(), merged.end(), runs[kRule].begin(), runs[kRule].end(), std::back_inserter(all), less);
  paths.assign(1, std::string_view(text.data(), under.size()));
  own.assign(1, {-1, -1, -1});
  for (Ref const& r : all) {
    if (r.path != paths.back()) {
      paths.push_back(r.path);
      own.push_back({-1, -1, -1});
    }
    own.back()[r.kind] = r.name;
  }
  return true;
}

// The record under key (stored form) to each; false when there is none.
template <class Each>
bool readRecord(hx_db_handle* h, std::string const& key, Each&& each, unsigned long& status) {
  bool found = false;
  auto one = [&](std::string_view k, std::string_view value) {
    if (k == key) found = true, each(value);
    return false;
  };
  scanRecords(h, key, one, status);
  return found;
}

// Each needed ACL's answer to the caller: answers holds -1 for an ACL not
// needed and 0 for one that is; it gets 0 denied or 1 granted. False when
// a needed ACL is missing or not read in place.
bool answerAcls(daCachedStore& store, sec_id_pa_t const* caller, GxACLPermset const& requested, Walk const& walk,
                std::vector<int8_t>& answers, unsigned long& status) {
  std::vector<hx_uuid_t> groups;
  if (caller != nullptr)
    for (uint16_t g = 0; g < caller->num_groups; ++g) groups.push_back(caller->groups[g].uuid);
  hx_acl_caller const who{caller != nullptr ? &caller->principal.uuid : nullptr, groups.data(),
                          static_cast<uint32_t>(groups.size())};
  bool taken = true;
  auto answer = [&](int32_t i, std::string_view stored) {
    uint32_t value = 0, type = 0;
    std::string_view bytes;
    hx_acl_answer a = hx_acl_unreadable;
    if (hx_db_parse_stored(stored, value, type, bytes) && type == gx_type_acl)
      a = hxAsnAclAnswer(bytes.data(), static_cast<uint32_t>(bytes.size()), who, requested.value());
    if (a == hx_acl_unreadable) taken = false;
    answers[i] = a == hx_acl_granted ? 1 : 0;
  };
  size_t needed = 0;
  for (int8_t& a : answers)
    if (a == 0) a = -2, ++needed;  // needed, not yet read
  if (needed == 0) return true;
  // An ACL's key is the same prefix before every name (as a decision names it).
  int32_t const first = static_cast<int32_t>(std::find(answers.begin(), answers.end(), -2) - answers.begin());
  std::string const firstKey = daAclName(walk.names[kAcl][first].c_str()).getFullName().getChars();
  std::string_view const firstName = walk.names[kAcl][first];
  if (firstKey.size() < firstName.size() || std::string_view(firstKey).substr(firstKey.size() - firstName.size()) != firstName)
    return false;
  std::string const prefix = firstKey.substr(0, firstKey.size() - firstName.size());

  daCacheStateLock reading(store, daCachedStore::open);
  if (store.getDBHandle() == nullptr) {
    status = da_s_store_unavailable;
    return true;
  }
  if (needed < 256) {
    // A few: one lookup each.
    for (size_t i = 0; i < answers.size() && taken && status == 0; ++i)
      if (answers[i] == -2)
        readRecord(store.getDBHandle(), prefix + walk.names[kAcl][i],
                   [&](std::string_view v) { answer(static_cast<int32_t>(i), v); }, status);
  } else {
    // Many: one pass over every ACL, in key order.
    auto each = [&](std::string_view key, std::string_view value) {
      auto found = walk.index[kAcl].find(key.substr(prefix.size()));
      if (found != walk.index[kAcl].end() && answers[found->second] == -2) answer(found->second, value);
      return taken;
    };
    scanRecords(store.getDBHandle(), prefix, each, status);
  }
  if (status != 0 || !taken) return taken;
  return std::find(answers.begin(), answers.end(), -2) == answers.end();
}

// Reads every POP or rule of names as a decision reads it into parts (the
// conditions each adds); false when one cannot be read.
template <class Name, class Object, class Part>
bool readPolicies(daCachedStore& store, std::deque<std::string> const& names, std::vector<daReviewConditions>& parts,
                  Part&& part) {
  daCacheStateLock reading(store, daCachedStore::open);
  parts.resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    Handle<daStoreObject> h;
    unsigned long st = 0;
    store.getDBObject(Name(names[i].c_str()), h, st);
    auto* object = dynamic_cast<Object*>(h.get());
    if (st != 0 || object == nullptr) return false;
    part(*object, parts[i]);
  }
  return true;
}

// Two numbers as one hash key.
struct PairHash {
  size_t operator()(std::pair<int32_t, int32_t> const& k) const {
    return std::hash<uint64_t>()((uint64_t(uint32_t(k.first)) << 32) | uint32_t(k.second));
  }
};

// What the walk knows of the points at and below under in one policy epoch,
// whoever asks: kept by the store (daCachedStore::keepReview) and shared by
// the calls of every thread until the epoch moves or another under is
// asked about. Immutable once made.
struct Structure {
  std::uint64_t epoch = 0;
  std::string under;
  bool walkable = false;  // false: a record is not taken as it is; decide at every point
  std::string text;       // the paths
  Walk walk;
  std::vector<std::string_view> paths;  // under first, in tree order
  std::vector<std::array<Placed, 3>> inForce;
  std::vector<int8_t> needed;  // per ACL: 0 in force somewhere, -1 not
  std::vector<daReviewConditions> popPart, rulePart;  // what each POP and rule adds to the conditions
  std::string above[3];  // the locations above under, as the decision there says

  std::string location(Placed const& p, int kind) const { return p.at >= 0 ? std::string(paths[p.at]) : above[kind]; }
  // The conditions of the POP and rule in f, without their locations.
  daReviewConditions conditions(std::array<Placed, 3> const& f) const {
    daReviewConditions c;
    if (f[kPop].name >= 0) c = popPart[f[kPop].name];
    if (int32_t const r = f[kRule].name; r >= 0) {
      c.ruleName = walk.names[kRule][r];
      c.ruleAttributes = rulePart[r].ruleAttributes;
      c.ruleText = rulePart[r].ruleText;
    }
    return c;
  }
};

// Fills made for the points at and below under (s->under) as the store's
// file has them; made->walkable stays false when a record is not taken.
void readStructure(daCachedStore& store, daDecision const& d, Structure& made, unsigned long& status) {
  Walk& walk = made.walk;
  std::vector<std::array<int32_t, 3>> own;
  if (!readPoints(store, made.under, walk, made.text, made.paths, own, status) || status != 0) return;

  // What is in force at each point: its own maps over its nearest point's.
  std::vector<std::string_view> const& paths = made.paths;
  std::array<Placed, 3> top;
  if (d.hasAcl()) top[kAcl].name = walk.intern(kAcl, d.aclName());
  if (d.hasPop()) top[kPop].name = walk.intern(kPop, d.popName());
  if (d.hasRule()) top[kRule].name = walk.intern(kRule, d.ruleName());
  made.inForce.resize(paths.size());
  made.inForce[0] = top;
  std::vector<size_t> chain{0};
  for (size_t i = 1; i < paths.size(); ++i) {
    while (!isAncestor(paths[chain.back()], paths[i])) chain.pop_back();
    made.inForce[i] = made.inForce[chain.back()];
    for (int k = kAcl; k <= kRule; ++k)
      if (own[i][k] >= 0) made.inForce[i][k] = Placed{own[i][k], static_cast<int32_t>(i)};
    chain.push_back(i);
  }
  made.needed.assign(walk.names[kAcl].size(), -1);
  for (auto const& f : made.inForce)
    if (f[kAcl].name >= 0) made.needed[f[kAcl].name] = 0;
  made.above[kAcl] = d.aclLocation();
  made.above[kPop] = d.popLocation();
  made.above[kRule] = d.ruleLocation();
  auto popPart = [&walk](GxPop& pop, daReviewConditions& c) {
    // A POP's address levels are decoded on first use; a decision's copy
    // has them decoded (and, as there, a list that does not decode is none).
    pop.getIPAuthList();
    dareview::popConditions(pop, c);
  };
  auto rulePart = [](daRule& rule, daReviewConditions& c) { ruleDetails(rule, c); };
  if (!readPolicies<daPopName, GxPop>(store, walk.names[kPop], made.popPart, popPart) ||
      !readPolicies<daRuleName, daRule>(store, walk.names[kRule], made.rulePart, rulePart))
    return;
  for (size_t i = 0; i < made.popPart.size(); ++i) made.popPart[i].popName = walk.names[kPop][i];
  made.walkable = true;
}

// The structure at under in the store's current epoch: the one the store
// keeps, or one read now (and kept unless reading failed; null then).
// epoch is the store's, read before d was decided: what is read is at
// least that new, and a structure is used only while the epoch holds.
std::shared_ptr<Structure const> structureOf(daCachedStore& store, daDecision const& d, std::string const& under,
                                             std::uint64_t epoch, unsigned long& status) {
  auto kept = std::static_pointer_cast<Structure const>(store.reviewKept());
  if (kept && kept->epoch == epoch && kept->under == under) return kept;
  auto made = std::make_shared<Structure>();
  made->epoch = epoch;
  made->under = under;
  readStructure(store, d, *made, status);
  if (status != 0) return nullptr;
  store.keepReview(made);
  return made;
}

// The answers at under and every point below it from the walk (see above).
// False (answers untouched) when the decisions must give them.
bool fastAnswers(daCachedStore& store, sec_id_pa_t* caller, daDecision const& d, std::string const& under,
                 std::uint64_t epoch, Answers& answers, unsigned long& status) {
  std::shared_ptr<Structure const> known = structureOf(store, d, under, epoch, status);
  if (status != 0) return true;
  if (!known->walkable) return false;
  std::vector<int8_t> aclAnswer = known->needed;
  if (!answerAcls(store, caller, d.requested(), known->walk, aclAnswer, status) || status != 0) return status != 0;

  answers.keep = known;
  answers.fill = [known](Grant const& g, daWhatCanRegion& r) {
    r.aclName = known->walk.names[kAcl][g.placed[kAcl].name];
    r.aclLocation = known->location(g.placed[kAcl], kAcl);
    r.conditions = known->conditions(g.placed);
    if (r.conditions.hasPop) r.conditions.popLocation = known->location(g.placed[kPop], kPop);
    if (!r.conditions.ruleName.empty()) r.conditions.ruleLocation = known->location(g.placed[kRule], kRule);
  };

  // Each point's grant: its answer's key and whether it is conditional
  // depend on the POP and rule in force only (their description names no
  // location), so they are worked out once per pair of them.
  int const level = caller != nullptr ? 1 : 0;
  struct Answer {
    int key;
    bool conditional;
  };
  std::unordered_map<std::pair<int32_t, int32_t>, Answer, PairHash> byPair;
  std::unordered_map<std::string, int> descriptions;
  answers.points.reserve(known->paths.size());
  for (size_t i = 0; i < known->paths.size(); ++i) {
    std::array<Placed, 3> const& f = known->inForce[i];
    Point p;
    p.path = known->paths[i];
    if (f[kAcl].name >= 0 && aclAnswer[f[kAcl].name] == 1) {
      auto [a, added] = byPair.try_emplace({f[kPop].name, f[kRule].name}, Answer{0, false});
      if (added) {
        daReviewConditions const c = known->conditions(f);
        a->second.conditional = c.any(level);
        a->second.key = 1 + descriptions.try_emplace(c.describe(level), static_cast<int>(descriptions.size())).first->second;
      }
      p.grant = &answers.grants.emplace_back(Grant{nullptr, nullptr, a->second.key, a->second.conditional, f});
    }
    answers.points.push_back(p);
  }
  return true;
}

void answerPoints(daCachedStore& store, sec_id_pa_t* caller, char const* actions, std::string const& under,
                  Answers& answers, unsigned long& status) {
  std::uint64_t const epoch = store.policyEpoch();
  daDecision d;
  store.decide(under.c_str(), caller, actions, nullptr, d, status);  // checks the actions and the store first
  if (status != 0) return;
  status = checkExists(store, under);
  if (status != 0) return;
  if (store.isReadOnly() && fastAnswers(store, caller, d, under, epoch, answers, status)) return;
  answers.points.clear();
  answers.paths.add(store, status);
  if (status != 0) return;
  std::vector<std::string_view> const& paths = answers.paths.sorted();
  int const level = caller != nullptr ? 1 : 0;
  std::unordered_map<std::string, Grant const*> byPlacement;  // ACL, POP and rule locations
  std::unordered_map<std::string, Conditions const*> byConditions;  // POP and rule locations
  std::unordered_map<std::string, std::pair<std::string, std::string> const*> byAcl;
  std::unordered_map<std::string, int> descriptions;
  std::string placement;
  answers.points.reserve(paths.size());
  std::string path;
  for (std::string_view at : paths) {
    path.assign(at);
    store.decide(path.c_str(), caller, actions, nullptr, d, status);
    if (status != 0) return;
    Point p;
    p.path = at;
    if (aclGrants(d)) {
      placement.assign(d.aclLocation()).append(1, '\n').append(d.popLocation()).append(1, '\n').append(d.ruleLocation());
      auto [found, added] = byPlacement.try_emplace(placement, nullptr);
      if (added) {
        placement.erase(0, placement.find('\n') + 1);
        auto [c, newConditions] = byConditions.try_emplace(placement, nullptr);
        if (newConditions) {
          Conditions& made = answers.conditions.emplace_back();
          made.conditions = conditionsOf(store, d);
          made.conditional = made.conditions.any(level);
          made.key = 1 + descriptions.try_emplace(made.conditions.describe(level), static_cast<int>(descriptions.size()))
                             .first->second;
          c->second = &made;
        }
        placement.assign(d.aclLocation());
        auto [a, newAcl] = byAcl.try_emplace(placement, nullptr);
        if (newAcl) a->second = &answers.acls.emplace_back(d.aclName(), d.aclLocation());
        found->second = &answers.grants.emplace_back(Grant{c->second, a->second, c->second->key, c->second->conditional});
      }
      p.grant = found->second;
    }
    answers.points.push_back(std::move(p));
  }
}

}  // namespace

void daWhatCan(daCachedStore& store, sec_id_pa_t* caller, char const* actions, char const* under,
               std::function<bool(daWhatCanRegion const&)> const& each, unsigned long& status) {
  ZUTF8String_6_0 text(under == nullptr || under[0] == '\0' ? "/" : under);
  status = daPObjName::validateAndFix(text);
  if (status != 0) return;
  Answers answers(text.getChars());
  answerPoints(store, caller, actions, text.getChars(), answers, status);
  if (status != 0) return;
  std::vector<Point> const& points = answers.points;

  // Walk the points in tree order with the chain of their ancestors: a
  // point with its parent's answer continues the parent's region; one with
  // another answer is an exception of the parent's region and, when
  // granted, starts its own.
  struct Open {
    size_t point;
    long region;  // -1: the answer here is not granted
  };
  std::vector<Open> chain;
  std::vector<daWhatCanRegion> regions;
  for (size_t i = 0; i < points.size(); ++i) {
    Point const& p = points[i];
    while (!chain.empty() && !isAncestor(points[chain.back().point].path, p.path)) chain.pop_back();
    Open const* parent = chain.empty() ? nullptr : &chain.back();
    long region = -1;
    if (parent != nullptr && points[parent->point].key() == p.key()) {
      region = parent->region;
    } else {
      if (parent != nullptr && parent->region >= 0) regions[parent->region].exceptions.emplace_back(p.path);
      if (p.grant != nullptr) {
        daWhatCanRegion r;
        r.prefix.assign(p.path);
        r.conditional = p.grant->conditional;
        if (p.grant->conditions != nullptr) {
          r.conditions = p.grant->conditions->conditions;
          r.aclName = p.grant->acl->first;
          r.aclLocation = p.grant->acl->second;
        } else {
          answers.fill(*p.grant, r);
        }
        region = static_cast<long>(regions.size());
        regions.push_back(std::move(r));
      }
    }
    chain.push_back({i, region});
  }
  for (daWhatCanRegion const& r : regions)
    if (!each(r)) break;
}

void daWhatCanObjects(daCachedStore& store, sec_id_pa_t* caller, char const* actions, char const* under,
                      char const* after, std::function<bool(char const* object, bool conditional)> const& each,
                      unsigned long& status) {
  ZUTF8String_6_0 text(under == nullptr || under[0] == '\0' ? "/" : under);
  status = daPObjName::validateAndFix(text);
  if (status != 0) return;
  std::string const root = text.getChars();
  Answers answers(root);
  answerPoints(store, caller, actions, root, answers, status);
  if (status != 0) return;
  std::unordered_map<std::string_view, Point const*> byPath;
  for (Point const& p : answers.points) byPath.emplace(p.path, &p);
  std::string const cursor = after != nullptr ? after : "";
  std::string object;
  std::function<bool(std::string_view)> const visit = [&](std::string_view path) {
    if (!cursor.empty() && path <= cursor) return true;
    // The nearest point at or above path answers for it; under is one.
    std::string_view at = path;
    auto found = byPath.find(at);
    while (found == byPath.end()) {
      size_t const slash = at.rfind('/');
      at = at.substr(0, slash == 0 ? 1 : slash);
      found = byPath.find(at);
    }
    Point const& p = *found->second;
    if (p.grant == nullptr) return true;
    object.assign(path);
    return each(object.c_str(), p.grant->conditional);
  };
  scanKeys(store, daPObjName::pobjbasename_, root, visit, status);
}
