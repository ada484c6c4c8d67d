// Edits by name and changes documents (tools/common/policy_edit,
// policy_changes) with their change log: each change whole or not at all,
// refused with nothing written when it would leave the policy inconsistent,
// refused when the database moved past the sequence number it was based
// on, and logged in the same write group as the change.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "fault_injection.h"
#include "outside/hxdb.h"
#include "outside/registry.h"
#include "test_support.h"
#include "tools/common/change_log.h"
#include "tools/common/policy_changes.h"
#include "tools/common/policy_export.h"
#include "tools/common/policy_import.h"

namespace {

using json = nlohmann::json;
using gxpolicy::ChangeOutcome;
using gxpolicy::ChangeResult;

constexpr char const* kAlice = "c7ed475a-ec16-4f64-bc16-4f6af9ae20bd";

// A project's subtree: the object, its ACL granting a group, attached.
json const kProject = {{"changes",
                        {{{"op", "create"}, {"object", "/projects/a"}, {"value", {{"description", "project a"}}}},
                         {{"op", "create"}, {"acl", "team-a"}},
                         {{"op", "set-entry"}, {"acl", "team-a"},
                          {"entry", {{"type", "group"}, {"name", "webteam"}, {"actions", "Tr"}}}},
                         {{"op", "attach"}, {"acl", "team-a"}, {"object", "/projects/a"}}}}};

class PolicyEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    gxtest::createPolicyDb(db_);
    unsigned long st = 0;
    registry_ = gxreg::openFileRegistry(std::string(GXCORE_SOURCE_DIR) + "/examples/policy/web.registry.json", true, st);
    ASSERT_EQ(st, 0u);
    store_ = open();
  }
  std::unique_ptr<daCachedStore> open() {
    auto s = std::make_unique<daCachedStore>("d", db_.c_str(), 1, 0);
    unsigned long st = 0;
    s->openStore(0, st);
    EXPECT_EQ(st, 0u);
    return s;
  }
  gxpolicy::ChangeOptions options(std::string command = "test") {
    gxpolicy::ChangeOptions o;
    o.actor = {"carol", "local"};
    o.command = std::move(command);
    o.registry = registry_.get();
    return o;
  }
  ChangeResult apply(json const& doc, gxpolicy::ChangeOptions const& o) { return gxpolicy::applyChanges(*store_, doc, o); }
  ChangeResult apply(json const& doc) { return apply(doc, options()); }
  json exported() {
    json doc;
    gxpolicy::Problem problem;
    EXPECT_TRUE(gxpolicy::exportPolicyDocument(*store_, doc, problem)) << gxpolicy::describe(problem);
    return doc;
  }
  std::vector<json> log(gxpolicy::ChangeLogQuery const& q = {}, std::vector<std::pair<std::string, std::string>> at = {}) {
    std::vector<json> out;
    EXPECT_EQ(gxpolicy::readChangeLog(*store_, q, at, out), 0u);
    return out;
  }
  unsigned long sequence() {
    unsigned long seq = 0, st = 0;
    store_->lockDatabase();
    store_->readSeqNum(seq, st);
    store_->unlockDatabase();
    return seq;
  }

  gxtest::TempDir dir_;
  std::string db_ = dir_.file("p.db");
  std::unique_ptr<gxreg::Registry> registry_;
  std::unique_ptr<daCachedStore> store_;
};

