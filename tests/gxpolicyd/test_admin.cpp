// The administration service (gxpolicyd --admin): who may ask, what the
// policy lets each administrator change, changes whole or not at all,
// If-Match against lost updates, previews that write nothing, the log,
// and a master killed in the middle of a change.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "daemon_process.h"
#include "http_client.h"
#include "loopback.h"
#include "slapd_fixture.h"
#include "static_nginx.h"
#include "tools/common/registry_open.h"
#include "outside/file_registry.h"
#include "test_support.h"
#include "tools/common/policy_changes.h"
#include "tools/gxpolicyd/admin.h"
#include "tools/gxpolicyd/admin_auth.h"

namespace {

using json = nlohmann::json;
using gxpolicyd::Response;

// carol is in the group admins, which holds c on /management and
// /projects; dave is in no group.
json const kBootstrap = {
    {"changes",
     {{{"op", "create"}, {"object", "/management"}},
      {{"op", "create"}, {"acl", "admins"}, {"value", {{"entries", {{{"type", "group"}, {"name", "admins"}, {"actions", "Tcr"}}}}}}},
      {{"op", "attach"}, {"acl", "admins"}, {"object", "/management"}},
      {{"op", "create"}, {"object", "/projects"}},
      {{"op", "attach"}, {"acl", "admins"}, {"object", "/projects"}}}}};

sockaddr_in address(char const* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// A request as the transport hands it over.
struct Ask {
  std::string method = "GET", path, body;
  std::vector<std::pair<std::string, std::string>> headers, query;
  sockaddr_in peer = address("192.0.2.1");

  Response to(gxpolicyd::AdminService& service) const {
    std::vector<gxpolicyd::HeaderField> h, q;
    for (auto const& [n, v] : headers) h.push_back({n, v.c_str()});
    for (auto const& [n, v] : query) q.push_back({n, v.c_str()});
    gxpolicyd::Request r;
    r.method = method;
    r.path = path;
    r.body = body;
    r.headers = h;
    r.query = q;
    r.peer = reinterpret_cast<sockaddr const*>(&peer);
    return service.handle(r);
  }
};

void bootstrap(std::string const& db, gxreg::Registry* registry) {
  daCachedStore store("d", db.c_str(), 1, 0);
  unsigned long st = 0;
  store.openStore(0, st);
  ASSERT_EQ(st, 0u);
  gxpolicy::ChangeOptions o;
  o.actor = gxpolicy::Actor{"setup", "local"};
  o.registry = registry;
  ASSERT_EQ(gxpolicy::applyChanges(store, kBootstrap, o).outcome, gxpolicy::ChangeOutcome::applied);
  store.closeStore(st);
}

class Admin : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.file("master.db");
    gxtest::makePolicyDb(db_, {}, 1536);  // with version information: publishable
    unsigned long st = 0;
    registry_ = gxreg::openFileRegistry(std::string(GXCORE_SOURCE_DIR) + "/examples/policy/web.registry.json", true, st);
    ASSERT_EQ(st, 0u);
    bootstrap(db_, registry_.get());
    gxpolicy::TokenFile tokens;
    std::string error;
    ASSERT_TRUE(tokens.add("carol", carol_, error)) << error;
    ASSERT_TRUE(tokens.add("dave", dave_, error)) << error;
    tokensPath_ = dir_.file("tokens");
    ASSERT_TRUE(tokens.save(tokensPath_, error)) << error;
    gxpolicyd::AdminAuthOptions auth;
    auth.tokens = std::move(tokens);
    auth.firstBackoff = std::chrono::milliseconds(0);
    auth_ = std::make_unique<gxpolicyd::AdminAuthenticator>(std::move(auth));
    gxpolicyd::AdminOptions o;
    o.db = db_;
    o.domain = "d";
    service_ = std::make_unique<gxpolicyd::AdminService>(o, registry_.get(), *auth_);
  }

  Response as(std::string const& token, std::string method, std::string path, std::string body = "",
              std::vector<std::pair<std::string, std::string>> query = {},
              std::vector<std::pair<std::string, std::string>> headers = {}) {
    Ask a;
    a.method = std::move(method);
    a.path = "/admin/v1" + path;
    a.body = std::move(body);
    a.query = std::move(query);
    a.headers = std::move(headers);
    a.headers.emplace_back("Authorization", "Bearer " + token);
    return a.to(*service_);
  }
  static json body(Response const& r) { return json::parse(r.body); }
  unsigned long sequence() { return body(as(carol_, "GET", "/sequence"))["sequence"]; }

