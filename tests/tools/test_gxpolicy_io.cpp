// Policy documents (tools/common/policy_import, policy_export): attachments written both ways and
// merged with what the database holds, all-or-nothing on a bad document, and
// refused exports. The plain round trip and the policy in force after an
// import are run end to end by scripts/check-cli.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxdb.h"
#include "registry_uuids.h"
#include "test_support.h"
#include "tools/common/policy_export.h"
#include "tools/common/policy_import.h"

namespace {

using gxtest::mapNames;
using gxtest::TempDir;
using json = nlohmann::json;
using H = Handle<daStoreObject>;
using gxpolicy::DocumentSource;

constexpr char const* kUser = gxtest::registry_sample::kAlice;
constexpr char const* kGroup = gxtest::registry_sample::kWeb;

json sampleDocument() {
  return {
      {"acls",
       {{"public",
         {{"description", "anyone may read"},
          {"entries",
           {{{"type", "user"}, {"id", kUser}, {"name", "alice"}, {"actions", "Tcrmdlva"}},
            {{"type", "group"}, {"id", kGroup}, {"actions", "Trl"}},
            {{"type", "any-other"}, {"actions", "Tr"}},
            {{"type", "unauthenticated"}, {"actions", ""}}}},
          {"attributes", {{"owner", {"web team"}}}}}},
        {"admin", {{"entries", {{{"type", "group"}, {"id", kGroup}, {"actions", "Tcva"}}}}}}}},
      {"pops",
       {{"internal",
         {{"description", "internal network"},
          {"audit", 3},
          {"default_level", 2},
          {"ipauth",
           {{{"network", "10.0.0.0"}, {"netmask", "255.0.0.0"}, {"level", 0}},
            {{"network", "fd00::"}, {"netmask", "ff00::"}, {"level", 1}},
            {{"network", "192.0.2.7"}, {"netmask", "255.255.255.255"}, {"level", 3}}}},
          {"attributes", {{"zone", {"lan"}}}}}}}},
      {"rules", {{"hours", {{"text", "attr.a == attr.b"}, {"reason", "closed"}, {"adilist", {"a", "b"}}}}}},
      {"objects",
       {{"/web", {{"description", "the web space"}, {"acl", "public"}}},
        {"/web/docs", {{"acl", "public"}, {"pop", "internal"}, {"rule", "hours"}, {"attributes", {{"k", {"v"}}}}}},
        {"/web/admin", {{"acl", "admin"}}}}}};
}

// A database as `gxpolicy create` leaves it: empty but for the default
// action catalogue.
class PolicyDocument : public ::testing::Test {
 protected:
  std::unique_ptr<daCachedStore> create(char const* file) {
    gxtest::createPolicyDb(dir_.file(file));
    return open(file, 0);
  }
  std::unique_ptr<daCachedStore> open(char const* file, int readOnly) {
    auto s = std::make_unique<daCachedStore>("d", dir_.file(file).c_str(), 1, 0);
    unsigned long st;
    s->openStore(readOnly, st);
    EXPECT_EQ(st, 0u);
    return s;
  }

  static void import(daCachedStore& s, json const& doc) {
    gxpolicy::ImportCounts counts;
    gxpolicy::Problem problem;
    ASSERT_TRUE(gxpolicy::importPolicyText(s, doc.dump(), counts, problem)) << gxpolicy::describe(problem);
  }
  // The problem of a document that import refuses, having written nothing.
  static gxpolicy::Problem refused(daCachedStore& s, std::string const& text) {
    gxpolicy::ImportCounts counts;
    gxpolicy::Problem problem;
    EXPECT_FALSE(gxpolicy::importPolicyText(s, text, counts, problem));
    EXPECT_EQ(counts.transactions, 0u);
    return problem;
  }
  static json exported(daCachedStore& s) {
    json doc;
    gxpolicy::Problem problem;
    EXPECT_TRUE(gxpolicy::exportPolicyDocument(s, doc, problem)) << gxpolicy::describe(problem);
    return doc;
  }
  using Names = std::vector<std::string>;