TEST_F(PolicyEdit, ChangesAreWrittenBothWaysAndLoggedWithTheSequenceTheyProduced) {
  ChangeResult r = apply(kProject);
  ASSERT_EQ(r.outcome, ChangeOutcome::applied) << gxpolicy::describe(r.problem);
  EXPECT_EQ(r.sequence, sequence());
  json doc = exported();
  EXPECT_EQ(doc["objects"]["/projects/a"]["acl"], "team-a");
  EXPECT_EQ(doc["acls"]["team-a"]["entries"][0]["actions"], "Tr");
  EXPECT_EQ(gxtest::mapNames(*store_, daAclName("team-a").getPolicyToObjMapName()),
            std::vector<std::string>{"/projects/a"});

  // A second change: the entry's actions replaced (not a second entry), a
  // user added by uuid and named from the registry.
  json more = {{"changes",
                {{{"op", "set-entry"}, {"acl", "team-a"},
                  {"entry", {{"type", "group"}, {"name", "webteam"}, {"actions", "rT"}}}},
                 {{"op", "set-entry"}, {"acl", "team-a"},
                  {"entry", {{"type", "user"}, {"id", kAlice}, {"actions", "Trc"}}}}}}};
  ChangeResult r2 = apply(more, options("apply more.json"));
  ASSERT_EQ(r2.outcome, ChangeOutcome::applied) << gxpolicy::describe(r2.problem);
  json entries = exported()["acls"]["team-a"]["entries"];
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1]["id"], kAlice);

  std::vector<json> entriesLogged = log();
  ASSERT_EQ(entriesLogged.size(), 2u);
  json const& last = entriesLogged[1];
  EXPECT_EQ(last["who"], "carol");
  EXPECT_EQ(last["address"], "local");
  EXPECT_EQ(last["command"], "apply more.json");
  EXPECT_EQ(last["sequence"], r2.sequence);
  EXPECT_EQ(last["from"], r.sequence);
  ASSERT_EQ(last["changes"].size(), 1u);
  EXPECT_EQ(last["changes"][0]["acl"], "team-a");
  EXPECT_EQ(last["changes"][0]["before"]["entries"].size(), 1u);
  EXPECT_EQ(last["changes"][0]["after"]["entries"][1]["name"], "alice");
  // The first entry created the object: before null.
  EXPECT_TRUE(entriesLogged[0]["changes"][0]["before"].is_null());

  EXPECT_EQ(log({r.sequence, std::nullopt}).size(), 1u) << "--since leaves out what is not newer";
  EXPECT_EQ(log({std::nullopt, "/projects"}).size(), 1u) << "only the first touched /projects/a";
  EXPECT_EQ(log({std::nullopt, "/projects/a"}, {{"acl", "team-a"}}).size(), 2u) << "its ACL's changes count";

  // An edit that leaves everything as it is writes nothing.
  ChangeResult same = apply(more);
  EXPECT_EQ(same.outcome, ChangeOutcome::unchanged);
  EXPECT_EQ(sequence(), r2.sequence);
}

