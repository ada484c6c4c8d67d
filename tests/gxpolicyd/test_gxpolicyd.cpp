// The decision service of gxpolicyd in process: request paths become object
// names safely, bodies and headers that are wrong are refused naming the
// field, identity headers count only from a front end that proved itself,
// remembered callers are bounded in time, bytes and registry generation,
// /v1/check and /v1/auth agree with the library's own decision on the
// example policy and on a generated estate, /metrics counts what was
// answered, the transport keeps held bodies within a budget, and many
// threads decide over HTTP while the replica is rebuilt.
// The daemon behind a real web server is tested in test_gxpolicyd_nginx.cpp.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalPolicy.h"
#include "example_policy.h"
#include "example_service.h"
#include "http_client.h"
#include "loopback.h"
#include "outside/file_registry.h"
#include "registry_uuids.h"
#include "test_support.h"
#include "tools/common/estate.h"
#include "tools/gxpolicyd/answer.h"
#include "tools/gxpolicyd/http_server.h"
#include "tools/gxpolicyd/service.h"

namespace {

using gxpolicyd::Request;
using gxpolicyd::Response;
using json = nlohmann::json;

using gxtest::exampleFile;
using gxtest::registry_sample::text;

// The example policy in a new database at db (with the version replicas accept).
void importExample(std::string const& db, gxreg::Registry* registry) {
  gxtest::makePolicyDb(db, {}, daLocalPolicy::minimumDatabaseVersion);
  gxtest::importDocument(db, "d", exampleFile("web.json"), registry);
}

Response post(gxpolicyd::DecisionService& s, char const* path, std::string const& body) {
  Request r;
  r.method = "POST";
  r.path = path;
  r.body = body;
  return s.handle(r);
}

// Request headers in the order sent; a name may come more than once.
using Headers = std::vector<std::pair<std::string, std::string>>;

Response get(gxpolicyd::DecisionService& s, char const* path, Headers const& headers = {}) {
  Request r;
  r.method = "GET";
  r.path = path;
  std::vector<gxpolicyd::HeaderField> fields;
  for (auto const& [n, v] : headers) fields.push_back({n, v.c_str()});
  r.headers = fields;
  return s.handle(r);
}

// h followed by more.
Headers with(Headers h, Headers const& more) {
  h.insert(h.end(), more.begin(), more.end());
  return h;
}

// The front end's question about method on uri, with more headers.
Headers req(char const* uri, char const* method, Headers const& more = {}) {
  return with({{"X-Original-URI", uri}, {"X-Original-Method", method}}, more);
}

std::string const kSecret = "0123456789abcdef0123456789abcdef";

std::string headerOf(Response const& r, std::string const& name) {
  for (auto const& [n, v] : r.headers)
    if (n == name) return v;
  return "";
}

// The example web estate served by a decision service with its registry.
class ServiceOnExample : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = gxtest::exampleRegistry();
    ASSERT_TRUE(registry_);
    replica_ = gxtest::serveExample(dir_, registry_.get());
    ASSERT_TRUE(replica_);
    gxpolicyd::ServiceOptions so;
    so.maxBody = 4096;
    so.maxBatch = 3;
    so.maxGroups = 4;
    so.maxNameLength = 64;
    so.frontTrust = gxpolicyd::FrontTrust::secret;
    so.frontSecret = kSecret;
    so.attributeHeaders = {{"department", "X-Gx-Attr-Department"}};
    service_ = std::make_unique<gxpolicyd::DecisionService>(*replica_, registry_.get(), so, metrics_);
  }

  // /v1/auth as the front end asks it: with its secret.
  Response auth(Headers headers) {
    headers.emplace_back(gxpolicyd::kFrontSecretHeader, kSecret);
    return get(*service_, "/v1/auth", headers);
  }

  gxtest::TempDir dir_;
  std::unique_ptr<gxreg::FileRegistry> registry_;
  std::unique_ptr<gxpolicyd::ServedReplica> replica_;
  gxpolicyd::Metrics metrics_;
  std::unique_ptr<gxpolicyd::DecisionService> service_;
};

TEST(GxpolicydPaths, RequestPathsBecomeObjectNamesAndUnsafeOnesAreRefused) {
  struct Case {
    char const* uri;
    char const* object;  // null: refused
  } const cases[] = {
      {"/docs/guide.html?v=2#top", "/web/docs/guide.html"},
      {"/", "/web"},
      {"/docs/", "/web/docs"},
      {"/a-b/%41/caf%C3%A9/%F0%9F%94%92", "/web/a-b/A/caf\xC3\xA9/\xF0\x9F\x94\x92"},
      {"docs", nullptr},
      {"", nullptr},
      {"/a//b", nullptr},
      {"/a/../b", nullptr},
      {"/a/./b", nullptr},
      {"/a/%2e%2e/b", nullptr},   // decoded before the check
      {"/a%2F%2Fb", nullptr},     // an escaped empty segment
      {"/a%00b", nullptr},
      {"/a%zz", nullptr},
      {"/a%2", nullptr},
      // Forms that back ends read as "..": path parameters, backslashes,
      // overlong UTF-8 dots, a second encoding, trailing blanks.
      {"/public/..;/secret", nullptr},
      {"/public/..%3b/secret", nullptr},
      {"/public/..\\secret", nullptr},
      {"/public/..%5csecret", nullptr},
      {"/public/%c0%ae%c0%ae/secret", nullptr},
      {"/public/%e0%80%ae%e0%80%ae/secret", nullptr},
      {"/public/%252e%252e%252fsecret", nullptr},
      {"/public/..%20/secret", nullptr},
      {"/public/..%09/secret", nullptr},
      {"/a b", nullptr},
      {"/a%7f", nullptr},
      {"/%ed%a0%80", nullptr},    // a UTF-16 surrogate
      {"/%f4%90%80%80", nullptr}, // above U+10FFFF
      {"/%c3", nullptr},          // cut short
  };
  for (Case const& c : cases) {
    std::string out, why;
    bool ok = gxpolicyd::objectFromUri(c.uri, "/web", out, why);
    if (c.object == nullptr) {
      EXPECT_FALSE(ok) << c.uri << " gave " << out;
      EXPECT_FALSE(why.empty()) << c.uri;
    } else {
      EXPECT_TRUE(ok) << c.uri << ": " << why;
      EXPECT_EQ(out, c.object) << c.uri;
    }
  }
  std::string out, why;
  ASSERT_TRUE(gxpolicyd::objectFromUri("/", "", out, why));
  EXPECT_EQ(out, "/");
  // A site whose names hold ';' and spaces allows just those.
  EXPECT_TRUE(gxpolicyd::objectFromUri("/a;b/c%20d", "", out, why, "; ")) << why;
  EXPECT_EQ(out, "/a;b/c d");
  EXPECT_FALSE(gxpolicyd::objectFromUri("/a\\b", "", out, why, "; "));
}

