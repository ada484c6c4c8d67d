// gxpolicyd run as a process, end to end: behind a real, throw-away nginx
// configured as README.md shows (its configuration and secret recipe are
// read out of README.md; only ports and paths change) serving pages of the
// example web estate (examples/policy), with the replica kept from a master
// database, and attacked through it with forged identities; and straight
// over HTTP: bad requests and ten thousand keep-alive connections (the
// /metrics counts are pinned in process, in test_gxpolicyd.cpp). Every test
// ends by stopping the daemon with SIGTERM, which must exit 0.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalPolicy.h"
#include "daemon_process.h"
#include "example_policy.h"
#include "http_client.h"
#include "loopback.h"
#include "outside/file_registry.h"
#include "readme_recipe.h"
#include "test_support.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using gxtest::httpRequest;
using gxtest::loopback;
using gxtest::parseReply;
using gxtest::readFile;
using gxtest::Reply;
using gxtest::requestOnce;
using gxtest::roundTrip;
using gxtest::Socket;
using gxtest::writeFile;

std::string const kExamples = std::string(GXCORE_SOURCE_DIR) + "/examples/policy/";
char const* const kDaemon = gxtest::kGxpolicydBinary;

// The value of the sample "name" (with its labels) on a /metrics page; -1 when absent.
double metric(std::string const& page, std::string const& name) {
  std::size_t at = page.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(page.substr(at + name.size() + 2));
}

// Connections to a local port that this machine closed and now holds in
// TIME_WAIT (from /proc/net/tcp and tcp6): one per connection a client gave
// up rather than kept alive.
int closedConnectionsTo(int port) {
  int n = 0;
  for (char const* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(readFile(table));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      std::size_t colon = remote.rfind(':');
      if (state == "06" && colon != std::string::npos && std::stoi(remote.substr(colon + 1), nullptr, 16) == port) ++n;
    }
  }
  return n;
}

// Runs argv to its end (stdout and stderr appended to log); its exit status.
int run(std::vector<std::string> const& argv, std::string const& log) {
  gxtest::DaemonProcess p;
  p.launch(argv, log);
  return p.wait();
}

