// The AuthZEN routes on the example estate: evaluations agree with
// /v1/check, a batch answers each item on its own, searches agree with the
// reverse questions and page with tokens that cannot be bent, and what is
// malformed, oversized or unauthorised is refused.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "example_service.h"
#include "tools/gxpolicyd/review.h"

namespace {

using json = nlohmann::json;
using gxtest::ExampleService;

json object(char const* id) { return {{"type", "object"}, {"id", id}}; }
json user(char const* id) { return {{"type", "user"}, {"id", id}}; }

TEST_F(ExampleService, EvaluationsDecideAsCheckDoes) {
  struct Case {
    json subject;
    char const* action;
    char const* resource;
    json context;
    json check;  // the same question for /v1/check
  } const cases[] = {
      {user("alice"), "read", "/web", nullptr, {{"user", "alice"}, {"actions", "r"}}},
      {user("dave"), "can_Modify", "/web/docs/guide.html", nullptr, {{"user", "dave"}, {"actions", "m"}}},
      {{{"type", "user"}, {"id", "4fcf4a95-9260-43cb-8214-8e440bd49e8a"}, {"properties", {{"groups", {"webteam"}}}}},
       "Trm", "/web/docs", nullptr,
       {{"uuid", "4fcf4a95-9260-43cb-8214-8e440bd49e8a"}, {"groups", {"webteam"}}, {"actions", "Trm"}}},
      {{{"type", "group"}, {"id", "admins"}, {"properties", {{"ip_address", "10.1.2.3"}}}}, "modify", "/web/admin/users.html",
       {{"time", "2026-12-07T10:00:00Z"}, {"colour", "blue"}},
       {{"uuid", "00000000-0000-0000-0000-000000000000"}, {"groups", {"admins"}}, {"actions", "m"}, {"ip", "10.1.2.3"},
        {"context", {{"time", "2026-12-07T10:00:00Z"}}}}},
      {{{"type", "unauthenticated"}, {"id", ""}}, "read", "/web/blog/hello.html", {{"time", "2026-12-07T01:00:00Z"}},
       {{"actions", "r"}, {"context", {{"time", "2026-12-07T01:00:00Z"}}}}},
      {user("dave"), "read", "/web/docs/drafts", {{"attributes", {{"department", "web"}}}},
       {{"user", "dave"}, {"actions", "r"}, {"context", {{"attributes", {{"department", "web"}}}}}}},
      {user("erin"), "read", "/web/admin", nullptr, {{"user", "erin"}, {"actions", "r"}}},
  };
  std::set<bool> seen;
  for (auto const& c : cases) {
    json ask = {{"subject", c.subject}, {"action", {{"name", c.action}}}, {"resource", object(c.resource)}};
    if (!c.context.is_null()) ask["context"] = c.context;
    json check = c.check;
    check["object"] = c.resource;
    json const expected = answer("/v1/check", check);
    json const got = answer("/access/v1/evaluation", ask);
    ASSERT_EQ(got["decision"], expected["granted"]) << ask.dump() << " -> " << got.dump();
    seen.insert(got["decision"].get<bool>());
    if (!expected["granted"].get<bool>()) EXPECT_EQ(got["context"]["cause"], expected["cause"]) << ask.dump();
    if (expected["cause"] == "auth-level") EXPECT_EQ(got["context"]["auth_level_required"], 2);
    if (expected.value("warning", false)) EXPECT_EQ(got["context"]["warning"]["would_cause"], expected["would_cause"]);
  }
  EXPECT_EQ(seen.size(), 2u);  // grants and denials both asked
}

TEST_F(ExampleService, ABatchAnswersEachItemOnItsOwnOverItsDefaults) {
  json batch = {{"subject", user("alice")},
                {"action", {{"name", "read"}}},
                {"evaluations",
                 {{{"resource", object("/web")}},
                  {{"resource", object("/web/admin")}, {"action", {{"name", "modify"}}}},
                  {{"resource", object("/web")}, {"subject", user("mallory")}},
                  {{"resource", {{"type", "object"}}}}}}};
  json const got = answer("/access/v1/evaluations", batch)["evaluations"];
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], json({{"decision", true}}));
  EXPECT_EQ(got[1]["decision"], false);
  EXPECT_EQ(got[1]["context"]["cause"], "acl-denied");
  EXPECT_EQ(got[2]["decision"], false);
  EXPECT_EQ(got[2]["context"]["error"]["status"], 404);
  EXPECT_EQ(got[3]["context"]["error"]["status"], 400);

  batch["evaluations"][3] = "not an evaluation";
  EXPECT_EQ(answer("/access/v1/evaluations", batch)["evaluations"][3]["context"]["error"]["status"], 400);
  batch["evaluations"].push_back({{"resource", object("/web")}});
  EXPECT_EQ(post("/access/v1/evaluations", batch.dump()).status, 413);  // over the batch bound of 4
}