// Answers carry names from the registry and the request as they are: any
// bytes at all must still make a JSON string that parses.
TEST(GxpolicydAnswer, AnyBytesBecomeAJsonStringThatParses) {
  std::string out;
  gxpolicyd::appendJsonString(out, std::string("a\"\\\n\x01\x7f\xff\xc0\xae \xc3\xa9", 12));
  EXPECT_EQ(json::parse(out).get<std::string>(), "a\"\\\n\x01\x7f\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd \xc3\xa9") << out;
}

TEST_F(ServiceOnExample, BadBodiesAreRefusedNamingTheField) {
  struct Case {
    char const* path;
    std::string body;
    int status;
    char const* field;  // "" when the body as a whole is at fault
  } const cases[] = {
      {"/v1/check", "{\"object\":", 400, ""},
      {"/v1/check", "[1]", 400, ""},
      {"/v1/check", R"({"object":"/web","actions":"r"} x)", 400, ""},
      {"/v1/check", R"({"object":"/web","actions":"r"}{})", 400, ""},
      {"/v1/check", R"({"object":"/web","actions":"r",})", 400, ""},
      {"/v1/check", R"({"object":"/web","actions":"r","detail":tru})", 400, ""},
      {"/v1/check", R"({"actions":"r"})", 400, "object"},
      {"/v1/check", R"({"object":"/web","actions":7})", 400, "actions"},
      {"/v1/check", R"({"object":"/web","actions":"r","usr":"alice"})", 400, "usr"},
      {"/v1/check", R"({"object":"/web","actions":"r","user":"alice","uuid":"x"})", 400, "uuid"},
      {"/v1/check", R"({"object":"/web","actions":"r","groups":["webteam"]})", 400, "groups"},
      {"/v1/check", R"({"object":"/web","actions":"r","user":"nobody"})", 400, "user"},
      {"/v1/check", R"({"object":"/web","actions":"r","uuid":"not-a-uuid"})", 400, "uuid"},
      {"/v1/check", R"({"object":"/web","actions":"r","uuid":"0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b","groups":["nogroup"]})",
       400, "groups"},
      {"/v1/check", R"({"object":"/web","actions":"r","ip":"300.1.1.1"})", 400, "ip"},
      {"/v1/check", R"({"object":"/web","actions":"r","ip":1e400})", 400, "ip"},
      {"/v1/check", R"({"object":"/web","actions":"r","user":")" + std::string(65, 'u') + "\"}", 400, "user"},
      {"/v1/check", R"({"object":"/web","actions":"r","uuid":")" + std::string(65, 'u') + "\"}", 400, "uuid"},
      {"/v1/check", R"({"object":"/web","actions":"r","uuid":"0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b","groups":["a","b","c","d","e"]})",
       400, "groups"},
      {"/v1/check", R"({"object":"/web","actions":"r","uuid":"0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b","groups":[")" +
                        std::string(65, 'g') + "\"]}",
       400, "groups[0]"},
      {"/v1/check", R"({"object":"/web","actions":"Q"})", 400, "actions"},
      {"/v1/check", R"({"object":"web\u0000x","actions":"r"})", 400, "object"},
      {"/v1/check", std::string(20, '[') + std::string(20, ']'), 400, ""},
      {"/v1/check", std::string(5000, ' '), 413, ""},
      {"/v1/check/batch", R"([{"object":"/web","actions":"r"},{"object":"/web"}])", 400, "[1].actions"},
      {"/v1/check/batch", R"({"checks":[{"object":"/web","actions":"r","user":"nobody"}]})", 400, "checks[0].user"},
      {"/v1/check/batch", R"([{},{},{},{}])", 413, ""},
      {"/v1/check/batch", R"({"checks":[],"more":1})", 400, ""},
  };
  for (Case const& c : cases) {
    Response r = post(*service_, c.path, c.body);
    EXPECT_EQ(r.status, c.status) << c.body.substr(0, 80) << " -> " << r.body;
    json j = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.body;
    EXPECT_TRUE(j.contains("error")) << r.body;
    EXPECT_EQ(j.value("field", ""), c.field) << c.body.substr(0, 80) << " -> " << r.body;
    EXPECT_EQ(j["error"].get<std::string>().find("json.exception"), std::string::npos) << r.body;
  }
  EXPECT_EQ(get(*service_, "/v1/check").status, 405);
  EXPECT_EQ(get(*service_, "/nothing").status, 404);
}

// A Monday at 10:00 UTC: the example's office-hours rule permits.
constexpr char kOfficeHours[] = "2026-12-07T10:00:00Z";