// The example web estate in a master database (domain Default, as the
// daemon's), gxpolicyd keeping a replica of it, and on demand an nginx with
// two servers on the same pages: "members" (basic auth; the user name goes
// to gxpolicyd) and "public" (no authentication).
class GxpolicydFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDaemon == nullptr) GTEST_SKIP() << "gxpolicyd is not built in this tree (tools are off)";
    registry_ = gxtest::exampleRegistry();
    ASSERT_TRUE(registry_);
    master_ = dir_.file("master.db");
    gxtest::makePolicyDb(master_, {}, daLocalPolicy::minimumDatabaseVersion, "Default");
  }
  void TearDown() override {
    if (daemon_.pid() > 0) EXPECT_EQ(stopDaemon(), 0) << readFile(dir_.file("gxpolicyd.log"));
    nginx_.signal(SIGTERM, std::chrono::seconds(10));
  }

  // Imports the policy document into the master; its sequence number after.
  unsigned long importIntoMaster(std::string const& doc) {
    return gxtest::importDocument(master_, "Default", doc, registry_.get());
  }

  // Starts gxpolicyd on the replica of the master, with extra options; true
  // once /healthz answers.
  bool startDaemon(std::vector<std::string> const& extra = {}) {
    daemonPort_ = gxtest::freeLoopbackPort();
    std::vector<std::string> argv = {kDaemon, "--db", dir_.file("replica.db"), "--master", master_,
                                     "--refresh", "3600", "--registry", kExamples + "web.registry.json",
                                     "--prefix", "/web", "--threads", "2",
                                     "--listen", "127.0.0.1:" + std::to_string(daemonPort_)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return daemon_.start(argv, dir_.file("gxpolicyd.log"), std::chrono::seconds(30),
                         [this] { return gxtest::healthy(daemonPort_); });
  }
  bool daemonAlive() { return !daemon_.exited(); }
  // Its exit status after SIGTERM (100 + the signal when one ended it; -1
  // when it had not ended 30 s later and was killed).
  int stopDaemon() { return daemon_.signal(SIGTERM, std::chrono::seconds(30)); }

  // Runs README's recipe for the front end's secret (paths moved into the
  // test's directory); the secret file's path, "" when the recipe failed.
  std::string makeFrontSecret() {
    std::string d = dir_.path().string();
    std::string recipe = gxtest::readmeRecipe("front secret",
                                      {{"/etc/gxpolicyd/", d + "/"}, {"/etc/nginx/", d + "/"}});
    if (recipe.empty()) return "";
    writeFile(d + "/front-secret.sh", "set -e\n" + recipe);
    return run({"/bin/sh", d + "/front-secret.sh"}, d + "/recipe.log") == 0 ? d + "/front-secret" : "";
  }

  // Starts nginx in front of the running daemon with README's configuration:
  // only its ports and paths are changed, and the places of nginx's own pid,
  // logs and temporary files added. A certificate for the site, a client CA
  // and erin's client certificate are made first. True once nginx accepts.
  bool startNginx() {
    std::string d = dir_.path().string();
    for (auto const& [page, text] : {std::pair{"docs/guide.html", "the user guide"},
                                     {"blog/hello.html", "a blog post"}, {"admin/users.html", "user administration"}}) {
      std::filesystem::create_directories(std::filesystem::path(d + "/www/" + page).parent_path());
      writeFile(d + "/www/" + page, std::string("<h1>") + text + "</h1>\n");
    }
    writeFile(d + "/htpasswd", "alice:{PLAIN}alice-pw\nbob:{PLAIN}bob-pw\ndave:{PLAIN}dave-pw\nerin:{PLAIN}erin-pw\n");
    std::string const ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    writeFile(d + "/certs.sh",
              "set -e\ncd " + d + "\n"
              "openssl req -x509 " + ec + " -keyout site.key -out site.crt -subj /CN=127.0.0.1\n"
              "openssl req -x509 " + ec + " -keyout clients-ca.key -out clients-ca.crt -subj /CN=clients\n"
              "openssl req " + ec + " -keyout erin.key -out erin.csr -subj /CN=erin\n"
              "openssl x509 -req -in erin.csr -CA clients-ca.crt -CAkey clients-ca.key -CAcreateserial "
              "-out erin.crt -days 2\n"
              // A certificate no one vouches for: signed by itself.
              "openssl req -x509 " + ec + " -keyout mallory.key -out mallory.crt -subj /CN=erin\n");
    if (run({"/bin/sh", d + "/certs.sh"}, d + "/certs.log") != 0) return false;
    sitePort_ = gxtest::freeLoopbackPort();
    std::string conf = gxtest::readmeRecipe("nginx", {{"listen 443 ssl;", "listen 127.0.0.1:@PORT@ ssl;"},
                                                         {"127.0.0.1:8181", "127.0.0.1:@GX@"},
                                                         {"/etc/nginx/", d + "/"},
                                                         {"/srv/www/web", d + "/www"},
                                                         {"http {\n", "http {\n@PLACES@"}});
    if (conf.empty()) return false;
    std::string places = "  access_log off;\n";
    for (char const* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      places += std::string("  ") + t + "_temp_path " + d + "/" + t + ";\n";
    conf = "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
           "/nginx-error.log;\n" +
           gxtest::replaceAll(conf, {{"@PORT@", std::to_string(sitePort_)}, {"@GX@", std::to_string(daemonPort_)}, {"@PLACES@", places}});
    writeFile(d + "/nginx.conf", conf);
    nginx_.launch({"/usr/sbin/nginx", "-p", d + "/", "-c", d + "/nginx.conf", "-e", d + "/nginx-error.log"},
                  d + "/nginx-error.log");
    for (int i = 0; i < 400 && !gxtest::acceptsConnections(sitePort_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return gxtest::acceptsConnections(sitePort_);
  }

  // The example estate without the office-hours rule (so that no answer
  // depends on the clock), the daemon with README's front secret, and nginx
  // in front of it; a fatal failure when one of them does not start.
  void startExampleBehindNginx() {
    json doc = json::parse(readFile(kExamples + "web.json"));
    doc["objects"]["/web/admin"].erase("rule");
    importIntoMaster(doc.dump());
    std::string secret = makeFrontSecret();
    ASSERT_FALSE(secret.empty()) << "README's secret recipe: " << readFile(dir_.file("recipe.log"));
    ASSERT_TRUE(startDaemon({"--front-secret-file", secret})) << readFile(dir_.file("gxpolicyd.log"));
    ASSERT_TRUE(startNginx()) << "README's nginx configuration: " << readFile(dir_.file("nginx-error.log"))
                              << readFile(dir_.file("certs.log"));
  }

  // A page through nginx with curl: method, then curl's own options
  // (credentials, headers, a client certificate).
  Reply page(std::string const& path, std::vector<std::string> const& options = {}, std::string const& method = "GET") {
    std::string d = dir_.path().string();
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-k", "-X", method, "-o", d + "/page.body",
                                     "-D", d + "/page.head", "--max-time", "20"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("https://127.0.0.1:" + std::to_string(sitePort_) + path);
    std::filesystem::remove(d + "/page.head");
    std::filesystem::remove(d + "/page.body");
    Reply r;
    if (run(argv, d + "/curl.log") != 0) return r;
    std::string head = readFile(d + "/page.head");
    // The head's blank line: parseReply reads it and the body after it.
    std::string whole = head;
    std::size_t end = head.find("\r\n\r\n");
    if (end != std::string::npos) whole = head.substr(0, end) + "\r\nContent-Length: 0\r\n\r\n";
    parseReply(whole, r);
    r.body = std::filesystem::exists(d + "/page.body") ? readFile(d + "/page.body") : "";
    return r;
  }
  // As user, logged in with the password "<user>-pw".
  static std::vector<std::string> login(std::string const& user, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"-u", user + ":" + user + "-pw"});
    return more;
  }
  std::vector<std::string> certificate(std::string const& who) {
    std::string d = dir_.path().string();
    return {"--cert", d + "/" + who + ".crt", "--key", d + "/" + who + ".key"};
  }
  Reply toDaemon(std::string const& method, std::string const& path, std::string const& body = "",
                 std::string const& headers = "") {
    return requestOnce(daemonPort_, httpRequest(method, path, headers, body));
  }
  std::string metricsPage() { return toDaemon("GET", "/metrics").body; }

  gxtest::TempDir dir_;
  std::unique_ptr<gxreg::FileRegistry> registry_;
  std::string master_;
  gxtest::DaemonProcess daemon_, nginx_;
  int daemonPort_ = -1, sitePort_ = -1;
};

using GxpolicydBehindNginx = GxpolicydFixture;
using GxpolicydWithoutNginx = GxpolicydFixture;

TEST_F(GxpolicydBehindNginx, PagesAreServedOnlyToCallersThePolicyGrants) {
  startExampleBehindNginx();
  if (HasFatalFailure()) return;

  int const closedBefore = closedConnectionsTo(daemonPort_);
  Reply guide = page("/docs/guide.html", login("alice"));
  EXPECT_EQ(guide.status, 200);
  EXPECT_EQ(guide.body, "<h1>the user guide</h1>\n");
  // dave has no entry on the administration pages: authenticated, denied.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(page("/admin/users.html", login("dave")).status, 403);
  // nginx asked every question on the connection it keeps to gxpolicyd: an
  // answer with a body it does not read would have made it close that
  // connection and open another for the next question.
  EXPECT_EQ(closedConnectionsTo(daemonPort_), closedBefore);
  // erin may, but the POP asks for level 2 from outside the internal
  // networks where a password gives 1: step up, and the client is told the
  // level. With her client certificate nginx says 2, and she is let in.
  Reply stepUp = page("/admin/users.html", login("erin"));
  EXPECT_EQ(stepUp.status, 401);
  EXPECT_EQ(stepUp.headers["x-gx-auth-level-required"], "2");
  EXPECT_EQ(page("/admin/users.html", login("erin", certificate("erin"))).status, 200);
  // The blog is open: read by anyone, written by no one unauthenticated.
  Reply blog = page("/blog/hello.html");
  EXPECT_EQ(blog.status, 200);
  EXPECT_EQ(blog.body, "<h1>a blog post</h1>\n");
  EXPECT_EQ(page("/blog/hello.html", {}, "POST").status, 401);

  // Every answer came from gxpolicyd's sub-request.
  std::string m = metricsPage();
  EXPECT_EQ(metric(m, R"(gxpolicyd_requests_total{handler="auth",code="200"})"), 3) << m;
  EXPECT_EQ(metric(m, R"(gxpolicyd_requests_total{handler="auth",code="403"})"), 3);
  EXPECT_EQ(metric(m, R"(gxpolicyd_requests_total{handler="auth",code="401"})"), 2);
}

// A client attacks through the front end configured as README shows: every
// identity it makes up is ignored, and the caller is who nginx checked.
TEST_F(GxpolicydBehindNginx, IdentitiesAClientMakesUpAreNeverBelieved) {
  startExampleBehindNginx();
  if (HasFatalFailure()) return;
  std::string const webteam = "de8e7932-ba1b-4320-aa6d-c21e87ba5b4f", admins = "c2690c66-6475-40b3-8396-5ba35cc221a8";
  std::string const bobUuid = "4fcf4a95-9260-43cb-8214-8e440bd49e8a", erinUuid = "3cebf0fc-085a-404a-a4cb-ada86ae91a85";

  // bob may write the blog; an unauthenticated caller may not (401). On the
  // open location a made-up identity of any kind stays unauthenticated; a
  // request let through would reach the file server, which answers 405.
  ASSERT_EQ(page("/blog/hello.html", login("bob"), "POST").status, 401) << "the blog is open: nobody logs in there";
  struct Forged {
    char const* what;
    std::vector<std::string> options;
  } const onTheBlog[] = {
      {"bob with a wrong password", {"-u", "bob:wrong-password"}},
      {"a user header", {"-H", "X-Remote-User: bob"}},
      {"a uuid with group names", {"-H", "X-Remote-Uuid: " + bobUuid, "-H", "X-Remote-Groups: webteam,admins"}},
      {"a uuid with group uuids", {"-H", "X-Remote-Uuid: " + bobUuid, "-H", "X-Remote-Groups: " + webteam}},
      {"repeated user headers", {"-H", "X-Remote-User: bob", "-H", "X-Remote-User: alice"}},
      {"a forged secret", {"-H", "X-Gx-Front-Secret: guess", "-H", "X-Remote-User: bob"}},
      {"a forged original URI", {"-H", "X-Original-URI: /docs/guide.html", "-H", "X-Original-Method: GET"}},
  };
  for (Forged const& f : onTheBlog) {
    SCOPED_TRACE(f.what);
    EXPECT_EQ(page("/blog/hello.html", f.options, "POST").status, 401);
  }
  // Where nginx checks the password, the caller is the one it checked,
  // whatever uuid, groups or level the client adds.
  EXPECT_EQ(page("/admin/users.html", login("dave", {"-H", "X-Remote-Uuid: " + erinUuid, "-H", "X-Remote-Groups: admins," + admins}))
                .status,
            403);
  EXPECT_EQ(page("/admin/users.html", {"-u", "erin:wrong-password"}).status, 401);
  Reply level = page("/admin/users.html", login("erin", {"-H", "X-Remote-Auth-Level: 2"}));
  EXPECT_EQ(level.status, 401);
  EXPECT_EQ(level.headers["x-gx-auth-level-required"], "2");
  EXPECT_EQ(page("/admin/users.html", login("erin", certificate("mallory"))).status, 400)
      << "nginx refuses a certificate the client CA did not sign";
  // Paths that some back ends read as ".." are refused, on the open location
  // too: gxpolicyd answers the sub-request 400, which nginx serves as 500.
  for (char const* path : {"/blog/..;/admin/users.html", "/blog/..%3b/admin/users.html", "/blog/%252e%252e%252fadmin"})
    EXPECT_EQ(page(path, login("bob")).status, 500) << path;

  // Straight to gxpolicyd, without the front end's secret or with a wrong
  // one, nothing is believed.
  std::string const claim = "X-Original-URI: /admin/users.html\r\nX-Original-Method: GET\r\nX-Remote-User: erin\r\n"
                            "X-Remote-Auth-Level: 2\r\n";
  EXPECT_EQ(toDaemon("GET", "/v1/auth", "", claim).status, 400);
  EXPECT_EQ(toDaemon("GET", "/v1/auth", "", claim + "X-Gx-Front-Secret: " + std::string(64, '0') + "\r\n").status, 403);
}

TEST_F(GxpolicydBehindNginx, PolicyChangeInTheMasterReachesTheAnswersOnSighup) {
  // At first, documentation is for the web team and auditors only.
  json doc = json::parse(readFile(kExamples + "web.json"));
  for (json& entry : doc["acls"]["web-docs"]["entries"])
    if (entry["type"] == "any-other" || entry["type"] == "unauthenticated") entry["actions"] = "T";
  importIntoMaster(doc.dump());
  ASSERT_TRUE(startDaemon({"--front-secret-file", makeFrontSecret()})) << readFile(dir_.file("gxpolicyd.log"));
  ASSERT_TRUE(startNginx()) << readFile(dir_.file("nginx-error.log"));
  ASSERT_EQ(page("/docs/guide.html", login("dave")).status, 403);

  // Everybody may read it now.
  unsigned long sequence = importIntoMaster(readFile(kExamples + "web.json"));
  ASSERT_EQ(::kill(daemon_.pid(), SIGHUP), 0);
  int status = 0;
  for (auto give = Clock::now() + std::chrono::seconds(10); status != 200 && Clock::now() < give;) {
    status = page("/docs/guide.html", login("dave")).status;
    if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(status, 200) << readFile(dir_.file("gxpolicyd.log"));
  // Answers follow the reopened store at once; the rebuild is counted a
  // moment later.
  char const* const rebuilt = R"(gxpolicyd_replica_rebuilds_total{result="ok"})";
  std::string m = metricsPage();
  for (auto give = Clock::now() + std::chrono::seconds(10); metric(m, rebuilt) == 0 && Clock::now() < give;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m = metricsPage();
  }
  EXPECT_EQ(metric(m, rebuilt), 1) << m;
  EXPECT_EQ(metric(m, R"(gxpolicyd_replica_rebuilds_total{result="failed"})"), 0);
  EXPECT_EQ(metric(m, "gxpolicyd_replica_sequence"), static_cast<double>(sequence));
  EXPECT_EQ(toDaemon("GET", "/readyz").body, "ready: sequence " + std::to_string(sequence) + "\n");
}

TEST_F(GxpolicydWithoutNginx, BadRequestsGetTheirStatusAndTheDaemonGoesOn) {
  importIntoMaster(readFile(kExamples + "web.json"));
  std::string secret = makeFrontSecret();
  ASSERT_TRUE(startDaemon({"--max-body", "8192", "--front-secret-file", secret})) << readFile(dir_.file("gxpolicyd.log"));
  std::string const front = "X-Gx-Front-Secret: " + readFile(secret).substr(0, 64) + "\r\n";
  std::string chunked = "POST /v1/check HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                        "Connection: close\r\n\r\n";
  for (int i = 0; i < 12; ++i) chunked += "3e8\r\n" + std::string(1000, ' ') + "\r\n";
  chunked += "0\r\n\r\n";
  auto post = [](char const* path, std::string const& body) { return httpRequest("POST", path, "", body); };
  auto auth = [&front](std::string const& headers) { return httpRequest("GET", "/v1/auth", front + headers); };
  struct Case {
    char const* what;
    std::string request;
    int status;
    char const* field;  // the "field" of the answer; "" when it names none
  } const cases[] = {
      {"not UTF-8", post("/v1/check", "{\"object\": \"/web/\xff\", \"actions\": \"r\"}"), 400, ""},
      {"announced body over the cap", post("/v1/check", std::string(10000, ' ')), 413, ""},
      {"chunked body over the cap", chunked, 413, ""},
      {"unknown path", httpRequest("GET", "/v2/check"), 404, ""},
      {"GET of a POST endpoint", httpRequest("GET", "/v1/check"), 405, ""},
      {"auth without the front end's headers", auth(""), 400, ""},
      {"auth with a bad address", auth("X-Original-URI: /blog\r\nX-Original-Method: GET\r\nX-Real-IP: 300.1.2.3\r\n"),
       400, "X-Real-IP"},
      {"auth with a bad path", auth("X-Original-URI: /a/../b\r\nX-Original-Method: GET\r\n"), 400, "X-Original-URI"},
      {"auth with a path parameter", auth("X-Original-URI: /blog/..;/admin\r\nX-Original-Method: GET\r\n"), 400,
       "X-Original-URI"},
      {"auth with a repeated user",
       auth("X-Original-URI: /blog\r\nX-Original-Method: GET\r\nX-Remote-User: dave\r\nX-Remote-User: alice\r\n"), 400,
       "X-Remote-User"},
      {"auth with a user repeated in another letter case",
       auth("X-Original-URI: /blog\r\nX-Original-Method: GET\r\nX-Remote-User: dave\r\nx-REMOTE-user: alice\r\n"), 400,
       "X-Remote-User"},
      {"auth with a repeated URI",
       auth("X-Original-URI: /blog\r\nX-Original-URI: /admin\r\nX-Original-Method: GET\r\n"), 400, "X-Original-URI"},
      {"auth with the secret twice", auth(front + "X-Original-URI: /blog\r\nX-Original-Method: GET\r\n"), 400,
       "X-Gx-Front-Secret"},
      {"a number out of range", post("/v1/check", R"({"object": "/web", "actions": "r", "ip": 1e400})"), 400, "ip"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    Reply r = requestOnce(daemonPort_, c.request);
    EXPECT_EQ(r.status, c.status) << r.body;
    if (c.status == 403) {
      EXPECT_NE(r.headers["x-gx-reason"], "");
    } else {  // the refusals explain themselves
      json body = json::parse(r.body, nullptr, false);
      EXPECT_TRUE(body.is_object() && body.contains("error")) << r.body;
      EXPECT_EQ(body.is_object() ? body.value("field", "") : "", c.field) << r.body;
    }
    ASSERT_TRUE(daemonAlive()) << readFile(dir_.file("gxpolicyd.log"));
    ASSERT_EQ(toDaemon("GET", "/healthz").status, 200);
  }
}

TEST_F(GxpolicydWithoutNginx, TenThousandKeepAliveConnectionsAreAllAnswered) {
  constexpr std::size_t kConnections = 10000;
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < kConnections + 100)
    GTEST_SKIP() << "needs " << kConnections + 100 << " descriptors; the hard limit is " << lim.rlim_max;
  importIntoMaster(readFile(kExamples + "web.json"));
  std::string secret = makeFrontSecret();
  // The first connections wait idle while the others are opened and
  // answered, which on a busy machine can take about a minute: the idle
  // timeout (60 s by default) must not close them before they are asked
  // again below.
  ASSERT_TRUE(startDaemon({"--connections", "12000", "--front-secret-file", secret, "--idle-timeout", "600"}))
      << readFile(dir_.file("gxpolicyd.log"));
  std::string const front = "X-Gx-Front-Secret: " + readFile(secret).substr(0, 64) + "\r\n";

  // Granted, denied and unauthenticated in turn: 200, 403, 401.
  auto request = [&front](std::size_t i) {
    std::string h = i % 3 == 0 ? "X-Original-URI: /docs/guide.html\r\nX-Remote-User: alice\r\n"
                                : i % 3 == 1 ? "X-Original-URI: /admin/users.html\r\nX-Remote-User: dave\r\n"
                                             : "X-Original-URI: /admin/users.html\r\n";
    return httpRequest("GET", "/v1/auth", h + front + "X-Original-Method: GET\r\nX-Real-IP: 10.0.0.1\r\n", "", true);
  };
  int const expected[] = {200, 403, 401};
  struct Conn {
    Socket s;
    bool sent = false;
    std::string in;
    Reply reply;
  };
  std::vector<Conn> conns;
  conns.reserve(kConnections);
  Socket ep(::epoll_create1(EPOLL_CLOEXEC));
  sockaddr_in a = loopback(daemonPort_);
  // New connections are opened while fewer than 1000 wait for their answer,
  // so the daemon's listen backlog never overflows; the deadline only ends
  // a hang.
  std::size_t answered = 0, failed = 0;
  std::vector<epoll_event> events(512);
  for (auto give = Clock::now() + std::chrono::seconds(120); answered + failed < kConnections && Clock::now() < give;) {
    while (conns.size() < kConnections && conns.size() - answered - failed < 1000) {
      Conn& c = conns.emplace_back(Conn{Socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))});
      ASSERT_GE(c.s.fd, 0) << "socket " << conns.size() << ": " << std::strerror(errno);
      int rc = ::connect(c.s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << "connect " << conns.size() << ": " << std::strerror(errno);
      epoll_event ev{EPOLLOUT | EPOLLIN, {.u64 = conns.size() - 1}};
      ASSERT_EQ(::epoll_ctl(ep.fd, EPOLL_CTL_ADD, c.s.fd, &ev), 0);
    }
    int n = ::epoll_wait(ep.fd, events.data(), static_cast<int>(events.size()), 1000);
    for (int k = 0; k < n; ++k) {
      std::size_t i = events[k].data.u64;
      Conn& c = conns[i];
      int soError = 0;
      socklen_t len = sizeof soError;
      bool done = ::getsockopt(c.s.fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0;
      if (!done && !c.sent) {
        std::string r = request(i);
        done = ::send(c.s.fd, r.data(), r.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(r.size());
        c.sent = true;
        epoll_event ev{EPOLLIN, {.u64 = i}};
        ::epoll_ctl(ep.fd, EPOLL_CTL_MOD, c.s.fd, &ev);
      } else if (!done) {
        char buf[4096];
        ssize_t got;
        while ((got = ::recv(c.s.fd, buf, sizeof buf, 0)) > 0) c.in.append(buf, static_cast<std::size_t>(got));
        done = parseReply(c.in, c.reply) || got == 0 || errno != EAGAIN;
      }
      if (done) {
        ::epoll_ctl(ep.fd, EPOLL_CTL_DEL, c.s.fd, nullptr);  // the connection stays open
        c.reply.status != 0 ? ++answered : ++failed;
      }
    }
  }
  ASSERT_EQ(answered, kConnections) << failed << " failed; " << readFile(dir_.file("gxpolicyd.log"));
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kConnections; ++i)
    wrong += conns[i].reply.status != expected[i % 3] || conns[i].reply.headers["connection"] == "close";
  EXPECT_EQ(wrong, 0u) << "the first three answered " << conns[0].reply.status << " " << conns[1].reply.status
                       << " " << conns[2].reply.status;

  // With all of them still open, some answer a second request, and a fresh
  // connection is served.
  for (std::size_t i = 0; i < kConnections; i += 997) {
    ::fcntl(conns[i].s.fd, F_SETFL, 0);
    EXPECT_EQ(roundTrip(conns[i].s.fd, request(i)).status, expected[i % 3]) << "connection " << i;
  }
  EXPECT_EQ(toDaemon("GET", "/healthz").status, 200);
  std::string m = metricsPage();
  double auth = 0;
  for (char const* code : {"200", "401", "403"})
    auth += metric(m, std::string(R"(gxpolicyd_requests_total{handler="auth",code=")") + code + "\"}");
  EXPECT_GE(auth, static_cast<double>(kConnections)) << m;
  // A graceful stop closes the idle connections and exits 0.
  EXPECT_EQ(stopDaemon(), 0) << readFile(dir_.file("gxpolicyd.log"));
}

// On a unix-domain socket, whoever may open the socket file is the front
// end: the file gets the mode asked for, identity headers are believed
// without a secret, and a file that is not a socket is never replaced.
TEST_F(GxpolicydWithoutNginx, OnAUnixSocketTheSocketFilesModeDecidesWhoIsBelieved) {
  importIntoMaster(readFile(kExamples + "web.json"));
  std::string const sock = dir_.file("auth.sock");
  writeFile(sock, "not a socket");
  daemon_.launch({kDaemon, "--db", dir_.file("replica.db"), "--master", master_, "--registry",
                  kExamples + "web.registry.json", "--prefix", "/web", "--listen", "unix:" + sock},
                 dir_.file("gxpolicyd.log"));
  for (int i = 0; i < 400 && daemonAlive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_FALSE(daemonAlive());
  EXPECT_EQ(readFile(sock), "not a socket");
  std::filesystem::remove(sock);

  daemon_.launch({kDaemon, "--db", dir_.file("replica.db"), "--master", master_, "--registry",
                  kExamples + "web.registry.json", "--prefix", "/web", "--listen", "unix:" + sock, "--socket-mode", "600"},
                 dir_.file("gxpolicyd.log"));
  Reply health;
  for (int i = 0; i < 400 && health.status != 200 && daemonAlive(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    health = gxtest::requestOnUnixSocket(sock, httpRequest("GET", "/healthz"));
  }
  ASSERT_EQ(health.status, 200) << readFile(dir_.file("gxpolicyd.log"));
  struct stat st {};
  ASSERT_EQ(::stat(sock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto ask = [&](char const* user) {
    return gxtest::requestOnUnixSocket(
        sock, httpRequest("GET", "/v1/auth", std::string("X-Original-URI: /docs/guide.html\r\nX-Original-Method: POST\r\n"
                                             "X-Remote-User: ") + user + "\r\n"));
  };
  EXPECT_EQ(ask("bob").status, 200);
  EXPECT_EQ(ask("dave").status, 403);
  EXPECT_EQ(stopDaemon(), 0);
  EXPECT_FALSE(std::filesystem::exists(sock)) << "the socket file is removed at the stop";
}

// Like ssh with its keys: a secret that others may read is no secret.
TEST_F(GxpolicydWithoutNginx, SecretFilesOthersMayReadAreRefusedAtStart) {
  importIntoMaster(readFile(kExamples + "web.json"));
  std::string const loose = dir_.file("loose"), fifo = dir_.file("fifo");
  writeFile(loose, "0123456789abcdef0123456789abcdef\n");
  ::chmod(loose.c_str(), 0640);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (auto const& [option, file] : {std::pair{"--front-secret-file", loose}, {"--token-file", loose},
                                     {"--front-secret-file", fifo}, {"--front-secret-file", dir_.file("missing")}}) {
    SCOPED_TRACE(std::string(option) + " " + file);
    EXPECT_FALSE(startDaemon({option, file}));
    EXPECT_FALSE(daemonAlive());
    EXPECT_NE(readFile(dir_.file("gxpolicyd.log")).find(option), std::string::npos);
  }
  ::chmod(loose.c_str(), 0600);
  EXPECT_TRUE(startDaemon({"--front-secret-file", loose})) << readFile(dir_.file("gxpolicyd.log"));
}

}  // namespace