TEST_F(ExampleService, BatchSemanticsStopAtTheFirstDenialOrGrant) {
  json batch = {{"subject", user("dave")},
                {"action", {{"name", "read"}}},
                {"evaluations", {{{"resource", object("/web")}}, {{"resource", object("/web/admin")}}, {{"resource", object("/web")}}}}};
  auto decisions = [&](char const* semantic) {
    batch["options"] = {{"evaluations_semantic", semantic}};
    std::vector<bool> out;
    json const got = answer("/access/v1/evaluations", batch);
    for (auto const& e : got["evaluations"]) out.push_back(e["decision"]);
    return out;
  };
  EXPECT_EQ(decisions("execute_all"), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(decisions("deny_on_first_deny"), (std::vector<bool>{true, false}));
  batch["evaluations"][0]["resource"] = object("/web/admin");
  EXPECT_EQ(decisions("permit_on_first_permit"), (std::vector<bool>{false, false, true}));
  batch["options"] = {{"evaluations_semantic", "sometimes"}};
  EXPECT_EQ(post("/access/v1/evaluations", batch.dump()).status, 400);
}

TEST_F(ExampleService, MalformedRequestsAreRefusedAndUndecidableOnesDenied) {
  json const good = {{"subject", user("alice")}, {"action", {{"name", "read"}}}, {"resource", object("/web")}};
  struct Case {
    std::string body;
    int status;
  } const cases[] = {
      {"{", 400},
      {R"({"action": {"name": "read"}, "resource": {"type": "o", "id": "/web"}})", 400},
      {R"({"subject": {"type": "user"}, "action": {"name": "read"}, "resource": {"type": "o", "id": "/web"}})", 400},
      {R"({"subject": {"type": "user", "id": "alice"}, "action": {"name": "read"}, "resource": {"type": "o", "id": "/web"},
           "context": {"time": "yesterday"}})", 400},
      {std::string(40, '[') + std::string(40, ']'), 400},
      {"{\"pad\": \"" + std::string(9000, ' ') + "\"}", 413},
  };
  for (auto const& c : cases) {
    auto r = post("/access/v1/evaluation", c.body);
    EXPECT_EQ(r.status, c.status) << c.body.substr(0, 100) << " -> " << r.body;
    if (c.status == 400) EXPECT_EQ(std::string(r.contentType).substr(0, 10), "text/plain");
  }
  // Unknown fields are ignored; an unknown user, subject type, action or
  // object is a denial with the error in its context.
  json extra = good;
  extra["future"] = {{"x", 1}};
  extra["subject"]["properties"] = {{"department", "web"}};
  EXPECT_EQ(answer("/access/v1/evaluation", extra)["decision"], true);
  for (auto const& [key, value] : std::vector<std::pair<char const*, json>>{
           {"subject", user("mallory")}, {"subject", {{"type", "robot"}, {"id", "r2"}}},
           {"action", {{"name", "fly"}}}, {"resource", object("no/slash")}}) {
    json bad = good;
    bad[key] = value;
    json const d = answer("/access/v1/evaluation", bad);
    EXPECT_EQ(d["decision"], false) << bad.dump();
    EXPECT_TRUE(d["context"]["error"].contains("message")) << d.dump();
  }
  EXPECT_EQ(post("/access/v1/evaluation", good.dump(), {}, nullptr, "GET").status, 405);
  EXPECT_EQ(post("/access/v1/decide", good.dump()).status, 404);
  // Every answer echoes the request's id, the body checks' refusals too.
  for (std::string const& body : {std::string("{"), good.dump(), std::string(9000, ' ')}) {
    auto r = post("/access/v1/evaluation", body, {{"X-Request-ID", "req-7"}});
    std::erase_if(r.headers, [](auto const& h) { return h.first == gxpolicyd::kSequenceHeader; });
    EXPECT_EQ(r.headers, (std::vector<std::pair<std::string, std::string>>{{"X-Request-ID", "req-7"}})) << r.status;
  }
}