TEST_F(ServiceOnExample, AuthAnswersWhatAFrontEndNeeds) {
  struct Case {
    Headers headers;
    int status;
    char const* level;  // the step-up header, "" for none
  } const cases[] = {
      // Granted, denied, and an unauthenticated caller refused (401) or let in.
      {req("/web/docs/guide.html", "POST", {{"X-Remote-User", "bob"}}), 200, ""},
      {req("/web/docs/guide.html", "POST", {{"X-Remote-User", "dave"}}), 403, ""},
      {req("/web/admin", "GET"), 401, ""},
      {req("/web/blog/hello.html", "GET", {{"X-Remote-User", ""}}), 200, ""},
      // By uuid with a group named; a user the registry does not know is denied.
      {req("/web/docs/guide.html", "PUT",
           {{"X-Remote-Uuid", "0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b"}, {"X-Remote-Groups", " webteam , "}}),
       200, ""},
      {req("/web/docs", "GET", {{"X-Remote-User", "mallory"}}), 403, ""},
      // The POP asks level 2 from outside: granted by the ACL, yet step up
      // first. In office hours (the rule there), as the front end says.
      {req("/web/admin/users.html", "POST",
           {{"X-Remote-User", "erin"}, {"X-Real-IP", "203.0.113.9"}, {gxpolicyd::kTimeHeader, kOfficeHours}}),
       401, "2"},
      {req("/web/admin/users.html", "POST",
           {{"X-Remote-User", "erin"}, {"X-Real-IP", "203.0.113.9"}, {"X-Remote-Auth-Level", "2"},
            {gxpolicyd::kTimeHeader, kOfficeHours}}),
       200, ""},
      // An unsafe path is bad input (400), an unmapped method a denial; a
      // front end that leaves out what it must send is told so.
      {req("/web/../web/docs", "GET", {{"X-Remote-User", "bob"}}), 400, ""},
      {req("/web/docs", "BREW", {{"X-Remote-User", "bob"}}), 403, ""},
      {{{"X-Original-Method", "GET"}}, 400, ""},
      {req("/web", "GET", {{"X-Real-IP", "nowhere"}}), 400, ""},
      {req("/web", "GET", {{"X-Remote-User", "bob"}, {"X-Remote-Auth-Level", "high"}}), 400, ""},
  };
  for (Case const& c : cases) {
    Response r = auth(c.headers);
    std::string what = "case " + std::to_string(&c - cases);
    EXPECT_EQ(r.status, c.status) << what << " " << r.body << headerOf(r, gxpolicyd::kReasonHeader);
    EXPECT_EQ(headerOf(r, gxpolicyd::kLevelHeader), c.level) << what;
    // Every denial says why.
    if (r.status == 403) EXPECT_NE(headerOf(r, gxpolicyd::kReasonHeader), "") << what;
  }
  // An ACL's denial names the ACL and what it gave.
  Response dave = auth(req("/web/docs/guide.html", "POST", {{"X-Remote-User", "dave"}}));
  EXPECT_NE(headerOf(dave, gxpolicyd::kReasonHeader).find("any-other entry"), std::string::npos)
      << headerOf(dave, gxpolicyd::kReasonHeader);
}

// The front end's word on who the caller is counts only when it proved
// itself; a header it sends twice is a fault, never first-one-wins.
TEST_F(ServiceOnExample, IdentityHeadersAreBelievedOnlyFromAFrontEndThatProvedItself) {
  Headers const bob = req("/web/docs/guide.html", "POST", {{"X-Remote-User", "bob"}});
  std::string const secret = gxpolicyd::kFrontSecretHeader;
  EXPECT_EQ(auth(bob).status, 200);
  Response missing = get(*service_, "/v1/auth", bob);
  EXPECT_EQ(missing.status, 400);
  EXPECT_EQ(json::parse(missing.body)["field"], secret);
  EXPECT_EQ(get(*service_, "/v1/auth", with(bob, {{secret, kSecret.substr(1)}})).status, 403);
  EXPECT_EQ(get(*service_, "/v1/auth", with(bob, {{secret, kSecret + "0"}})).status, 403);
  EXPECT_EQ(get(*service_, "/v1/auth", with(bob, {{secret, std::string(kSecret.size(), 'x')}})).status, 403);
  for (char const* twice : {"X-Remote-User", "X-Original-URI", "X-Original-Method", "X-Remote-Auth-Level",
                            "X-Gx-Protection", "X-Gx-Time", "X-Gx-Attr-Department"}) {
    Response r = auth(with(bob, {{twice, "alice"}, {twice, "alice"}}));
    EXPECT_EQ(r.status, 400) << twice;
    EXPECT_EQ(json::parse(r.body)["field"], twice);
  }
  EXPECT_EQ(get(*service_, "/v1/auth", with(bob, {{secret, kSecret}, {"x-gx-front-secret", kSecret}})).status, 400);

  // By default no one is believed: a request claiming an identity is refused
  // naming the option; one without is an unauthenticated caller.
  gxpolicyd::ServiceOptions none;
  none.attributeHeaders = {{"department", "X-Gx-Attr-Department"}};
  gxpolicyd::DecisionService closed(*replica_, registry_.get(), none, metrics_);
  Headers const blog = req("/web/blog/hello.html", "GET");
  for (Headers const& claim : {Headers{{"X-Remote-User", "bob"}}, Headers{{"X-Remote-Uuid", "0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b"}},
                               Headers{{"X-Remote-Groups", "webteam"}}, Headers{{"X-Remote-Auth-Level", "2"}},
                               Headers{{"X-Real-IP", "10.1.2.3"}}, Headers{{"X-Gx-Protection", "on"}},
                               Headers{{"X-Gx-Time", "2026-12-07T10:00:00Z"}}, Headers{{"X-Gx-Attr-Department", "web"}}}) {
    Response r = get(closed, "/v1/auth", with(blog, claim));
    EXPECT_EQ(r.status, 400) << claim[0].first;
    EXPECT_NE(r.body.find("--front-secret-file"), std::string::npos) << r.body;
  }
  EXPECT_EQ(get(closed, "/v1/auth", blog).status, 200);
  EXPECT_EQ(get(closed, "/v1/auth", req("/web/admin", "GET")).status, 401);
  gxpolicyd::ServiceOptions open;
  open.frontTrust = gxpolicyd::FrontTrust::anyone;
  gxpolicyd::DecisionService anyone(*replica_, registry_.get(), open, metrics_);
  EXPECT_EQ(get(anyone, "/v1/auth", bob).status, 200);
}

