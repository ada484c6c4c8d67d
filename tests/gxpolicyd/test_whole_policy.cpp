// One table of hand-worked questions about a policy whose every condition
// is in use -- access windows (across midnight, on both daylight-saving
// change days in Europe/Berlin), authentication level, protection, rules
// (denial, missing attribute, error, endless loop), warning mode over each
// cause, and these combined -- asked four ways: of the library, of
// `gxpolicy check`, of gxpolicyd's /v1/check and of its /v1/auth (the
// daemon as a process, the front end proving itself with its secret).
// All four must give the table's answer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/GxAddress.h"
#include "GxCore/db/daCachedStore.h"
#include "daemon_process.h"
#include "example_policy.h"
#include "http_client.h"
#include "loopback.h"
#include "test_support.h"
#include "tools/common/decide.h"

namespace {

using json = nlohmann::json;

#if defined(GXPOLICYD_BINARY) && defined(GXPOLICY_BINARY)
char const* const kDaemon = GXPOLICYD_BINARY;
char const* const kGxpolicy = GXPOLICY_BINARY;
#else
char const* const kDaemon = nullptr;  // a tree without the tools: the test skips
char const* const kGxpolicy = nullptr;
#endif

// Everything under /t has the ACL "open" (any-other Trm, unauthenticated
// Tr); outside /t no ACL is in force. December in Berlin is UTC+1.
char const* const kPolicy = R"P({
  "acls": {"open": {"entries": [{"type": "any-other", "actions": "Trm"}, {"type": "unauthenticated", "actions": "Tr"}]}},
  "pops": {
    "weekdays": {"access": {"days": ["mon","tue","wed","thu","fri"], "from": "08:00", "to": "18:00", "zone": "UTC"}},
    "friday-night": {"access": {"days": ["fri"], "from": "22:00", "to": "06:00", "zone": "Europe/Berlin"}},
    "two-to-three": {"access": {"from": "02:00", "to": "03:00", "zone": "Europe/Berlin"}},
    "step-up": {"default_level": 2, "ipauth": [{"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 0}]},
    "integrity": {"qop": 1},
    "privacy": {"qop": 2},
    "beyond": {"qop": 3},
    "trial": {"warning": true, "default_level": 2, "qop": 2,
              "access": {"days": ["mon","tue","wed","thu","fri"], "from": "08:00", "to": "18:00", "zone": "UTC"}},
    "all": {"default_level": 2, "ipauth": [{"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 0}], "qop": 1,
            "access": {"days": ["mon","tue","wed","thu","fri"], "from": "08:00", "to": "18:00", "zone": "UTC"}}
  },
  "rules": {
    "dept": {"text": "attr.department == 'web'", "reason": "web department only", "adilist": ["department"]},
    "boom": {"text": "error('no badge')"},
    "loop": {"text": "while true do end return true"},
    "text": {"text": "'true'"}
  },
  "objects": {
    "/t": {"acl": "open"},
    "/t/weekdays": {"pop": "weekdays"}, "/t/friday-night": {"pop": "friday-night"}, "/t/dst": {"pop": "two-to-three"},
    "/t/step-up": {"pop": "step-up"}, "/t/integrity": {"pop": "integrity"}, "/t/privacy": {"pop": "privacy"},
    "/t/beyond": {"pop": "beyond"},
    "/t/dept": {"rule": "dept"}, "/t/boom": {"rule": "boom"}, "/t/loop": {"rule": "loop"}, "/t/text": {"rule": "text"},
    "/t/trial": {"pop": "trial"}, "/t/trial/dept": {"rule": "dept"}, "/t/trial/boom": {"rule": "boom"},
    "/t/all": {"pop": "all", "rule": "dept"}
  }
})P";

struct Question {
  char const* object;
  char const* user;  // "" unauthenticated
  char const* actions;
  char const* ip;          // "" none
  char const* time;        // RFC 3339
  int level;               // -1: the default
  char const* protection;  // "" none
  char const* department;  // null: not given
  bool granted;
  char const* cause;  // daDecisionCauseText
  char const* would;  // warning mode: the cause it would have had; "" none
};

char const* const MON10 = "2026-12-07T10:00:00Z";  // a Monday
char const* const SUN10 = "2026-12-06T10:00:00Z";

Question const kTable[] = {
    // An access window, Monday to Friday 08:00-18:00 UTC; [from, to).
    {"/t/weekdays", "dave", "r", "", MON10, -1, "", nullptr, true, "granted", ""},
    {"/t/weekdays", "dave", "r", "", SUN10, -1, "", nullptr, false, "outside-window", ""},
    {"/t/weekdays", "dave", "r", "", "2026-12-07T17:59:59Z", -1, "", nullptr, true, "granted", ""},
    {"/t/weekdays", "dave", "r", "", "2026-12-07T18:00:00Z", -1, "", nullptr, false, "outside-window", ""},
    // Friday 22:00-06:00 Berlin: the day is the one the window opened.
    {"/t/friday-night", "dave", "r", "", "2026-12-05T02:00:00Z", -1, "", nullptr, true, "granted", ""},
    {"/t/friday-night", "dave", "r", "", "2026-12-05T05:00:00Z", -1, "", nullptr, false, "outside-window", ""},
    // 02:00-03:00 Berlin: never open the day clocks skip that hour, open
    // twice the day it repeats (the boundaries of windows are pinned in
    // the library's own table, test_conditions).
    {"/t/dst", "dave", "r", "", "2026-03-29T01:00:00Z", -1, "", nullptr, false, "outside-window", ""},
    {"/t/dst", "dave", "r", "", "2026-10-25T00:30:00Z", -1, "", nullptr, true, "granted", ""},
    {"/t/dst", "dave", "r", "", "2026-10-25T01:30:00Z", -1, "", nullptr, true, "granted", ""},
    // Level 2 unless from 10/8; a password is level 1, no login 0.
    {"/t/step-up", "dave", "r", "", MON10, -1, "", nullptr, false, "auth-level", ""},
    {"/t/step-up", "dave", "r", "", MON10, 2, "", nullptr, true, "granted", ""},
    {"/t/step-up", "dave", "r", "10.1.2.3", MON10, -1, "", nullptr, true, "granted", ""},
    {"/t/step-up", "dave", "r", "203.0.113.9", MON10, 1, "", nullptr, false, "auth-level", ""},
    {"/t/step-up", "", "r", "10.1.2.3", MON10, -1, "", nullptr, true, "granted", ""},
    {"/t/step-up", "", "r", "", MON10, -1, "", nullptr, false, "auth-level", ""},
    // Protection: at least integrity, at least privacy, more than there is.
    {"/t/integrity", "dave", "r", "", MON10, -1, "", nullptr, false, "protection", ""},
    {"/t/integrity", "dave", "r", "", MON10, -1, "integrity", nullptr, true, "granted", ""},
    {"/t/privacy", "dave", "r", "", MON10, -1, "integrity", nullptr, false, "protection", ""},
    {"/t/beyond", "dave", "r", "", MON10, -1, "privacy", nullptr, false, "protection", ""},
    // Rules: an attribute compared, missing, an error, a loop, a string.
    {"/t/dept", "dave", "r", "", MON10, -1, "", nullptr, false, "rule-missing-attribute", ""},
    {"/t/dept", "dave", "r", "", MON10, -1, "", "web", true, "granted", ""},
    {"/t/dept", "dave", "r", "", MON10, -1, "", "sales", false, "rule-denied", ""},
    {"/t/boom", "dave", "r", "", MON10, -1, "", nullptr, false, "rule-error", ""},
    {"/t/loop", "dave", "r", "", MON10, -1, "", nullptr, false, "rule-limit", ""},
    {"/t/text", "dave", "r", "", MON10, -1, "", nullptr, false, "rule-error", ""},
    // The ACL decides first; without one nothing is granted.
    {"/t/dept", "", "m", "", MON10, -1, "", "web", false, "acl-denied", ""},
    {"/t/weekdays", "dave", "d", "", SUN10, -1, "", nullptr, false, "acl-denied", ""},
    {"/u", "dave", "r", "", MON10, -1, "", nullptr, false, "no-acl", ""},
    // Warning mode grants what a condition would deny and says which (the
    // first); never an ACL's denial nor a rule that fails.
    {"/t/trial", "dave", "r", "", MON10, 2, "privacy", nullptr, true, "granted", ""},
    {"/t/trial", "dave", "r", "", SUN10, 2, "privacy", nullptr, true, "granted", "outside-window"},
    {"/t/trial", "dave", "r", "", MON10, 1, "privacy", nullptr, true, "granted", "auth-level"},
    {"/t/trial", "dave", "r", "", MON10, 2, "", nullptr, true, "granted", "protection"},
    {"/t/trial/dept", "dave", "r", "", MON10, 2, "privacy", "sales", true, "granted", "rule-denied"},
    {"/t/trial/dept", "dave", "r", "", MON10, 2, "privacy", nullptr, true, "granted", "rule-missing-attribute"},
    {"/t/trial/boom", "dave", "r", "", MON10, 2, "privacy", nullptr, false, "rule-error", ""},
    {"/t/trial", "dave", "d", "", SUN10, 2, "privacy", nullptr, false, "acl-denied", ""},
    // All of them at once: the first that fails is the cause.
    {"/t/all", "dave", "r", "10.1.2.3", MON10, -1, "integrity", "web", true, "granted", ""},
    {"/t/all", "dave", "r", "203.0.113.9", SUN10, 1, "", "sales", false, "outside-window", ""},
    {"/t/all", "dave", "r", "203.0.113.9", MON10, 1, "", "sales", false, "auth-level", ""},
    {"/t/all", "dave", "r", "10.1.2.3", MON10, -1, "", "sales", false, "protection", ""},
    {"/t/all", "dave", "r", "10.1.2.3", MON10, -1, "integrity", "sales", false, "rule-denied", ""},
    {"/t/all", "dave", "r", "10.1.2.3", "2026-12-07T20:00:00Z", -1, "integrity", "web", false, "outside-window", ""},
};

// What one asker answered.
struct Answer {
  bool granted = false;
  std::string cause, would;
};

std::string describe(Question const& q) {
  std::ostringstream s;
  s << q.object << " " << q.actions << " by " << (*q.user ? q.user : "(unauthenticated)") << " at " << q.time;
  if (*q.ip) s << " from " << q.ip;
  if (q.level >= 0) s << " level " << q.level;
  if (*q.protection) s << " protection " << q.protection;
  if (q.department) s << " department " << q.department;
  return s.str();
}

// Runs argv to its end with stdout into out; the exit status.
int run(std::vector<std::string> argv, std::string const& out) {
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 1);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 100 + WTERMSIG(st);
}

class WholePolicy : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDaemon == nullptr) GTEST_SKIP() << "gxpolicy and gxpolicyd are not built in this tree";
    db_ = dir_.file("policy.db");
    registry_ = dir_.file("policy.db.registry.json");
    std::ofstream(registry_) << gxtest::exampleFile("web.registry.json");
    std::ofstream(dir_.file("policy.json")) << kPolicy;
    ASSERT_EQ(run({kGxpolicy, "create", db_}, dir_.file("create.log")), 0) << gxtest::readFile(dir_.file("create.log"));
    ASSERT_EQ(run({kGxpolicy, "import", db_, dir_.file("policy.json")}, dir_.file("import.log")), 0)
        << gxtest::readFile(dir_.file("import.log"));
    std::string const secretFile = dir_.file("front-secret");
    std::ofstream(secretFile) << kSecret << "\n";
    ::chmod(secretFile.c_str(), 0600);
    port_ = gxtest::freeLoopbackPort();
    ASSERT_TRUE(daemon_.start({kDaemon, "--db", db_, "--registry", registry_, "--listen", "127.0.0.1:" + std::to_string(port_),
                               "--front-secret-file", secretFile, "--attr-header", "department=X-Gx-Attr-Department",
                                "--auth-denial-body"},
                              dir_.file("gxpolicyd.log"), std::chrono::seconds(30), [this] { return gxtest::healthy(port_); }))
        << gxtest::readFile(dir_.file("gxpolicyd.log"));
  }

