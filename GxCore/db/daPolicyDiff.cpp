// What a change of policy changes. The answer at an object is the answer at
// the nearest attachment point at or above it (in either store: a point of
// one store is an object without a map of its own in the other, which
// answers as its parent there), so the union of both stores' points, each
// decided on both sides, says everything. Points in tree order with the
// chain of their ancestors give the regions, as daWhatCan's do: a point
// with its parent's change continues the parent's region, one with another
// change (or none) is an exception of it.
#include "GxCore/db/daPolicyDiff.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <string_view>
#include <utility>

#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daReviewSupport.h"
#include "outside/registry.h"

char const* daDiffSubjectText(daDiffSubject s) {
  switch (s) {
    case daDiffSubject::user: return "user";
    case daDiffSubject::group: return "group";
    case daDiffSubject::anyOther: return "any-other";
    case daDiffSubject::unauthenticated: return "unauthenticated";
  }
  return "?";
}

namespace {

bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool emptySet(GxACLPermset const& p) {
  for (unsigned long g = 0; g < p.count(); ++g)
    if (p.actionGroup(g) != 0) return false;
  return true;
}

// a without b's bits.
GxACLPermset minus(GxACLPermset const& a, GxACLPermset const& b) {
  GxACLPermset out(a);
  b.maskPermset(out.value());
  return out;
}

bool sameBits(GxACLPermset const& a, GxACLPermset const& b) { return emptySet(minus(a, b)) && emptySet(minus(b, a)); }

// What acl (null: none) grants caller (null: unauthenticated).
GxACLPermset grantedTo(GxACL const* acl, sec_id_pa_t* caller) {
  GxACLPermset out;
  if (acl == nullptr) return out;
  unsigned long st = 0;
  acl_inq_permset_for_pa_applied(caller, &acl->value(), &out.value(), nullptr, &st);
  return out;
}

// The entries of one kind (and, for users and groups, one uuid) united;
// whether there was any.
bool entriesOf(GxACL const* acl, uint32_t type, hx_uuid_t const* id, bool last, GxACLPermset& out) {
  out = GxACLPermset();
  bool found = false;
  if (acl == nullptr) return false;
  acl_ext_s_t const& v = acl->value();
  for (uint32_t i = 0; i < v.num_entries; ++i) {
    acl_entry_s_t const& e = v.entries[i];
    if (e.entry_type != type || (id != nullptr && !sameUuid(e.id, *id))) continue;
    if (last) out = GxACLPermset(e.perms);
    else out |= GxACLPermset(e.perms);
    found = true;
  }
  return found;
}

bool sameWords(acl_permset_s_t const& a, acl_permset_s_t const& b) {
  for (uint32_t g = 0, n = std::max(a.count, b.count); g < n; ++g)
    if ((g < a.count ? a.groups[g] : 0) != (g < b.count ? b.groups[g] : 0)) return false;
  return true;
}

// Whether a and b hold the same entries in the same order (then they grant
// everyone the same). Both null is the same; one null is not.
bool sameEntries(GxACL const* a, GxACL const* b) {
  if (a == nullptr || b == nullptr) return a == b;
  acl_ext_s_t const &x = a->value(), &y = b->value();
  if (x.num_entries != y.num_entries) return false;
  for (uint32_t i = 0; i < x.num_entries; ++i) {
    acl_entry_s_t const &e = x.entries[i], &f = y.entries[i];
    if (e.entry_type != f.entry_type || !sameWords(e.perms, f.perms)) return false;
    if ((e.entry_type == acl_e_user || e.entry_type == acl_e_group) && !sameUuid(e.id, f.id)) return false;
  }
  return true;
}

// The uuids the entries of type name in either ACL, in order of first
// appearance.
std::vector<hx_uuid_t> subjectsOf(GxACL const* a, GxACL const* b, uint32_t type) {
  std::vector<hx_uuid_t> out;
  for (GxACL const* acl : {a, b}) {
    if (acl == nullptr) continue;
    acl_ext_s_t const& v = acl->value();
    for (uint32_t i = 0; i < v.num_entries; ++i)
      if (v.entries[i].entry_type == type &&
          std::none_of(out.begin(), out.end(), [&](hx_uuid_t const& u) { return sameUuid(u, v.entries[i].id); }))
        out.push_back(v.entries[i].id);
  }
  return out;
}

// Everything a decision's conditions require, names and places aside: equal
// keys, equal conditions.
std::string keyOf(daReviewConditions const& c) {
  std::string k;
  // A POP that requires nothing (level 0 from everywhere, no window, no
  // protection) answers as no POP does, unless its warning mode waives a
  // rule's denial.
  bool const demands = c.hasPop && (c.defaultLevel != 0 || c.window || c.protection != 0 ||
                                     (c.warningMode && !c.ruleName.empty()) ||
                                     std::any_of(c.levels.begin(), c.levels.end(),
                                                 [](daReviewConditions::Level const& l) { return l.level != 0; }));
  if (demands) {
    k += "pop " + std::to_string(c.defaultLevel);
    for (auto const& l : c.levels) k += " " + l.network + "/" + l.netmask + "=" + std::to_string(l.level);
    k += c.window ? " window " + c.windowText : std::string();
    k += c.windowBroken ? " broken" : "";
    k += " qop " + std::to_string(c.protection) + (c.warningMode ? " warn" : "");
  }
  if (!c.ruleName.empty()) {
    k += "|rule " + c.ruleText + "|";
    for (auto const& a : c.ruleAttributes) k += a + ",";
  }
  return k;
}

daDiffLine lineOf(daDiffSubject subject, hx_uuid_t const& uuid) {
  daDiffLine line;
  line.subject = subject;
  line.uuid = uuid;
  return line;
}

// One side of one point: the policy in force there, as numbers the side's
// Resolver gives each distinct ACL placement and each distinct set of
// conditions (equal numbers, equal policy).
struct Side {
  int acl = 0;         // 0: none in force
  int conditions = 0;  // 0: none
};

// Decides at points of one store and numbers each distinct policy in force.
class Resolver {
 public:
  explicit Resolver(daCachedStore& store) : store_(store) {
    acls_.push_back({});
    conditions_.push_back({});
  }

