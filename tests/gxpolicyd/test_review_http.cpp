// /v1/who-can and /v1/what-can: the library's answers over HTTP, paged
// listings whose cursors cannot be bent to another question, and askers
// without the review token turned away.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daAccessReview.h"
#include "daemon_process.h"
#include "example_service.h"
#include "http_client.h"
#include "loopback.h"
#include "readme_recipe.h"
#include "tools/gxpolicyd/review.h"

namespace {

using json = nlohmann::json;
using gxtest::ExampleService;
using gxtest::readmeRecipe;

char const* const kDaemon = gxtest::kGxpolicydBinary;

// What the shell prints running script, written to path (standard output only).
std::string shellOutput(std::string const& path, std::string const& script) {
  gxtest::writeFile(path, script);
  std::string out;
  if (FILE* p = ::popen(("/bin/sh -e " + path).c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

TEST_F(ExampleService, WhoCanAndWhatCanAnswerAsTheLibrary) {
  json who = answer("/v1/who-can", {{"object", "/web/admin/users.html"}, {"actions", "r"}, {"expand", true}});
  daWhoCanResult r;
  unsigned long st = 0;
  daWhoCan(store(), "/web/admin/users.html", "r", registry_.get(), daWhoCanOptions{true}, r, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(who["acl"]["name"], r.aclName);
  EXPECT_EQ(who["users"][0]["name"], r.users.at(0).name);
  EXPECT_EQ(who["members"][0]["name"], r.members.at(0).name);
  EXPECT_EQ(who["conditions"]["text"], r.conditions.describe(1));

  json what = answer("/v1/what-can", {{"user", "dave"}});
  std::vector<std::string> prefixes;
  for (auto const& region : what["regions"]) prefixes.push_back(region["prefix"]);
  EXPECT_EQ(prefixes, (std::vector<std::string>{"/web", "/web/blog", "/web/docs/drafts"}));
  EXPECT_EQ(what["regions"][0]["except"], json({"/web/admin", "/web/blog", "/web/docs/drafts"}));
  EXPECT_TRUE(what["regions"][2]["conditional"].get<bool>());
}

TEST_F(ExampleService, ObjectPagesJoinToTheWholeListing) {
  std::vector<std::string> joined;
  json ask = {{"user", "dave"}, {"under", "/web"}, {"objects", true}, {"limit", 2}};
  for (int pages = 0; pages < 20; ++pages) {
    json page = answer("/v1/what-can", ask);
    EXPECT_LE(page["objects"].size(), 2u);
    for (auto const& o : page["objects"]) joined.push_back(o["object"]);
    if (page["cursor"].is_null()) break;
    ask["cursor"] = page["cursor"];
  }
  EXPECT_EQ(joined, objectsOf("dave", "/web"));
  EXPECT_GT(joined.size(), 2u);
}

TEST_F(ExampleService, CursorsResumeOnlyTheQuestionTheyCameFrom) {
  json ask = {{"user", "dave"}, {"under", "/web"}, {"objects", true}, {"limit", 1}};
  std::string const cursor = answer("/v1/what-can", ask)["cursor"];
  json const fingerprint = {{"caller", {1, "dave", "", json::array()}}, {"actions", "r"}, {"under", "/web"}, {"limit", 1}};
  for (std::string forged : {std::string("garbage"), cursor.substr(0, cursor.size() - 1),
                             gxpolicyd::makeCursor(gxpolicyd::questionFingerprint(fingerprint), std::string("a\0b", 3))}) {
    ask["cursor"] = forged;
    auto r = post("/v1/what-can", ask.dump());
    EXPECT_EQ(r.status, 400) << forged;
    EXPECT_EQ(json::parse(r.body)["field"], "cursor") << forged;
  }
  // The same cursor with another caller, subtree or page size.
  for (auto const& [key, value] : std::vector<std::pair<std::string, json>>{{"user", "alice"}, {"under", "/web/docs"}, {"limit", 2}}) {
    json other = ask;
    other["cursor"] = cursor;
    other[key] = value;
    EXPECT_EQ(post("/v1/what-can", other.dump()).status, 400) << key;
  }
}

TEST_F(ExampleService, ReviewsAreAnsweredOnlyToAskersWithTheToken) {
  std::string const body = R"({"object": "/web", "actions": "r"})";
  auto status = [&](ExampleService::Headers const& h) { return post("/v1/who-can", body, h).status; };
  EXPECT_EQ(status({{"Authorization", "Bearer " + gxtest::kReviewToken}}), 200);
  EXPECT_EQ(status({{"authorization", "bearer " + gxtest::kReviewToken}}), 200);
  auto denied = post("/v1/who-can", body, {});
  EXPECT_EQ(denied.status, 401);
  EXPECT_EQ(denied.headers.at(0).first, "WWW-Authenticate");
  for (std::string const& bad : {"Bearer " + gxtest::kReviewToken + "x", "Bearer " + gxtest::kReviewToken.substr(1),
                                 "Basic " + gxtest::kReviewToken, gxtest::kReviewToken, std::string("Bearer ")})
    EXPECT_EQ(status({{"Authorization", bad}}), 401) << bad;
  EXPECT_EQ(status({{"Authorization", "Bearer x"}, {"Authorization", "Bearer " + gxtest::kReviewToken}}), 401);
  // Without a token configured the endpoints are off, whatever is sent.
  gxpolicyd::ServiceOptions off = options_;
  off.review.token.clear();
  gxpolicyd::DecisionService closed(*replica_, registry_.get(), off, metrics_);
  EXPECT_EQ(post("/v1/who-can", body, {{"Authorization", "Bearer "}}, &closed).status, 403);
  EXPECT_EQ(post("/v1/what-can", "{}", {{"Authorization", "Bearer " + gxtest::kReviewToken}}, &closed).status, 403);
}

TEST_F(ExampleService, QuestionsInAQueryAreAnsweredAsInABody) {
  auto r = get("/v1/who-can", {{"object", "/web/admin/users.html"}, {"actions", "r"}, {"expand", "true"}});
  EXPECT_EQ(r.body, post("/v1/who-can", R"({"object": "/web/admin/users.html", "actions": "r", "expand": true})").body);
  ExampleService::Headers const bob = {{"uuid", "4fcf4a95-9260-43cb-8214-8e440bd49e8a"}, {"group", "webteam"},
                                       {"group", "auditors"}, {"actions", "l"}, {"objects", "true"}, {"limit", "1"}};
  r = get("/v1/what-can", bob);
  EXPECT_EQ(r.body, post("/v1/what-can", R"({"uuid": "4fcf4a95-9260-43cb-8214-8e440bd49e8a", "groups": ["webteam", "auditors"],
                                             "actions": "l", "objects": true, "limit": 1})").body);
  EXPECT_EQ(json::parse(r.body)["objects"].size(), 1u);
  struct Bad {
    ExampleService::Headers query;
    char const* field;
  } const bad[] = {
      {{{"object", "/web"}, {"object", "/"}, {"actions", "r"}}, "object"},
      {{{"object", "/web"}, {"actions", "r"}, {"expand", "yes"}}, "expand"},
      {{{"object", "/web"}, {"actions", "r"}, {"limit", "-1"}}, "limit"},
      {{{"uuid", "x"}, {"groups", "a"}, {"group", "b"}}, "groups"},
  };
  for (auto const& b : bad) {
    r = get("/v1/who-can", b.query);
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_EQ(json::parse(r.body).value("field", ""), b.field) << r.body;
  }
  // "/web%00/admin" decodes to a NUL: never read as "/web".
  EXPECT_EQ(get("/v1/who-can", {{"object", "/web"}, {"actions", "r"}}, true).status, 400);
}

TEST_F(ExampleService, BadReviewQuestionsAreRefusedNamingTheField) {
  struct Case {
    char const* path;
    std::string body;
    int status;
    char const* field;
  } const cases[] = {
      {"/v1/who-can", "{", 400, ""},
      {"/v1/who-can", R"({"object": "/web", "actions": "r", "colour": 1})", 400, "colour"},
      {"/v1/who-can", R"({"actions": "r"})", 400, "object"},
      {"/v1/who-can", R"({"object": "/web", "actions": "r", "expand": "yes"})", 400, "expand"},
      {"/v1/who-can", R"({"object": "/web", "actions": "q"})", 400, "actions"},
      {"/v1/who-can", R"({"object": "/web/nothing-here", "actions": "r"})", 404, ""},
      {"/v1/what-can", R"({"user": "mallory"})", 400, "user"},
      {"/v1/what-can", R"({"user": "dave", "limit": 3})", 400, "limit"},
      {"/v1/what-can", R"({"user": "dave", "objects": true, "limit": 51})", 400, "limit"},
      {"/v1/what-can", R"({"user": "dave", "under": "/web/nothing-here"})", 404, "under"},
      {"/v1/what-can", "{\"user\": \"" + std::string(9000, 'a') + "\"}", 413, ""},
  };
  for (auto const& c : cases) {
    auto r = post(c.path, c.body);
    EXPECT_EQ(r.status, c.status) << c.path << " " << c.body.substr(0, 80) << " -> " << r.body;
    if (*c.field) EXPECT_EQ(json::parse(r.body).value("field", ""), c.field) << c.body;
  }
  EXPECT_EQ(post("/v1/who-can", "", {}, nullptr, "PUT").status, 405);
  // expand lists members only from a registry that can.
  gxpolicyd::DecisionService bare(*replica_, nullptr, options_, metrics_);
  auto r = post("/v1/who-can", R"({"object": "/web", "actions": "r", "expand": true})", {{"Authorization", "Bearer " + gxtest::kReviewToken}}, &bare);
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(json::parse(r.body)["field"], "expand");
}

// README's recipe, run as written (the port and the token's folder moved):
// the token made, the daemon started, each curl answered as shown.
TEST(GxpolicydReadme, ReviewAndAuthzenRecipesAnswerAsShown) {
  if (kDaemon == nullptr) GTEST_SKIP() << "built without the tools";
  gxtest::TempDir dir;
  std::string const d = dir.path().string(), db = d + "/policy.db";
  gxtest::makePolicyDb(db, {}, daLocalPolicy::minimumDatabaseVersion);
  auto registry = gxtest::exampleRegistry();
  gxtest::importDocument(db, "Default", gxtest::exampleFile("web.json"), registry.get());
  gxtest::writeFile(db + ".registry.json", gxtest::exampleFile("web.registry.json"));
  std::string const recipe = readmeRecipe("review token", {{"/etc/gxpolicyd/", d + "/"}});
  ASSERT_FALSE(recipe.empty());
  shellOutput(d + "/token.sh", recipe);

  int const port = gxtest::freeLoopbackPort();
  std::string const listen = "127.0.0.1:" + std::to_string(port);
  std::istringstream words(readmeRecipe("review daemon", {{"policy.db", db}, {"127.0.0.1:8181", listen}, {"/etc/gxpolicyd/", d + "/"}}));
  std::vector<std::string> argv;
  for (std::string w; words >> w;) argv.push_back(argv.empty() ? std::string(kDaemon) : w);
  ASSERT_GT(argv.size(), 1u);
  gxtest::DaemonProcess daemon;
  ASSERT_TRUE(daemon.start(argv, d + "/gxpolicyd.log", std::chrono::seconds(30), [&] { return gxtest::healthy(port); }))
      << gxtest::readFile(d + "/gxpolicyd.log");

  std::string const curls = readmeRecipe("review curl", {{"127.0.0.1:8181", listen}, {"/etc/gxpolicyd/", d + "/"}});
  ASSERT_FALSE(curls.empty());
  std::istringstream lines(shellOutput(d + "/curl.sh", curls));
  std::vector<json> answers;
  for (std::string line; std::getline(lines, line);) answers.push_back(json::parse(line, nullptr, false));
  ASSERT_EQ(answers.size(), 5u);
  EXPECT_EQ(answers[0]["members"][0]["name"], "erin");
  EXPECT_EQ(answers[0]["users"][0]["name"], "carol");
  EXPECT_EQ(answers[1]["objects"], json::parse(R"([{"object": "/web/docs", "conditional": false},
                                                    {"object": "/web/docs/drafts", "conditional": true}])"));
  EXPECT_TRUE(answers[1]["cursor"].is_string());
  EXPECT_EQ(answers[2]["context"]["cause"], "acl-denied");
  EXPECT_EQ(answers[3]["evaluations"][0]["decision"], true);
  EXPECT_EQ(answers[3]["evaluations"][1]["context"]["cause"], "acl-denied");
  EXPECT_EQ(answers[3]["evaluations"][2]["context"]["error"]["status"], 404);
  EXPECT_EQ(answers[4]["results"].size(), 2u);
  EXPECT_EQ(answers[4]["page"]["next_token"], "");

  // The transport decodes a query once; a NUL in it is refused, not cut at.
  std::string token = gxtest::readFile(d + "/review-token");
  token = token.substr(0, token.find('\n'));
  std::string const bearer = "Authorization: Bearer " + token + "\r\n";
  EXPECT_EQ(gxtest::requestOnce(port, gxtest::httpRequest("GET", "/v1/who-can?object=/web%2Fdocs&actions=r", bearer)).status, 200);
  EXPECT_EQ(gxtest::requestOnce(port, gxtest::httpRequest("GET", "/v1/who-can?object=/web%00/admin&actions=r", bearer)).status, 400);
}

}  // namespace
