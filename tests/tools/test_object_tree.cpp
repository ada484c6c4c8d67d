// One level of the object tree at a time: children from every kind of key
// that makes an object, in name order, paged, with whether each has
// children, however names sort against the path separator.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "GxCore/db/daCachedStore.h"
#include "test_support.h"
#include "tools/common/object_tree.h"
#include "tools/common/policy_changes.h"

namespace {

using json = nlohmann::json;

std::vector<std::string> names(std::vector<gxpolicy::ObjectChild> const& kids, bool withBelow = false) {
  std::vector<std::string> out;
  for (auto const& k : kids) out.push_back(k.name + (withBelow && k.hasChildren ? "+" : ""));
  return out;
}

TEST(ObjectTree, ChildrenComeFromEveryKindOfObjectKeyInNameOrderAndPage) {
  gxtest::TempDir dir;
  std::string db = dir.file("p.db");
  gxtest::createPolicyDb(db);
  daCachedStore store("d", db.c_str(), 1, 0);
  unsigned long st = 0;
  store.openStore(0, st);
  ASSERT_EQ(st, 0u);
  // "b-x" and "b.c" sort between "b" and "b/..." in key order; "/z" has an
  // ACL attached.
  json changes = {{"changes", json::array()}};
  for (char const* p : {"/a", "/b", "/b-x", "/b-x/y", "/b/c", "/b/c/d", "/b.c", "/z", "/z/q"})
    changes["changes"].push_back({{"op", "create"}, {"object", p}});
  changes["changes"].push_back({{"op", "create"}, {"acl", "t"}, {"value", {{"entries", json::array()}}}});
  changes["changes"].push_back({{"op", "attach"}, {"acl", "t"}, {"object", "/z"}});
  gxpolicy::ChangeOptions o;
  o.actor = gxpolicy::Actor{"t", "local"};
  auto result = gxpolicy::applyChanges(store, changes, o);
  ASSERT_EQ(result.outcome, gxpolicy::ChangeOutcome::applied) << result.problem.message;

  std::vector<gxpolicy::ObjectChild> kids;
  bool more = true;
  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::nullopt, 100, kids, more), 0u);
  EXPECT_EQ(names(kids, true), (std::vector<std::string>{"a", "b+", "b-x+", "b.c", "z+"}));
  EXPECT_FALSE(more);
  EXPECT_EQ(kids[1].path, "/b");

  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::nullopt, 2, kids, more), 0u);
  EXPECT_EQ(names(kids), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(more);
  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::string("b"), 2, kids, more), 0u);
  EXPECT_EQ(names(kids), (std::vector<std::string>{"b-x", "b.c"}));
  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::string("b.c"), 2, kids, more), 0u);
  EXPECT_EQ(names(kids), (std::vector<std::string>{"z"}));
  EXPECT_FALSE(more);

  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::nullopt, 10, kids, more, "b"), 0u);
  EXPECT_EQ(names(kids), (std::vector<std::string>{"b", "b-x", "b.c"})) << "names beginning with b";
  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::string("b"), 1, kids, more, "b"), 0u);
  EXPECT_EQ(names(kids), (std::vector<std::string>{"b-x"}));
  EXPECT_TRUE(more);
  ASSERT_EQ(gxpolicy::objectChildren(store, "/", std::nullopt, 10, kids, more, "q"), 0u);
  EXPECT_TRUE(kids.empty());

  ASSERT_EQ(gxpolicy::objectChildren(store, "/b", std::nullopt, 10, kids, more), 0u);
  EXPECT_EQ(names(kids, true), (std::vector<std::string>{"c+"}));
  EXPECT_EQ(kids[0].path, "/b/c");
  ASSERT_EQ(gxpolicy::objectChildren(store, "/z", std::nullopt, 10, kids, more), 0u);
  EXPECT_EQ(names(kids), (std::vector<std::string>{"q"}));
  ASSERT_EQ(gxpolicy::objectChildren(store, "/nothing/here", std::nullopt, 10, kids, more), 0u);
  EXPECT_TRUE(kids.empty());

  for (char const* bad : {"", "b", "/b/", "//b", "/b//c"})
    EXPECT_NE(gxpolicy::objectChildren(store, bad, std::nullopt, 10, kids, more), 0u) << bad;
  store.closeStore(st);
}

}  // namespace
