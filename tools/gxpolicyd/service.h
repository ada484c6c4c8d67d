// gxpolicyd's answers, apart from the HTTP transport: a request (method,
// path, headers, body) becomes a response (status, headers, body). Routes:
//
//   POST /v1/check        one decision: {"object", "actions", caller, "ip",
//                         "context"} (context: gxpolicy::readQuestionContext),
//                         answered from the decision record alone (the
//                         caller's names from the caller cache); with
//                         "detail": true also the walk to the root and every
//                         ACL entry explained, named through the registry
//                         (each answer also says "sequence", see kSequenceHeader)
//   POST /v1/check/batch  up to maxBatch of them: [CHECK, ...] or {"checks":
//                         [...]}, optionally with "detail": true or with
//                         "compact": true (each result [granted 1|0, cause])
//   GET  /v1/auth         a web server's sub-request (nginx auth_request):
//                         200 granted, 403 denied (X-Gx-Cause says by
//                         what), 401 authenticate (first, or at the level
//                         X-Gx-Auth-Level-Required names)
//   GET or POST /v1/who-can, /v1/what-can   the reverse questions (review.h):
//                         only with a review token configured, to askers
//                         that send it
//   POST /access/v1/...   the AuthZEN Authorization API, and its metadata at
//                         GET /.well-known/authzen-configuration (authzen.h)
//   GET  /healthz         the process answers
//   GET  /readyz          the replica is open and not older than allowed
//   GET  /metrics         Prometheus text format
//
// On any route a body over maxBody gets 413, and one the transport had no
// budget to hold (Request::bodyOverBudget) 503 with Retry-After.
//
// A caller is a registry user ("user": NAME; X-Remote-User), a uuid with
// groups ("uuid" and "groups"; X-Remote-Uuid and X-Remote-Groups), or no
// one (unauthenticated). Resolved callers are remembered for at most
// callerTtl, within callerCacheBytes, and forgotten when the registry's
// generation moves; callers that cannot be resolved are never remembered.
//
// /v1/auth believes the headers that state who the caller is (X-Remote-User,
// X-Remote-Uuid, X-Remote-Groups, X-Remote-Auth-Level), where from
// (X-Real-IP), how (X-Gx-Protection), when (X-Gx-Time) and the attribute
// headers of attributeHeaders only as frontTrust says: from a front end that sends the
// shared secret, from whoever may connect to the unix-domain socket served
// on, from anyone (development only), or -- the default -- from no one,
// when a request carrying any of them is refused. Each of those
// headers, X-Original-URI, X-Original-Method and the secret may come once.
//
// Thread-safe: handle may run on any number of threads at once. Each
// thread keeps its own decision record; decisions take no lock once the
// policy in force at an object is remembered.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/common/decide.h"
#include "tools/gxpolicyd/http_types.h"
#include "tools/gxpolicyd/metrics.h"
#include "tools/gxpolicyd/replica.h"
#include "tools/gxpolicyd/review.h"

namespace gxreg {
class Registry;
}

namespace gxpolicyd {

// Who may tell /v1/auth who the caller is.
enum class FrontTrust {
  none,    // no one: identity headers are refused (400); callers are unauthenticated
  secret,  // a front end that sends kFrontSecretHeader equal to frontSecret
  socket,  // whoever may connect: the transport is a unix-domain socket whose file's mode decides
  anyone,  // whoever connects (development only: any client can claim any identity)
};

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
  std::chrono::seconds callerTtl{60};    // 0: callers are resolved on every request
  std::size_t callerCacheBytes = 16 << 20;  // resolved callers remembered, estimated bytes
  std::size_t maxNameLength = 256;          // bytes of a user or group name or uuid; longer gets 400
  std::size_t maxGroups = 1024;             // groups a request names; more gets 400
  FrontTrust frontTrust = FrontTrust::none;
  std::string frontSecret;  // FrontTrust::secret: what the front end sends, compared in constant time
  // Characters of ";\% " that request paths may hold on this site
  // (refused by default: some back ends read them as parameters, separators
  // or a second encoding).
  std::string pathAllow;
  // /v1/auth: attributes for rules taken from request headers, {attribute
  // name, header name}; each header's value is typed as --attr reads it
  // (gxpolicy::parseAttributeValue). Believed only as identity headers are.
  std::vector<std::pair<std::string, std::string>> attributeHeaders;
  // /v1/auth: a 403 carries "CAUSE: REASON" as its body too (the cause and
  // reason are always in headers). Off by default: nginx's auth_request
  // never reads an answer's body, so it closes the kept-alive connection
  // after every answer that has one and opens a new one for the next
  // question; turn it on for a front end that shows the body to the client.
  bool authDenialBody = false;
  // The review endpoints and the AuthZEN searches: off unless a token is
  // set (review.h).
  ReviewOptions review;
  // Read your writes: how long a request naming a minimum sequence number
  // waits for the replica to reach it (then 409), and how many wait at
  // once (one more gets 503 at once). A waiter holds its answering thread
  // for as long as it waits.
  std::chrono::milliseconds freshnessWait{1000};
  unsigned maxFreshnessWaiters = 64;
};

// Parses "department=X-Gx-Attr-Department" (an attribute name, '=', a
// header name of letters, digits and '-'). True with name and header set;
// false with error saying what is wrong.
bool parseAttributeHeader(std::string const& text, std::string& name, std::string& header, std::string& error);

// Parses "GET=r,HEAD=r,POST=m" (method names as given, upper case by
// convention; action strings not empty). True with out replaced; false
// with error naming the bad item, out unchanged.
bool parseMethods(std::string const& text, std::map<std::string, std::string>& out, std::string& error);

