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
#include <map>
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
std::string conditionsKey(daReviewConditions const& c) {
  std::string k;
  if (c.hasPop) {
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

// One side of one point: the policy in force there.
struct Side {
  std::string aclName, aclLocation;
  std::shared_ptr<GxACL const> acl;
  daReviewConditions const* conditions = nullptr;
  std::string conditionsKey;
};

// Decides at points of one store and keeps each distinct policy once.
class Resolver {
 public:
  explicit Resolver(daCachedStore& store) : store_(store) {}

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

  unsigned long resolve(std::string const& path, Side& side) {
    unsigned long st = 0;
    store_.decide(path.c_str(), nullptr, action_.c_str(), nullptr, decision_, st);
    if (st != 0) return st;
    side.aclName = decision_.aclName();
    side.aclLocation = decision_.aclLocation();
    side.acl = nullptr;
    if (decision_.hasAcl()) {
      auto& kept = acls_[side.aclLocation];
      if (!kept) kept = std::make_shared<GxACL const>(*decision_.acl());
      side.acl = kept;
    }
    std::string const where = std::string(decision_.popLocation()) + '\n' + decision_.ruleLocation();
    auto found = conditions_.find(where);
    if (found == conditions_.end()) {
      daReviewConditions c = dareview::conditionsOf(store_, decision_);
      std::string key = conditionsKey(c);
      found = conditions_.emplace(where, std::make_pair(std::move(c), std::move(key))).first;
    }
    side.conditions = &found->second.first;
    side.conditionsKey = found->second.second;
    return 0;
  }

  daCachedStore& store() { return store_; }

 private:
  daCachedStore& store_;
  std::string action_;
  daDecision decision_;
  std::map<std::string, std::shared_ptr<GxACL const>> acls_;  // by where attached
  std::map<std::string, std::pair<daReviewConditions, std::string>> conditions_;
};

daDiffLine lineOf(daDiffSubject subject, hx_uuid_t const& uuid) {
  daDiffLine line;
  line.subject = subject;
  line.uuid = uuid;
  return line;
}

// The lines of every subject whose permissions differ between the ACLs.
class LineMaker {
 public:
  LineMaker(daCachedStore& before, daCachedStore& after, gxreg::Registry* registry)
      : before_(before), after_(after), registry_(registry) {}

  std::vector<daDiffLine> lines(GxACL const* a, GxACL const* b) {
    std::vector<daDiffLine> out;
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

// The change at one point: an empty key means none.
struct Point {
  std::string path;
  std::string key;
  std::shared_ptr<daPolicyDiffRegion const> change;  // the region's contents, shared by equal keys
};

void collectPoints(daCachedStore& store, std::string const& under, std::vector<std::string>& paths,
                   unsigned long& status) {
  std::function<bool(std::string_view)> const collect = [&paths](std::string_view p) {
    paths.emplace_back(p);
    return true;
  };
  dareview::scanAttachmentPoints(store, under, collect, status);
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

  std::vector<std::string> paths{under};
  for (Resolver& r : sides) {
    collectPoints(r.store(), under, paths, status);
    if (status != 0) return;
  }
  std::sort(paths.begin(), paths.end(), dareview::treeLess);
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());

  // The change at each point, made once per pair of policies in force.
  LineMaker maker(before, after, options.registry);
  std::map<std::string, std::shared_ptr<daPolicyDiffRegion const>> changes;
  std::vector<Point> points;
  points.reserve(paths.size());
  Side was, is;
  for (std::string& path : paths) {
    if ((status = sides[0].resolve(path, was)) != 0 || (status = sides[1].resolve(path, is)) != 0) return;
    std::string pair = was.aclLocation + '\n' + is.aclLocation + '\n' + was.conditionsKey + '\n' + is.conditionsKey;
    auto found = changes.find(pair);
    if (found == changes.end()) {
      auto r = std::make_shared<daPolicyDiffRegion>();
      r->lines = maker.lines(was.acl.get(), is.acl.get());
      r->conditionsChanged = was.conditionsKey != is.conditionsKey;
      if (r->conditionsChanged) {
        r->beforeConditions = *was.conditions;
        r->afterConditions = *is.conditions;
      }
      r->beforeAcl = was.aclName;
      r->beforeAclLocation = was.aclLocation;
      r->afterAcl = is.aclName;
      r->afterAclLocation = is.aclLocation;
      r->beforeAclValue = was.acl;
      r->afterAclValue = is.acl;
      found = changes.emplace(std::move(pair), r->lines.empty() && !r->conditionsChanged ? nullptr : r).first;
    }
    Point p;
    p.path = std::move(path);
    if (found->second) {
      // Points with the same ACLs in force and the same change of conditions
      // (or none) make one region, whatever else differs between them.
      p.change = found->second;
      p.key = was.aclLocation + '\n' + is.aclLocation;
      if (p.change->conditionsChanged) p.key += '\n' + was.conditionsKey + '\n' + is.conditionsKey;
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
    if (parent != nullptr && points[parent->point].key == p.key) {
      region = parent->region;
    } else {
      if (parent != nullptr && parent->region >= 0) regions[parent->region].exceptions.push_back(p.path);
      if (p.change) {
        regions.push_back(*p.change);
        regions.back().prefix = p.path;
        region = static_cast<long>(regions.size() - 1);
      }
    }
    chain.push_back({i, region});
  }
  for (daPolicyDiffRegion const& r : regions)
    if (!each(r)) break;
}