  gxtest::TempDir dir_;
  std::string db_, tokensPath_, carol_, dave_;
  std::unique_ptr<gxreg::Registry> registry_;
  std::unique_ptr<gxpolicyd::AdminAuthenticator> auth_;
  std::unique_ptr<gxpolicyd::AdminService> service_;
};

TEST(AdminAuth, EveryFailureLooksAlikeAndAnAddressThatFailedMustWait) {
  gxpolicy::TokenFile tokens;
  std::string token, error;
  ASSERT_TRUE(tokens.add("carol", token, error));
  gxpolicyd::AdminAuthOptions o;
  o.tokens = std::move(tokens);
  o.checkPassword = [](std::string const& user, std::string const& password) {
    return user == "erin" && password == "s3cret:x" ? 0ul : 1ul;
  };
  gxpolicyd::AdminAuthenticator auth(std::move(o));
  auto t0 = gxpolicyd::AdminAuthenticator::Clock::now();
  auto attempt = [&](char const* ip, std::vector<std::string> const& authorization, std::chrono::milliseconds at) {
    Ask a;
    a.peer = address(ip);
    for (std::string const& h : authorization) a.headers.emplace_back("Authorization", h);
    std::vector<gxpolicyd::HeaderField> h;
    for (auto const& [n, v] : a.headers) h.push_back({n, v.c_str()});
    gxpolicyd::Request r;
    r.headers = h;
    r.peer = reinterpret_cast<sockaddr const*>(&a.peer);
    unsigned retry = 0;
    return auth.authenticate(r, retry, t0 + at).value_or("-");
  };
  using std::chrono::milliseconds;
  EXPECT_EQ(attempt("192.0.2.1", {"Bearer " + token}, milliseconds(0)), "carol");
  EXPECT_EQ(attempt("192.0.2.1", {"Basic ZXJpbjpzM2NyZXQ6eA=="}, milliseconds(0)), "erin") << "a colon in a password";
  // Wrong, missing, doubled and malformed credentials all fail.
  EXPECT_EQ(attempt("192.0.2.2", {"Bearer gxt_wrong"}, milliseconds(0)), "-");
  EXPECT_EQ(attempt("192.0.2.3", {}, milliseconds(0)), "-");
  EXPECT_EQ(attempt("192.0.2.4", {"Bearer " + token, "Bearer " + token}, milliseconds(0)), "-");
  EXPECT_EQ(attempt("192.0.2.5", {"Basic ZXJpbjp3cm9uZw=="}, milliseconds(0)), "-");
  EXPECT_EQ(attempt("192.0.2.6", {"Basic !!!"}, milliseconds(0)), "-");
  // The failed address waits; the right token before then fails unchecked,
  // and each failure doubles the wait.
  EXPECT_EQ(attempt("192.0.2.2", {"Bearer " + token}, milliseconds(100)), "-");
  EXPECT_EQ(attempt("192.0.2.2", {"Bearer gxt_wrong"}, milliseconds(300)), "-");
  EXPECT_EQ(attempt("192.0.2.2", {"Bearer " + token}, milliseconds(700)), "-");
  EXPECT_EQ(attempt("192.0.2.2", {"Bearer " + token}, milliseconds(800)), "carol");
  EXPECT_EQ(attempt("192.0.2.7", {"Bearer " + token}, milliseconds(100)), "carol") << "other addresses are not slowed";
  // A request that offers nothing (a browser's favicon) fails without
  // slowing the administrator who signs in right after it.
  EXPECT_EQ(attempt("192.0.2.8", {}, milliseconds(0)), "-");
  EXPECT_EQ(attempt("192.0.2.8", {"Bearer " + token}, milliseconds(1)), "carol");
}

TEST_F(Admin, NobodyReadsOrWritesWithoutAuthenticating) {
  Ask anonymous;
  anonymous.path = "/admin/v1/acls";
  Response r = anonymous.to(*service_);
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.body.find("admins"), std::string::npos);
  anonymous.method = "PUT";
  anonymous.path = "/admin/v1/acls/x";
  anonymous.body = "{}";
  EXPECT_EQ(anonymous.to(*service_).status, 401);
  EXPECT_EQ(as("gxt_forged", "PUT", "/acls/x", "{}").status, 401);
  EXPECT_EQ(as(carol_, "GET", "/acls/x").status, 404) << "nothing was written";
}