// Every result of a search, following its page tokens.
json allPages(ExampleService& t, char const* path, json ask, std::size_t limit) {
  json all = json::array();
  ask["page"] = {{"limit", limit}};
  for (int pages = 0; pages < 50; ++pages) {
    json const page = t.answer(path, ask);
    EXPECT_LE(page["results"].size(), limit);
    EXPECT_EQ(page["page"]["count"], page["results"].size());
    for (auto const& r : page["results"]) all.push_back(r);
    if (page["page"]["next_token"] == "") break;
    ask["page"]["token"] = page["page"]["next_token"];
  }
  return all;
}

json patched(json base, json const& patch) {
  base.merge_patch(patch);
  return base;
}

std::set<std::string> ids(json const& results, char const* key = "id") {
  std::set<std::string> out;
  for (auto const& r : results) out.insert(r[key].get<std::string>());
  return out;
}

TEST_F(ExampleService, SearchesAgreeWithTheReverseQuestions) {
  json ask = {{"subject", {{"type", "user"}}}, {"action", {{"name", "read"}}}, {"resource", object("/web/admin/users.html")}};
  json const users = allPages(*this, "/access/v1/search/subject", ask, 1);
  EXPECT_EQ(ids(users), (std::set<std::string>{"carol", "erin"}));
  EXPECT_EQ(users[0]["properties"]["conditional"], true);  // the POP's level and the rule still apply
  ask["subject"]["type"] = "group";
  EXPECT_EQ(ids(answer("/access/v1/search/subject", ask)["results"]), std::set<std::string>{"admins"});

  json objects = allPages(*this, "/access/v1/search/resource",
                                {{"subject", user("dave")}, {"action", {{"name", "read"}}},
                                 {"resource", {{"type", "page"}, {"properties", {{"under", "/web"}}}}}}, 2);
  json expected = json::array();
  for (auto const& o : objectsOf("dave", "/web")) expected.push_back({{"type", "page"}, {"id", o}});
  for (auto& o : objects) o.erase("properties");
  EXPECT_EQ(objects, expected);

  json const actions = answer("/access/v1/search/action", {{"subject", user("alice")}, {"resource", object("/web")}})["results"];
  EXPECT_EQ(ids(actions, "name"), (std::set<std::string>{"traverse", "control", "read", "modify", "delete", "execute", "list",
                                                         "view", "attach"}));
}

// The daemon's registry file is watched: its members are listed as a
// plain file's are.
TEST_F(ExampleService, MembersAreListedFromTheRegistryFileTheDaemonWatches) {
  std::unique_ptr<gxreg::WatchedFileRegistry> watched;
  std::string message;
  ASSERT_EQ(gxreg::WatchedFileRegistry::open(std::string(GXCORE_SOURCE_DIR) + "/examples/policy/web.registry.json", true,
                                             watched, message), 0u) << message;
  gxpolicyd::DecisionService daemonLike(*replica_, watched.get(), options_, metrics_);
  json const ask = {{"subject", {{"type", "user"}}}, {"action", {{"name", "read"}}}, {"resource", object("/web/admin")}};
  auto r = post("/access/v1/search/subject", ask.dump(), {{"Authorization", "Bearer " + gxtest::kReviewToken}}, &daemonLike);
  EXPECT_EQ(ids(json::parse(r.body)["results"]), (std::set<std::string>{"carol", "erin"})) << r.body;
  EXPECT_EQ(json::parse(r.body)["context"]["members_listed"], true);
  r = post("/v1/who-can", R"({"object": "/web/admin", "actions": "r", "expand": true})",
           {{"Authorization", "Bearer " + gxtest::kReviewToken}}, &daemonLike);
  EXPECT_EQ(json::parse(r.body)["members"][0]["name"], "erin") << r.body;
}