  TempDir dir_;
};

TEST_F(PolicyDocument, AttachmentsAreWrittenBothWaysAndMergedWithTheDatabase) {
  auto s = create("a.db");
  import(*s, sampleDocument());
  EXPECT_EQ(mapNames(*s, daPObjName("/web/docs").getPObjToAclMapName()), Names({"public"}));
  EXPECT_EQ(mapNames(*s, daAclName("public").getPolicyToObjMapName()), Names({"/web", "/web/docs"}));
  EXPECT_EQ(mapNames(*s, daPopName("internal").getPolicyToObjMapName()), Names({"/web/docs"}));
  EXPECT_EQ(mapNames(*s, daRuleName("hours").getPolicyToObjMapName()), Names({"/web/docs"}));

  // A second document naming policies already in the database: /web/docs
  // moves to "admin", /web/admin loses its ACL and rule and its extended
  // attributes; /web, not named, keeps "public".
  import(*s, {{"objects", {{"/web/docs", {{"acl", "admin"}, {"rule", "hours"}}}, {"/web/admin", json::object()}}}});
  EXPECT_EQ(mapNames(*s, daPObjName("/web/docs").getPObjToAclMapName()), Names({"admin"}));
  EXPECT_EQ(mapNames(*s, daAclName("public").getPolicyToObjMapName()), Names({"/web"}));
  EXPECT_EQ(mapNames(*s, daAclName("admin").getPolicyToObjMapName()), Names({"/web/docs"}));
  EXPECT_EQ(mapNames(*s, daPopName("internal").getPolicyToObjMapName()), Names());
  EXPECT_EQ(mapNames(*s, daPObjName("/web/admin").getPObjToAclMapName()), Names());
  json doc = exported(*s);
  EXPECT_EQ(doc["objects"]["/web"]["acl"], "public");
  EXPECT_FALSE(doc["objects"]["/web/docs"].contains("pop"));
  EXPECT_FALSE(doc["objects"]["/web/docs"].contains("attributes"));
}

struct BadDocument {
  char const* text;
  char const* path;
  unsigned long status;
  char const* message = "";  // what describe(problem) starts with
};

TEST_F(PolicyDocument, BadDocumentIsReportedWhereItIsAndWritesNothing) {
  BadDocument const cases[] = {
      {R"({"acls": {"a": {}}, "objects": {"/a": {"acl": "a"}, "/b": {"acl": "ghost"}}})", R"(objects["/b"].acl)",
       da_s_no_such_object},
      {R"({"acls": {"a": {"entries": [{"type": "any-other", "actions": "Trq"}]}}})", "acls.a.entries[0].actions",
       gx_s_bad_action},
      {R"({"acls": {"a": {"entries": [{"type": "any-other", "actions": "r[primary]"}]}}})",
       "acls.a.entries[0].actions", gx_s_group_at_end},
      {R"({"pops": {"p": {"ipauth": [{"network": "10.0.0.300", "netmask": "255.0.0.0", "level": 1}]}}})",
       "pops.p.ipauth[0].network", gx_s_invalid_address},
      {R"({"pops": {"p": {"ipauth": [{"network": "10.0.0.0", "netmask": "ff00::", "level": 1}]}}})",
       "pops.p.ipauth[0].netmask", gx_s_pop_bad_ipauth_address},
      {R"({"acls": {"a": {"entries": [{"type": "user", "id": "not-a-uuid", "actions": "r"}]}}})",
       "acls.a.entries[0].id", hx_uuid_s_invalid_string},
      {R"({"acls": {"a b": {}}})", R"(acls["a b"])", gx_s_bad_acl_name},
      {R"({"acls": {"a": {"entries": [{"type": "owner", "id": "6f1c0a56-8b1e-4c1e-9d7e-1f2a3b4c5d6e", "actions": "r"}]}}})",
       "acls.a.entries[0].type", 0},
      {R"({"objects": {"/a": {"description": "x", "acls": "a"}}})", R"(objects["/a"].acls)", 0},
      {R"({"pops": {"p": {"audit": -1}}})", "pops.p.audit", 0},
      {R"({"objects": {"/a": {}, "a": {}}})", "objects.a", 0},
      {R"({"acls": {"a": {}, "a": {"entries": []}}})", "acls.a", 0},
      {R"({"objects": {"/a": {"acl": "ghost"}}, "acls": {"a": {}}})", R"(objects["/a"].acl)", da_s_no_such_object},
      {R"([{"acls": {}}])", "", 0},
      // A NUL would cut the text where the store reads it as a C string.
      {R"({"acls": {"web-admin\u0000x": {}}})", R"(acls["web-admin\u0000x"])", 0},
      {R"({"objects": {"/web\u0000/x": {}}})", R"(objects["/web\u0000/x"])", 0},
      {R"({"acls": {"a": {"description": "x\u0000y"}}})", "acls.a.description", 0},
      {R"({"acls": {"a": {"entries": [{"type": "any-other", "actions": "Tr\u0000c"}]}}})",
       "acls.a.entries[0].actions", 0},
      {R"({"acls": {"a": {"entries": [{"type": "user", "id": "6f1c0a56-8b1e-4c1e-9d7e-1f2a3b4c5d6e\u0000x",
           "actions": "r"}]}}})",
       "acls.a.entries[0].id", 0},
      {R"({"objects": {"/a": {"attributes": {"k\u0000x": ["v"]}}}})", R"(objects["/a"].attributes["k\u0000x"])", 0},
      {R"({"rules": {"r": {"attributes": {"k": ["v", "w\u0000"]}}}})", "rules.r.attributes.k[1]", 0},
      {R"({"rules": {"r": {"text": "a\u0000b"}}})", "rules.r.text", 0},
      {R"({"rules": {"r": {"adilist": ["a", "b\u0000c"]}}})", "rules.r.adilist[1]", 0},
      {R"({"acls": {"a": {}}, "objects": {"/a": {"acl": "a\u0000b"}}})", R"(objects["/a"].acl)", 0},
      {R"({"pops": {"p": {"ipauth": [{"network": "10.0.0.0\u0000x", "netmask": "255.0.0.0", "level": 1}]}}})",
       "pops.p.ipauth[0].network", 0},
      // A key given twice: the later value would silently win.
      {R"({"acls": {"a": {}}, "acls": {"b": {}}})", "acls", 0},
      {R"({"objects": {"/a": {}}, "objects": {"/b": {}}})", "objects", 0},
      {R"({"objects": {"/a": {}, "/a": {"description": "x"}}})", R"(objects["/a"])", 0},
      {R"({"acls": {"a": {"description": "x", "description": "y"}}})", "acls.a.description", 0},
      {R"({"acls": {"a": {"entries": [{"type": "any-other", "actions": "r", "actions": "Tc"}]}}})",
       "acls.a.entries[0].actions", 0},
      {R"({"objects": {"/a": {"attributes": {"k": ["a"], "k": ["b"]}}}})", R"(objects["/a"].attributes.k)", 0},
      {R"({"pops": {"p": {"ipauth": [{"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 1, "level": 2}]}}})",
       "pops.p.ipauth[0].level", 0},
      // Netmasks with holes, and networks with host bits under the mask
      // (such an entry can never match).
      {R"({"pops": {"p": {"ipauth": [{"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 1},
                                     {"network": "10.0.0.0", "netmask": "255.0.255.0", "level": 1}]}}})",
       "pops.p.ipauth[1].netmask", 0},
      {R"({"pops": {"p": {"ipauth": [{"network": "0.0.0.0", "netmask": "0.0.0.1", "level": 1}]}}})",
       "pops.p.ipauth[0].netmask", 0},
      {R"({"pops": {"p": {"ipauth": [{"network": "fd00::", "netmask": "ff00:ff00::", "level": 1}]}}})",
       "pops.p.ipauth[0].netmask", 0},
      {R"({"pops": {"p": {"ipauth": [{"network": "10.1.2.3", "netmask": "255.0.0.0", "level": 1}]}}})",
       "pops.p.ipauth[0].network", 0},
      {R"({"pops": {"p": {"ipauth": [{"network": "fd00::1", "netmask": "ffff:ffff:ffff:ffff::", "level": 1}]}}})",
       "pops.p.ipauth[0].network", 0},
      // Access windows in their readable form, and the raw numbers.
      {R"({"pops": {"p": {"access": {"days": ["mon", "funday"]}}}})", "pops.p.access.days[1]", 0},
      {R"({"pops": {"p": {"access": {"from": "8:00", "to": "18:00"}}}})", "pops.p.access.from", 0},
      {R"({"pops": {"p": {"access": {"from": "08:00", "to": "24:30"}}}})", "pops.p.access.to", 0},
      {R"({"pops": {"p": {"access": {"from": "08:00"}}}})", "pops.p.access.to", 0},
      {R"({"pops": {"p": {"access": {"days": ["mon"], "zone": "Mars/Olympus"}}}})", "pops.p.access.zone", 0},
      {R"({"pops": {"p": {"access": {"days": ["mon"], "at": "noon"}}}})", "pops.p.access.at", 0},
      {R"({"pops": {"p": {"access": {"days": ["mon"]}, "day_access": 4}}})", "pops.p.access", 0},
      {R"({"pops": {"p": {"start_access": 1500}}})", "pops.p.start_access", 0},
      {R"({"pops": {"p": {"day_access": 128}}})", "pops.p.day_access", 0},
      {R"({"pops": {"p": {"day_access": 1, "time_reference": 2}}})", "pops.p.time_reference", 0},
      // A rule that does not compile would deny wherever it is in force:
      // refused naming the rule and the line.
      {R"({"rules": {"ok": {"text": "true"}, "hours": {"text": "local h = request.hour\nreturn h >=\n"}}})",
       "rules.hours.text", 0, "rules.hours.text: does not compile: line 3: unexpected symbol near <eof>"},
      {R"({"rules": {"hours": {"text": "return attr.x = 1"}}})", "rules.hours.text", 0,
       "rules.hours.text: does not compile: line 1: "},
      {R"({"rules": {"hours": {"text": "\u001bLua"}}})", "rules.hours.text", 0, "rules.hours.text: does not compile: "},
      // Malformed JSON: where (line and column) and what the parser found,
      // without the parser's own tag.
      {"{\"acls\": {\"a\": {}},\n \"objects\": {\"/a\": {\"acl\": \"a\"}", "", 0,
       "malformed JSON at line 2, column 31: syntax error while parsing object - unexpected end of input; expected '}'"},
      {"{\"pops\": {\"p\": {\"audit\": tru}}}", "", 0,
       "malformed JSON at line 1, column 29: syntax error while parsing value - invalid literal; last read: '\"audit\": tru}'"},
      {"{\"pops\": {\"p\":\n\n  {\"audit\": 1e400}}}", "", 0,
       "malformed JSON at line 3, column 17: number overflow parsing '1e400'"},
  };
  auto s = create("a.db");
  unsigned long before, after, st;
  s->getSeqNum(before, st);
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    gxpolicy::Problem problem = refused(*s, c.text);
    EXPECT_EQ(problem.where, c.path);
    EXPECT_EQ(problem.status, c.status) << gxpolicy::describe(problem);
    EXPECT_EQ(gxpolicy::describe(problem).rfind(c.message, 0), 0u) << gxpolicy::describe(problem);
  }
  s->getSeqNum(after, st);
  EXPECT_EQ(after, before);
  EXPECT_EQ(exported(*s), json({{"acls", json::object()}, {"pops", json::object()}, {"rules", json::object()},
                                {"objects", json::object()}}));
}