  // An action decide accepts, from the catalogue; 0x1005B2F1 when none.
  unsigned long prepare() {
    for (unsigned long bit = 0; bit < 32; ++bit) {
      ZUTF8String_6_0 text;
      unsigned long st = 0;
      store_.mapBitmapShared(GxACLPermset(0, 1ul << bit), text, st);
      if (st == 0 && text.getChars() != nullptr && text.getChars()[0] != '\0') {
        action_ = text.getChars();
        return 0;
      }
    }
    return 0x1005B2F1;
  }

  // The policy in force at path into side. The ACL of side stays readable
  // through acl() until the next call.
  unsigned long resolve(std::string const& path, Side& side) {
    unsigned long st = 0;
    store_.decide(path.c_str(), nullptr, action_.c_str(), nullptr, decision_, st);
    if (st != 0) return st;
    side.acl = 0;
    if (decision_.hasAcl()) {
      auto [at, added] = aclIds_.try_emplace(decision_.aclLocation(), static_cast<int>(acls_.size()));
      if (added) acls_.push_back({decision_.aclName(), at->first, nullptr});
      side.acl = at->second;
    }
    side.conditions = 0;
    if (decision_.hasPop() || decision_.hasRule()) {
      where_.assign(decision_.popLocation()).append(1, '\n').append(decision_.ruleLocation());
      auto [at, added] = conditionIds_.try_emplace(where_, static_cast<int>(conditions_.size()));
      if (added) {
        daReviewConditions c = dareview::conditionsOf(store_, decision_);
        std::string key = keyOf(c);
        conditions_.push_back({std::move(c), std::move(key)});
      }
      side.conditions = at->second;
    }
    return 0;
  }

  // The ACL in force at the last point resolved (null: none).
  GxACL const* acl() const { return decision_.hasAcl() ? decision_.acl() : nullptr; }
  // A copy of that ACL, made once per placement.
  std::shared_ptr<GxACL const> keep(int id) {
    if (id == 0) return nullptr;
    if (!acls_[id].kept) acls_[id].kept = std::make_shared<GxACL const>(*decision_.acl());
    return acls_[id].kept;
  }
  std::string const& aclName(int id) const { return acls_[id].name; }
  std::string const& aclLocation(int id) const { return acls_[id].location; }
  daReviewConditions const& conditions(int id) const { return conditions_[id].first; }
  std::string const& conditionsKey(int id) const { return conditions_[id].second; }

  daCachedStore& store() { return store_; }

 private:
  struct Acl {
    std::string name, location;
    std::shared_ptr<GxACL const> kept;
  };
  daCachedStore& store_;
  std::string action_;
  daDecision decision_;
  std::string where_;
  std::unordered_map<std::string, int> aclIds_;        // by where attached
  std::unordered_map<std::string, int> conditionIds_;  // by where the POP and rule are attached
  std::vector<Acl> acls_;                              // by number
  std::vector<std::pair<daReviewConditions, std::string>> conditions_;  // with their keys
};

// The lines of every subject whose permissions differ between the ACLs.
class LineMaker {
 public:
  LineMaker(daCachedStore& before, daCachedStore& after, gxreg::Registry* registry)
      : before_(before), after_(after), registry_(registry) {}