TEST_F(Admin, TheControlPermissionDecidesWhoChangesWhatAndRevealsNoAttachment) {
  EXPECT_EQ(as(carol_, "PUT", "/objects/projects/a", R"({"description": "A"})").status, 200);
  // dave holds c nowhere: refused, naming only what he named.
  Response r = as(dave_, "PUT", "/objects/projects/b", "{}");
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(body(r)["object"], "/projects/b");
  EXPECT_EQ(body(r)["permission"], "c");
  EXPECT_EQ(as(dave_, "GET", "/objects/projects/a").status, 403);
  EXPECT_EQ(as(dave_, "GET", "/attachments/acl/projects").status, 403);
  r = as(dave_, "POST", "/changes",
         R"({"changes": [{"op": "set-entry", "acl": "admins", "entry": {"type": "user", "name": "dave", "actions": "Tcr"}}]})");
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(r.body.find("/projects"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("/management"), std::string::npos) << r.body;
  // Nor does a refusal say where a policy is attached, to him.
  r = as(dave_, "DELETE", "/acls/admins");
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.body.find("/projects"), std::string::npos) << r.body;
  EXPECT_NE(as(carol_, "DELETE", "/acls/admins").body.find("/projects"), std::string::npos);
  // A policy attached nowhere needs c on the management object.
  EXPECT_EQ(body(as(dave_, "PUT", "/acls/loose", "{}"))["object"], "/management");
  EXPECT_EQ(as(carol_, "PUT", "/acls/loose", "{}").status, 200);
  // carol grants dave c on /projects/a: he may then change it and create below it.
  r = as(carol_, "POST", "/changes", R"({"changes": [
      {"op": "create", "acl": "team-a", "value": {"entries": [
        {"type": "user", "name": "dave", "actions": "Tcr"}, {"type": "user", "name": "carol", "actions": "Tcr"}]}},
      {"op": "attach", "acl": "team-a", "object": "/projects/a"}]})");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(as(dave_, "PUT", "/objects/projects/a/docs", "{}").status, 200);
  EXPECT_EQ(as(dave_, "GET", "/attachments/acl/projects/a").status, 200);
  EXPECT_EQ(as(dave_, "PUT", "/objects/projects/b", "{}").status, 403);
}

TEST_F(Admin, ItemsAndAttachmentsAreReadWrittenAndListedByName) {
  ASSERT_EQ(as(carol_, "PUT", "/pops/office", R"({"warning": true, "description": "d"})").status, 200);
  ASSERT_EQ(as(carol_, "PUT", "/pops/office", R"({"warning": false})").status, 200);
  json pop = body(as(carol_, "GET", "/pops/office"))["value"];
  EXPECT_EQ(pop["warning"], false);
  EXPECT_FALSE(pop.contains("description")) << "PUT replaces the whole item: " << pop;
  ASSERT_EQ(as(carol_, "PUT", "/acls/b", "{}").status, 200);
  // Pages: names in order, each page resuming after the last name given.
  json page = body(as(carol_, "GET", "/acls", "", {{"limit", "1"}}));
  EXPECT_EQ(page["items"], json({"admins"}));
  page = body(as(carol_, "GET", "/acls", "", {{"limit", "1"}, {"after", page["next"]}}));
  EXPECT_EQ(page["items"], json({"b"}));
  EXPECT_TRUE(page["next"].is_null());
  EXPECT_EQ(as(carol_, "GET", "/acls", "", {{"limit", "0"}}).status, 400);
  // Attachments: attach, replace, read, detach.
  ASSERT_EQ(as(carol_, "PUT", "/objects/projects/a", "{}").status, 200);
  ASSERT_EQ(as(carol_, "PUT", "/attachments/pop/projects/a", R"({"name": "office"})").status, 200);
  EXPECT_EQ(body(as(carol_, "GET", "/attachments/pop/projects/a"))["name"], "office");
  EXPECT_EQ(as(carol_, "DELETE", "/pops/office").status, 409) << "still attached";
  EXPECT_EQ(as(carol_, "PUT", "/attachments/pop/projects/a", R"({"name": "nothere"})").status, 404);
  ASSERT_EQ(as(carol_, "DELETE", "/attachments/pop/projects/a").status, 200);
  EXPECT_TRUE(body(as(carol_, "GET", "/attachments/pop/projects/a"))["name"].is_null());
  EXPECT_EQ(as(carol_, "DELETE", "/pops/office").status, 200);
  // Objects: deleting one with objects below needs recursive=true.
  ASSERT_EQ(as(carol_, "PUT", "/objects/projects/a/b", "{}").status, 200);
  EXPECT_EQ(as(carol_, "DELETE", "/objects/projects/a").status, 409);
  EXPECT_EQ(as(carol_, "DELETE", "/objects/projects/a", "", {{"recursive", "true"}}).status, 200);
  EXPECT_EQ(as(carol_, "GET", "/objects/projects/a/b").status, 404);
  EXPECT_EQ(as(carol_, "PATCH", "/acls/b").status, 405);
  EXPECT_EQ(as(carol_, "GET", "/frobs").status, 404);
}