  Answer library(Question const& q) {
    if (!store_) {
      store_ = std::make_unique<daCachedStore>("Default", db_.c_str(), 1, 0);
      unsigned long st = 0;
      store_->openStore(1, st);
      EXPECT_EQ(st, 0u);
      registryObject_ = gxtest::exampleRegistry();
    }
    gxpolicy::CallerSpec spec;
    spec.form = *q.user ? gxpolicy::CallerSpec::Form::user : gxpolicy::CallerSpec::Form::unauthenticated;
    spec.user = q.user;
    gxpolicy::Caller caller;
    gxpolicy::Problem problem;
    EXPECT_TRUE(gxpolicy::resolveCaller(spec, registryObject_.get(), caller, problem)) << problem.message;
    std::int64_t t = 0;
    std::string why;
    EXPECT_TRUE(gxpolicy::parseRequestTime(q.time, t, why)) << why;
    daAttributes attributes;
    if (q.department) attributes.set("department", std::string(q.department));
    daDecisionContext ctx;
    ctx.timeSeconds = t;
    if (q.level >= 0) ctx.authLevel = q.level;
    if (*q.protection) gxpolicy::parseProtection(q.protection, ctx.protection);
    if (q.department) ctx.attributes = &attributes;
    GxAddress address(*q.ip ? q.ip : "0.0.0.0");
    daDecision d;
    unsigned long st = 0;
    store_->decide(q.object, caller.pa(), q.actions, *q.ip ? &address : nullptr, ctx, d, st);
    EXPECT_EQ(st, 0u);
    return {d.granted(), daDecisionCauseText(d.cause()), d.warning() ? daDecisionCauseText(d.wouldCause()) : ""};
  }

