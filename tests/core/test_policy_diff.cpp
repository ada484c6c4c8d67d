// What a change would change, against brute force: on generated estates
// changed at random (ACL entries added, removed and changed, ACLs, POPs and
// rules attached, detached and moved, a POP's levels changed), the regions
// daPolicyDiff gives must say, for every (caller, object, action), exactly
// whether the ACL's answer differs, with the ACLs in force on each side, and
// where the conditions differ.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daPolicyDiff.h"
#include "estate_registry.h"
#include "outside/hxdb.h"
#include "test_support.h"
#include "tools/common/estate.h"
#include "tools/common/policy_write.h"

namespace {

using gxpolicy::kAcl;
using gxpolicy::kPop;
using gxpolicy::kRule;
using gxtest::TempDir;
using Attached = std::array<std::optional<std::string>, gxpolicy::kKindCount>;

char const* const kActions[] = {"r", "Tr", "x", "Trmdl"};
char const* const kPerms[] = {"", "T", "Tr", "Trl", "Trx", "Trmdl", "x"};

// Whether the ACL in force grants caller every action of actions.
bool aclGrants(daCachedStore& store, std::string const& object, sec_id_pa_t* caller, char const* actions) {
  daDecision d;
  unsigned long st = 0;
  store.decide(object.c_str(), caller, actions, nullptr, d, st);
  EXPECT_EQ(st, 0u) << object;
  return d.cause() != daDecisionCause::noAcl && d.cause() != daDecisionCause::aclDenied;
}

bool grants(GxACL const* acl, sec_id_pa_t* caller, GxACLPermset const& want) {
  if (acl == nullptr) return false;
  GxACLPermset got;
  unsigned long st = 0;
  acl_inq_permset_for_pa_applied(caller, &acl->value(), &got.value(), nullptr, &st);
  return got.isActionSet(want);
}

// The conditions at an object in the terms that decide applies them.
std::string conditionsAt(daCachedStore& store, std::string const& object) {
  daWhoCanResult w;
  unsigned long st = 0;
  daWhoCan(store, object.c_str(), "r", nullptr, {}, w, st);
  EXPECT_EQ(st, 0u) << object;
  daReviewConditions const& c = w.conditions;
  std::string k;
  bool demands = c.defaultLevel != 0 || c.window || c.protection != 0 || (c.warningMode && !c.ruleName.empty());
  for (auto const& l : c.levels) {
    k += " " + l.network + "/" + l.netmask + "=" + std::to_string(l.level);
    demands |= l.level != 0;
  }
  k += std::to_string(c.defaultLevel) + c.windowText + std::to_string(c.protection) + (c.warningMode ? "w" : "");
  return (demands ? k : std::string()) + "|" + c.ruleText;  // a POP that requires nothing is as none
}

// The regions of a diff and the one that answers for an object.
struct Regions {
  std::vector<daPolicyDiffRegion> list;
  std::map<std::string, long> at;  // prefix -> index; an exception that is no prefix -> -1
  daPolicyDiffRegion const* answer(std::string path) const {
    for (;;) {
      if (auto f = at.find(path); f != at.end()) return f->second < 0 ? nullptr : &list[f->second];
      if (path == "/") return nullptr;
      size_t slash = path.rfind('/');
      path = path.substr(0, slash == 0 ? 1 : slash);
    }
  }
};

Regions diff(daCachedStore& before, daCachedStore& after, daPolicyDiffOptions const& options) {
  Regions r;
  unsigned long st = 0;
  daPolicyDiff(before, after, options,
               [&r](daPolicyDiffRegion const& region) {
                 r.list.push_back(region);
                 return true;
               },
               st);
  EXPECT_EQ(st, 0u);
  std::set<std::string> prefixes;
  for (size_t i = 0; i < r.list.size(); ++i) {
    EXPECT_TRUE(prefixes.insert(r.list[i].prefix).second) << "two regions at " << r.list[i].prefix;
    r.at[r.list[i].prefix] = static_cast<long>(i);  // an exception of the region above is a region of its own
    for (std::string const& e : r.list[i].exceptions) r.at.emplace(e, -1);
  }
  return r;
}

class PolicyDiff : public ::testing::TestWithParam<gxestate::Naming> {
 protected:
  void SetUp() override {
    gxestate::Options o;
    o.objects = 2500;
    o.users = 40;
    o.groups = 6;
    o.naming = GetParam();
    o.seed = GetParam() == gxestate::Naming::unique ? 3 : 5;
    std::string message;
    ASSERT_TRUE(e_.make(dir_, o, message)) << message;
    unsigned long st = 0;
    // What is attached where: the objects whose policy in force is their own.
    for (std::string const& object : e_.estate.objects) {
      daDecision d;
      e_.store->decide(object.c_str(), nullptr, "r", nullptr, d, st);
      ASSERT_EQ(st, 0u);
      Attached a;
      if (d.aclLocation() == object) a[kAcl] = d.aclName();
      if (d.popLocation() == object) a[kPop] = d.popName();
      if (d.ruleLocation() == object) a[kRule] = d.ruleName();
      attached_[object] = a;
    }
  }