// Turns the path of a request URI into a protected object name: the query
// and fragment are cut off, %XX escapes decoded once, a trailing '/'
// dropped and prefix prepended. False with why set, out then unspecified,
// for a path that is not absolute, a bad escape, a control character, bytes
// that are not UTF-8 in its shortest form (overlong dots included), an
// empty segment ("//"), a "." or ".." segment, and -- unless allow names
// them -- ';' (path parameters), '\' (a separator to some back ends), '%'
// left after decoding (double encoding) and ' '.
bool objectFromUri(std::string_view uri, std::string const& prefix, std::string& out, std::string& why,
                   std::string_view allow = {});

// True when a and b are equal, in time that depends only on their lengths.
bool sameSecret(std::string_view a, std::string_view b);

// Response headers of /v1/auth.
inline constexpr char kDecisionHeader[] = "X-Gx-Decision";        // granted | denied
inline constexpr char kLevelHeader[] = "X-Gx-Auth-Level-Required";  // when above the caller's
inline constexpr char kReasonHeader[] = "X-Gx-Reason";            // why a request was refused
inline constexpr char kCauseHeader[] = "X-Gx-Cause";              // the decision's cause when denied
inline constexpr char kWarningHeader[] = "X-Gx-Warning";          // warning mode: the cause it would have had
// Request headers of /v1/auth the front end sets beside the identity
// headers, believed as they are: the connection's protection ("on", as
// nginx's $https says for TLS, or "privacy": privacy; "integrity"; "none"
// or empty: none) and the time the request arrived (seconds since 1970,
// a fraction allowed as nginx's $msec writes it, or RFC 3339; default now).
inline constexpr char kProtectionHeader[] = "X-Gx-Protection";
inline constexpr char kTimeHeader[] = "X-Gx-Time";
// Request header: the front end's proof (FrontTrust::secret).
inline constexpr char kFrontSecretHeader[] = "X-Gx-Front-Secret";
// Read your writes. Every answer of /v1/check, /v1/check/batch and the
// AuthZEN evaluations carries the policy sequence number it was decided on
// (at least that fresh), as a response header and as the body's "sequence"
// field; the request may name the least number it accepts, as a header
// or (/v1/check and the batch's object form) the body's "min_sequence".
// A replica behind that number asks its master at once and the request
// waits up to freshnessWait: then 409 with the number it has ("sequence").
inline constexpr char kSequenceHeader[] = "X-Gx-Sequence";
inline constexpr char kMinSequenceHeader[] = "X-Gx-Min-Sequence";

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
  // Connections the transport closed at accept, at its cap (for /metrics).
  void setConnectionsRefused(std::function<std::uint64_t()> refused) { connectionsRefused_ = std::move(refused); }
  std::uint64_t callerHits() const { return callerHits_.load(std::memory_order_relaxed); }
  std::uint64_t callerMisses() const { return callerMisses_.load(std::memory_order_relaxed); }
  // Estimated bytes of the callers remembered now (at most
  // options().callerCacheBytes). Takes callersLock_ shared.
  std::size_t rememberedBytes();

 private:
  struct Cached;
  Response route(Request const& request, Handler& handler);
  Response check(Request const& request);
  Response batch(Request const& request);
  // Decides q for c into this thread's record: none on success, else the
  // refusal (fields prefixed with where). Takes what decide takes.
  std::optional<Response> decideLean(gxpolicy::Question const& q, Cached const& c, std::string const& where);
  // Explains q for c into e (with detail: the walk and every entry, naming
  // their subjects through the registry): none on success, else the
  // refusal. Takes what explainDecision takes.
  std::optional<Response> explain(gxpolicy::Question const& q, Cached const& c, bool detail,
                                  gxpolicy::Explanation& e, std::string const& where);
  Response auth(Request const& request);
  // Waits for the sequence number request asks for (its header, and
  // bodyMin when the body named one; the larger counts): none once the
  // replica has it or nothing was asked, else the answer (400 for a header
  // that is not a sequence number or comes twice, 409 after freshnessWait,
  // 503 when maxFreshnessWaiters already wait). sequence gets the number
  // answers are then decided on.
  std::optional<Response> awaitFresh(Request const& request, std::optional<unsigned long> bodyMin,
                                     unsigned long& sequence);
  // The refusal for a /v1/auth request whose front end says what it may
  // not (a header sent twice: 400; no secret: 400; a wrong one: 403;
  // identity headers nobody is trusted to send: 400), or none.
  std::optional<Response> frontEndProblem(Request const& request);
  Response ready();
  Response metricsPage();
  // The caller of spec, from the cache or resolved through the registry.
  std::shared_ptr<Cached const> caller(gxpolicy::CallerSpec const& spec);
  // Remembers fresh under key, within the byte budget. Takes callersLock_.
  void remember(std::string key, std::shared_ptr<Cached const> fresh);

  ServedReplica& replica_;
  gxreg::Registry* registry_;
  ServiceOptions options_;
  Metrics& metrics_;
  ReviewHost reviewHost_;  // what the review and AuthZEN routes take from this service
  std::function<unsigned()> inFlight_;
  std::function<std::uint64_t()> connectionsRefused_;

  std::shared_mutex callersLock_;
  std::unordered_map<std::string, std::shared_ptr<Cached const>> callers_;  // under callersLock_
  std::size_t callerBytes_ = 0;          // estimated size of callers_, under callersLock_
  std::uint64_t callersGeneration_ = 0;  // the registry's generation callers_ was resolved at, under callersLock_
  std::atomic<std::uint64_t> callerHits_{0}, callerMisses_{0};
};

}  // namespace gxpolicyd