// What the front end says of the request beyond the caller decides with it:
// the time, the connection's protection and the attributes; a value that
// cannot be read is the front end's fault (400), never a guess.
TEST_F(ServiceOnExample, AuthDecidesInTheContextTheFrontEndStates) {
  Headers const drafts = req("/web/docs/drafts", "GET", {{"X-Remote-User", "dave"}});
  Response missing = auth(drafts);
  EXPECT_EQ(missing.status, 403);
  EXPECT_EQ(headerOf(missing, gxpolicyd::kCauseHeader), "rule-missing-attribute");
  EXPECT_EQ(headerOf(missing, gxpolicyd::kReasonHeader), "rule needs attribute department");
  EXPECT_EQ(missing.body, "");  // the reason goes in the body only with --auth-denial-body
  EXPECT_EQ(auth(with(drafts, {{"X-Gx-Attr-Department", "web"}})).status, 200);
  EXPECT_EQ(headerOf(auth(with(drafts, {{"X-Gx-Attr-Department", "sales"}})), gxpolicyd::kCauseHeader), "rule-denied");
  // The blog's night-freeze trial: granted, and the front end is told what
  // would have been denied. nginx's $msec form of the time is read.
  Headers const blog = req("/web/blog/hello.html", "GET");
  Response night = auth(with(blog, {{"X-Gx-Time", "1796605200.250"}}));
  EXPECT_EQ(night.status, 200);
  EXPECT_EQ(headerOf(night, gxpolicyd::kWarningHeader), "outside-window");
  EXPECT_EQ(headerOf(auth(with(blog, {{"X-Gx-Time", "1796637600"}})), gxpolicyd::kWarningHeader), "");
  for (Headers const& bad : {Headers{{"X-Gx-Time", "yesterday"}}, Headers{{"X-Gx-Time", "1796605200."}},
                             Headers{{"X-Gx-Protection", "maybe"}}, Headers{{"X-Remote-Auth-Level", "-1"}}}) {
    Response r = auth(with(blog, bad));
    EXPECT_EQ(r.status, 400) << bad[0].first << ": " << bad[0].second;
    EXPECT_EQ(json::parse(r.body)["field"], bad[0].first);
  }
}

// /v1/check asks in the context the body gives; a bad context is refused
// naming the field.
TEST_F(ServiceOnExample, CheckTakesAContextAndNamesABadOne) {
  Response night = post(*service_, "/v1/check",
                        R"({"object":"/web/admin/users.html","actions":"m","user":"erin","ip":"10.1.2.3",)"
                        R"("context":{"time":"2026-12-07T22:00:00Z"}})");
  json j = json::parse(night.body);
  EXPECT_EQ(j["cause"], "rule-denied");
  EXPECT_EQ(j["reason"], "outside office hours (08:00 to 18:00 UTC)");
  Response batch = post(*service_, "/v1/check/batch",
                        R"({"compact":true,"checks":[{"object":"/web/docs/drafts","actions":"r","user":"dave",)"
                        R"("context":{"attributes":{"department":"web"}}},{"object":"/web/docs/drafts","actions":"r","user":"dave"}]})");
  EXPECT_EQ(json::parse(batch.body)["results"], json::parse(R"([[1,"granted"],[0,"rule-missing-attribute"]])"));
  struct Bad {
    char const* context;
    char const* field;
  } const bad[] = {{R"({"time":"soon"})", "context.time"},
                   {R"({"protection":"tls"})", "context.protection"},
                   {R"({"auth_level":-2})", "context.auth_level"},
                   {R"({"attributes":{"a":{"b":1}}})", "context.attributes.a"},
                   {R"({"colour":"red"})", "context.colour"},
                   {R"("now")", "context"}};
  for (Bad const& b : bad) {
    Response r = post(*service_, "/v1/check",
                      std::string(R"({"object":"/web","actions":"r","user":"dave","context":)") + b.context + "}");
    EXPECT_EQ(r.status, 400) << b.context;
    EXPECT_EQ(json::parse(r.body)["field"], b.field) << r.body;
  }
}

TEST_F(ServiceOnExample, MetricsCountRequestsDecisionsAndLookups) {
  for (int i = 0; i < 3; ++i)
    post(*service_, "/v1/check",
         R"({"object":"/web/blog","actions":"r","user":"alice","context":{"time":"2026-12-07T10:00:00Z"}})");
  post(*service_, "/v1/check", R"({"object":"/web/admin","actions":"r","user":"dave"})");
  post(*service_, "/v1/check", "nonsense");
  auth(req("/web/admin", "GET"));
  auth(req("/web/blog", "GET", {{"X-Gx-Time", "2026-12-07T01:00:00Z"}}));
  auth(req("/web/docs/drafts", "GET"));
  Response page = get(*service_, "/metrics");
  ASSERT_EQ(page.status, 200);
  for (char const* line : {"gxpolicyd_requests_total{handler=\"check\",code=\"200\"} 4\n",
                           "gxpolicyd_requests_total{handler=\"check\",code=\"400\"} 1\n",
                           "gxpolicyd_requests_total{handler=\"auth\",code=\"401\"} 1\n",
                           "gxpolicyd_decisions_total{result=\"granted\"} 4\n",
                           "gxpolicyd_decisions_total{result=\"denied\"} 3\n",
                           // By cause: the ACL twice (check and auth), the rule's attribute once.
                           "gxpolicyd_decision_causes_total{cause=\"granted\"} 4\n",
                           "gxpolicyd_decision_causes_total{cause=\"acl-denied\"} 2\n",
                           "gxpolicyd_decision_causes_total{cause=\"rule-missing-attribute\"} 1\n",
                           "gxpolicyd_decision_warnings_total{would_cause=\"outside-window\"} 1\n",
                           "gxpolicyd_decision_duration_seconds_count 7\n",
                           "gxpolicyd_caller_lookups_total{result=\"hit\"} 2\n",
                           "gxpolicyd_caller_lookups_total{result=\"miss\"} 2\n", "gxpolicyd_replica_open 1\n"})
    EXPECT_NE(page.body.find(line), std::string::npos) << line << page.body;
  // The same object asked again is answered from the memo.
  daCachedStore::Counts counts = replica_->store().counts();
  EXPECT_GE(counts.memoHits, 2u);
  EXPECT_GE(counts.memoMisses, 1u);
  // A file this small preloads nothing: the misses read their policies.
  EXPECT_GE(counts.policyReads, 1u);
  std::string const reads = "gxpolicyd_policy_reads_total " + std::to_string(counts.policyReads) + "\n";
  EXPECT_NE(get(*service_, "/metrics").body.find(reads), std::string::npos) << reads;
  EXPECT_EQ(get(*service_, "/readyz").status, 200);
}