TEST_F(PolicyEdit, TheLogIsReadFromTheEntryHoldingSinceUpToTheLimit) {
  // Four entries; the third keeps its changes in three parts.
  std::vector<unsigned long> from, produced;
  auto create = [&](std::string const& object) {
    from.push_back(sequence());
    ChangeResult r = apply({{"changes", {{{"op", "create"}, {"object", object}}}}});
    ASSERT_EQ(r.outcome, ChangeOutcome::applied) << gxpolicy::describe(r.problem);
    produced.push_back(r.sequence);
  };
  create("/a");
  create("/b");
  {
    from.push_back(sequence());
    unsigned long st = 0, seq = 0;
    store_->beginWriteGroup(0, st);
    ASSERT_EQ(st, 0u);
    gxpolicy::ChangeLogWriter writer(*store_, from.back(), 8);
    for (char const* object : {"/c1", "/c2", "/c3"}) EXPECT_EQ(writer.add("object", object, nullptr, json::object()), 0u);
    EXPECT_EQ(writer.finish({"carol"}, "test", seq), 0u);
    store_->endWriteGroup(true, st);
    ASSERT_EQ(st, 0u);
    produced.push_back(seq);
  }
  create("/d");
  ASSERT_GT(produced[2], from[2] + 1) << "the parts took numbers of their own";

  auto objects = [&](gxpolicy::ChangeLogQuery const& q) {
    std::vector<std::string> seen;
    for (json const& entry : log(q))
      for (json const& change : entry["changes"]) seen.push_back(change["object"]);
    return seen;
  };
  using Seen = std::vector<std::string>;
  EXPECT_EQ(objects({}), (Seen{"/a", "/b", "/c1", "/c2", "/c3", "/d"}));
  EXPECT_EQ(objects({from[2] + 1, std::nullopt}), (Seen{"/c1", "/c2", "/c3", "/d"})) << "since inside the third";
  EXPECT_EQ(objects({produced[1], std::nullopt}), (Seen{"/c1", "/c2", "/c3", "/d"}));
  EXPECT_EQ(objects({produced[2], std::nullopt}), Seen{"/d"});
  EXPECT_EQ(objects({produced[3], std::nullopt}), Seen{});
  EXPECT_EQ(objects({0xFFFFFFFFul, std::nullopt}), Seen{});
  EXPECT_EQ(objects({std::nullopt, std::nullopt, 2}), (Seen{"/a", "/b"}));
  EXPECT_EQ(objects({produced[0], std::nullopt, 2}), (Seen{"/b", "/c1", "/c2", "/c3"}));
  EXPECT_EQ(objects({std::nullopt, "/c2", 1}), (Seen{"/c1", "/c2", "/c3"})) << "the limit counts entries asked for";

  // A page reads from its first entry on: a record before it that is not
  // a log record fails a read of the whole log only.
  unsigned long st = 0;
  char byte = 1;
  gxobj_t junk{nullptr, 0, 1295, 1, reinterpret_cast<unsigned char*>(&byte)};
  char key[64];
  std::snprintf(key, sizeof key, "%s/%010lu", gxpolicy::kChangeLogBase, from[0] + 1);
  hx_db_store(store_->getDBHandle(), key, junk, st);
  ASSERT_EQ(st, 0u);
  std::vector<json> out;
  EXPECT_EQ(gxpolicy::readChangeLog(*store_, {}, {}, out), da_s_unknown_type);
  EXPECT_EQ(objects({produced[0], std::nullopt}), (Seen{"/b", "/c1", "/c2", "/c3", "/d"}));
}