TEST_F(Admin, AChangesDocumentIsWholeOrNothingAndEveryBadBodyIsRefused) {
  unsigned long start = sequence();
  Response r = as(carol_, "POST", "/changes",
                  R"({"changes": [{"op": "create", "acl": "x"}, {"op": "create", "acl": "x"}]})");
  EXPECT_EQ(r.status, 409) << r.body;
  EXPECT_EQ(body(r)["field"], "changes[1].value");
  EXPECT_EQ(as(carol_, "POST", "/changes", R"({"changes": [{"op": "frobnicate"}]})").status, 400);
  EXPECT_EQ(as(carol_, "POST", "/changes", R"({"changes": [)").status, 400);
  EXPECT_EQ(as(carol_, "POST", "/changes", std::string(100, '[')).status, 400);
  EXPECT_EQ(as(carol_, "PUT", "/acls/x", "[]").status, 400);
  EXPECT_EQ(as(carol_, "PUT", "/acls/x", "{}", {{"dry-run", "maybe"}}).status, 400);
  gxpolicyd::Request huge;
  huge.method = "POST";
  huge.path = "/admin/v1/changes";
  huge.bodyTooLarge = true;
  EXPECT_EQ(service_->handle(huge).status, 413);
  EXPECT_EQ(sequence(), start);
  EXPECT_EQ(as(carol_, "GET", "/acls/x").status, 404);
}

TEST_F(Admin, ConcurrencyTwoAdministratorsOnOneSequenceNumberOneWinsTheOtherGets412) {
  std::string const base = std::to_string(sequence());
  std::atomic<int> ok{0}, stale{0};
  unsigned long told = 0;
  auto write = [&](std::string const& name) {
    Response r = as(carol_, "POST", "/changes",
                    R"({"changes": [{"op": "create", "acl": ")" + name + R"("}]})", {}, {{"If-Match", base}});
    if (r.status == 200) ++ok;
    if (r.status == 412) {
      ++stale;
      told = body(r)["sequence"];
    }
  };
  std::thread a(write, "first"), b(write, "second");
  a.join();
  b.join();
  EXPECT_EQ(ok.load(), 1);
  EXPECT_EQ(stale.load(), 1);
  EXPECT_EQ(told, sequence()) << "the 412 says where the master is now";
}