  // A copy of the estate with `changes` random changes drawn from seed.
  std::string changedCopy(unsigned seed, int changes) {
    std::string const path = dir_.file(("after" + std::to_string(seed) + ".db").c_str());
    unsigned long st = 0;
    {
      daCachedStore source("d", e_.path.c_str(), 1, 0);
      source.openStore(1, st);
      EXPECT_EQ(st, 0u);
      hx_db_copy(source.getDBHandle(), path.c_str(), st);
      EXPECT_EQ(st, 0u);
    }
    daCachedStore store("d", path.c_str(), 1, 0);
    store.openStore(0, st);
    EXPECT_EQ(st, 0u);
    std::mt19937 draw(seed);
    auto below = [&draw](size_t n) { return static_cast<size_t>(draw() % n); };
    std::map<std::string, Attached> attached = attached_;
    std::vector<std::string> withAcl;
    for (auto const& [object, a] : attached)
      if (a[kAcl]) withAcl.push_back(object);
    gxpolicy::PolicyWriter writer(store);
    auto writeObject = [&](std::string const& object) {
      gxpolicy::ObjectItem item;
      item.name = daPObjName(object.c_str());
      item.pobj = std::make_unique<GxPObj>();
      item.pobj->policyAttachable(true);
      for (int k = 0; k < gxpolicy::kKindCount; ++k) item.policy[k] = attached[object][k];
      EXPECT_EQ(writer.object(item), 0u) << writer.failure();
    };
    auto anyObject = [&]() -> std::string const& { return e_.estate.objects[1 + below(e_.estate.objects.size() - 1)]; };
    auto perms = [&](GxACLPermset& p) {
      store.mapAction(kPerms[below(std::size(kPerms))], p, st);
      EXPECT_EQ(st, 0u);
    };
    for (int i = 0; i < changes; ++i) {
      switch (below(7)) {
        case 0:
        case 1: {  // an ACL's entries: one removed, changed or added
          std::string name = below(4) == 0 ? "acl-root" : "acl" + std::to_string(below(e_.estate.acls - 1));
          Handle<daStoreObject> h;
          store.getObject(daAclName(name.c_str()), h, st);
          EXPECT_EQ(st, 0u) << name;
          acl_ext_s_t const& v = dynamic_cast<GxACL const&>(*h.get()).value();
          struct Entry {
            uint32_t type;
            hx_uuid_t id;
            GxACLPermset perms;
          };
          std::vector<Entry> entries;
          for (uint32_t e = 0; e < v.num_entries; ++e)
            entries.push_back({v.entries[e].entry_type, v.entries[e].id, GxACLPermset(v.entries[e].perms)});
          size_t const op = entries.empty() ? 2 : below(3);
          if (op == 0) entries.erase(entries.begin() + static_cast<long>(below(entries.size())));
          if (op == 1) perms(entries[below(entries.size())].perms);
          if (op == 2) {
            static uint32_t const kTypes[] = {acl_e_user, acl_e_group, acl_e_any_other, acl_e_unauthenticated};
            Entry added{kTypes[below(4)], {}, GxACLPermset()};
            added.id = added.type == acl_e_group ? e_.estate.groups[below(e_.estate.groups.size())]
                                                 : e_.estate.users[below(e_.estate.users.size())].uuid;
            perms(added.perms);
            entries.push_back(std::move(added));
          }
          auto acl = std::make_unique<GxACL>();
          for (Entry const& e : entries) {
            if (e.type == acl_e_user) acl->addPrincipalEntry(e.id, e.perms);
            else if (e.type == acl_e_group) acl->addGroupEntry(e.id, e.perms);
            else if (e.type == acl_e_any_other) acl->addCellEntry(e.perms);
            else if (e.type == acl_e_unauthenticated) acl->addUnauthEntry(e.perms);
          }
          gxpolicy::PolicyItem item;
          item.name = gxpolicy::kKinds[kAcl].name(name.c_str());
          item.object = std::move(acl);
          EXPECT_EQ(writer.policy(item), 0u) << writer.failure();
          break;
        }
        case 2: {  // an ACL attached where there was none, or another
          std::string const& object = anyObject();
          attached[object][kAcl] = "acl" + std::to_string(below(e_.estate.acls - 1));
          writeObject(object);
          break;
        }
        case 3:
        case 4: {  // an ACL detached, or moved to another object
          std::string const& from = withAcl[1 + below(withAcl.size() - 1)];  // the root's stays
          std::optional<std::string> acl = attached[from][kAcl];
          attached[from][kAcl].reset();
          writeObject(from);
          if (below(2) == 0) {
            std::string const& to = anyObject();
            attached[to][kAcl] = acl;
            writeObject(to);
          }
          break;
        }
        case 5: {  // a POP or rule attached, detached or moved
          int const kind = below(2) ? kPop : kRule;
          std::string const& object = anyObject();
          if (attached[object][kind]) attached[object][kind].reset();
          else attached[object][kind] = (kind == kPop ? "pop" : "rule") + std::to_string(below(2));
          writeObject(object);
          break;
        }
        default: {  // a POP's levels
          auto pop = std::make_unique<GxPop>();
          GxAddress any("0.0.0.0");
          EXPECT_EQ(pop->appendIPAuth(any, any, 1 + below(2)), 0u);
          EXPECT_EQ(pop->setAttrlist(), 0u);
          gxpolicy::PolicyItem item;
          item.name = gxpolicy::kKinds[kPop].name(("pop" + std::to_string(below(e_.estate.pops))).c_str());
          item.object = std::move(pop);
          EXPECT_EQ(writer.policy(item), 0u) << writer.failure();
        }
      }
    }
    EXPECT_EQ(writer.finish(), 0u) << writer.failure();
    return path;
  }