// A document that checks but cannot be written (the store is read-only)
// reports the store's status, and counts nothing: nothing was written.
TEST_F(PolicyDocument, ImportThatCannotWriteCountsNothing) {
  create("a.db");
  auto s = open("a.db", 1);
  gxpolicy::ImportCounts counts;
  gxpolicy::Problem problem;
  EXPECT_FALSE(gxpolicy::importPolicyText(*s, sampleDocument().dump(), counts, problem));
  EXPECT_NE(problem.status, 0u) << gxpolicy::describe(problem);
  EXPECT_EQ(counts.acls + counts.pops + counts.rules + counts.objects + counts.transactions, 0u);
  EXPECT_EQ(exported(*s)["acls"], json::object());
}

// The access window in its readable form: written beside the raw numbers
// and read back to the same POP (bad ones are in the table above).
TEST_F(PolicyDocument, AccessWindowRoundTripsInItsReadableForm) {
  auto s = create("a.db");
  json const night = {{"days", {"mon", "fri"}}, {"from", "22:00"}, {"to", "06:00"}, {"zone", "Europe/Berlin"}};
  import(*s, {{"pops", {{"night", {{"access", night}}}, {"sundays", {{"day_access", 1}}}, {"any", json::object()}}}});
  json pops = exported(*s)["pops"];
  EXPECT_EQ(pops["night"]["access"], night);
  EXPECT_EQ(pops["night"]["day_access"], 2 + 32);
  EXPECT_EQ(pops["night"]["start_access"], 22 * 60);
  EXPECT_EQ(pops["night"]["end_access"], 6 * 60);
  EXPECT_EQ(pops["night"]["time_reference"], 2);
  EXPECT_EQ(pops["sundays"]["access"], json({{"days", {"sun"}}, {"zone", "UTC"}}));
  EXPECT_FALSE(pops["any"].contains("access"));
  // An export imports back as it was, both forms given.
  auto copy = create("b.db");
  import(*copy, exported(*s));
  EXPECT_EQ(exported(*copy)["pops"], pops);
}

