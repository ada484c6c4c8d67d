// The effect of a change on decisions: a preview's (diffed only where the
// change can make a difference) against the whole tree's diff of the
// change made; gxpolicy apply --dry-run, with the database and the scratch
// folder left as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daPolicyDiff.h"
#include "test_support.h"
#include "tools/common/change_effect.h"
#include "tools/common/estate.h"
#include "tools/common/policy_changes.h"
#include "tools/common/policy_document.h"

namespace {

using nlohmann::json;

std::unique_ptr<daCachedStore> openStore(std::string const& path, int mode) {
  auto store = std::make_unique<daCachedStore>("d", path.c_str(), 1, 0);
  unsigned long st = 0;
  store->openStore(mode, st);
  EXPECT_EQ(st, 0u) << path;
  return store;
}

// The regions of the whole tree's diff between the file at before and a
// copy of it with doc applied.
nlohmann::ordered_json changedForReal(std::string const& before, std::string const& copy, json const& doc) {
  std::filesystem::remove(copy);
  std::filesystem::copy_file(before, copy);
  {
    auto writable = openStore(copy, 0);
    EXPECT_EQ(gxpolicy::applyChanges(*writable, doc, {}).outcome, gxpolicy::ChangeOutcome::applied) << doc;
    unsigned long st = 0;
    writable->closeStore(st);
  }
  auto was = openStore(before, 1), is = openStore(copy, 1);
  nlohmann::ordered_json regions = nlohmann::ordered_json::array();
  unsigned long st = 0;
  auto each = [&](daPolicyDiffRegion const& r) { return regions.push_back(gxpolicy::diffRegionJson(r)), true; };
  daPolicyDiff(*was, *is, {}, each, st);
  EXPECT_EQ(st, 0u);
  return regions;
}

// Changes of every kind on a generated estate -- an entry of an ACL
// attached at several objects, a POP's level, a rule's text, an attachment
// made and one removed, an object made, a subtree deleted, an ACL attached
// nowhere, the root's ACL, and two at once -- each previewed exactly as the
// whole tree's diff of the change made says.
TEST(ChangePreview, EachChangeIsPreviewedAsTheWholeTreesDiffOfItMade) {
  gxtest::TempDir dir;
  std::string const db = dir.file("e.db");
  gxtest::createPolicyDb(db);
  gxestate::Estate estate;
  {
    auto store = openStore(db, 0);
    gxestate::Options options;
    options.objects = 3000;
    unsigned long st = 0;
    gxestate::generate(*store, options, estate, st);
    ASSERT_EQ(st, 0u);
    store->closeStore(st);
  }
  auto store = openStore(db, 0);
  // An object with an ACL of its own and one without, both deep; the ACL
  // attached at most objects.
  std::string owner, bare;
  std::map<std::string, int> uses;
  for (std::string const& path : estate.objects) {
    json item = gxpolicy::document::exportItem(*store, nullptr, gxpolicy::document::kObjects, path);
    std::string acl = item.is_object() ? item.value("acl", "") : "";
    if (!acl.empty()) ++uses[acl];
    if (std::count(path.begin(), path.end(), '/') < 5) continue;
    if (acl.empty() && bare.empty()) bare = path;
    if (!acl.empty() && acl != "acl-root" && owner.empty()) owner = path;
  }
  uses.erase("acl-root");
  std::string shared = uses.begin()->first;
  for (auto const& [name, n] : uses)
    if (n > uses[shared]) shared = name;
  ASSERT_FALSE(owner.empty() || bare.empty());
  ASSERT_GT(uses[shared], 1);
  std::string const ownerAcl =
      gxpolicy::document::exportItem(*store, nullptr, gxpolicy::document::kObjects, owner).value("acl", "");
  std::string const subtree = owner.substr(0, owner.rfind('/'));
  auto setEntry = [](std::string const& acl, char const* type, char const* actions) {
    return json{{"op", "set-entry"}, {"acl", acl}, {"entry", {{"type", type}, {"actions", actions}}}};
  };
  auto attach = [](char const* op, std::string const& acl, std::string const& object) {
    return json{{"op", op}, {"acl", acl}, {"object", object}};
  };
  json const level = {
      {"op", "set-level"}, {"pop", "pop0"}, {"network", "10.9.0.0"}, {"netmask", "255.255.0.0"}, {"level", 2}};
  json const made = {{"op", "create"}, {"object", bare + "/new"}};
  json const gone = {{"op", "delete"}, {"object", subtree}, {"recursive", true}};
  json const lonely = {{"op", "create"}, {"acl", "lonely"},
                       {"value", {{"entries", json::array({{{"type", "any-other"}, {"actions", "r"}}})}}}};
  json const rule = {{"op", "modify"}, {"rule", "rule0"}, {"value", {{"text", "request.hour >= 7"}}}};
  std::vector<json> const changes = {
      json::array({setEntry(shared, "any-other", "rd")}),
      json::array({level}),
      json::array({rule}),
      json::array({attach("attach", shared, bare)}),
      json::array({attach("detach", ownerAcl, owner)}),
      json::array({made}),
      json::array({gone}),
      json::array({lonely}),
      json::array({setEntry("acl-root", "unauthenticated", "r")}),
      json::array({setEntry(ownerAcl, "any-other", ""), attach("attach", ownerAcl, bare)}),
  };
  std::vector<json> docs;
  for (json const& c : changes) docs.push_back(json{{"changes", c}});
  for (json const& doc : docs) {
    gxpolicy::ChangePreview preview = gxpolicy::previewChange(
        *store,
        [&](daCachedStore& copy, gxpolicy::ChangeOptions const& o) { return gxpolicy::applyChanges(copy, doc, o); }, {},
        nullptr);
    ASSERT_EQ(preview.result.outcome, gxpolicy::ChangeOutcome::dryRun) << doc << preview.result.problem.message;
    EXPECT_EQ(preview.effect["regions"], changedForReal(db, dir.file("copy.db"), doc)) << doc;
  }
}

}  // namespace