TEST_F(ExampleService, SearchTokensAndAskersAreHeldToTheQuestion) {
  json ask = {{"subject", user("dave")}, {"action", {{"name", "read"}}}, {"resource", {{"type", "page"}}}, {"page", {{"limit", 1}}}};
  std::string const token = answer("/access/v1/search/resource", ask)["page"]["next_token"];
  ASSERT_FALSE(token.empty());
  json const asked = {{"path", "/access/v1/search/action"},
                      {"body", {{"subject", user("alice")}, {"resource", object("/web")}, {"page", {{"limit", 1}}}}}};
  std::string const stale = gxpolicyd::makeCursor(gxpolicyd::questionFingerprint(asked), "999");
  std::vector<std::pair<char const*, json>> const bad = {
      {"/access/v1/search/resource", patched(ask, {{"page", {{"token", "forged"}}}})},
      {"/access/v1/search/resource", patched(ask, {{"page", {{"token", token}, {"limit", 2}}}})},
      {"/access/v1/search/resource", patched(ask, {{"subject", user("alice")}, {"page", {{"token", token}}}})},
      {"/access/v1/search/action", patched(asked["body"], {{"page", {{"token", stale}}}})},
      {"/access/v1/search/resource", patched(ask, {{"page", {{"limit", 51}}}})},
  };
  for (auto const& [path, body] : bad) EXPECT_EQ(post(path, body.dump()).status, 400) << path << " " << body.dump();

  EXPECT_EQ(post("/access/v1/search/resource", ask.dump(), {}).status, 401);
  gxpolicyd::ServiceOptions off = options_;
  off.review.token.clear();
  gxpolicyd::DecisionService closed(*replica_, registry_.get(), off, metrics_);
  EXPECT_EQ(post("/access/v1/search/subject", ask.dump(), {{"Authorization", "Bearer " + gxtest::kReviewToken}}, &closed).status, 403);
  EXPECT_EQ(post("/access/v1/evaluation", R"({"subject": {"type": "user", "id": "dave"}, "action": {"name": "r"},
                                             "resource": {"type": "o", "id": "/web"}})", {}, &closed).status, 200);
  EXPECT_GT(metrics_.requests(gxpolicyd::Handler::authzen, 400), 0u);
}

// Whatever value stands anywhere in a request, the answer is a decision or
// a refusal: never an internal error.
TEST_F(ExampleService, NoValueAnywhereInARequestIsAnInternalError) {
  json const full = {{"subject", {{"type", "user"}, {"id", "bob"}, {"properties", {{"groups", {"webteam"}}, {"ip_address", "10.0.0.1"}}}}},
                     {"action", {{"name", "read"}}},
                     {"resource", {{"type", "page"}, {"id", "/web"}, {"properties", {{"under", "/web"}}}}},
                     {"context", {{"time", 0}}},
                     {"evaluations", {{{"resource", object("/web/docs")}}}},
                     {"options", {{"evaluations_semantic", "execute_all"}}},
                     {"page", {{"limit", 1}, {"token", "x"}}},
                     {"object", "/web"}, {"actions", "r"}, {"expand", true}, {"user", "dave"}, {"objects", true}, {"limit", 1}};
  json const hostile[] = {nullptr, 7, -1, 1e300, "", "x", json::array(), json::object(), {{"a", {1}}}, {json::array()}};
  for (char const* path : {"/access/v1/evaluation", "/access/v1/evaluations", "/access/v1/search/subject",
                           "/access/v1/search/resource", "/access/v1/search/action", "/v1/who-can", "/v1/what-can"}) {
    json const base = std::string(path).rfind("/v1/", 0) == 0
                          ? json(std::string(path) == "/v1/who-can" ? json{{"object", "/web"}, {"actions", "r"}}
                                                                    : json{{"user", "dave"}, {"objects", true}})
                          : full;
    json const leaves = full.flatten();
    for (auto const& entry : leaves.items())
      for (json const& value : hostile) {
        json body = base;
        body[json::json_pointer(entry.key())] = value;
        auto r = post(path, body.dump());
        EXPECT_LT(r.status, 500) << path << " " << entry.key() << "=" << value.dump() << " -> " << r.body;
      }
  }
}

TEST_F(ExampleService, MetadataIsPublishedUnderTheBaseUrlWithTheSearchesOnlyWhenServed) {
  EXPECT_EQ(post("/.well-known/authzen-configuration", "", {}, nullptr, "GET").status, 404);
  for (bool searches : {true, false}) {
    gxpolicyd::ServiceOptions o = options_;
    o.review.authzenBaseUrl = "https://pdp.example.com";
    if (!searches) o.review.token.clear();
    gxpolicyd::DecisionService published(*replica_, registry_.get(), o, metrics_);
    json const m = json::parse(post("/.well-known/authzen-configuration", "", {}, &published, "GET").body);
    EXPECT_EQ(m["access_evaluations_endpoint"], "https://pdp.example.com/access/v1/evaluations");
    EXPECT_EQ(m.contains("search_resource_endpoint"), searches);
  }
}

}  // namespace