// The example registry, whose answers a test can change: with revoked
// set, nobody belongs to any group; generation is what the test says.
class ChangingRegistry : public gxreg::Registry {
 public:
  explicit ChangingRegistry(gxreg::Registry& inner) : inner_(inner) {}
  unsigned long userUuid(std::string const& n, hx_uuid_t& u) override { return inner_.userUuid(n, u); }
  unsigned long groupUuid(std::string const& n, hx_uuid_t& u) override { return inner_.groupUuid(n, u); }
  unsigned long userName(hx_uuid_t const& u, std::string& n) override {
    ++names;
    return inner_.userName(u, n);
  }
  unsigned long groupName(hx_uuid_t const& u, std::string& n) override {
    ++names;
    return inner_.groupName(u, n);
  }
  unsigned long userGroups(hx_uuid_t const& u, std::vector<hx_uuid_t>& g) override {
    if (!revoked) return inner_.userGroups(u, g);
    g.clear();
    return 0;
  }
  std::uint64_t generation() const override { return moved.load(); }
  std::atomic<bool> revoked{false};
  std::atomic<std::uint64_t> moved{0};
  std::atomic<unsigned> names{0};  // uuid -> name lookups asked

 private:
  gxreg::Registry& inner_;
};

// The detail answer without what only detail adds.
json withoutDetail(json j) {
  j.erase("walk");
  j.erase("entries");
  j.erase("conditions");
  return j;
}

// The answers on the example policy, and how they are written: from the
// decision record and the caller as remembered, with no registry lookup
// per entry, no walk, no entries, and otherwise word for word what the
// detail answer says, reason included.
TEST_F(ServiceOnExample, DefaultAnswersComeFromTheRecordAndDetailAddsTheEntries) {
  ChangingRegistry registry(*registry_);
  gxpolicyd::DecisionService service(*replica_, &registry, service_->options(), metrics_);
  std::string const bob = R"(,"uuid":"4fcf4a95-9260-43cb-8214-8e440bd49e8a","groups":["webteam","auditors"])";
  struct Case {
    std::string body;
    bool granted;
    char const* applied;
  } const cases[] = {
      {R"({"object":"/web/blog/hello.html","actions":"x","user":"alice"})", true, "user"},
      {R"({"object":"/web/admin/users.html","actions":"m","user":"carol"})", false, "user"},
      {R"({"object":"/web/docs/guide.html","actions":"ml","user":"bob"})", true, "group"},  // two groups unite
      {R"({"object":"/web/docs/guide.html","actions":"mlc","user":"bob"})", false, "group"},
      {R"({"object":"/web/blog/hello.html","actions":"r","user":"dave"})", true, "any-other"},
      {R"({"object":"/web/admin","actions":"r","user":"dave"})", false, "none"},  // no entry for him
      {R"({"object":"/web/admin","actions":"r"})", false, "none"},  // no any-other or unauthenticated
      {R"({"object":"/web/blog/hello.html","actions":"l"})", false, "unauthenticated"},
      {R"({"object":"/web/admin/users.html","actions":"m","user":"erin","ip":"203.0.113.9"})", false, "group"},
      {R"({"object":"/web/docs/guide.html","actions":"r","ip":"10.1.2.3"})", true, "unauthenticated"},
      {R"({"object":"/web/docs/guide.html","actions":"m","uuid":"0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b",)"
       R"("groups":["webteam"]})", true, "group"},
      {R"({"object":"/web/docs","actions":"l")" + bob + "}", true, "group"},  // names from the uuids given
  };
  std::vector<std::string> bodies;
  for (Case const& c : cases) {
    std::string const& body = c.body;
    bodies.push_back(body);
    ASSERT_EQ(post(service, "/v1/check", body).status, 200) << body;  // the caller is resolved and remembered
    unsigned const before = registry.names.load();
    Response lean = post(service, "/v1/check", body);
    EXPECT_EQ(registry.names.load(), before) << body;
    json detailBody = json::parse(body);
    detailBody["detail"] = true;
    Response detail = post(service, "/v1/check", detailBody.dump());
    ASSERT_EQ(lean.status, 200) << lean.body;
    ASSERT_EQ(detail.status, 200) << detail.body;
    json l = json::parse(lean.body), d = json::parse(detail.body);
    EXPECT_EQ(l["granted"], c.granted) << body;
    EXPECT_EQ(l["applied_entry"], c.applied) << body;
    EXPECT_FALSE(l.contains("entries") || l.contains("walk")) << lean.body;
    EXPECT_FALSE(d["entries"].empty()) << detail.body;
    EXPECT_FALSE(d["walk"].empty()) << detail.body;
    EXPECT_EQ(l, withoutDetail(d)) << body;
  }
  // The POP in force asks a level from the address.
  EXPECT_EQ(json::parse(post(service, "/v1/check", bodies[8]).body)["pop"]["required_level"], 2);
  // A batch answers each check as /v1/check would.
  Response batch = post(service, "/v1/check/batch", "[" + bodies[3] + "," + bodies[6] + "]");
  ASSERT_EQ(batch.status, 200) << batch.body;
  json results = json::parse(batch.body)["results"];
  ASSERT_EQ(results.size(), 2u);
  auto single = [&](std::string const& body) {  // the batch says its sequence number once, at the top
    json j = json::parse(post(service, "/v1/check", body).body);
    j.erase("sequence");
    return j;
  };
  EXPECT_EQ(results[0], single(bodies[3]));
  EXPECT_EQ(results[1], single(bodies[6]));
  Response detailed = post(service, "/v1/check/batch", R"({"detail":true,"checks":[)" + bodies[3] + "]}");
  ASSERT_EQ(detailed.status, 200) << detailed.body;
  EXPECT_FALSE(json::parse(detailed.body)["results"][0]["entries"].empty());
  EXPECT_EQ(post(service, "/v1/check", R"({"object":"/web","actions":"r","detail":1})").status, 400);
}

