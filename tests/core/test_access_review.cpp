// Access review against brute force: on generated estates, what whoCan and
// whatCan say about every (caller, object, action) must be what decide
// answers when asked that question, and bad questions get a status.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "outside/hxasn_map.h"
#include "outside/hxdb.h"
#include "GxCore/GxPObj.h"
#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "outside/file_registry.h"
#include "estate_registry.h"
#include "test_support.h"
#include "tools/common/estate.h"

namespace {

using gxtest::TempDir;

char const* const kActions[] = {"r", "Tr", "x", "T"};

// What decide answers, reduced to what the review can know without a
// request's context: the ACL denies, the ACL grants and nothing else
// applies (then decide grants), or conditions remain.
struct Truth {
  bool acl = false, granted = false;
};
Truth decideTruth(daCachedStore& store, char const* object, sec_id_pa_t* caller, char const* actions) {
  daDecision d;
  unsigned long st = 0;
  store.decide(object, caller, actions, nullptr, d, st);
  EXPECT_EQ(st, 0u) << object;
  return {d.cause() != daDecisionCause::noAcl && d.cause() != daDecisionCause::aclDenied, d.granted()};
}

// A generated estate on a read-only store with its registry and callers.
class Estate : public ::testing::TestWithParam<gxestate::Naming> {
 protected:
  void SetUp() override {
    gxestate::Options o;
    o.objects = 3000;
    o.users = 60;
    o.groups = 8;
    o.naming = GetParam();
    o.seed = GetParam() == gxestate::Naming::unique ? 7 : 11;
    std::string message;
    ASSERT_TRUE(e_.make(dir_, o, message)) << message;
  }