TEST_F(PolicyEdit, InconsistentChangesAreRefusedWithNothingWritten) {
  ASSERT_EQ(apply(kProject).outcome, ChangeOutcome::applied);
  apply({{"changes", {{{"op", "create"}, {"object", "/projects/a/docs"}}}}});
  unsigned long before = sequence();
  json const snapshot = exported();
  struct Case {
    json op;
    char const* says;
  };
  Case const cases[] = {
      {{{"op", "delete"}, {"acl", "team-a"}}, "is still attached at /projects/a"},
      {{{"op", "set-entry"}, {"acl", "team-a"}, {"entry", {{"type", "user"}, {"name", "mallory"}, {"actions", "T"}}}},
       "no user named \"mallory\""},
      {{{"op", "set-entry"},
        {"acl", "team-a"},
        {"entry", {{"type", "user"}, {"id", "11111111-2222-3333-4444-555555555555"}, {"actions", "T"}}}},
       "no user with uuid"},
      {{{"op", "set-entry"}, {"acl", "team-a"}, {"entry", {{"type", "any-other"}, {"actions", "T%"}}}},
       "bad action string"},
      {{{"op", "attach"}, {"acl", "team-a"}, {"object", "/nowhere"}}, "no protected object /nowhere"},
      {{{"op", "attach"}, {"acl", "missing"}, {"object", "/projects/a/docs"}}, "no ACL \"missing\""},
      {{{"op", "create"}, {"acl", "team-a"}}, "exists already"},
      {{{"op", "delete"}, {"object", "/projects/a"}}, "has 1 object below it (/projects/a/docs)"},
      {{{"op", "remove-entry"}, {"acl", "team-a"}, {"entry", {{"type", "unauthenticated"}}}}, "has no entry for"},
      {{{"op", "detach"}, {"acl", "other"}, {"object", "/projects/a"}}, "is \"team-a\", not \"other\""},
      {{{"op", "modify"}, {"object", "/projects/a"}, {"value", {{"acl", "ghost"}}}}, "names the ACL \"ghost\""},
      {{{"op", "set-level"}, {"pop", "p"}, {"network", "10.0.0.1"}, {"netmask", "255.0.0.0"}, {"level", 1}},
       "no POP \"p\""},
      {{{"op", "frobnicate"}, {"acl", "team-a"}}, "unknown operation"},
      {{{"op", "delete"}, {"acl", "team-a"}, {"pop", "p"}}, "names a second item"},
  };
  for (Case const& c : cases) {
    // Each after a change that is fine, so that the whole document is refused.
    json doc = {{"changes", {{{"op", "create"}, {"acl", "fine"}}, c.op}}};
    ChangeResult r = apply(doc);
    EXPECT_EQ(r.outcome, ChangeOutcome::refused) << c.op.dump();
    EXPECT_NE(r.problem.message.find(c.says), std::string::npos) << c.op.dump() << ": " << gxpolicy::describe(r.problem);
    EXPECT_EQ(r.problem.where.rfind("changes[1]", 0), 0u) << r.problem.where;
  }
  EXPECT_EQ(sequence(), before);
  EXPECT_EQ(exported(), snapshot);
  EXPECT_EQ(log().size(), 2u);

  // Deleted recursively, the objects go with their attachments, and the ACL
  // can then go too.
  ChangeResult r = apply({{"changes",
                           {{{"op", "delete"}, {"object", "/projects/a"}, {"recursive", true}},
                            {{"op", "delete"}, {"acl", "team-a"}}}}});
  ASSERT_EQ(r.outcome, ChangeOutcome::applied) << gxpolicy::describe(r.problem);
  json doc = exported();
  EXPECT_TRUE(doc["objects"].empty());
  EXPECT_TRUE(doc["acls"].empty());
  EXPECT_TRUE(gxtest::mapNames(*store_, daAclName("team-a").getPolicyToObjMapName()).empty());
}

TEST_F(PolicyEdit, PopLevelsAndWindowAreEditedByName) {
  json doc = {{"changes",
               {{{"op", "create"}, {"pop", "office"}, {"value", {{"default_level", 2}}}},
                {{"op", "set-level"}, {"pop", "office"}, {"network", "10.0.0.0"}, {"netmask", "255.0.0.0"}, {"level", 0}},
                {{"op", "set-level"}, {"pop", "office"}, {"network", "10.0.0.0"}, {"netmask", "255.0.0.0"}, {"level", 1}},
                {{"op", "modify"},
                 {"pop", "office"},
                 {"value", {{"warning", true}, {"access", {{"days", {"mon"}}, {"from", "08:00"}, {"to", "18:00"}}}}}}}}};
  ASSERT_EQ(apply(doc).outcome, ChangeOutcome::applied);
  json pop = exported()["pops"]["office"];
  ASSERT_EQ(pop["ipauth"].size(), 1u);
  EXPECT_EQ(pop["ipauth"][0]["level"], 1);
  EXPECT_EQ(pop["warning"], true);
  EXPECT_EQ(pop["access"]["from"], "08:00");
  // A host address with a network mask could never match: refused as import refuses it.
  ChangeResult bad = apply({{"changes", {{{"op", "set-level"}, {"pop", "office"}, {"network", "10.0.0.1"},
                                          {"netmask", "255.0.0.0"}, {"level", 1}}}}});
  EXPECT_EQ(bad.outcome, ChangeOutcome::refused);
  EXPECT_NE(bad.problem.message.find("bits set outside"), std::string::npos) << gxpolicy::describe(bad.problem);
  ASSERT_EQ(apply({{"changes", {{{"op", "remove-level"}, {"pop", "office"}, {"network", "10.0.0.0"},
                                  {"netmask", "255.0.0.0"}}}}})
                .outcome,
            ChangeOutcome::applied);
  EXPECT_TRUE(exported()["pops"]["office"]["ipauth"].empty());
}