TEST_F(Admin, ADryRunAnswersTheEffectOnDecisionsAndWritesNothing) {
  unsigned long start = sequence();
  // A subtree made and granted in one change: its effect is the new ACL's.
  Response r = as(carol_, "POST", "/changes", R"({"changes": [
      {"op": "create", "object": "/projects/c"},
      {"op": "create", "acl": "team-c", "value": {"entries": [{"type": "group", "name": "webteam", "actions": "Trm"}]}},
      {"op": "attach", "acl": "team-c", "object": "/projects/c"},
      {"op": "set-entry", "acl": "admins", "entry": {"type": "any-other", "actions": "r"}}]})",
                  {{"dry-run", "true"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(body(r)["sequence"], start);
  json effect = body(r)["effect"];
  EXPECT_TRUE(effect["gained"].get<bool>());
  json prefixes = json::array();
  for (json const& region : effect["regions"]) prefixes.push_back(region["prefix"]);
  EXPECT_EQ(prefixes, json({"/management", "/projects", "/projects/c"})) << effect;
  EXPECT_EQ(effect["regions"][1]["except"], json({"/projects/c"}));
  json names = json::array();
  for (json const& line : effect["regions"][2]["changes"]) names.push_back(line["name"]);
  EXPECT_EQ(names, json({"admins", "webteam"})) << "admins loses its entry, webteam gains";
  EXPECT_EQ(effect["regions"][2]["acl_after"]["name"], "team-c");
  EXPECT_EQ(sequence(), start);
  EXPECT_EQ(as(carol_, "GET", "/objects/projects/c").status, 404);
  EXPECT_EQ(body(as(carol_, "GET", "/acls/admins"))["value"]["entries"].size(), 1u);
  // The preview is held to the same permissions as the change.
  EXPECT_EQ(as(dave_, "POST", "/changes", R"({"changes": [{"op": "create", "object": "/projects/d"}]})",
               {{"dry-run", "true"}})
                .status,
            403);
}

TEST_F(Admin, TheLogNamesWhoAndWhereFromAndFollowsAnotherProcessesChanges) {
  unsigned long start = sequence();
  ASSERT_EQ(as(carol_, "PUT", "/objects/projects/a", "{}").status, 200);
  Response r = as(carol_, "GET", "/log", "", {{"since", std::to_string(start)}});
  ASSERT_EQ(r.status, 200) << r.body;
  json entry = body(r)["entries"][0];
  EXPECT_EQ(entry["who"], "carol");
  EXPECT_EQ(entry["address"], "192.0.2.1");
  EXPECT_EQ(entry["changes"][0]["object"], "/projects/a");
  EXPECT_EQ(as(dave_, "GET", "/log").status, 403);
  // A change made beside the service (the command line on the master).
  {
    daCachedStore other("d", db_.c_str(), 1, 0);
    unsigned long st = 0;
    other.openStore(0, st);
    ASSERT_EQ(st, 0u);
    gxpolicy::ChangeOptions o;
    o.actor = gxpolicy::Actor{"cli", "local"};
    ASSERT_EQ(gxpolicy::applyChanges(other, json{{"changes", {{{"op", "create"}, {"acl", "beside"}}}}}, o).outcome,
              gxpolicy::ChangeOutcome::applied);
    other.closeStore(st);
  }
  EXPECT_EQ(as(carol_, "GET", "/acls/beside").status, 200);
  EXPECT_EQ(as(carol_, "PUT", "/acls/after", "{}").status, 200);
  // Paged one entry at a time from the start: "next" goes on to the
  // following entry, and is null on the last page.
  std::vector<std::string> commands;
  json since = start;
  for (int page = 0; page < 5 && !since.is_null(); ++page) {
    json got = body(as(carol_, "GET", "/log", "", {{"since", since.dump()}, {"limit", "1"}}));
    ASSERT_EQ(got["entries"].size(), 1u) << got;
    commands.push_back(got["entries"][0]["who"]);
    since = got["next"];
  }
  EXPECT_EQ(commands, (std::vector<std::string>{"carol", "cli", "carol"}));
  EXPECT_TRUE(since.is_null());
}

// The daemon itself is run from here on: only in builds that make it.
#ifdef GXPOLICYD_BINARY

// The whole path: a change through the service, published, fetched by a
// replica polling every second, answered there.
TEST_F(Admin, AReplicaFollowingThePublishedFolderAnswersAChangeWithinSeconds) {
  service_.reset();
  std::string const www = dir_.file("www"), registry = std::string(GXCORE_SOURCE_DIR) + "/examples/policy/web.registry.json";
  int const adminPort = gxtest::freeLoopbackPort();
  gxtest::DaemonProcess admin;
  ASSERT_TRUE(admin.start({GXPOLICYD_BINARY, "--admin", "--db", db_, "--domain", "d", "--admin-token-file", tokensPath_,
                           "--listen", "127.0.0.1:" + std::to_string(adminPort), "--registry", registry,
                           "--admin-publish", www},
                          dir_.file("admin.log"), std::chrono::seconds(10),
                          [&] { return gxtest::healthy(adminPort) && std::filesystem::exists(www + "/manifest.json"); }))
      << gxtest::readFile(dir_.file("admin.log"));
  gxtest::StaticNginx nginx(www);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  int const replicaPort = gxtest::freeLoopbackPort();
  gxtest::DaemonProcess replica;
  ASSERT_TRUE(replica.start({GXPOLICYD_BINARY, "--db", dir_.file("replica.db"), "--domain", "d", "--master", nginx.url(),
                             "--refresh", "1", "--registry", registry, "--listen",
                             "127.0.0.1:" + std::to_string(replicaPort)},
                            dir_.file("replica.log"), std::chrono::seconds(10), [&] { return gxtest::healthy(replicaPort); }));
  auto granted = [&] {
    std::string q = R"({"object": "/projects/x", "actions": "r", "user": "dave"})";
    return gxtest::requestOnce(replicaPort, gxtest::httpRequest("POST", "/v1/check", "", q)).body.find("\"granted\":true") !=
           std::string::npos;
  };
  ASSERT_FALSE(granted());
  std::string change = R"({"changes": [{"op": "set-entry", "acl": "admins", "entry": {"type": "user", "name": "dave", "actions": "Tr"}}]})";
  ASSERT_EQ(gxtest::requestOnce(adminPort, gxtest::httpRequest("POST", "/admin/v1/changes",
                                                               "Authorization: Bearer " + carol_ + "\r\n", change))
                .status,
            200);
  auto changed = std::chrono::steady_clock::now();
  EXPECT_TRUE(gxtest::within(std::chrono::seconds(10), granted));
  // About a second here; far more only on a machine far too busy for it.
  EXPECT_LT(std::chrono::steady_clock::now() - changed, std::chrono::seconds(5));
}

// TLS client certificates: one a trusted CA signed for a client names the
// administrator; a self-signed one claiming the same name, one the CA signed
// for servers only, one whose subject holds a second common name, or none,
// gets 401. A key others may read stops the start.
TEST_F(Admin, AClientCertificateOfTheTrustedCaNamesTheAdministratorAndNoOtherDoes) {
  service_.reset();
  std::string const d = dir_.path().string();
  std::string const make =
      "cd " + d + " && exec >/dev/null 2>&1 && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=admin CA' && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr -subj '/CN=localhost' && "
      "printf 'subjectAltName=IP:127.0.0.1' > san && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout carol.key -out carol.csr -subj '/CN=carol' && "
      "openssl x509 -req -in carol.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out carol.pem -days 2 && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout forged.key -out forged.pem -days 2 -subj '/CN=carol' && "
      "printf 'extendedKeyUsage=serverAuth' > server-only && "
      "openssl x509 -req -in carol.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out carol-server.pem -days 2 -extfile server-only && "
      "printf 'extendedKeyUsage=clientAuth' > client-only && "
      "openssl x509 -req -in carol.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out carol-client.pem -days 2 -extfile client-only && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout two.key -out two.csr -subj '/CN=nobody/CN=carol' && "
      "openssl x509 -req -in two.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out two.pem -days 2 && "
      "chmod 600 *.key";
  ASSERT_EQ(std::system(make.c_str()), 0) << "openssl (scripts/setup installs it)";
  int const port = gxtest::freeLoopbackPort();
  std::vector<std::string> argv = {GXPOLICYD_BINARY, "--admin", "--db", db_, "--domain", "d", "--listen",
                                   "127.0.0.1:" + std::to_string(port), "--registry",
                                   std::string(GXCORE_SOURCE_DIR) + "/examples/policy/web.registry.json",
                                   "--tls-cert", d + "/server.pem", "--tls-key", d + "/server.key", "--tls-client-ca",
                                   d + "/ca.pem"};
  auto status = [&](std::string const& client) {
    std::string command = "curl -s -o /dev/null -w '%{http_code}' --cacert " + d + "/ca.pem " + client +
                          " https://127.0.0.1:" + std::to_string(port) + "/admin/v1/objects/projects";
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[64];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe) ::pclose(pipe);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past a failure's wait
    return out;
  };
  {
    ::chmod((d + "/server.key").c_str(), 0644);
    gxtest::DaemonProcess refused;
    refused.launch(argv, dir_.file("refused.log"));
    EXPECT_TRUE(gxtest::within(std::chrono::seconds(10), [&] { return refused.exited(); }));
    EXPECT_NE(gxtest::readFile(dir_.file("refused.log")).find("--tls-key: "), std::string::npos);
    ::chmod((d + "/server.key").c_str(), 0600);
  }
  gxtest::DaemonProcess admin;
  ASSERT_TRUE(admin.start(argv, dir_.file("tls.log"), std::chrono::seconds(10),
                          [&] { return gxtest::acceptsConnections(port); }))
      << gxtest::readFile(dir_.file("tls.log"));
  EXPECT_EQ(status("--cert " + d + "/carol.pem --key " + d + "/carol.key"), "200");
  EXPECT_EQ(status(""), "401");
  EXPECT_EQ(status("--cert " + d + "/forged.pem --key " + d + "/forged.key"), "401");
  EXPECT_EQ(status("--cert " + d + "/carol-client.pem --key " + d + "/carol.key"), "200");
  EXPECT_EQ(status("--cert " + d + "/carol-server.pem --key " + d + "/carol.key"), "401");
  EXPECT_EQ(status("--cert " + d + "/two.pem --key " + d + "/two.key"), "401");
}

