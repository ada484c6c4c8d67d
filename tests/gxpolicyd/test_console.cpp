// The web console's sessions (how long they live, what a change needs)
// and its sign-in with a client certificate, on the service itself with an
// injected clock; the pages are driven in a browser by tests/console.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/gxpolicyd/admin_auth.h"
#include "tools/gxpolicyd/console.h"

namespace {

using gxpolicyd::AdminAuthenticator;
using gxpolicyd::AdminAuthOptions;
using gxpolicyd::ConsoleOptions;
using gxpolicyd::ConsoleService;
using gxpolicyd::Request;
using gxpolicyd::Response;
using namespace std::chrono_literals;

// A request as the transport hands it over.
struct Ask {
  std::string method = "GET", path, body, clientName;
  std::vector<std::pair<std::string, std::string>> headers;

  template <typename F>
  auto with(F&& f) const {
    std::vector<gxpolicyd::HeaderField> h;
    for (auto const& [n, v] : headers) h.push_back({n, v.c_str()});
    Request r;
    r.method = method;
    r.path = path;
    r.body = body;
    r.headers = h;
    r.clientName = clientName;
    return f(r);
  }
};

AdminAuthOptions options(bool certificates) {
  AdminAuthOptions o;
  o.checkPassword = [](std::string const& user, std::string const& password) -> unsigned long {
    return user == "erin" && password == "secret" ? 0 : 1;
  };
  o.clientCertificates = certificates;
  return o;
}

class Console : public ::testing::Test {
 protected:
  explicit Console(bool certificates = false) : auth_(options(certificates)), console_(consoleOptions(), auth_) {}

  static ConsoleOptions consoleOptions() {
    ConsoleOptions o;
    o.dir = GXCORE_SOURCE_DIR "/tools/gxpolicyd/console";
    return o;
  }

  Response call(Ask const& ask) {
    return ask.with([this](Request const& r) { return console_.handle(r); });
  }

  // Signs in with body; the cookie header of the session ("" on failure)
  // and its CSRF token.
  std::pair<std::string, std::string> signIn(std::string body, std::string clientName = "") {
    Response r = call({"POST", "/console/login", std::move(body), std::move(clientName), {}});
    if (r.status != 200) return {};
    for (auto const& [name, value] : r.headers)
      if (name == "Set-Cookie") return {value.substr(0, value.find(';')), nlohmann::json::parse(r.body)["csrf"]};
    return {};
  }

  std::optional<std::string> who(Ask const& ask, ConsoleService::Clock::time_point now) {
    return ask.with([&](Request const& r) { return console_.sessionOf(r, now); });
  }

  AdminAuthenticator auth_;
  ConsoleService console_;
};

TEST_F(Console, SessionEndsAfterFifteenMinutesWithoutARequest) {
  auto start = ConsoleService::Clock::now();
  auto [cookie, csrf] = signIn(R"({"user": "erin", "password": "secret"})");
  ASSERT_FALSE(cookie.empty());
  Ask read{"GET", "/admin/v1/sequence", "", "", {{"Cookie", cookie}}};
  EXPECT_EQ(who(read, start + 14min), "erin");
  EXPECT_EQ(who(read, start + 28min), "erin") << "each request starts the idle time again";
  EXPECT_EQ(who(read, start + 44min), std::nullopt);
  EXPECT_EQ(who(read, start + 45min), std::nullopt) << "an ended session stays ended";
  EXPECT_EQ(call({"GET", "/console/session", "", "", {{"Cookie", cookie}}}).status, 401);
}

TEST_F(Console, SessionEndsAfterEightHoursHoweverBusy) {
  auto start = ConsoleService::Clock::now();
  auto [cookie, csrf] = signIn(R"({"user": "erin", "password": "secret"})");
  ASSERT_FALSE(cookie.empty());
  Ask read{"GET", "/admin/v1/sequence", "", "", {{"Cookie", cookie}}};
  for (auto t = 10min; t < 8h; t += 10min) ASSERT_EQ(who(read, start + t), "erin") << t.count();
  EXPECT_EQ(who(read, start + 8h + 1min), std::nullopt);
}

TEST_F(Console, ChangeNeedsTheSessionsCsrfTokenWhichDoesNotEndIt) {
  auto [cookie, csrf] = signIn(R"({"user": "erin", "password": "secret"})");
  ASSERT_FALSE(cookie.empty());
  auto now = ConsoleService::Clock::now();
  EXPECT_EQ(who({"POST", "/admin/v1/changes", "{}", "", {{"Cookie", cookie}}}, now), std::nullopt);
  EXPECT_EQ(who({"POST", "/admin/v1/changes", "{}", "", {{"Cookie", cookie}, {"X-CSRF-Token", csrf + "0"}}}, now),
            std::nullopt);
  EXPECT_EQ(who({"POST", "/admin/v1/changes", "{}", "", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}}, now), "erin");
  // The same cookie twice leaves which one counts to chance: none.
  EXPECT_EQ(who({"GET", "/admin/v1/sequence", "", "", {{"Cookie", cookie}, {"Cookie", cookie}}}, now), std::nullopt);
}