  Answer command(Question const& q) {
    std::vector<std::string> argv = {kGxpolicy, "check", db_, q.object, q.actions, "--time", q.time, "--json"};
    if (*q.user) argv.insert(argv.end(), {"--user", q.user});
    else argv.push_back("--unauthenticated");
    if (*q.ip) argv.insert(argv.end(), {"--ip", q.ip});
    if (q.level >= 0) argv.insert(argv.end(), {"--auth-level", std::to_string(q.level)});
    if (*q.protection) argv.insert(argv.end(), {"--protection", q.protection});
    if (q.department) argv.insert(argv.end(), {"--attr", std::string("department=") + q.department});
    int status = run(argv, dir_.file("check.out"));
    std::string out = gxtest::readFile(dir_.file("check.out"));
    EXPECT_TRUE(status == 0 || status == 1) << out;
    json j = json::parse(out, nullptr, false);
    if (j.is_discarded()) return {};
    EXPECT_EQ(status == 0, j.value("granted", false));
    return {j.value("granted", false), j.value("cause", ""), j.value("would_cause", "")};
  }

  Answer check(Question const& q) {
    json body = {{"object", q.object}, {"actions", q.actions}};
    if (*q.user) body["user"] = q.user;
    if (*q.ip) body["ip"] = q.ip;
    json ctx = {{"time", q.time}};
    if (q.level >= 0) ctx["auth_level"] = q.level;
    if (*q.protection) ctx["protection"] = q.protection;
    if (q.department) ctx["attributes"] = {{"department", q.department}};
    body["context"] = ctx;
    gxtest::Reply r = gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check", "", body.dump()));
    EXPECT_EQ(r.status, 200) << r.body;
    json j = json::parse(r.body, nullptr, false);
    if (j.is_discarded()) return {};
    return {j.value("granted", false), j.value("cause", ""), j.value("would_cause", "")};
  }