  std::vector<daDiffLine> lines(GxACL const* a, GxACL const* b) {
    std::vector<daDiffLine> out;
    if (sameEntries(a, b)) return out;
    for (hx_uuid_t const& u : subjectsOf(a, b, acl_e_user)) {
      std::vector<hx_uuid_t> groups;
      if (registry_ != nullptr && registry_->userGroups(u, groups) != 0) groups.clear();
      std::vector<sec_id_t> ids;
      for (hx_uuid_t const& g : groups) ids.push_back({g, nullptr});
      sec_id_pa_t caller{{u, nullptr}, static_cast<uint16_t>(std::min<size_t>(ids.size(), UINT16_MAX)),
                         ids.empty() ? nullptr : ids.data()};
      GxACLPermset p;
      daDiffLine line = lineOf(daDiffSubject::user, u);
      line.hadEntry = entriesOf(a, acl_e_user, &u, true, p);
      line.hasEntry = entriesOf(b, acl_e_user, &u, true, p);
      add(out, std::move(line), grantedTo(a, &caller), grantedTo(b, &caller));
    }
    for (hx_uuid_t const& g : subjectsOf(a, b, acl_e_group)) {
      GxACLPermset pa, pb;
      daDiffLine line = lineOf(daDiffSubject::group, g);
      line.hadEntry = entriesOf(a, acl_e_group, &g, false, pa);
      line.hasEntry = entriesOf(b, acl_e_group, &g, false, pb);
      add(out, std::move(line), pa, pb);
    }
    GxACLPermset pa, pb;
    daDiffLine other = lineOf(daDiffSubject::anyOther, {});
    other.hadEntry = entriesOf(a, acl_e_any_other, nullptr, true, pa);
    other.hasEntry = entriesOf(b, acl_e_any_other, nullptr, true, pb);
    add(out, std::move(other), pa, pb);
    daDiffLine unauth = lineOf(daDiffSubject::unauthenticated, {});
    unauth.hadEntry = entriesOf(a, acl_e_unauthenticated, nullptr, true, pa);
    unauth.hasEntry = entriesOf(b, acl_e_unauthenticated, nullptr, true, pb);
    add(out, std::move(unauth), grantedTo(a, nullptr), grantedTo(b, nullptr));
    return out;
  }

 private:
  // Adds line when the permissions differ, or a group entry comes or goes
  // (its members' fallback to any-other changes).
  void add(std::vector<daDiffLine>& out, daDiffLine line, GxACLPermset const& was, GxACLPermset const& is) {
    bool const entryMatters = line.subject == daDiffSubject::group && line.hadEntry != line.hasEntry;
    if (sameBits(was, is) && !entryMatters) return;
    line.before = dareview::actionText(before_, was);
    line.after = dareview::actionText(after_, is);
    line.gained = dareview::actionText(after_, minus(is, was));
    line.lost = dareview::actionText(before_, minus(was, is));
    if (registry_ != nullptr) {
      if (line.subject == daDiffSubject::user) registry_->userName(line.uuid, line.name);
      if (line.subject == daDiffSubject::group) registry_->groupName(line.uuid, line.name);
    }
    out.push_back(std::move(line));
  }

  daCachedStore& before_;
  daCachedStore& after_;
  gxreg::Registry* registry_;
};

// The change at one point (null: none), and what makes it the same as its
// parent's.
struct Point {
  std::string_view path;  // in the call's PointPaths
  std::shared_ptr<daPolicyDiffRegion const> change;  // the region's contents, shared by equal pairs
  uint64_t acls = 0, conditions = 0;                  // the pair of ACLs; the pair of conditions when they changed
  bool sameChange(Point const& o) const {
    return change == nullptr ? o.change == nullptr : o.change != nullptr && acls == o.acls && conditions == o.conditions;
  }
};

// What changes between two sides' policies in force (null: nothing).
std::shared_ptr<daPolicyDiffRegion const> changeOf(Resolver (&sides)[2], LineMaker& maker, Side const& was,
                                                   Side const& is) {
  auto r = std::make_shared<daPolicyDiffRegion>();
  r->lines = maker.lines(sides[0].acl(), sides[1].acl());
  r->conditionsChanged = sides[0].conditionsKey(was.conditions) != sides[1].conditionsKey(is.conditions);
  if (r->lines.empty() && !r->conditionsChanged) return nullptr;
  if (r->conditionsChanged) {
    r->beforeConditions = sides[0].conditions(was.conditions);
    r->afterConditions = sides[1].conditions(is.conditions);
  }
  r->beforeAcl = sides[0].aclName(was.acl);
  r->beforeAclLocation = sides[0].aclLocation(was.acl);
  r->afterAcl = sides[1].aclName(is.acl);
  r->afterAclLocation = sides[1].aclLocation(is.acl);
  r->beforeAclValue = sides[0].keep(was.acl);
  r->afterAclValue = sides[1].keep(is.acl);
  return r;
}

}  // namespace

