// Who an administration request comes from. An administrator proves who
// they are in one of the ways configured:
//
//   "Authorization: Bearer TOKEN"   a token of the token file (admin_tokens.h)
//   "Authorization: Basic B64"      a registry user name and password, checked
//                                   by the password checker (a bind against the
//                                   LDAP registry)
//   a TLS client certificate        that verified against the configured CAs
//                                   (Request::clientName: its common name), when
//                                   the request carries no Authorization header
//                                   and was not made by a browser (no Origin
//                                   and no Sec-Fetch-Site header): a browser
//                                   sends its certificate to any page's
//                                   request, so there the certificate only
//                                   signs in to the console, whose session
//                                   then needs its CSRF token for a change
//   a console session               no Authorization header, and the session
//                                   checker (console.h) names the administrator
//                                   from the request's cookie (and, for a
//                                   change, its CSRF token)
//
// Anything else -- no header, a scheme that is not configured, a token or a
// password that is wrong, a malformed header -- is a failure, answered the
// same way whatever was wrong (the caller answers 401), so a failure never
// says which part was wrong. Failures to prove a secret (a request with an
// Authorization header) are slowed per client address: after such a
// failure the address must wait (a quarter second, doubling with every
// further failure up to maxBackoff) before its next attempt is checked at
// all; an attempt made sooner fails at once, uncounted. A success forgets
// the address's failures. A request without an Authorization header (a
// certificate, a session, or nothing at all) is checked as it comes and
// neither waits nor counts: none of those can be guessed, and a browser's
// stray request must not lock its administrator out.
//
// Nothing here logs or keeps a secret: tokens are compared by hash, and a
// password is handed to the checker and dropped.
//
// Thread-safe: authenticate may run on any number of threads at once; the
// failure table takes its own lock briefly (never while a password is
// checked).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/common/admin_tokens.h"
#include "tools/gxpolicyd/http_types.h"

namespace gxpolicyd {

struct AdminAuthOptions {
  // Bearer tokens; none configured when absent.
  std::optional<gxpolicy::TokenFile> tokens;
  // HTTP basic: 0 when user's password is password, anything else when not
  // (or when the registry cannot tell); empty: basic is not accepted. Called
  // on any thread, without locks held.
  std::function<unsigned long(std::string const& user, std::string const& password)> checkPassword;
  // TLS client certificates: their common name is the administrator.
  bool clientCertificates = false;
  // Console sessions: the administrator a request without an Authorization
  // header stands for, or none. Empty: no sessions. Called on any thread.
  std::function<std::optional<std::string>(Request const&)> session;
  std::chrono::milliseconds firstBackoff{250};
  std::chrono::milliseconds maxBackoff{30000};
  std::size_t maxTracked = 65536;  // client addresses whose failures are remembered at once
};

// The client's address as text ("192.0.2.7", "2001:db8::1", "local" for a
// unix-domain socket, "unknown" without one).
std::string peerText(Request const& request);

class AdminAuthenticator {
 public:
  using Clock = std::chrono::steady_clock;

  explicit AdminAuthenticator(AdminAuthOptions options);
  AdminAuthenticator(AdminAuthenticator const&) = delete;
  AdminAuthenticator& operator=(AdminAuthenticator const&) = delete;

  // True when at least one way of proving who one is is configured (a
  // service without any would refuse every request).
  bool anyConfigured() const;

  // The WWW-Authenticate challenges of the schemes configured (Bearer,
  // Basic), for a 401.
  std::vector<std::string> challenges() const;

  // The common name of the request's verified client certificate when
  // certificates are configured and the request carries one, whoever made
  // the request (the console signs a browser in with it); else none.
  std::optional<std::string> certificateName(Request const& request) const;

  // The administrator's name, or none (a failure: see above). retryAfter
  // is set to the seconds the address must wait before its next attempt
  // counts (at least 1) on a failure. now: for tests. Throws
  // std::bad_alloc.
  std::optional<std::string> authenticate(Request const& request, unsigned& retryAfter, Clock::time_point now = Clock::now());

 private:
  struct Failures {
    unsigned count = 0;
    Clock::time_point until;  // the next attempt is checked from then on
  };
  std::optional<std::string> check(Request const& request) const;
  // Backing off: true (retryAfter set) when address must still wait.
  bool waiting(std::string const& address, Clock::time_point now, unsigned& retryAfter);
  void failed(std::string const& address, Clock::time_point now, unsigned& retryAfter);
  void succeeded(std::string const& address);

  AdminAuthOptions options_;
  std::mutex lock_;
  std::unordered_map<std::string, Failures> failures_;  // under lock_
};

}  // namespace gxpolicyd
