// Policy documents (tools/policy_json): attachments written both ways and
// merged with what the database holds, all-or-nothing on a bad document, and
// refused exports. The plain round trip and the policy in force after an
// import are run end to end by scripts/check-cli.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCachedStore.h"
#include "test_support.h"
#include "tools/policy_json.h"

namespace {

using gxtest::TempDir;
using json = nlohmann::json;
using H = Handle<daStoreObject>;

constexpr char const* kUser = "6f1c0a56-8b1e-4c1e-9d7e-1f2a3b4c5d6e";
constexpr char const* kGroup = "0b9f3e2a-1c4d-4e5f-8a9b-7c6d5e4f3a2b";

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
            {{"network", "fd00::"}, {"netmask", "ff00::"}, {"level", 1}}}},
          {"attributes", {{"zone", {"lan"}}}}}}}},
      {"rules", {{"hours", {{"text", "rule text"}, {"reason", "closed"}, {"adilist", {"a", "b"}}}}}},
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
    std::string path = dir_.file(file);
    unsigned long st;
    {
      daLocalStore creator("d", path.c_str());
      creator.createStore(st);
      EXPECT_EQ(st, 0u);
      creator.openStore(0, st);
      EXPECT_EQ(gxStoreDefaultActionCatalogue(creator), 0u);
    }
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
    gxpolicy::DocumentProblem problem;
    ASSERT_TRUE(gxpolicy::importPolicyText(s, doc.dump(), counts, problem)) << gxpolicy::describe(problem);
  }
  static json exported(daCachedStore& s) {
    json doc;
    gxpolicy::DocumentProblem problem;
    EXPECT_TRUE(gxpolicy::exportPolicyDocument(s, doc, problem)) << gxpolicy::describe(problem);
    return doc;
  }
  // The names in the map stored under name; empty when there is none.
  static std::vector<std::string> mapNames(daCachedStore& s, daStoreObjectName const& name) {
    H h;
    unsigned long st;
    s.getObject(name, h, st);
    std::vector<std::string> out;
    if (auto* m = dynamic_cast<daPolicyObjectMap*>(h.get()))
      for (unsigned int i = 0; i < m->count(); ++i) out.emplace_back(m->get(i));
    return out;
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
      {R"({"objects": {"/a": {"description": "x", "acls": "a"}}})", R"(objects["/a"].acls)", 0},
      {R"({"pops": {"p": {"audit": -1}}})", "pops.p.audit", 0},
      {R"({"objects": {"/a": {}, "a": {}}})", "objects.a", 0},
      {R"({"acls": {"a": {}, "a": {"entries": []}}})", "acls.a", 0},
      {R"({"objects": {"/a": {"acl": "ghost"}}, "acls": {"a": {}}})", R"(objects["/a"].acl)", da_s_no_such_object},
      {R"([{"acls": {}}])", "", 0},
  };
  auto s = create("a.db");
  unsigned long before, after, st;
  s->getSeqNum(before, st);
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    gxpolicy::DocumentProblem problem;
    gxpolicy::ImportCounts counts;
    EXPECT_FALSE(gxpolicy::importPolicyText(*s, c.text, counts, problem));
    EXPECT_EQ(problem.path, c.path);
    EXPECT_EQ(problem.status, c.status) << gxpolicy::describe(problem);
  }
  s->getSeqNum(after, st);
  EXPECT_EQ(after, before);
  EXPECT_EQ(exported(*s), json({{"acls", json::object()}, {"pops", json::object()}, {"rules", json::object()},
                                {"objects", json::object()}}));
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

TEST_F(PolicyDocument, LargeDocumentSpansTransactionsAndRoundTrips) {
  auto s = create("a.db");
  json doc = largeDocument(30000);
  gxpolicy::ImportCounts counts;
  gxpolicy::DocumentProblem problem;
  ASSERT_TRUE(gxpolicy::importPolicyText(*s, doc.dump(), counts, problem)) << gxpolicy::describe(problem);
  EXPECT_EQ(counts.objects, 30000u);
  EXPECT_GE(counts.transactions, 2u);
  EXPECT_EQ(mapNames(*s, daAclName("shared0").getPolicyToObjMapName()).size(), 2500u);
  EXPECT_EQ(mapNames(*s, daPopName("late").getPolicyToObjMapName()).size(), 30u);

  json first = exported(*s);
  EXPECT_EQ(first["objects"].size(), 30000u);
  auto copy = create("b.db");
  import(*copy, first);
  EXPECT_EQ(exported(*copy), first);
}

TEST_F(PolicyDocument, ProblemLateInALargeDocumentWritesNothing) {
  auto s = create("a.db");
  json doc = largeDocument(30000);
  doc["objects"]["/o299/f29999"]["acl"] = "ghost";
  unsigned long before, after, st;
  s->getSeqNum(before, st);
  gxpolicy::ImportCounts counts;
  gxpolicy::DocumentProblem problem;
  EXPECT_FALSE(gxpolicy::importPolicyText(*s, doc.dump(), counts, problem));
  EXPECT_EQ(problem.path, R"(objects["/o299/f29999"].acl)");
  EXPECT_EQ(counts.transactions, 0u);
  s->getSeqNum(after, st);
  EXPECT_EQ(after, before);
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
  gxpolicy::DocumentProblem problem;
  EXPECT_FALSE(gxpolicy::exportPolicyDocument(*s, doc, problem));
  EXPECT_EQ(problem.path, R"(objects["/web"].acl)");
}

TEST_F(PolicyDocument, MalformedJsonIsRefusedBeforeTheStore) {
  auto s = create("a.db");
  gxpolicy::ImportCounts counts;
  gxpolicy::DocumentProblem problem;
  EXPECT_FALSE(gxpolicy::importPolicyText(*s, R"({"acls": {"a": {}}, "objects": {"/a": {"acl": "a"})", counts,
                                          problem));
  EXPECT_NE(problem.message.find("malformed JSON"), std::string::npos);
  EXPECT_EQ(counts.transactions, 0u);
}

}  // namespace