// Many objects, most under a few shared ACLs, so that the import spans
// several transactions and the ACLs' lists of objects are gathered across
// them; an ACL or POP defined after the objects that name it.
json largeDocument(unsigned long objects) {
  json acls = json::object(), objs = json::object();
  for (int i = 0; i < 4; ++i)
    acls["shared" + std::to_string(i)] = {{"entries", {{{"type", "group"}, {"id", kGroup}, {"actions", "Tr"}}}}};
  for (unsigned long i = 0; i < objects; ++i) {
    json o = {{"description", "object " + std::to_string(i)}};
    if (i % 3 == 0) o["acl"] = "shared" + std::to_string(i % 4);
    if (i % 1000 == 0) o["pop"] = "late";
    objs["/o" + std::to_string(i / 100) + "/f" + std::to_string(i)] = std::move(o);
  }
  return {{"objects", std::move(objs)}, {"acls", std::move(acls)}, {"pops", {{"late", {{"default_level", 1}}}}}};
}

TEST_F(PolicyDocument, LargeDocumentIsOneDatabaseTransactionAndRoundTrips) {
  auto s = create("a.db");
  json doc = largeDocument(30000);
  gxpolicy::ImportCounts counts;
  gxpolicy::Problem problem;
  unsigned long commitsBefore = hx_db_write_transactions(s->getDBHandle());
  ASSERT_TRUE(gxpolicy::importPolicyText(*s, doc.dump(), counts, problem)) << gxpolicy::describe(problem);
  EXPECT_EQ(counts.objects, 30000u);
  EXPECT_EQ(hx_db_write_transactions(s->getDBHandle()) - commitsBefore, 1u);
  EXPECT_EQ(mapNames(*s, daAclName("shared0").getPolicyToObjMapName()).size(), 2500u);
  EXPECT_EQ(mapNames(*s, daPopName("late").getPolicyToObjMapName()).size(), 30u);

  json first = exported(*s);
  EXPECT_EQ(first["objects"].size(), 30000u);
  auto copy = create("b.db");
  import(*copy, first);
  EXPECT_EQ(exported(*copy), first);
}