bool daPolicyDiffRegion::gains() const {
  return std::any_of(lines.begin(), lines.end(), [](daDiffLine const& l) { return !l.gained.empty(); });
}

bool daPolicyDiffRegion::losses() const {
  return std::any_of(lines.begin(), lines.end(), [](daDiffLine const& l) { return !l.lost.empty(); });
}

void daPolicyDiffRegion::callerChange(sec_id_pa_t* caller, GxACLPermset& gained, GxACLPermset& lost) const {
  GxACLPermset const was = grantedTo(beforeAclValue.get(), caller);
  GxACLPermset const is = grantedTo(afterAclValue.get(), caller);
  gained = minus(is, was);
  lost = minus(was, is);
}

void daPolicyDiff(daCachedStore& before, daCachedStore& after, daPolicyDiffOptions const& options,
                  std::function<bool(daPolicyDiffRegion const&)> const& each, unsigned long& status) {
  ZUTF8String_6_0 text(options.under.empty() ? "/" : options.under.c_str());
  status = daPObjName::validateAndFix(text);
  if (status != 0) return;
  std::string const under = text.getChars();
  Resolver sides[2] = {Resolver(before), Resolver(after)};
  for (Resolver& r : sides)
    if ((status = r.prepare()) != 0) return;
  unsigned long const inBefore = dareview::checkExists(before, under);
  if (inBefore != 0 && inBefore != da_s_no_such_object) {
    status = inBefore;
    return;
  }
  if (inBefore != 0 && (status = dareview::checkExists(after, under)) != 0) return;

  dareview::PointPaths pointPaths(under);
  for (Resolver& r : sides) {
    pointPaths.add(r.store(), status);
    if (status != 0) return;
  }
  std::vector<std::string_view> const& paths = pointPaths.sorted();

  // The change at each point, made once per pair of policies in force.
  LineMaker maker(before, after, options.registry);
  struct PairHash {
    size_t operator()(std::pair<uint64_t, uint64_t> const& k) const {
      return std::hash<uint64_t>()(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
    }
  };
  std::unordered_map<std::pair<uint64_t, uint64_t>, std::shared_ptr<daPolicyDiffRegion const>, PairHash> changes;
  std::vector<Point> points;
  points.reserve(paths.size());
  Side was, is;
  std::string path;
  for (std::string_view at : paths) {
    path.assign(at);
    if ((status = sides[0].resolve(path, was)) != 0 || (status = sides[1].resolve(path, is)) != 0) return;
    uint64_t const acls = uint64_t(uint32_t(was.acl)) << 32 | uint32_t(is.acl);
    uint64_t const conditions = uint64_t(uint32_t(was.conditions)) << 32 | uint32_t(is.conditions);
    auto [found, added] = changes.try_emplace({acls, conditions}, nullptr);
    if (added) found->second = changeOf(sides, maker, was, is);
    Point p;
    p.path = at;
    if (found->second) {
      // Points with the same ACLs in force and the same change of conditions
      // (or none) make one region, whatever else differs between them.
      p.change = found->second;
      p.acls = acls;
      p.conditions = p.change->conditionsChanged ? conditions : 0;
    }
    points.push_back(std::move(p));
  }

  // The regions, as daWhatCan makes them.
  struct Open {
    size_t point;
    long region;  // -1: no change here
  };
  std::vector<Open> chain;
  std::vector<daPolicyDiffRegion> regions;
  for (size_t i = 0; i < points.size(); ++i) {
    Point const& p = points[i];
    while (!chain.empty() && !dareview::isAncestor(points[chain.back().point].path, p.path)) chain.pop_back();
    Open const* parent = chain.empty() ? nullptr : &chain.back();
    long region = -1;
    if (parent != nullptr && points[parent->point].sameChange(p)) {
      region = parent->region;
    } else {
      if (parent != nullptr && parent->region >= 0) regions[parent->region].exceptions.emplace_back(p.path);
      if (p.change) {
        regions.push_back(*p.change);
        regions.back().prefix.assign(p.path);
        region = static_cast<long>(regions.size() - 1);
      }
    }
    chain.push_back({i, region});
  }
  for (daPolicyDiffRegion const& r : regions)
    if (!each(r)) break;
}