  TempDir dir_;
  gxtest::EstateOnDisk e_;
};

// Whether who-can's answer says the ACL grants caller c.
bool whoCanGrants(daWhoCanResult const& w, gxpolicy::CallerAttributes const& c) {
  sec_id_pa_t const* pa = c.pa();
  if (pa == nullptr) return w.unauthenticatedGranted;
  for (daReviewSubject const& u : w.users)
    if (gxtest::sameUuid(u.uuid, pa->principal.uuid)) return u.granted;
  for (daReviewSubject const& g : w.groups)
    for (uint16_t i = 0; i < pa->num_groups; ++i)
      if (gxtest::sameUuid(g.uuid, pa->groups[i].uuid)) {
        for (daReviewMember const& m : w.members)
          if (gxtest::sameUuid(m.uuid, pa->principal.uuid)) return true;
        return false;
      }
  return w.hasAnyOther && w.anyOtherGranted;
}

TEST_P(Estate, WhoCanAgreesWithDecideForEveryCallerObjectAndAction) {
  daWhoCanOptions expand;
  expand.expand = true;
  daWhoCanResult w;
  for (size_t o = 0; o < e_.estate.objects.size(); ++o) {
    char const* object = e_.estate.objects[o].c_str();
    for (char const* actions : kActions) {
      unsigned long st = 0;
      daWhoCan(*e_.store, object, actions, e_.registry.get(), expand, w, st);
      ASSERT_EQ(st, 0u) << object << " " << actions;
      for (size_t c = 0; c < e_.callers.size(); ++c) {
        Truth t = decideTruth(*e_.store, object, e_.callers[c].pa(), actions);
        ASSERT_EQ(whoCanGrants(w, e_.callers[c]), t.acl) << "who-can " << object << " " << actions << " for " << e_.name(c);
        // A member listed is granted, even one whose own entry would decide otherwise.
        bool const member = e_.callers[c].pa() != nullptr &&
                            std::any_of(w.members.begin(), w.members.end(), [&](daReviewMember const& m) {
                              return gxtest::sameUuid(m.uuid, e_.callers[c].pa()->principal.uuid);
                            });
        ASSERT_TRUE(!member || t.acl) << "who-can member " << object << " " << actions << " for " << e_.name(c);
        if (t.acl && !w.conditions.any(e_.callers[c].pa() ? 1 : 0))
          ASSERT_TRUE(t.granted) << "unconditional who-can " << object << " " << actions << " for " << e_.name(c);
      }
    }
  }
}

// The answer the regions give for object: the nearest region prefix or
// exception at or above it decides (a region nested in an exception is a
// region prefix itself).
struct RegionMap {
  std::unordered_map<std::string, bool> prefixes;  // prefix -> conditional
  std::set<std::string> exceptions;
  // 0 not covered, 1 granted, 2 conditional.
  int answer(std::string at) const {
    for (;;) {
      if (auto p = prefixes.find(at); p != prefixes.end()) return p->second ? 2 : 1;
      if (exceptions.count(at)) return 0;
      if (at == "/") return 0;
      size_t slash = at.rfind('/');
      at = at.substr(0, slash == 0 ? 1 : slash);
    }
  }
};

TEST_P(Estate, WhatCanRegionsAndObjectsAgreeWithDecideForEveryCallerObjectAndAction) {
  for (size_t c = 0; c < e_.callers.size(); ++c) {
    for (char const* actions : kActions) {
      RegionMap regions;
      std::vector<daWhatCanRegion> found;
      unsigned long st = 0;
      daWhatCan(*e_.store, e_.callers[c].pa(), actions, "/",
                [&](daWhatCanRegion const& r) {
                  EXPECT_TRUE(regions.prefixes.emplace(r.prefix, r.conditional).second) << r.prefix;
                  regions.exceptions.insert(r.exceptions.begin(), r.exceptions.end());
                  found.push_back(r);
                  return true;
                },
                st);
      ASSERT_EQ(st, 0u);
      // Each region names the policy decide finds in force at its prefix.
      int const level = e_.callers[c].pa() != nullptr ? 1 : 0;
      for (daWhatCanRegion const& r : found) {
        daWhoCanResult w;
        daWhoCan(*e_.store, r.prefix.c_str(), actions, nullptr, {}, w, st);
        ASSERT_EQ(st, 0u);
        ASSERT_EQ(r.aclLocation + " " + r.conditions.popLocation + " " + r.conditions.ruleLocation + " " +
                      r.conditions.describe(level),
                  w.aclLocation + " " + w.conditions.popLocation + " " + w.conditions.ruleLocation + " " +
                      w.conditions.describe(level))
            << "region " << r.prefix << " " << actions << " for " << e_.name(c);
      }
      std::unordered_map<std::string, bool> listed;
      daWhatCanObjects(*e_.store, e_.callers[c].pa(), actions, "/", nullptr,
                       [&](char const* object, bool conditional) {
                         listed.emplace(object, conditional);
                         return true;
                       },
                       st);
      ASSERT_EQ(st, 0u);
      for (std::string const& object : e_.estate.objects) {
        Truth t = decideTruth(*e_.store, object.c_str(), e_.callers[c].pa(), actions);
        int const a = regions.answer(object);
        std::string const what = object + " " + actions + " for " + e_.name(c);
        ASSERT_EQ(a != 0, t.acl) << "what-can regions: " << what;
        if (a == 1) ASSERT_TRUE(t.granted) << "unconditional region: " << what;
        auto l = listed.find(object);
        ASSERT_EQ(l != listed.end(), t.acl) << "what-can objects: " << what;
        if (l != listed.end()) ASSERT_EQ(l->second, a == 2) << "objects and regions differ: " << what;
      }
    }
  }
}

TEST_P(Estate, WhatCanUnderASubtreeKeepsToItAndPagesWithACursor) {
  std::string const under = e_.estate.objects[e_.estate.objects.size() / 2].substr(0, e_.estate.objects[e_.estate.objects.size() / 2].find('/', 5));
  sec_id_pa_t* caller = e_.callers[1].pa();
  std::vector<std::string> all, paged;
  unsigned long st = 0;
  auto collect = [](std::vector<std::string>& into, size_t limit) {
    return [&into, limit](char const* object, bool) {
      into.push_back(object);
      return into.size() % limit != 0;
    };
  };
  daWhatCanObjects(*e_.store, caller, "r", under.c_str(), nullptr, collect(all, size_t(-1)), st);
  ASSERT_EQ(st, 0u);
  ASSERT_FALSE(all.empty()) << under;
  for (std::string const& o : all) ASSERT_TRUE(o == under || o.rfind(under + "/", 0) == 0) << o;
  // Pages of 7, each resumed after the last object of the one before.
  for (size_t before = 0;; before = paged.size()) {
    daWhatCanObjects(*e_.store, caller, "r", under.c_str(), paged.empty() ? nullptr : paged.back().c_str(),
                     collect(paged, 7), st);
    ASSERT_EQ(st, 0u);
    if (paged.size() == before || paged.size() % 7 != 0) break;
  }
  EXPECT_EQ(paged, all);
  daWhatCan(*e_.store, caller, "r", under.c_str(),
            [&](daWhatCanRegion const& r) {
              EXPECT_TRUE(r.prefix == under || r.prefix.rfind(under + "/", 0) == 0) << r.prefix;
              return true;
            },
            st);
  EXPECT_EQ(st, 0u);
}

// Threads asking what-can of a fresh store at once read its points and
// share what it keeps of them: each gets the answer one thread alone gets
// (run under TSan).
using EstateConcurrency = Estate;
TEST_P(EstateConcurrency, WhatCanFromSeveralThreadsAtOnceAnswersAsOneThread) {
  auto regions = [this](daCachedStore& store, size_t c) {
    std::string out;
    unsigned long st = 0;
    daWhatCan(store, e_.callers[c].pa(), "r", "/",
              [&](daWhatCanRegion const& r) {
                out += r.prefix + " " + r.aclLocation + " " + r.conditions.describe(1) + "\n";
                return true;
              },
              st);
    EXPECT_EQ(st, 0u);
    return out;
  };
  std::vector<std::string> alone;
  for (size_t c = 0; c < 4; ++c) alone.push_back(regions(*e_.store, c));
  daCachedStore fresh("d", e_.path.c_str(), 1, 0);
  unsigned long st = 0;
  fresh.openStore(1, st);
  ASSERT_EQ(st, 0u);
  std::vector<std::thread> threads;
  std::atomic<int> differ{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < 8; ++i)
        if (regions(fresh, (t + i) % 4) != alone[(t + i) % 4]) ++differ;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(differ.load(), 0);
}

auto const kNamings = ::testing::Values(gxestate::Naming::unique, gxestate::Naming::repeated);
auto namingName(::testing::TestParamInfo<gxestate::Naming> const& info) {
  return info.param == gxestate::Naming::unique ? "UniqueNames" : "RepeatedNames";
}
INSTANTIATE_TEST_SUITE_P(AccessReview, Estate, kNamings, namingName);
INSTANTIATE_TEST_SUITE_P(AccessReview, EstateConcurrency, kNamings, namingName);

// Writes into the policy database at path the objects, ACL "grant" (r for
// any other authenticated caller), ACL "deny" (nothing) and the ACL
// attachments given as (object, ACL) pairs.
void writeGrantDeny(std::string const& path, std::vector<char const*> const& objects,
                    std::vector<std::pair<char const*, char const*>> const& attach) {
  daCachedStore w("d", path.c_str(), 1, 0);
  unsigned long st = 0;
  w.openStore(0, st);
  ASSERT_EQ(st, 0u);
  for (char const* o : objects) gxtest::putObject(w, daPObjName(o), GxPObj());
  GxACLPermset r;
  w.mapAction("r", r, st);
  ASSERT_EQ(st, 0u);
  GxACL grant, deny;
  grant.addCellEntry(r);
  deny.addCellEntry(GxACLPermset());
  gxtest::putObject(w, daAclName("grant"), std::move(grant));
  gxtest::putObject(w, daAclName("deny"), std::move(deny));
  for (auto [object, acl] : attach) {
    GxMapPObjectToACL map;
    map.add(acl);
    gxtest::putObject(w, daPObjName(object).getPObjToAclMapName(), std::move(map));
  }
}

// Names that share their first bytes ("/a", "/a-b", "/ab") are siblings,
// not a subtree: neither the regions nor the object listing may carry an
// answer across them, whichever way the keys sort.
TEST(AccessReview, SiblingsThatShareAPrefixKeepTheirOwnAnswers) {
  TempDir dir;
  std::string path = dir.file("p.db");
  gxtest::createPolicyDb(path);
  writeGrantDeny(path, {"/a", "/a/x", "/a-b", "/ab", "/ab/y"},
                 {{"/a", "grant"}, {"/a/x", "deny"}, {"/a-b", "deny"}, {"/ab/y", "grant"}});
  unsigned long st = 0;
  daCachedStore store("d", path.c_str(), 1, 0);
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  gxpolicy::CallerAttributes caller(hx_uuid_t{7, 0, 0, 0, 0, {}}, {});
  std::vector<std::string> regions;
  daWhatCan(store, caller.pa(), "r", "/",
            [&](daWhatCanRegion const& r) {
              std::string line = r.prefix;
              for (std::string const& e : r.exceptions) line += " -" + e;
              regions.push_back(line);
              return true;
            },
            st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(regions, (std::vector<std::string>{"/a -/a/x", "/ab/y"}));
  std::vector<std::string> objects;
  auto list = [&objects](char const* o, bool) {
    objects.push_back(o);
    return true;
  };
  daWhatCanObjects(store, caller.pa(), "r", "/a", nullptr, list, st);
  EXPECT_EQ(objects, std::vector<std::string>{"/a"});
  objects.clear();
  daWhatCanObjects(store, caller.pa(), "r", "/", nullptr, list, st);
  EXPECT_EQ(objects, (std::vector<std::string>{"/a", "/ab/y"}));
}

TEST(AccessReview, RefusesBadQuestionsWithAStatus) {
  TempDir dir;
  std::string path = dir.file("p.db");
  gxtest::createPolicyDb(path);
  daCachedStore store("d", path.c_str(), 1, 0);
  unsigned long st = 0;
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  daWhoCanResult w;
  daWhoCan(store, "/", "", nullptr, {}, w, st);
  EXPECT_EQ(st, 0x1005B2F1u) << "an empty action string asks for nothing";
  daWhoCan(store, "/", "r[nosuchgroup]", nullptr, {}, w, st);
  EXPECT_EQ(st, 0x1005B2F1u);
  daWhoCan(store, "/a//", "r", nullptr, {}, w, st);
  EXPECT_NE(st, 0u) << "a bad object name";
  daWhoCan(store, "/nothing/here", "r", nullptr, {}, w, st);
  EXPECT_EQ(st, da_s_no_such_object) << "an object the store does not have";
  daWhoCanOptions expand;
  expand.expand = true;
  daWhoCan(store, "/", "r", nullptr, expand, w, st);
  EXPECT_EQ(st, da_s_review_no_members) << "expanding groups needs a registry";
  int calls = 0;
  daWhatCan(store, nullptr, "q", "/", [&](daWhatCanRegion const&) { return ++calls, true; }, st);
  EXPECT_EQ(st, 0x1005B2F1u);
  daWhatCan(store, nullptr, "r", "/nothing", [&](daWhatCanRegion const&) { return ++calls, true; }, st);
  EXPECT_EQ(st, da_s_no_such_object);
  EXPECT_EQ(calls, 0);
}

// Records a walk over the maps cannot take as they are leave what-can with
// decide's answer: its status where decide fails, its regions where it
// reads the record after all. Planted at /a under a root ACL that grants.
TEST(AccessReview, WhatCanOnHostileRecordsAnswersAsDecide) {
  auto stored = [](uint32_t type, std::string const& bytes) {
    gxobj_t r{nullptr, 0, type, uint32_t(bytes.size()), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
    return hx_db_stored_value(r);
  };
  auto aclBytes = [](GxACL const& acl) {
    hx_asn_buffer_t b{};
    EXPECT_EQ(hxAsnEncodeObj(b, acl.value()), 0u);
    std::string out(reinterpret_cast<char*>(b.data), b.length);
    hx_asn_buffer_free(b);
    return out;
  };
  std::string const aclMapKey = daPObjName("/a").getPObjToAclMapName().getFullName().getChars();
  struct Case {
    char const* what;
    std::vector<char const*> names;  // the map at /a
    std::vector<std::pair<std::string, std::string>> raw;  // planted behind the library's back
  };
  std::string const damaged = "\x30\x05\x04\x01x\x02";
  std::vector<Case> cases = {
      {"a map naming two ACLs", {"grant", "deny"}, {}},
      {"a map naming a missing ACL", {"nosuch"}, {}},
      {"a damaged ACL", {"bad"}, {{daAclName("bad").getFullName().getChars(), stored(gx_type_acl, damaged)}}},
      {"an ACL map of the POP map's type", {}, {{aclMapKey, ""}}},
      {"an ACL in an encoding the writer never makes", {"long"}, {}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string path = dir.file("p.db");
    gxtest::createPolicyDb(path);
    writeGrantDeny(path, {"/a", "/a/b", "/c"}, {{"/", "grant"}, {"/c", "deny"}});
    unsigned long st = 0;
    std::string grantBytes;
    {
      daCachedStore w("d", path.c_str(), 1, 0);
      w.openStore(0, st);
      ASSERT_EQ(st, 0u);
      Handle<daStoreObject> grant;
      w.getObject(daAclName("grant"), grant, st);
      ASSERT_EQ(st, 0u);
      grantBytes = aclBytes(dynamic_cast<GxACL&>(*grant.get()));
      if (!c.names.empty()) {
        GxMapPObjectToACL map;
        for (char const* n : c.names) map.add(n);
        gxtest::putObject(w, daPObjName("/a").getPObjToAclMapName(), std::move(map));
      }
    }
    if (std::string(c.what).find("POP map") != std::string::npos) {
      GxMapObjToPop popMap;
      popMap.add("grant");
      hx_asn_buffer_t b{};
      ASSERT_EQ(hxAsnEncodeObj(b, popMap.value()), 0u);
      c.raw[0].second = stored(gx_type_map_pobj_to_pop, std::string(reinterpret_cast<char*>(b.data), b.length));
      hx_asn_buffer_free(b);
    }
    if (c.names.size() == 1 && std::string(c.names[0]) == "long") {
      // The outer sequence's length in the long form: "30 LL" becomes "30 81 LL".
      std::string bytes = grantBytes;
      ASSERT_LT(uint8_t(bytes[1]), 0x80);
      bytes.insert(1, 1, '\x81');
      c.raw.push_back({daAclName("long").getFullName().getChars(), stored(gx_type_acl, bytes)});
    }
    if (!c.raw.empty()) ASSERT_EQ(gxtest::putRawValues(path, c.raw), 0);

    daCachedStore store("d", path.c_str(), 1, 0);
    store.openStore(1, st);
    ASSERT_EQ(st, 0u);
    gxpolicy::CallerAttributes caller(hx_uuid_t{7, 0, 0, 0, 0, {}}, {});
    daDecision d;
    unsigned long decided = 0;
    store.decide("/a/b", caller.pa(), "r", nullptr, d, decided);
    RegionMap regions;
    daWhatCan(store, caller.pa(), "r", "/",
              [&](daWhatCanRegion const& region) {
                regions.prefixes.emplace(region.prefix, region.conditional);
                regions.exceptions.insert(region.exceptions.begin(), region.exceptions.end());
                return true;
              },
              st);
    ASSERT_EQ(st, decided);
    if (decided != 0) continue;
    for (char const* o : {"/", "/a", "/a/b", "/c"})
      EXPECT_EQ(regions.answer(o) != 0, decideTruth(store, o, caller.pa(), "r").acl) << o;
  }
}

// A store kept open keeps what what-can read of its points for the next
// call; a file changed behind a close and reopen is read again.
TEST(AccessReview, WhatCanOnAStoreKeptOpenFollowsItsFileAcrossAReopen) {
  TempDir dir;
  std::string path = dir.file("p.db");
  gxtest::createPolicyDb(path);
  unsigned long st = 0;
  writeGrantDeny(path, {"/a"}, {{"/a", "grant"}});
  daCachedStore store("d", path.c_str(), 1, 0);
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  gxpolicy::CallerAttributes caller(hx_uuid_t{7, 0, 0, 0, 0, {}}, {});
  auto prefixes = [&] {
    std::vector<std::string> out;
    daWhatCan(store, caller.pa(), "r", "/", [&](daWhatCanRegion const& r) { return out.push_back(r.prefix), true; }, st);
    EXPECT_EQ(st, 0u);
    return out;
  };
  EXPECT_EQ(prefixes(), std::vector<std::string>{"/a"});
  EXPECT_EQ(prefixes(), std::vector<std::string>{"/a"}) << "a second call, from what the first kept";
  store.closeStore(st);
  writeGrantDeny(path, {"/b"}, {{"/b", "grant"}});
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(prefixes(), (std::vector<std::string>{"/a", "/b"}));
}

}  // namespace