  // Every (caller, object, action) of the estate: the regions say exactly
  // which answers differ, and a line names every caller whose answer does.
  void expectAgreement(daCachedStore& before, daCachedStore& after, Regions const& regions) {
    for (daPolicyDiffRegion const& r : regions.list)
      ASSERT_TRUE(!r.lines.empty() || r.conditionsChanged) << "a region without a change at " << r.prefix;
    GxACLPermset want[std::size(kActions)];
    unsigned long st = 0;
    for (size_t a = 0; a < std::size(kActions); ++a) before.mapAction(kActions[a], want[a], st);
    for (std::string const& object : e_.estate.objects) {
      daPolicyDiffRegion const* r = regions.answer(object);
      ASSERT_EQ(r != nullptr && r->conditionsChanged, conditionsAt(before, object) != conditionsAt(after, object))
          << "conditions at " << object;
      for (size_t c = 0; c < e_.callers.size(); ++c) {
        sec_id_pa_t* pa = e_.callers[c].pa();
        for (size_t a = 0; a < std::size(kActions); ++a) {
          bool const was = aclGrants(before, object, pa, kActions[a]);
          bool const is = aclGrants(after, object, pa, kActions[a]);
          std::string const what = object + " " + kActions[a] + " for caller " + std::to_string(c);
          if (r == nullptr) {
            ASSERT_EQ(was, is) << "a difference outside every region: " << what;
            continue;
          }
          ASSERT_EQ(grants(r->beforeAclValue.get(), pa, want[a]), was) << "the ACL in force before: " << what;
          ASSERT_EQ(grants(r->afterAclValue.get(), pa, want[a]), is) << "the ACL in force after: " << what;
          if (was != is) ASSERT_TRUE(namesCaller(*r, pa)) << "no line for " << what;
        }
      }
    }
  }