// An import killed at any moment leaves the database as it was or holds
// the whole document: never some of its objects, never an object without
// its ACL's list entry. Staged in small transactions, as a large import is.
TEST_F(PolicyDocument, ImportKilledAtRandomMomentsLeavesAllOrNothing) {
  gxtest::createPolicyDb(dir_.file("pristine.db"));
  std::string text = largeDocument(3000).dump();
  std::string db = dir_.file("a.db");
  auto fresh = [&] {
    std::filesystem::remove(db);
    std::filesystem::remove(db + "-lock");
    std::filesystem::copy_file(dir_.file("pristine.db"), db);
  };
  auto importInChild = [&] {
    daCachedStore store("d", db.c_str(), 0, 0);
    unsigned long st = 0;
    store.openStore(0, st);
    gxpolicy::ImportOptions options;
    options.changesPerTransaction = 300;
    gxpolicy::ImportCounts counts;
    gxpolicy::Problem problem;
    DocumentSource source = [&] { return std::make_unique<std::istringstream>(text); };
    ::_exit(st == 0 && gxpolicy::importPolicyDocument(store, source, options, counts, problem) ? 0 : 1);
  };
  auto records = [&] {
    daCachedStore store("d", db.c_str(), 0, 0);
    unsigned long st = 0, n = 0;
    store.openStore(1, st);
    store.getObjectCount(n, st);
    return std::make_pair(n, mapNames(store, daAclName("shared0").getPolicyToObjMapName()).size());
  };
  fresh();
  auto empty = records();
  auto started = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) importInChild();
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  auto full = records();
  ASSERT_EQ(full.second, 250u);
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);

  std::mt19937 rng(16);
  int none = 0, all = 0;
  for (int round = 0; round < 30; ++round) {
    fresh();
    pid = ::fork();
    if (pid == 0) importInChild();
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (took.count() + 1)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &ws, 0);
    auto now = records();
    EXPECT_TRUE(now == empty || now == full) << "round " << round << ": " << now.first << " records, "
                                             << now.second << " objects on shared0's list";
    none += now == empty;
    all += now == full;
  }
  RecordProperty("nothing", none);
  RecordProperty("everything", all);
}

