// gxpolicyd's answers, apart from the HTTP transport: a request (method,
// path, headers, body) becomes a response (status, headers, body). Routes:
//
//   POST /v1/check        one decision: {"object", "actions", caller, "ip"}
//   POST /v1/check/batch  up to maxBatch of them: [CHECK, ...] or {"checks": [...]}
//   GET  /v1/auth         a web server's sub-request (nginx auth_request):
//                         200 granted, 403 denied, 401 authenticate (first,
//                         or at a higher level)
//   GET  /healthz         the process answers
//   GET  /readyz          the replica is open and not older than allowed
//   GET  /metrics         Prometheus text format
//
// A caller is a registry user ("user": NAME; X-Remote-User), a uuid with
// groups ("uuid" and "groups"; X-Remote-Uuid and X-Remote-Groups), or no
// one (unauthenticated). Named callers and uuids with group names are
// resolved through the registry and remembered for callerTtl, so the
// directory is not asked on every request.
//
// Thread-safe: handle may run on any number of threads at once. Each
// thread keeps its own decision record; decisions take no lock once the
// policy in force at an object is remembered.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/decide.h"
#include "tools/gxpolicyd/metrics.h"
#include "tools/gxpolicyd/replica.h"

namespace gxreg {
class Registry;
}

namespace gxpolicyd {

struct ServiceOptions {
  // Prepended to the request path to name the protected object ("/web":
  // the URI /docs/a asks about /web/docs/a). "" or a name starting with '/'
  // and not ending with one.
  std::string prefix;
  // HTTP method of the original request -> the action string it needs.
  std::map<std::string, std::string> methods{{"GET", "r"},   {"HEAD", "r"},  {"POST", "m"},
                                             {"PUT", "m"},   {"PATCH", "m"}, {"DELETE", "d"}};
  std::size_t maxBody = 1 << 20;  // bytes of a request body; larger gets 413 (the transport's cap too)
  std::size_t maxBatch = 1000;    // checks in one batch; more gets 413
  double readyMaxAgeSeconds = 0;  // /readyz fails when the replica is older (0: no limit)
  std::chrono::seconds callerTtl{60};
  std::size_t callerCacheSize = 100000;
};

// Parses "GET=r,HEAD=r,POST=m" (method names as given, upper case by
// convention; action strings not empty). True with out replaced; false
// with error naming the bad item, out unchanged.
bool parseMethods(std::string const& text, std::map<std::string, std::string>& out, std::string& error);

// Turns the path of a request URI into a protected object name: the query
// and fragment are cut off, %XX escapes decoded, a trailing '/' dropped and
// prefix prepended. False with why set for a path that is not absolute, a
// bad escape, NUL, an empty segment ("//") or a "." or ".." segment; out is
// then unspecified.
bool objectFromUri(std::string_view uri, std::string const& prefix, std::string& out, std::string& why);

struct Request {
  std::string_view method;
  std::string_view path;  // without the query
  // The value of a request header (case-insensitive name), or null.
  std::function<char const*(char const* name)> header;
  std::string_view body;
  bool bodyTooLarge = false;  // the transport stopped reading a body over the cap
};

struct Response {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Response headers of /v1/auth.
inline constexpr char kDecisionHeader[] = "X-Gx-Decision";        // granted | denied
inline constexpr char kLevelHeader[] = "X-Gx-Auth-Level-Required";  // when above the caller's
inline constexpr char kReasonHeader[] = "X-Gx-Reason";            // why a request was refused

class DecisionService {
 public:
  // replica must be open (or be opened before the first request) and, like
  // registry (may be null: only uuids and unauthenticated callers), outlive
  // the service; metrics too.
  DecisionService(ServedReplica& replica, gxreg::Registry* registry, ServiceOptions options, Metrics& metrics);
  DecisionService(DecisionService const&) = delete;
  DecisionService& operator=(DecisionService const&) = delete;

  // Answers one request; never throws. Counts it in the metrics.
  Response handle(Request const& request);

  ServiceOptions const& options() const { return options_; }
  // Requests being answered, as the transport counts them (for /metrics).
  void setInFlight(std::function<unsigned()> inFlight) { inFlight_ = std::move(inFlight); }
  std::uint64_t callerHits() const { return callerHits_.load(std::memory_order_relaxed); }
  std::uint64_t callerMisses() const { return callerMisses_.load(std::memory_order_relaxed); }

 private:
  struct Cached;
  Response route(Request const& request, Handler& handler);
  Response check(Request const& request);
  Response batch(Request const& request);
  Response auth(Request const& request);
  Response ready();
  Response metricsPage();
  // The caller of spec, from the cache or resolved through the registry.
  std::shared_ptr<Cached const> caller(gxpolicy::CallerSpec const& spec);

  ServedReplica& replica_;
  gxreg::Registry* registry_;
  ServiceOptions options_;
  Metrics& metrics_;
  std::function<unsigned()> inFlight_;

  std::shared_mutex callersLock_;
  std::unordered_map<std::string, std::shared_ptr<Cached const>> callers_;  // under callersLock_
  std::atomic<std::uint64_t> callerHits_{0}, callerMisses_{0};
};

}  // namespace gxpolicyd