// However a check is written -- spacing, order, escapes, a field given
// twice (the last counts) -- it gets the answer its plain form gets.
TEST_F(ServiceOnExample, ABodyIsAnsweredTheSameWhateverItsLayout) {
  std::string const plain =
      R"({"object":"/web/docs/guide.html","actions":"ml","uuid":"4fcf4a95-9260-43cb-8214-8e440bd49e8a","groups":["webteam","auditors"]})";
  std::string const expected = post(*service_, "/v1/check", plain).body;
  for (std::string const& body : {
           std::string(" {\n \"groups\" : [ \"webteam\" , \"auditors\" ] ,\t\"actions\":\"ml\", ") +
               R"("uuid":"4fcf4a95-9260-43cb-8214-8e440bd49e8a", "object":"\/web\/docs\/guide.html" } )",
           std::string(R"({"object":"/web/docs/guide.html","actions":"m\u006c","detail":false,)") +
               R"("uuid":"4fcf4a95-9260-43cb-8214-8e440bd49e8a","groups":["webteam","auditors"]})",
           std::string(R"({"object":"/web","object":"/web/docs/guide.html","actions":"ml",)") +
               R"("uuid":"4fcf4a95-9260-43cb-8214-8e440bd49e8a","groups":["webteam","auditors"]})",
       }) {
    Response r = post(*service_, "/v1/check", body);
    EXPECT_EQ(r.status, 200) << body;
    EXPECT_EQ(r.body, expected) << body;
  }
}

// A compact batch answers each check with its bit and why, and refuses
// what it cannot answer as a whole batch.
TEST_F(ServiceOnExample, CompactBatchesAnswerAGrantedBitAndACausePerCheck) {
  Response r = post(*service_, "/v1/check/batch",
                    R"({"compact":true,"checks":[{"object":"/web/blog","actions":"r"},)"
                    R"({"object":"/web/admin","actions":"r","user":"dave"},{"object":"/web/docs","actions":"m","user":"bob"}]})");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(json::parse(r.body)["results"], json::parse(R"([[1,"granted"],[0,"acl-denied"],[1,"granted"]])"));
  struct Bad {
    std::string body;
    char const* field;
  } const bad[] = {
      {R"({"compact":"yes","checks":[]})", "compact"},
      {R"({"compact":true,"detail":true,"checks":[]})", "detail"},
      {R"({"compact":true,"checks":[{"object":"/web","actions":"r"},{"object":"/web","actions":"Q"}]})", "checks[1].actions"},
      {R"({"compact":true,"checks":[{"object":"/web","actions":"r","user":"nobody"}]})", "checks[0].user"},
  };
  for (Bad const& b : bad) {
    Response refused = post(*service_, "/v1/check/batch", b.body);
    EXPECT_EQ(refused.status, 400) << b.body;
    EXPECT_EQ(json::parse(refused.body)["field"], b.field) << refused.body;
  }
}

TEST_F(ServiceOnExample, RevokedMembershipsStopGrantingWhenTheRegistryMovesOrTheTtlEnds) {
  ChangingRegistry registry(*registry_);
  gxpolicyd::ServiceOptions so;
  so.callerTtl = std::chrono::seconds(1);
  gxpolicyd::DecisionService service(*replica_, &registry, so, metrics_);
  // bob may write the guide through webteam.
  std::string const ask = R"({"object":"/web/docs/guide.html","actions":"m","user":"bob"})";
  auto granted = [&] { return json::parse(post(service, "/v1/check", ask).body)["granted"] == true; };
  ASSERT_TRUE(granted());
  registry.revoked = true;
  EXPECT_TRUE(granted()) << "remembered within the TTL while the registry says nothing moved";
  registry.moved = 1;
  EXPECT_FALSE(granted()) << "a new generation forgets the remembered caller";
  registry.revoked = false;
  registry.moved = 2;
  ASSERT_TRUE(granted());
  registry.revoked = true;  // the generation stays: the TTL alone bounds it
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_FALSE(granted());
}

TEST_F(ServiceOnExample, RememberedCallersStayWithinTheirBytesAndUnknownNamesAreNotKept) {
  gxpolicyd::ServiceOptions so;
  so.callerCacheBytes = 8192;
  gxpolicyd::DecisionService service(*replica_, registry_.get(), so, metrics_);
  for (int i = 0; i < 200; ++i) {
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "0f3a9b7e-6c1d-4e2f-8a5b-%012x", i);
    std::string body = R"({"object":"/web/blog","actions":"r","uuid":")" + std::string(uuid) + R"(","groups":["webteam"]})";
    ASSERT_EQ(post(service, "/v1/check", body).status, 200);
    ASSERT_LE(service.rememberedBytes(), so.callerCacheBytes);
  }
  EXPECT_GT(service.rememberedBytes(), 0u);
  gxpolicyd::DecisionService fresh(*replica_, registry_.get(), gxpolicyd::ServiceOptions{}, metrics_);
  for (int i = 0; i < 50; ++i)
    post(fresh, "/v1/check", R"({"object":"/web/blog","actions":"r","user":"nobody)" + std::to_string(i) + "\"}");
  EXPECT_EQ(fresh.rememberedBytes(), 0u);
}