TEST_F(PolicyDocument, ProblemLateInALargeDocumentWritesNothing) {
  auto s = create("a.db");
  json doc = largeDocument(30000);
  doc["objects"]["/o299/f29999"]["acl"] = "ghost";
  unsigned long before, after, st;
  s->getSeqNum(before, st);
  EXPECT_EQ(refused(*s, doc.dump()).where, R"(objects["/o299/f29999"].acl)");
  s->getSeqNum(after, st);
  EXPECT_EQ(after, before);
}

// The database refuses keys over 511 bytes and records over
// gxobj_max_encoded_length; the checking pass must refuse them first, at the
// field that makes them, so that nothing is written. A name whose longest
// key is exactly at the limit still goes in.
TEST_F(PolicyDocument, KeysAndRecordsOverTheDatabaseLimitsAreRefusedBeforeWriting) {
  auto s = create("a.db");
  // The longest key of an ACL and of an object is that of its extended
  // attributes.
  std::size_t aclPrefix = daAclName("x").getExtAttrName().getFullName().getLength() - 1;
  std::size_t objectPrefix = daPObjName("/x").getExtAttrName().getFullName().getLength() - 2;
  std::string const fits(511 - aclPrefix, 'a'), tooLong(512 - aclPrefix, 'a');
  std::string const fitsPath = "/" + std::string(511 - objectPrefix - 1, 'p');
  std::string const longPath = "/" + std::string(512 - objectPrefix - 1, 'p');
  struct Case {
    json doc;
    std::string path;
  } const cases[] = {
      {{{"acls", {{"ok", json::object()}, {tooLong, json::object()}}}}, "acls." + tooLong},
      {{{"objects", {{"/ok", json::object()}, {longPath, json::object()}}}}, "objects[\"" + longPath + "\"]"},
      {{{"acls", {{"a", {{"description", std::string(gxobj_max_encoded_length, 'd')}}}}}}, "acls.a.description"},
  };
  unsigned long before, after, st;
  s->getSeqNum(before, st);
  for (auto const& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    EXPECT_EQ(refused(*s, c.doc.dump()).where, c.path);
  }
  s->getSeqNum(after, st);
  EXPECT_EQ(after, before);

  import(*s, {{"acls", {{fits, {{"attributes", {{"k", {"v"}}}}}}}},
              {"objects", {{fitsPath, {{"acl", fits}, {"attributes", {{"k", {"v"}}}}}}}}});
  json doc = exported(*s);
  EXPECT_EQ(doc["objects"][fitsPath]["acl"], fits);
  EXPECT_EQ(doc["acls"][fits]["attributes"]["k"], json({"v"}));
}