// HTTP basic: the password checked by a bind against the LDAP registry.
TEST_F(Admin, BasicCredentialsAreCheckedByABindAgainstTheDirectory) {
  service_.reset();
  gxtest::Slapd& slapd = gxtest::Slapd::shared();
  ASSERT_TRUE(slapd.running()) << slapd.error();
  std::string const stanza = dir_.file("ldap.conf");
  gxtest::writeFile(stanza, "[ldap]\nhost = 127.0.0.1:" + std::to_string(slapd.port()) + "\nbind-dn = " +
                                gxtest::Slapd::bindDn + "\nbind-pwd = " + gxtest::Slapd::bindPassword +
                                "\nuser-suffix = " + gxtest::Slapd::people + "\ngroup-suffix = " +
                                gxtest::Slapd::groups + "\n");
  ::chmod(stanza.c_str(), 0600);
  {  // alice may administer /projects
    unsigned long st = 0;
    std::string message;
    auto ldap = gxpolicy::openRegistryFor(db_, stanza, nullptr, st, message);
    ASSERT_EQ(st, 0u) << message;
    daCachedStore store("d", db_.c_str(), 1, 0);
    store.openStore(0, st);
    gxpolicy::ChangeOptions o;
    o.registry = ldap.get();
    json grant = {{"changes", {{{"op", "set-entry"}, {"acl", "admins"},
                                {"entry", {{"type", "user"}, {"name", "alice"}, {"actions", "Tcr"}}}}}}};
    ASSERT_EQ(gxpolicy::applyChanges(store, grant, o).outcome, gxpolicy::ChangeOutcome::applied);
    store.closeStore(st);
  }
  int const port = gxtest::freeLoopbackPort();
  gxtest::DaemonProcess admin;
  ASSERT_TRUE(admin.start({GXPOLICYD_BINARY, "--admin", "--db", db_, "--domain", "d", "--admin-basic", "--registry",
                           stanza, "--listen", "127.0.0.1:" + std::to_string(port)},
                          dir_.file("basic.log"), std::chrono::seconds(10), [&] { return gxtest::healthy(port); }))
      << gxtest::readFile(dir_.file("basic.log"));
  auto put = [&](std::string const& userPassword) {
    // base64 of "user:password" through the shell's base64, as a client would send it.
    std::string command = "printf %s '" + userPassword + "' | base64 -w0";
    std::string b64;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[256];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) b64.append(buffer, n);
    if (pipe) ::pclose(pipe);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past a failure's wait
    return gxtest::requestOnce(port, gxtest::httpRequest("PUT", "/admin/v1/objects/projects/x",
                                                         "Authorization: Basic " + b64 + "\r\nContent-Length: 2\r\n", "{}"))
        .status;
  };
  EXPECT_EQ(put("alice:wrong"), 401);
  EXPECT_EQ(put("alice:"), 401) << "an empty password would be an unauthenticated bind";
  EXPECT_EQ(put("mallory:alice-secret"), 401);
  EXPECT_EQ(put("alice:alice-secret"), 200);
  EXPECT_EQ(gxtest::readFile(dir_.file("basic.log")).find("alice-secret"), std::string::npos) << "no secret in the log";
}

#endif

}  // namespace