TEST_F(Console, AnotherSitesPageCannotSignInOrOut) {
  Ask login{"POST", "/console/login", R"({"user": "erin", "password": "secret"})", "",
            {{"Sec-Fetch-Site", "cross-site"}}};
  EXPECT_EQ(call(login).status, 403);
  auto [cookie, csrf] = signIn(R"({"user": "erin", "password": "secret"})");
  Ask logout{"POST", "/console/logout", "", "", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}, {"Sec-Fetch-Site", "same-site"}}};
  EXPECT_EQ(call(logout).status, 403);
  EXPECT_EQ(who({"GET", "/admin/v1/sequence", "", "", {{"Cookie", cookie}}}, ConsoleService::Clock::now()), "erin");
}

TEST_F(Console, CertificateSignsInOnlyWhereCertificatesAreConfigured) {
  EXPECT_EQ(signIn(R"({"certificate": true})", "erin").first, "") << "certificates are not configured";
  Response session = call({"GET", "/console/session", "", "erin", {}});
  EXPECT_EQ(session.status, 401);
  EXPECT_TRUE(nlohmann::json::parse(session.body)["certificate"].is_null());
}

class ConsoleWithCertificates : public Console {
 protected:
  ConsoleWithCertificates() : Console(true) {}
};

TEST_F(ConsoleWithCertificates, VerifiedCertificateSignsInAndThePageIsToldSo) {
  Response session = call({"GET", "/console/session", "", "carol", {}});
  EXPECT_EQ(session.status, 401);
  EXPECT_EQ(nlohmann::json::parse(session.body)["certificate"], "carol");
  EXPECT_EQ(signIn(R"({"certificate": true})").first, "") << "a connection without a certificate";
  EXPECT_EQ(call({"POST", "/console/login", R"({"certificate": "yes"})", "carol", {}}).status, 400);
  EXPECT_EQ(call({"POST", "/console/login", R"({"certificate": true, "token": "t"})", "carol", {}}).status, 400);
  auto [cookie, csrf] = signIn(R"({"certificate": true})", "carol");
  ASSERT_FALSE(cookie.empty());
  EXPECT_EQ(who({"GET", "/admin/v1/sequence", "", "", {{"Cookie", cookie}}}, ConsoleService::Clock::now()), "carol");
}

// A browser sends its certificate with the requests of any page, another
// site's form included: there the certificate alone must not make changes.
TEST_F(ConsoleWithCertificates, BrowsersRequestNeedsTheSessionNotJustTheCertificate) {
  unsigned retry = 0;
  auto admin = [&](Ask const& ask) { return ask.with([&](Request const& r) { return auth_.authenticate(r, retry); }); };
  EXPECT_EQ(admin({"POST", "/admin/v1/changes", "{}", "carol", {}}), "carol") << "a program with the certificate";
  EXPECT_EQ(admin({"POST", "/admin/v1/changes", "{}", "carol", {{"Origin", "https://evil.example"}}}), std::nullopt);
  EXPECT_EQ(admin({"POST", "/admin/v1/changes", "{}", "carol", {{"Sec-Fetch-Site", "cross-site"}}}), std::nullopt);
  EXPECT_EQ(admin({"GET", "/admin/v1/sequence", "", "carol", {{"Sec-Fetch-Site", "same-origin"}}}), std::nullopt);
}

}  // namespace