// A policy's list of objects grows with every object attached to it, across
// imports: the list as it will be written (the stored paths, less those the
// document moves elsewhere, plus the new ones) must fit in a record.
TEST_F(PolicyDocument, PolicyListOfObjectsOverTheRecordLimitIsRefusedBeforeWriting) {
  auto s = create("a.db");
  auto objects = [](int from, int to, char const* acl) {
    json o = json::object();
    for (int i = from; i < to; ++i) o["/objects/with/a/fairly/long/path/" + std::to_string(i)] = {{"acl", acl}};
    return o;
  };
  gxpolicy::ImportOptions options;
  options.maxRecordBytes = 3000;  // about 80 of these paths
  auto importWith = [&](json const& doc, gxpolicy::Problem& problem) {
    std::string text = doc.dump();
    gxpolicy::DocumentSource source = [&text] { return std::make_unique<std::istringstream>(text); };
    gxpolicy::ImportCounts counts;
    return gxpolicy::importPolicyDocument(*s, source, options, counts, problem);
  };
  gxpolicy::Problem problem;
  json acls = {{"shared", json::object()}, {"other", json::object()}};
  ASSERT_TRUE(importWith({{"acls", acls}, {"objects", objects(0, 60, "shared")}}, problem))
      << gxpolicy::describe(problem);
  // 60 stored and 40 more: over.
  EXPECT_FALSE(importWith({{"objects", objects(60, 100, "shared")}}, problem));
  EXPECT_EQ(problem.where.rfind("objects[", 0), 0u) << problem.where;
  EXPECT_NE(problem.message.find("\"shared\""), std::string::npos) << problem.message;
  // The same 60 again, and 40 more while 40 of the stored move to "other":
  // the list stays at 60.
  json again = objects(0, 100, "shared");
  for (int i = 0; i < 40; ++i) again["/objects/with/a/fairly/long/path/" + std::to_string(i)]["acl"] = "other";
  EXPECT_TRUE(importWith({{"objects", again}}, problem)) << gxpolicy::describe(problem);
  EXPECT_EQ(mapNames(*s, daAclName("shared").getPolicyToObjMapName()).size(), 60u);
}

// Stored texts need not be UTF-8 (the library takes bytes); the document
// must be. Invalid bytes are written replaced and each place is reported.
TEST_F(PolicyDocument, ExportReplacesInvalidUtf8AndSaysWhere) {
  auto s = create("a.db");
  import(*s, sampleDocument());
  auto* acl = new GxACL;
  acl->description("ok \xff\xfe");
  unsigned long st;
  s->setObject(daAclName("bad"), acl, st);
  ASSERT_EQ(st, 0u);
  json doc;
  gxpolicy::Problem problem;
  std::vector<std::string> invalid;
  ASSERT_TRUE(gxpolicy::exportPolicyDocument(*s, doc, problem, &invalid)) << gxpolicy::describe(problem);
  EXPECT_EQ(invalid, std::vector<std::string>({"acls.bad.description"}));
  EXPECT_EQ(doc["acls"]["bad"]["description"], "ok \xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_NO_THROW(doc.dump());
}

TEST_F(PolicyDocument, ExportRefusesAnObjectMapNamingTwoPolicies) {
  auto s = create("a.db");
  import(*s, sampleDocument());
  auto* map = new GxMapPObjectToACL;
  map->add("public");
  map->add("admin");
  unsigned long st;
  s->setObject(daPObjName("/web").getPObjToAclMapName(), map, st);
  ASSERT_EQ(st, 0u);
  json doc;
  gxpolicy::Problem problem;
  EXPECT_FALSE(gxpolicy::exportPolicyDocument(*s, doc, problem));
  EXPECT_EQ(problem.where, R"(objects["/web"].acl)");
}

// A catalogue whose "primary" group holds no actions converts no action
// string: import and export say so at the first entry, and nothing throws.
TEST_F(PolicyDocument, CatalogueWithAnEmptyPrimaryGroupIsReportedAtTheFirstEntry) {
  auto s = create("a.db");
  import(*s, sampleDocument());
  GxActionGroups catalogue;
  unsigned long slot, st;
  catalogue.newGroup("primary", slot, st);
  catalogue.newGroup("web", slot, st);
  catalogue.createAction("web", "x", nullptr, nullptr, 0, 0, 0, st);
  s->setObject(daActionGroupName(), new GxActionGroups(catalogue), st);
  ASSERT_EQ(st, 0u);
  s->invalidateQuickMap();
  std::string const message = "the database's action catalogue has no \"primary\" group with actions";
  gxpolicy::Problem problem = refused(*s, sampleDocument().dump());
  EXPECT_EQ(problem.where, "acls.admin.entries[0].actions");
  EXPECT_EQ(problem.message, message);
  json doc;
  EXPECT_FALSE(gxpolicy::exportPolicyDocument(*s, doc, problem));
  EXPECT_EQ(problem.message, message);
}

}  // namespace
