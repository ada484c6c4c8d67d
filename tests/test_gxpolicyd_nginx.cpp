// gxpolicyd run as a process, end to end: behind a real, throw-away nginx
// (auth_request to /v1/auth, callers authenticated by basic auth or not at
// all) serving pages of the example web estate (examples/policy), with the
// replica kept from a master database; and straight over HTTP: bad requests
// and ten thousand keep-alive connections (the /metrics counts are pinned in
// process, in test_gxpolicyd.cpp). Every test ends by stopping the daemon
// with SIGTERM, which must exit 0.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
#include "example_policy.h"
#include "http_client.h"
#include "loopback.h"
#include "outside/file_registry.h"
#include "test_support.h"
#include "tools/policy_json.h"

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
#ifdef GXPOLICYD_BINARY
char const* const kDaemon = GXPOLICYD_BINARY;
#else
char const* const kDaemon = nullptr;  // a tree without the tools: the tests skip
#endif

std::string basicAuth(std::string const& userAndPassword) {
  static char const table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string const& in = userAndPassword;
  std::string out = "Authorization: Basic ";
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    for (std::size_t k = 0; k < 4; ++k) out += k <= in.size() - i ? table[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out + "\r\n";
}

// text with every placeholder replaced by its value.
std::string fill(std::string text, std::vector<std::pair<std::string, std::string>> const& values) {
  for (auto const& [key, value] : values)
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  return text;
}

// The value of the sample "name" (with its labels) on a /metrics page; -1 when absent.
double metric(std::string const& page, std::string const& name) {
  std::size_t at = page.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(page.substr(at + name.size() + 2));
}

// Starts binary with args, stdout and stderr appended to log; the child is
// asked to end (SIGTERM) if the test process dies first.
pid_t spawn(std::vector<std::string> const& argv, std::string const& log) {
  std::vector<char*> args;
  for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
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
    if (daemon_ > 0) EXPECT_EQ(stopDaemon(), 0) << readFile(dir_.file("gxpolicyd.log"));
    if (nginx_ > 0) gxtest::stopServer(nginx_);
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
    daemon_ = spawn(argv, dir_.file("gxpolicyd.log"));
    for (auto give = Clock::now() + std::chrono::seconds(30); Clock::now() < give;) {
      if (!daemonAlive()) return false;
      if (requestOnce(daemonPort_, httpRequest("GET", "/healthz")).status == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  bool daemonAlive() {
    int st = 0;
    if (daemon_ > 0 && ::waitpid(daemon_, &st, WNOHANG) == daemon_) daemon_ = -1;
    return daemon_ > 0;
  }
  // Its exit status after SIGTERM (100 + the signal when one ended it; -1
  // when it had not ended 30 s later and was killed).
  int stopDaemon() {
    pid_t pid = std::exchange(daemon_, -1);
    ::kill(pid, SIGTERM);
    for (auto give = Clock::now() + std::chrono::seconds(30); Clock::now() < give;) {
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 100 + WTERMSIG(st);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }

  // Starts nginx in front of the running daemon; true once both servers accept.
  bool startNginx() {
    std::string d = dir_.path().string();
    for (auto const& [page, text] : {std::pair{"docs/guide.html", "the user guide"},
                                     {"blog/hello.html", "a blog post"}, {"admin/users.html", "user administration"}}) {
      std::filesystem::create_directories(std::filesystem::path(d + "/www/" + page).parent_path());
      writeFile(d + "/www/" + page, std::string("<h1>") + text + "</h1>\n");
    }
    writeFile(d + "/htpasswd", "alice:{PLAIN}alice-pw\nbob:{PLAIN}bob-pw\ndave:{PLAIN}dave-pw\nerin:{PLAIN}erin-pw\n");
    membersPort_ = gxtest::freeLoopbackPort();
    publicPort_ = gxtest::freeLoopbackPort();
    // Who the caller is comes from nginx alone: the public server sends no
    // user whatever Authorization header a client makes up.
    std::string const server = R"(
  server {
    listen 127.0.0.1:@PORT@;
    root @DIR@/www;
    location / {
      @AUTH@
      auth_request /_gx;
      auth_request_set $gx_level $upstream_http_x_gx_auth_level_required;
      add_header X-Gx-Auth-Level-Required $gx_level always;
    }
    location = /_gx {
      internal;
      proxy_pass http://127.0.0.1:@GX@/v1/auth;
      proxy_pass_request_body off;
      proxy_set_header Content-Length "";
      proxy_set_header X-Original-URI $request_uri;
      proxy_set_header X-Original-Method $request_method;
      proxy_set_header X-Real-IP $remote_addr;
      proxy_set_header X-Remote-User @USER@;
    }
  })";
    std::string conf = "daemon off;\nmaster_process off;\nworker_processes 1;\npid @DIR@/nginx.pid;\n"
                       "error_log @DIR@/nginx-error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n";
    for (char const* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      conf += std::string("  ") + t + "_temp_path @DIR@/" + t + ";\n";
    conf += fill(server, {{"@PORT@", std::to_string(membersPort_)}, {"@USER@", "$remote_user"},
                          {"@AUTH@", "auth_basic members; auth_basic_user_file @DIR@/htpasswd;"}});
    conf += fill(server, {{"@PORT@", std::to_string(publicPort_)}, {"@USER@", "\"\""}, {"@AUTH@", ""}}) + "\n}\n";
    writeFile(d + "/nginx.conf", fill(conf, {{"@DIR@", d}, {"@GX@", std::to_string(daemonPort_)}}));
    nginx_ = spawn({"/usr/sbin/nginx", "-p", d + "/", "-c", d + "/nginx.conf", "-e", d + "/nginx-error.log"},
                   d + "/nginx-error.log");
    for (int i = 0; i < 400 && gxtest::acceptsConnections(publicPort_) == false; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return gxtest::acceptsConnections(membersPort_) && gxtest::acceptsConnections(publicPort_);
  }

  // A page through nginx: as user (basic auth, password "<user>-pw") or, with
  // user empty, through the public server.
  Reply page(std::string const& path, std::string const& user = "") {
    if (user.empty()) return requestOnce(publicPort_, httpRequest("GET", path));
    return requestOnce(membersPort_, httpRequest("GET", path, basicAuth(user + ":" + user + "-pw")));
  }
  Reply toDaemon(std::string const& method, std::string const& path, std::string const& body = "",
                 std::string const& headers = "") {
    return requestOnce(daemonPort_, httpRequest(method, path, headers, body));
  }
  std::string metricsPage() { return toDaemon("GET", "/metrics").body; }

  gxtest::TempDir dir_;
  std::unique_ptr<gxreg::FileRegistry> registry_;
  std::string master_;
  pid_t daemon_ = -1, nginx_ = -1;
  int daemonPort_ = -1, membersPort_ = -1, publicPort_ = -1;
};

using GxpolicydBehindNginx = GxpolicydFixture;
using GxpolicydWithoutNginx = GxpolicydFixture;

TEST_F(GxpolicydBehindNginx, PagesAreServedOnlyToCallersThePolicyGrants) {
  // Without the office-hours rule, so that no answer could depend on the clock.
  json doc = json::parse(readFile(kExamples + "web.json"));
  doc["objects"]["/web/admin"].erase("rule");
  importIntoMaster(doc.dump());
  ASSERT_TRUE(startDaemon()) << readFile(dir_.file("gxpolicyd.log"));
  ASSERT_TRUE(startNginx()) << readFile(dir_.file("nginx-error.log"));

  Reply guide = page("/docs/guide.html", "alice");
  EXPECT_EQ(guide.status, 200);
  EXPECT_EQ(guide.body, "<h1>the user guide</h1>\n");
  EXPECT_EQ(page("/blog/hello.html", "bob").status, 200);
  // dave has no entry on the administration pages: authenticated, denied.
  EXPECT_EQ(page("/admin/users.html", "dave").status, 403);
  // No unauthenticated entry there either: authenticate, at the level the
  // POP asks from outside the internal networks.
  Reply anonymous = page("/admin/users.html");
  EXPECT_EQ(anonymous.status, 401);
  EXPECT_EQ(anonymous.headers["x-gx-auth-level-required"], "2");
  // erin may, but the POP asks for level 2 where a password gives 1: step
  // up, and the client is told the level.
  Reply stepUp = page("/admin/users.html", "erin");
  EXPECT_EQ(stepUp.status, 401);
  EXPECT_EQ(stepUp.headers["x-gx-auth-level-required"], "2");
  // The blog grants unauthenticated callers read, even with made-up credentials.
  Reply blog = page("/blog/hello.html");
  EXPECT_EQ(blog.status, 200);
  EXPECT_EQ(blog.body, "<h1>a blog post</h1>\n");
  EXPECT_EQ(requestOnce(publicPort_, httpRequest("GET", "/admin/users.html", basicAuth("erin:erin-pw"))).status, 401);

  // Every answer came from gxpolicyd's sub-request.
  std::string m = metricsPage();
  EXPECT_EQ(metric(m, R"(gxpolicyd_requests_total{handler="auth",code="200"})"), 3) << m;
  EXPECT_EQ(metric(m, R"(gxpolicyd_requests_total{handler="auth",code="403"})"), 1);
  EXPECT_EQ(metric(m, R"(gxpolicyd_requests_total{handler="auth",code="401"})"), 3);
}

TEST_F(GxpolicydBehindNginx, PolicyChangeInTheMasterReachesTheAnswersOnSighup) {
  // At first, documentation is for the web team and auditors only.
  json doc = json::parse(readFile(kExamples + "web.json"));
  for (json& entry : doc["acls"]["web-docs"]["entries"])
    if (entry["type"] == "any-other" || entry["type"] == "unauthenticated") entry["actions"] = "T";
  importIntoMaster(doc.dump());
  ASSERT_TRUE(startDaemon()) << readFile(dir_.file("gxpolicyd.log"));
  ASSERT_TRUE(startNginx()) << readFile(dir_.file("nginx-error.log"));
  ASSERT_EQ(page("/docs/guide.html", "dave").status, 403);

  // Everybody may read it now.
  unsigned long sequence = importIntoMaster(readFile(kExamples + "web.json"));
  ASSERT_EQ(::kill(daemon_, SIGHUP), 0);
  int status = 0;
  for (auto give = Clock::now() + std::chrono::seconds(10); status != 200 && Clock::now() < give;) {
    status = page("/docs/guide.html", "dave").status;
    if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(status, 200) << readFile(dir_.file("gxpolicyd.log"));
  EXPECT_EQ(page("/docs/guide.html").status, 200);
  std::string m = metricsPage();
  EXPECT_EQ(metric(m, R"(gxpolicyd_replica_rebuilds_total{result="ok"})"), 1) << m;
  EXPECT_EQ(metric(m, R"(gxpolicyd_replica_rebuilds_total{result="failed"})"), 0);
  EXPECT_EQ(metric(m, "gxpolicyd_replica_sequence"), static_cast<double>(sequence));
  EXPECT_EQ(toDaemon("GET", "/readyz").body, "ready: sequence " + std::to_string(sequence) + "\n");
}

TEST_F(GxpolicydWithoutNginx, BadRequestsGetTheirStatusAndTheDaemonGoesOn) {
  importIntoMaster(readFile(kExamples + "web.json"));
  ASSERT_TRUE(startDaemon({"--max-body", "8192"})) << readFile(dir_.file("gxpolicyd.log"));
  std::string chunked = "POST /v1/check HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                        "Connection: close\r\n\r\n";
  for (int i = 0; i < 12; ++i) chunked += "3e8\r\n" + std::string(1000, ' ') + "\r\n";
  chunked += "0\r\n\r\n";
  auto post = [](char const* path, std::string const& body) { return httpRequest("POST", path, "", body); };
  auto auth = [](std::string const& headers) { return httpRequest("GET", "/v1/auth", headers); };
  struct Case {
    char const* what;
    std::string request;
    int status;
    char const* field;  // the "field" of the answer; "" when it names none
  } const cases[] = {
      {"malformed JSON", post("/v1/check", R"({"object": "/web", "actions": )"), 400, ""},
      {"not UTF-8", post("/v1/check", "{\"object\": \"/web/\xff\", \"actions\": \"r\"}"), 400, ""},
      {"batch with a bad check",
       post("/v1/check/batch", R"({"checks": [{"object": "/web", "actions": "r"}, {"object": "/web"}]})"), 400,
       "checks[1].actions"},
      {"deep nesting", post("/v1/check", std::string(3000, '[') + std::string(3000, ']')), 400, ""},
      {"announced body over the cap", post("/v1/check", std::string(10000, ' ')), 413, ""},
      {"chunked body over the cap", chunked, 413, ""},
      {"unknown path", httpRequest("GET", "/v2/check"), 404, ""},
      {"GET of a POST endpoint", httpRequest("GET", "/v1/check"), 405, ""},
      {"auth without the front end's headers", auth(""), 400, ""},
      {"auth with a bad address", auth("X-Original-URI: /blog\r\nX-Original-Method: GET\r\nX-Real-IP: 300.1.2.3\r\n"),
       400, "X-Real-IP"},
      {"auth with a bad path", auth("X-Original-URI: /a/../b\r\nX-Original-Method: GET\r\n"), 403, ""},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    Reply r = requestOnce(daemonPort_, c.request);
    EXPECT_EQ(r.status, c.status) << r.body;
    if (c.status != 403) {  // the refusals explain themselves
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
  ASSERT_TRUE(startDaemon({"--connections", "12000"})) << readFile(dir_.file("gxpolicyd.log"));

  // Granted, denied and unauthenticated in turn: 200, 403, 401.
  auto request = [](std::size_t i) {
    std::string h = i % 3 == 0 ? "X-Original-URI: /docs/guide.html\r\nX-Remote-User: alice\r\n"
                                : i % 3 == 1 ? "X-Original-URI: /admin/users.html\r\nX-Remote-User: dave\r\n"
                                             : "X-Original-URI: /admin/users.html\r\n";
    return httpRequest("GET", "/v1/auth", h + "X-Original-Method: GET\r\nX-Real-IP: 10.0.0.1\r\n", "", true);
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


}  // namespace
