// Synthetic estates (tools/common/estate): the same seed gives the same database,
// the requested size is met, every object has an ACL in force, leaves
// usually inherit theirs from two to four levels up, attachments are
// recorded both ways, leaf naming, and the users' groups and callers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCachedStore.h"
#include "test_support.h"
#include "tools/common/estate.h"
#include "tools/common/policy_export.h"

namespace {

using gxtest::TempDir;
using H = Handle<daStoreObject>;

class Estate : public ::testing::Test {
 protected:
  // A new database with the default action catalogue, as `gxpolicy
  // create` leaves it, holding the estate generated with options.
  std::unique_ptr<daCachedStore> generated(char const* file, gxestate::Options const& options,
                                           gxestate::Estate& estate) {
    std::string path = dir_.file(file);
    unsigned long st;
    gxtest::createPolicyDb(path);
    auto s = std::make_unique<daCachedStore>("d", path.c_str(), 1, 0);
    s->openStore(0, st);
    EXPECT_EQ(st, 0u);
    gxestate::generate(*s, options, estate, st);
    EXPECT_EQ(st, 0u);
    return s;
  }

  static nlohmann::json exported(daCachedStore& s) {
    nlohmann::json doc;
    gxpolicy::Problem problem;
    EXPECT_TRUE(gxpolicy::exportPolicyDocument(s, doc, problem)) << gxpolicy::describe(problem);
    return doc;
  }

  // How many levels above path the nearest ACL is attached; -1 when none.
  static int aclDistance(daCachedStore& s, std::string const& path) {
    int up = 0;
    for (daPObjName at(path.c_str());; at.walkUp(), ++up) {
      H acl, ext;
      unsigned long st;
      s.fetchACL(at, acl, ext, st);
      EXPECT_EQ(st, 0u) << at.getPathName();
      if (!acl.isEmpty()) return up;
      if (at.isRoot()) return -1;
    }
  }

  // The names in the map stored under name, as a set.
  static std::set<std::string> mapNames(daCachedStore& s, daStoreObjectName const& name) {
    std::vector<std::string> names = gxtest::mapNames(s, name);
    return {names.begin(), names.end()};
  }

  static std::string leafName(std::string const& path) { return path.substr(path.rfind('/') + 1); }

  TempDir dir_;
};

TEST_F(Estate, SameSeedGivesTheSameDatabaseAndAnotherSeedAnotherOne) {
  gxestate::Options options;
  options.objects = 800;
  options.seed = 3;
  gxestate::Estate a, b, c;
  auto sa = generated("a.db", options, a);
  auto sb = generated("b.db", options, b);
  options.seed = 4;
  auto sc = generated("c.db", options, c);
  EXPECT_EQ(a.objects, b.objects);
  ASSERT_EQ(a.users.size(), b.users.size());
  for (std::size_t i = 0; i < a.users.size(); ++i)
    EXPECT_EQ(std::memcmp(&a.users[i].uuid, &b.users[i].uuid, sizeof(hx_uuid_t)), 0);
  nlohmann::json docA = exported(*sa);
  EXPECT_EQ(docA, exported(*sb));
  EXPECT_NE(docA, exported(*sc));
  EXPECT_NE(std::memcmp(&a.users[0].uuid, &c.users[0].uuid, sizeof(hx_uuid_t)), 0);
}

// Small, middling and larger requests: the count, the ACL in force at
// every object, the share of objects carrying policies, and where leaves
// find their ACL.
TEST_F(Estate, SizeIsMetAndEveryObjectHasAnAclInForceUsuallyTwoToFourLevelsUp) {
  for (unsigned long objects : {40UL, 900UL, 6000UL}) {
    SCOPED_TRACE(objects);
    gxestate::Options options;
    options.objects = objects;
    gxestate::Estate e;
    auto s = generated(("s" + std::to_string(objects) + ".db").c_str(), options, e);
    EXPECT_NEAR(static_cast<double>(e.objects.size()), static_cast<double>(objects), objects * 0.03 + 1);
    EXPECT_EQ(std::set<std::string>(e.objects.begin(), e.objects.end()).size(), e.objects.size());
    std::map<int, unsigned long> leavesAt;  // levels up -> leaves
    unsigned long leaves = 0;
    for (std::string const& path : e.objects) {
      int up = aclDistance(*s, path);
      ASSERT_GE(up, 0) << path << " has no ACL in force";
      if (up == 0) {  // attached here: the ACL lists the object too
        std::set<std::string> acl = mapNames(*s, daPObjName(path.c_str()).getPObjToAclMapName());
        ASSERT_EQ(acl.size(), 1u);
        EXPECT_TRUE(mapNames(*s, daAclName(acl.begin()->c_str()).getPolicyToObjMapName()).count(path)) << path;
      }
      if (std::count(path.begin(), path.end(), '/') == 6) ++leaves, ++leavesAt[up];
    }
    if (objects < 6000) continue;
    EXPECT_NEAR(static_cast<double>(e.aclAttachments) / objects, 0.05, 0.015);
    EXPECT_NEAR(static_cast<double>(e.popAttachments) / objects, 0.01, 0.005);
    EXPECT_NEAR(static_cast<double>(e.ruleAttachments) / objects, 0.005, 0.003);
    EXPECT_GT(leavesAt[2] + leavesAt[3] + leavesAt[4], leaves * 6 / 10);
  }
}

TEST_F(Estate, RepeatedNamingReusesLeafNamesAndUniqueNamingNever) {
  gxestate::Options options;
  options.objects = 1500;
  std::set<std::string> names[2];
  unsigned long leaves[2] = {};
  for (int i = 0; i < 2; ++i) {
    options.naming = i == 0 ? gxestate::Naming::unique : gxestate::Naming::repeated;
    gxestate::Estate e;
    generated(i == 0 ? "u.db" : "r.db", options, e);
    for (std::string const& path : e.objects) {
      if (std::count(path.begin(), path.end(), '/') != 6) continue;
      ++leaves[i];
      names[i].insert(leafName(path));
    }
  }
  EXPECT_EQ(names[0].size(), leaves[0]);
  EXPECT_LE(names[1].size(), 25u);
  EXPECT_TRUE(names[1].count("index.html"));
}

TEST_F(Estate, UsersBelongToOneToThreeOfTheEstatesGroupsAndTheirCallersCarryThem) {
  gxestate::Options options;
  options.objects = 100;
  options.users = 50;
  options.groups = 7;
  gxestate::Estate e;
  auto s = generated("g.db", options, e);
  ASSERT_EQ(e.users.size(), 50u);
  ASSERT_EQ(e.groups.size(), 7u);
  auto known = [&](hx_uuid_t const& g) {
    for (hx_uuid_t const& x : e.groups)
      if (std::memcmp(&x, &g, sizeof g) == 0) return true;
    return false;
  };
  for (gxestate::User const& u : e.users) {
    EXPECT_GE(u.groups.size(), 1u);
    EXPECT_LE(u.groups.size(), 3u);
    for (hx_uuid_t const& g : u.groups) EXPECT_TRUE(known(g)) << u.name;
  }
}

}  // namespace