TEST_F(ServiceOnExample, ManyGroupsAreCappedAndResolvedInLinearTime) {
  // Distinct group uuids, the first one repeated (a repeat counts once).
  auto groupsOf = [](int n) {
    json groups = json::array();
    for (int i = 0; i < n; ++i) {
      char uuid[40];
      std::snprintf(uuid, sizeof uuid, "%08x-0000-4000-8000-000000000000", i);
      groups.push_back(uuid);
    }
    groups.push_back(groups[0]);
    return groups;
  };
  gxpolicyd::ServiceOptions so;
  so.maxGroups = 40001;
  so.maxBody = 4 << 20;
  so.callerTtl = std::chrono::seconds(0);  // every answer resolves its caller: that is what is timed
  gxpolicyd::DecisionService service(*replica_, nullptr, so, metrics_);
  json body = {{"object", "/web/blog"}, {"actions", "r"}, {"uuid", "0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b"}};
  // The fastest of five answers for n groups, in seconds (the best of
  // several, so that a busy machine's pauses do not count).
  auto timeFor = [&](int n) {
    body["groups"] = groupsOf(n);
    std::string text = body.dump();
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
      auto start = std::chrono::steady_clock::now();
      Response r = post(service, "/v1/check", text);
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      EXPECT_EQ(r.status, 200) << r.body.substr(0, 200);
      EXPECT_EQ(json::parse(r.body)["caller"]["groups"].size(), static_cast<std::size_t>(n));
    }
    return best;
  };
  // Eight times the groups: about eight times the work when the repeats
  // are found with a set, sixty-four times when pairwise (a ratio within
  // one run, so a slow or instrumented build does not matter).
  double few = timeFor(5000), many = timeFor(40000);
  EXPECT_LT(many / few, 24.0) << few << " s for 5,000 groups, " << many << " s for 40,000";
  // By default a request names at most 1024.
  gxpolicyd::DecisionService capped(*replica_, nullptr, gxpolicyd::ServiceOptions{}, metrics_);
  body["groups"] = groupsOf(1024);  // with its repeat, 1025 names
  Response refused = post(capped, "/v1/check", body.dump());
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(json::parse(refused.body)["field"], "groups");
}

// Hundreds of random questions over a generated estate: /v1/check and
// /v1/auth say what daCachedStore::decide says.
TEST(GxpolicydAgreement, AnswersEqualTheLibrarysDecisionOnAGeneratedEstate) {
  gxtest::TempDir dir;
  std::string const db = dir.file("estate.db");
  gxtest::createPolicyDb(db);
  gxestate::Estate estate;
  {
    daCachedStore writer("d", db.c_str(), 1, 0);
    unsigned long st = 0;
    writer.openStore(0, st);
    ASSERT_EQ(st, 0u);
    gxestate::Options o;
    o.objects = 3000;
    o.naming = gxestate::Naming::repeated;
    o.users = 40;
    o.groups = 8;
    gxestate::generate(writer, o, estate, st);
    ASSERT_EQ(st, 0u);
  }
  gxpolicyd::ReplicaOptions ro;
  ro.db = db;
  ro.domain = "d";
  gxpolicyd::ServedReplica replica(ro, [](std::string const&) {});
  std::string error;
  ASSERT_EQ(replica.open(error), 0u) << error;
  gxpolicyd::Metrics metrics;
  gxpolicyd::ServiceOptions so;
  so.methods = {{"GET", "r"}, {"POST", "Tm"}, {"DELETE", "d"}};
  so.frontTrust = gxpolicyd::FrontTrust::anyone;
  gxpolicyd::DecisionService service(replica, nullptr, so, metrics);

  std::mt19937 rng(7);
  char const* const methods[] = {"GET", "POST", "DELETE"};
  int granted = 0;
  for (int i = 0; i < 400; ++i) {
    std::string const& object = estate.objects[rng() % estate.objects.size()];
    char const* method = methods[rng() % 3];
    std::string actions = so.methods[method];
    bool anonymous = rng() % 5 == 0;
    gxestate::User const& user = estate.users[rng() % estate.users.size()];
    gxpolicy::CallerAttributes caller = gxestate::callerOf(user);
    daDecision expected;
    unsigned long st = 0;
    replica.store().decide(object.c_str(), anonymous ? nullptr : caller.pa(), actions.c_str(), nullptr, expected, st);
    ASSERT_EQ(st, 0u) << object;
    granted += expected.granted();

    json body = {{"object", object}, {"actions", actions}};
    Headers headers = req(object.c_str(), method);
    if (!anonymous) {
      body["uuid"] = text(user.uuid);
      json groups = json::array();
      std::string list;
      for (hx_uuid_t const& g : user.groups) {
        groups.push_back(text(g));
        list += (list.empty() ? "" : ",") + text(g);
      }
      body["groups"] = groups;
      headers.emplace_back("X-Remote-Uuid", text(user.uuid));
      headers.emplace_back("X-Remote-Groups", list);
    }
    Response r = post(service, "/v1/check", body.dump());
    ASSERT_EQ(r.status, 200) << r.body;
    json answer = json::parse(r.body);
    EXPECT_EQ(answer["granted"], expected.granted()) << object << " " << actions;
    // 401 to step up, or to log in where the ACL turns an anonymous caller
    // away; any other denial is 403.
    bool const byAcl = expected.cause() == daDecisionCause::noAcl || expected.cause() == daDecisionCause::aclDenied;
    int want = expected.granted()                                ? 200
               : expected.cause() == daDecisionCause::authLevel ? 401
               : anonymous && byAcl                              ? 401
                                                                 : 403;
    EXPECT_EQ(get(service, "/v1/auth", headers).status, want) << object << " " << method;
  }
  // Both answers occur, or the comparison says little.
  EXPECT_GT(granted, 20);
  EXPECT_LT(granted, 380);
}

