// The web console of the administration service (gxpolicyd --admin): a
// few static files served under /console, and the sessions of the people
// signed in to it. The pages call the administration API (admin.h) with
// the session's cookie; everything they show comes from there.
//
//   GET  /console, /console/              the page (console.html)
//   GET  /console/FILE                    console.js, console.css (nothing else)
//   POST /console/login                   {"user", "password"} or {"token"}: the
//                                         same checks, and the same slowing of
//                                         failures, as the API's Authorization
//                                         header; or {"certificate": true}: the
//                                         connection's verified client
//                                         certificate, where certificates are
//                                         configured. 200 {"admin", "csrf"} with
//                                         the session cookie, else 401 alike for
//                                         every failure
//   GET  /console/session                 {"admin", "csrf"} of the session, or 401
//                                         {"error", "certificate": NAME|null}:
//                                         NAME when the connection carries a
//                                         certificate that can sign in
//   POST /console/logout                  ends the session (its CSRF token needed)
//
// A sign-in or sign-out that a browser marks as coming from another site
// (Sec-Fetch-Site: cross-site or same-site) is refused 403.
//
// Sessions: a cookie "gx_session" of 32 random bytes (HttpOnly,
// SameSite=Strict, Path=/, Secure when served over TLS), held in memory
// only: a restart signs everybody out. A session ends after idle time
// without a request, or at the latest after lifetime. A request that
// changes anything (any method but GET and HEAD) must also carry the
// session's CSRF token in X-CSRF-Token, which a page of another site
// cannot read. At most maxSessions at once; signing in beyond that ends
// the session least recently used.
//
// Every answer carries a Content-Security-Policy without inline scripts or
// styles and without other hosts, and X-Content-Type-Options: nosniff.
//
// Thread-safe: handle and sessionOf may run on any number of threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tools/gxpolicyd/admin_auth.h"
#include "tools/gxpolicyd/http_types.h"

namespace gxpolicyd {

inline constexpr char kConsolePrefix[] = "/console";

struct ConsoleOptions {
  std::string dir;               // where console.html, console.js and console.css are
  bool secureCookies = false;    // served over TLS: cookies are Secure
  std::chrono::seconds idle{15 * 60};
  std::chrono::seconds lifetime{8 * 60 * 60};
  std::size_t maxSessions = 10000;
};

class ConsoleService {
 public:
  using Clock = std::chrono::steady_clock;

  // auth checks the credentials given at sign-in (not owned; outlives the
  // service). Throws std::runtime_error naming the file when a page file
  // cannot be read from options.dir (read once, at start).
  ConsoleService(ConsoleOptions options, AdminAuthenticator& auth);

  // Answers a request under kConsolePrefix. Never throws.
  Response handle(Request const& request);

  // The administrator the request's session cookie stands for (see above),
  // or none: no cookie, an unknown one, a session past its idle time or
  // lifetime (then ended), or a change without the session's CSRF token
  // (the session lives on). Refreshes the session's idle time. now: for
  // tests (sign-in stamps sessions with Clock::now()).
  std::optional<std::string> sessionOf(Request const& request, Clock::time_point now = Clock::now());

 private:
  struct Session {
    std::string admin, csrf;
    Clock::time_point started, used;
  };
  Response file(std::string const& name);
  Response login(Request const& request);
  Response logout(Request const& request);
  Response current(Request const& request);
  // The live session of the request's cookie, under lock_; null when none.
  Session* find(Request const& request, Clock::time_point now, std::string* id);

  ConsoleOptions options_;
  AdminAuthenticator& auth_;
  std::map<std::string, std::string> files_;  // name -> contents
  std::mutex lock_;
  std::map<std::string, Session> sessions_;  // by cookie value, under lock_
};

}  // namespace gxpolicyd