  // /v1/auth's answer, read back into the table's terms: 200 granted; 401
  // with the level required (step-up) or, for an unauthenticated caller
  // the ACL turns away, log in; 403 with the cause.
  Answer auth(Question const& q) {
    std::string method = std::string(q.actions) == "r" ? "GET" : std::string(q.actions) == "m" ? "POST" : "DELETE";
    std::string h = "X-Original-URI: " + std::string(q.object) + "\r\nX-Original-Method: " + method + "\r\n" +
                    "X-Gx-Front-Secret: " + kSecret + "\r\nX-Gx-Time: " + q.time + "\r\n";
    if (*q.user) h += "X-Remote-User: " + std::string(q.user) + "\r\n";
    if (*q.ip) h += "X-Real-IP: " + std::string(q.ip) + "\r\n";
    if (q.level >= 0) h += "X-Remote-Auth-Level: " + std::to_string(q.level) + "\r\n";
    if (*q.protection) h += "X-Gx-Protection: " + std::string(q.protection) + "\r\n";
    if (q.department) h += "X-Gx-Attr-Department: " + std::string(q.department) + "\r\n";
    gxtest::Reply r = gxtest::requestOnce(port_, gxtest::httpRequest("GET", "/v1/auth", h));
    Answer a;
    a.granted = r.status == 200;
    a.cause = a.granted ? "granted" : r.headers["x-gx-cause"];
    a.would = r.headers.count("x-gx-warning") ? r.headers["x-gx-warning"] : "";
    std::string cause = q.cause;
    bool const logIn = !*q.user && (cause == "acl-denied" || cause == "no-acl");
    int const want = q.granted ? 200 : cause == "auth-level" || logIn ? 401 : 403;
    EXPECT_EQ(r.status, want) << r.body;
    if (cause == "auth-level") EXPECT_NE(r.headers["x-gx-auth-level-required"], "");
    if (want == 403) EXPECT_EQ(r.body.rfind(cause + ": ", 0), 0u) << r.body;
    return a;
  }

  static constexpr char const* kSecret = "a-front-secret-of-some-length-0123456789";
  gxtest::TempDir dir_;
  std::string db_, registry_;
  int port_ = -1;
  gxtest::DaemonProcess daemon_;
  std::unique_ptr<daCachedStore> store_;
  std::unique_ptr<gxreg::FileRegistry> registryObject_;
};

TEST_F(WholePolicy, LibraryCommandCheckAndAuthGiveTheHandWorkedAnswers) {
  ASSERT_GE(std::size(kTable), 40u);
  for (Question const& q : kTable) {
    SCOPED_TRACE(describe(q));
    Answer const want{q.granted, q.cause, q.would};
    for (auto [who, got] : {std::pair{"library", library(q)}, std::pair{"gxpolicy check", command(q)},
                            std::pair{"/v1/check", check(q)}, std::pair{"/v1/auth", auth(q)}}) {
      EXPECT_EQ(got.granted, want.granted) << who;
      EXPECT_EQ(got.cause, want.cause) << who;
      EXPECT_EQ(got.would, want.would) << who;
    }
  }
}

}  // namespace