// ---- over HTTP, many threads ------------------------------------------------------------

std::string const kGranted = R"({"object":"/web/blog","actions":"r","user":"alice"})";
std::string const kDenied = R"({"object":"/web/admin","actions":"r","user":"dave"})";

// A slow client holding a large body keeps its share of the budget until
// it is answered; meanwhile a body that does not fit is answered 503 unread.
TEST(GxpolicydTransport, BodiesHeldAtOnceStayWithinTheirBudget) {
  gxpolicyd::HttpOptions ho;
  ho.port = static_cast<unsigned short>(gxtest::freeLoopbackPort());
  ho.maxBody = 8192;
  ho.maxBodiesTotal = 10000;
  gxpolicyd::HttpServer server(
      ho,
      [](Request const& r) {
        Response out;
        out.status = r.bodyOverBudget ? 503 : 200;
        out.body = std::to_string(r.body.size());
        return out;
      },
      [](std::string const&) {});
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  auto connect = [&] {
    gxtest::Socket c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = gxtest::loopback(ho.port);
    EXPECT_EQ(::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return c;
  };
  std::string const body(6000, ' ');
  std::string const request = gxtest::httpRequest("POST", "/v1/check", "", body);
  std::size_t const head = request.size() - body.size();

  gxtest::Socket slow = connect();
  ASSERT_EQ(::send(slow.fd, request.data(), head + 100, MSG_NOSIGNAL), static_cast<ssize_t>(head + 100));
  for (int i = 0; i < 500 && server.bodyBytes() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(server.bodyBytes(), body.size());
  gxtest::Socket second = connect();
  gxtest::Reply refused = gxtest::roundTrip(second.fd, request);
  EXPECT_EQ(refused.status, 503);
  gxtest::Reply done = gxtest::roundTrip(slow.fd, request.substr(head + 100));
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.body, "6000");
  for (int i = 0; i < 500 && server.bodyBytes() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server.bodyBytes(), 0u);
  gxtest::Socket third = connect();
  EXPECT_EQ(gxtest::roundTrip(third.fd, request).status, 200);
  server.stop();
}

TEST(GxpolicydConcurrency, ThreadsDecideOverHttpWhileTheReplicaIsRebuilt) {
  gxtest::TempDir dir;
  std::unique_ptr<gxreg::FileRegistry> registry = gxtest::exampleRegistry();
  ASSERT_TRUE(registry);
  std::string const master = dir.file("master.db");
  importExample(master, registry.get());
  ASSERT_FALSE(HasFailure());
  gxpolicyd::ReplicaOptions ro;
  ro.db = dir.file("replica.db");
  ro.master = master;
  ro.domain = "d";
  ro.refreshSeconds = 3600;  // rebuilt when asked below
  std::atomic<int> rebuiltLines{0};
  gxpolicyd::ServedReplica replica(ro, [&](std::string const& line) {
    if (line.find("rebuilt") != std::string::npos) rebuiltLines.fetch_add(1);
  });
  std::string error;
  ASSERT_EQ(replica.open(error), 0u) << error;
  replica.start();
  gxpolicyd::Metrics metrics;
  gxpolicyd::ServiceOptions so;
  so.frontTrust = gxpolicyd::FrontTrust::secret;
  so.frontSecret = kSecret;
  gxpolicyd::DecisionService service(replica, registry.get(), so, metrics);
  gxpolicyd::HttpOptions ho;
  ho.port = static_cast<unsigned short>(gxtest::freeLoopbackPort());
  ho.threads = 3;
  gxpolicyd::HttpServer server(ho, [&](Request const& r) { return service.handle(r); }, [](std::string const&) {});
  ASSERT_TRUE(server.start(error)) << error;

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t)
    clients.emplace_back([&, t] {
      gxtest::Socket c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in a = gxtest::loopback(ho.port);
      if (::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        wrong.fetch_add(1);
        return;
      }
      bool const granted = t % 2 == 0;
      std::string const request =
          t < 2 ? gxtest::httpRequest("POST", "/v1/check", "", granted ? kGranted : kDenied, true)
                : gxtest::httpRequest("GET", "/v1/auth",
                                      std::string("X-Original-URI: ") + (granted ? "/web/blog/hello.html" : "/web/admin") +
                                          "\r\nX-Original-Method: GET\r\nX-Remote-User: " + (granted ? "alice" : "dave") +
                                          "\r\nX-Gx-Front-Secret: " + kSecret + "\r\n",
                                      "", true);
      while (!stop.load()) {
        gxtest::Reply r = gxtest::roundTrip(c.fd, request);
        bool ok = t < 2 ? r.status == 200 && r.body.find(granted ? "\"granted\":true" : "\"granted\":false") != std::string::npos
                        : r.status == (granted ? 200 : 403);
        if (!ok && wrong.fetch_add(1) < 3) ADD_FAILURE() << "client " << t << ": status " << r.status << " " << r.body;
        answered.fetch_add(1);
      }
    });
  // The master moves (an unrelated ACL each time) and the replica follows.
  for (int i = 0; i < 5; ++i) {
    gxtest::addAcls(master, {"extra" + std::to_string(i)});
    int before = rebuiltLines.load();
    replica.refreshNow();
    for (int wait = 0; wait < 1000 && rebuiltLines.load() == before; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop.store(true);
  for (auto& c : clients) c.join();
  server.stop();
  replica.stop();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(replica.rebuilds(), 5u);
  EXPECT_TRUE(gxtest::hasAcl(replica.store(), "extra4"));
  EXPECT_EQ(server.inFlight(), 0u);
}

}  // namespace