TEST_F(PolicyEdit, AStaleSequenceIsAConflictAndADryRunWritesNothing) {
  unsigned long start = sequence();
  gxpolicy::ChangeOptions dry = options();
  dry.dryRun = true;
  bool seen = false;
  dry.whileDry = [&](daCachedStore& s, std::vector<gxpolicy::ItemChange> const& changes) {
    seen = gxtest::hasAcl(s, "team-a") && changes.size() == 2;
  };
  ChangeResult d = apply(kProject, dry);
  EXPECT_EQ(d.outcome, ChangeOutcome::dryRun);
  EXPECT_TRUE(seen) << "the dry run's changes are visible while it runs";
  EXPECT_EQ(gxpolicy::describeChanges(d.changes), "create object /projects/a\ncreate acl team-a\n");
  EXPECT_EQ(sequence(), start);
  EXPECT_FALSE(gxtest::hasAcl(*store_, "team-a"));

  gxpolicy::ChangeOptions based = options();
  based.ifSequence = start;
  ASSERT_EQ(apply(kProject, based).outcome, ChangeOutcome::applied);
  ChangeResult late = apply({{"changes", {{{"op", "create"}, {"acl", "b"}}}}}, based);
  EXPECT_EQ(late.outcome, ChangeOutcome::conflict);
  EXPECT_FALSE(gxtest::hasAcl(*store_, "b"));
}

// Policy as code: a document imported with replace is the whole policy.
TEST_F(PolicyEdit, AReplacingImportRemovesWhatTheDocumentLacksOrChangesNothing) {
  ASSERT_EQ(apply(kProject).outcome, ChangeOutcome::applied);
  json whole = {{"acls", {{"shared", {{"entries", {{{"type", "any-other"}, {"actions", "Tr"}}}}}}}},
                {"objects", {{"/projects/b", {{"acl", "shared"}}}}}};
  auto import = [&](json const& doc, gxpolicy::ImportCounts& counts) {
    gxpolicy::ImportOptions o;
    o.replace = true;
    o.actor = gxpolicy::Actor{"pipeline", "local"};
    o.command = "import --replace";
    gxpolicy::Problem problem;
    std::string text = doc.dump();
    gxpolicy::DocumentSource source = [&text] { return std::make_unique<std::istringstream>(text); };
    bool ok = gxpolicy::importPolicyDocument(*store_, source, o, counts, problem);
    return ok ? std::string() : gxpolicy::describe(problem);
  };
  // Naming an ACL that only the database holds fails: it would be removed.
  unsigned long before = sequence();
  gxpolicy::ImportCounts counts;
  json naming = whole;
  naming["objects"]["/projects/c"] = {{"acl", "team-a"}};
  EXPECT_NE(import(naming, counts).find("no ACL named \"team-a\" in the document"), std::string::npos);
  EXPECT_EQ(sequence(), before);
  EXPECT_TRUE(gxtest::hasAcl(*store_, "team-a"));

  ASSERT_EQ(import(whole, counts), "");
  EXPECT_EQ(counts.removed, 2u) << "the ACL team-a and the object /projects/a";
  json doc = exported();
  EXPECT_EQ(doc["acls"].size(), 1u);
  EXPECT_EQ(doc["objects"].size(), 1u);
  EXPECT_TRUE(gxtest::mapNames(*store_, daAclName("team-a").getPolicyToObjMapName()).empty());
  std::vector<json> entries = log();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1]["who"], "pipeline");
  EXPECT_EQ(entries[1]["sequence"], sequence());
  EXPECT_EQ(gxpolicy::describeEntry(entries[1]).substr(std::to_string(sequence()).size()),
            "  " + entries[1]["time"].get<std::string>() +
                "  pipeline@local  import --replace\n  acl shared: created\n  object /projects/b: created\n"
                "  acl team-a: deleted\n  object /projects/a: deleted\n");
}