// gxpolicy itself is run: only in builds that make it.
#ifdef GXPOLICY_BINARY
namespace {

TEST(ApplyDryRun, PrintsWhoGainsAndLosesWhereAndWritesNothing) {
  gxtest::TempDir dir;
  std::filesystem::create_directory(dir.file("tmp"));
  std::string const db = dir.file("web.db"), examples = std::string(GXCORE_SOURCE_DIR) + "/examples/policy/";
  std::filesystem::copy_file(examples + "web.registry.json", db + ".registry.json");
  auto run = [&](std::string const& args) {
    std::string out, command = "GXCORE_LOCK_DIR=" + dir.file("locks") + " TMPDIR=" + dir.file("tmp") + " " +
                               GXPOLICY_BINARY + " " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    int ws = pipe ? ::pclose(pipe) : -1;
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << args << "\n" << out;
    return out;
  };
  run("create " + db);
  run("import " + db + " " + examples + "web.json");
  std::string const before = gxtest::readFile(db);
  gxtest::writeFile(dir.file("c.json"), R"({"changes": [{"op": "create", "object": "/web/c"},
      {"op": "create", "acl": "team-c", "value": {"entries": [{"type": "group", "name": "webteam", "actions": "Trm"}]}},
      {"op": "attach", "acl": "team-c", "object": "/web/c"}]})");
  std::string out = run("apply " + db + " " + dir.file("c.json") + " --dry-run");
  for (char const* line : {"would create object /web/c\n", "effect on decisions:\n/web/c and below\n",
                           "  ACL web-public (at /web) -> team-c (at /web/c)\n", "  group webteam: loses dl\n",
                           "  unauthenticated: loses Tr\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\nnot in:\n" << out;
  EXPECT_EQ(gxtest::readFile(db), before) << "the database file changed";
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp"))) << "a scratch copy was left";
}

}  // namespace
#endif