  // A line of r covers the caller: its own user line, else one of its
  // groups' lines or the any-other line; the unauthenticated line.
  static bool namesCaller(daPolicyDiffRegion const& r, sec_id_pa_t const* pa) {
    bool own = false, fallback = false;
    for (daDiffLine const& l : r.lines) {
      if (pa == nullptr) {
        own |= l.subject == daDiffSubject::unauthenticated;
      } else if (l.subject == daDiffSubject::user) {
        own |= gxtest::sameUuid(l.uuid, pa->principal.uuid);
      } else if (l.subject == daDiffSubject::anyOther) {
        fallback = true;
      } else if (l.subject == daDiffSubject::group) {
        for (uint16_t g = 0; g < pa->num_groups; ++g) fallback |= gxtest::sameUuid(l.uuid, pa->groups[g].uuid);
      }
    }
    return own || fallback;
  }

  // A user's line says what that user gains and loses.
  void expectUserLinesExact(daCachedStore& store, Regions const& regions) {
    for (daPolicyDiffRegion const& r : regions.list)
      for (daDiffLine const& l : r.lines) {
        if (l.subject != daDiffSubject::user) continue;
        for (size_t u = 0; u < e_.estate.users.size(); ++u) {
          if (!gxtest::sameUuid(e_.estate.users[u].uuid, l.uuid)) continue;
          GxACLPermset gained, lost;
          r.callerChange(e_.callers[u].pa(), gained, lost);
          ZUTF8String_6_0 g, lo;
          unsigned long st = 0;
          store.mapBitmapShared(gained, g, st);
          store.mapBitmapShared(lost, lo, st);
          EXPECT_EQ(l.gained, g.getChars()) << r.prefix << " " << l.name;
          EXPECT_EQ(l.lost, lo.getChars()) << r.prefix << " " << l.name;
          EXPECT_EQ(l.name, e_.estate.users[u].name);
        }
      }
  }

  TempDir dir_;
  gxtest::EstateOnDisk e_;
  std::map<std::string, Attached> attached_;
};

TEST_P(PolicyDiff, RandomChangesAgreeWithDecidingEveryQuestionOnBothSides) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::string const after = changedCopy(seed + 10 * static_cast<unsigned>(GetParam()), seed == 1 ? 3 : 12);
    unsigned long st = 0;
    daCachedStore b("d", e_.path.c_str(), 1, 0), a("d", after.c_str(), 1, 0);
    b.openStore(1, st);
    ASSERT_EQ(st, 0u);
    a.openStore(1, st);
    ASSERT_EQ(st, 0u);
    daPolicyDiffOptions options;
    options.registry = e_.registry.get();
    Regions const regions = diff(b, a, options);
    ASSERT_FALSE(regions.list.empty()) << "seed " << seed;
    SCOPED_TRACE("seed " + std::to_string(seed));
    expectAgreement(b, a, regions);
    expectUserLinesExact(a, regions);

    // Under a subtree: the same answers there, nothing outside it.
    std::string const& some = e_.estate.objects[e_.estate.objects.size() / 3];
    std::string const under = some.substr(0, some.find('/', 5));  // "/org/dN"
    options.under = under;
    Regions const part = diff(b, a, options);
    for (std::string const& object : e_.estate.objects) {
      bool const inside = object == under || object.rfind(under + "/", 0) == 0;
      daPolicyDiffRegion const* whole = regions.answer(object);
      daPolicyDiffRegion const* r = part.answer(object);
      if (!inside) {
        ASSERT_EQ(r, nullptr) << object << " is outside " << under;
        continue;
      }
      ASSERT_EQ(r != nullptr, whole != nullptr) << object;
      if (r != nullptr) ASSERT_EQ(r->afterAclLocation, whole->afterAclLocation) << object;
    }
  }
}