// Two administrators apply changes based on the same sequence number at
// once, from two processes: one is applied, the other refused, and nothing
// is lost silently.
TEST_F(PolicyEdit, ConcurrencyOfTwoAppliesOnTheSameSequenceRefusesOne) {
  unsigned long start = sequence();
  store_.reset();
  auto child = [&](char const* acl) {
    return [&, acl] {
      auto s = open();
      gxpolicy::ChangeOptions o = options();
      o.ifSequence = start;
      json doc = {{"changes", {{{"op", "create"}, {"acl", acl}}}}};
      ChangeResult r = gxpolicy::applyChanges(*s, doc, o);
      return r.outcome == ChangeOutcome::applied ? 0 : r.outcome == ChangeOutcome::conflict ? 1 : 2;
    };
  };
  for (int round = 0; round < 3; ++round) {
    pid_t a = fork();
    if (a == 0) _exit(child(round % 2 ? "one" : "two")());
    int codeB = gxtest::inChild(child(round % 2 ? "two" : "one"));
    int ws = 0;
    waitpid(a, &ws, 0);
    int codeA = WIFEXITED(ws) ? WEXITSTATUS(ws) : 100;
    EXPECT_EQ(codeA + codeB, 1) << "round " << round << ": exactly one applied, the other a conflict";
    store_ = open();
    EXPECT_EQ(gxtest::hasAcl(*store_, "one") + gxtest::hasAcl(*store_, "two"), 1);
    EXPECT_EQ(log().size(), 2u * round + 1) << "one entry for the change applied";
    ChangeResult undo = apply({{"changes", {{{"op", "delete"}, {"acl", gxtest::hasAcl(*store_, "one") ? "one" : "two"}}}}});
    ASSERT_EQ(undo.outcome, ChangeOutcome::applied);
    start = sequence();
    store_.reset();
  }
}

// Each write, sync, rename and map call of an apply failing in turn: the
// change and its log entry are both in the file or neither is.
class EditFaults : public ::testing::TestWithParam<int> {};

TEST_P(EditFaults, AChangeAndItsLogEntryAreWrittenTogetherOrNotAtAll) {
  gxtest::MessageCapture quiet;
  gxtest::TempDir dir;
  std::string db = dir.file("p.db");
  auto state = [&] {
    daCachedStore s("d", db.c_str(), 0, 0);
    unsigned long st = 1;
    s.openStore(1, st);
    if (st != 0) return -1;
    std::vector<json> entries;
    if (gxpolicy::readChangeLog(s, {}, {}, entries) != 0) return -1;
    return int(gxtest::hasAcl(s, "team-a")) * 10 + int(entries.size());
  };
  gxpolicy::ChangeOptions o;
  o.actor = {"carol"};
  json doc = {{"changes", {{{"op", "create"}, {"object", "/p"}}, {{"op", "create"}, {"acl", "team-a"}},
                           {{"op", "attach"}, {"acl", "team-a"}, {"object", "/p"}}}}};
  gxtest::faults::failEachCall(
      dir.path().string(), GetParam(),
      [&] {
        hx_db_remove_file(db.c_str());
        gxtest::createPolicyDb(db);
      },
      [&] {
        daCachedStore s("d", db.c_str(), 1, 0);
        unsigned long st = 1;
        s.openStore(0, st);
        if (st != 0) return st;
        ChangeResult r = gxpolicy::applyChanges(s, doc, o);
        return r.outcome == ChangeOutcome::applied ? 0ul : r.problem.status != 0 ? r.problem.status : 1ul;
      },
      [&](unsigned long status) {
        int now = state();
        if (status == 0) return now == 11 ? 0 : 2;
        return now == 0 || now == 11 ? 0 : 3;
      });
}