TEST_P(PolicyDiff, NoChangeGivesNoRegionAndTheSameFileAgainstItself) {
  std::string const after = changedCopy(99, 0);
  unsigned long st = 0;
  daCachedStore b("d", e_.path.c_str(), 1, 0), a("d", after.c_str(), 1, 0);
  b.openStore(1, st);
  a.openStore(1, st);
  EXPECT_TRUE(diff(b, a, {}).list.empty());
  EXPECT_TRUE(diff(b, b, {}).list.empty());
}

INSTANTIATE_TEST_SUITE_P(PolicyDiff, PolicyDiff, ::testing::Values(gxestate::Naming::unique, gxestate::Naming::repeated),
                         [](auto const& info) { return info.param == gxestate::Naming::unique ? "UniqueNames" : "RepeatedNames"; });

// A moved ACL: the old place goes back to what its parent grants, the new
// place gets it, and the subtree between them reports exactly that; bad
// questions get a status.
TEST(PolicyDiffSmall, AMovedAclChangesBothPlacesAndBadQuestionsGetAStatus) {
  TempDir dir;
  std::string const b = dir.file("b.db"), a = dir.file("a.db");
  unsigned long st = 0;
  for (std::string const& path : {b, a}) {
    gxtest::createPolicyDb(path);
    daCachedStore w("d", path.c_str(), 1, 0);
    w.openStore(0, st);
    ASSERT_EQ(st, 0u);
    gxpolicy::PolicyWriter writer(w);
    auto acl = std::make_unique<GxACL>();
    GxACLPermset r;
    w.mapAction(path == b ? "r" : "Tr", r, st);
    acl->addCellEntry(r);
    gxpolicy::PolicyItem item;
    item.name = gxpolicy::kKinds[kAcl].name("open");
    item.object = std::move(acl);
    ASSERT_EQ(writer.policy(item), 0u);
    for (char const* o : {"/", "/x", "/x/y", "/z"}) {
      gxpolicy::ObjectItem obj;
      obj.name = daPObjName(o);
      obj.pobj = std::make_unique<GxPObj>();
      if (std::string(o) == (path == b ? "/x" : "/z")) obj.policy[kAcl] = "open";
      ASSERT_EQ(writer.object(obj), 0u);
    }
    ASSERT_EQ(writer.finish(), 0u);
  }
  daCachedStore before("d", b.c_str(), 1, 0), after("d", a.c_str(), 1, 0);
  before.openStore(1, st);
  after.openStore(1, st);
  Regions const r = diff(before, after, {});
  ASSERT_EQ(r.list.size(), 2u);
  EXPECT_EQ(r.list[0].prefix, "/x");
  EXPECT_EQ(r.list[0].beforeAcl, "open");
  EXPECT_EQ(r.list[0].afterAcl, "");
  ASSERT_EQ(r.list[0].lines.size(), 1u);  // any-other lost r; nobody else had anything
  EXPECT_EQ(r.list[0].lines[0].subject, daDiffSubject::anyOther);
  EXPECT_EQ(r.list[0].lines[0].lost, "r");
  EXPECT_TRUE(r.list[0].losses() && !r.list[0].gains());
  EXPECT_EQ(r.list[1].prefix, "/z");
  EXPECT_EQ(r.list[1].lines[0].gained, "Tr");

  int calls = 0;
  auto count = [&calls](daPolicyDiffRegion const&) { return ++calls, true; };
  daPolicyDiffOptions options;
  options.under = "/nothing";
  daPolicyDiff(before, after, options, count, st);
  EXPECT_EQ(st, da_s_no_such_object);
  options.under = "/a//";
  daPolicyDiff(before, after, options, count, st);
  EXPECT_NE(st, 0u);
  options.under = "/x";
  daPolicyDiff(before, after, options, [&](daPolicyDiffRegion const&) { return ++calls, false; }, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(calls, 1) << "each stops the listing";
}

}  // namespace