// The same for an import that replaces the policy: the new policy, the
// items it removed and the import's log entry, or the old policy alone.
TEST_P(EditFaults, AReplacingImportAndItsLogEntryAreWrittenTogetherOrNotAtAll) {
  gxtest::MessageCapture quiet;
  gxtest::TempDir dir;
  std::string db = dir.file("p.db");
  auto state = [&] {
    daCachedStore s("d", db.c_str(), 0, 0);
    unsigned long st = 1;
    s.openStore(1, st);
    if (st != 0) return -1;
    std::vector<json> entries;
    if (gxpolicy::readChangeLog(s, {}, {}, entries) != 0) return -1;
    return int(gxtest::hasAcl(s, "old")) * 100 + int(gxtest::hasAcl(s, "new")) * 10 + int(entries.size());
  };
  std::string const doc = R"({"acls": {"new": {}}, "objects": {"/p": {"acl": "new"}}})";
  gxpolicy::ImportOptions o;
  o.replace = true;
  o.actor = gxpolicy::Actor{"pipeline"};
  gxpolicy::DocumentSource source = [&doc] { return std::make_unique<std::istringstream>(doc); };
  gxtest::faults::failEachCall(
      dir.path().string(), GetParam(),
      [&] {
        hx_db_remove_file(db.c_str());
        gxtest::makePolicyDb(db, {"old"});
      },
      [&] {
        daCachedStore s("d", db.c_str(), 1, 0);
        unsigned long st = 1;
        s.openStore(0, st);
        if (st != 0) return st;
        gxpolicy::ImportCounts counts;
        gxpolicy::Problem problem;
        if (gxpolicy::importPolicyDocument(s, source, o, counts, problem)) return 0ul;
        return problem.status != 0 ? problem.status : 1ul;
      },
      [&](unsigned long status) {
        int now = state();
        if (status == 0) return now == 11 ? 0 : 2;
        return now == 100 || now == 11 ? 0 : 3;
      });
}

INSTANTIATE_TEST_SUITE_P(Errors, EditFaults, ::testing::Values(EIO, ENOSPC),
                         [](auto const& info) { return std::string(strerrorname_np(info.param)); });

// A child killed (SIGKILL) while it writes a change of 10,000 operations
// (told by the child once they are made, killed after a delay that falls in
// the check, the writes, the log entry or the commit): the database holds
// all of them and their log entry, or none.
TEST_F(PolicyEdit, AKillDuringAnApplyLeavesThePolicyAndItsLogConsistent) {
  store_.reset();
  for (int delayMs : {0, 20, 60, 120, 250}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      auto s = open();
      ChangeResult r = gxpolicy::runEdit(
          *s,
          [&](gxpolicy::PolicyEdit& e) {
            for (int i = 0; i < 5000; ++i) {
              std::string acl = "acl" + std::to_string(i);
              e.create(gxpolicy::kAcl, acl, json::object(), gxpolicy::document::root());
              e.setEntry(acl, {{"type", "any-other"}, {"actions", "Tr"}}, gxpolicy::document::root());
            }
            char one = 1;
            if (write(ready[1], &one, 1) != 1) _exit(3);
          },
          options());
      _exit(r.outcome == ChangeOutcome::applied ? 0 : 1);
    }
    close(ready[1]);
    char one = 0;
    ASSERT_EQ(read(ready[0], &one, 1), 1) << "the child did not make its changes";
    close(ready[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, SIGKILL);
    int ws = 0;
    waitpid(pid, &ws, 0);
    store_ = open();
    std::vector<json> entries = log();
    bool first = gxtest::hasAcl(*store_, "acl0"), last = gxtest::hasAcl(*store_, "acl4999");
    EXPECT_EQ(first, last) << "after " << delayMs << " ms";
    EXPECT_EQ(entries.size(), first ? 1u : 0u) << "after " << delayMs << " ms";
    if (first) {
      EXPECT_EQ(entries[0]["changes"].size(), 5000u);
      EXPECT_EQ(entries[0]["sequence"], sequence());
    }
    // Back to the start for the next round.
    store_.reset();
    hx_db_remove_file(db_.c_str());
    gxtest::createPolicyDb(db_);
  }
}

}  // namespace
