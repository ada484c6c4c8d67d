#include "tools/gxpolicyd/service.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>

#include <nlohmann/json.hpp>

#include "GxCore/GxAddress.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxsvc.h"
#include "outside/registry.h"
#include "tools/common/json_fields.h"
#include "tools/common/problem.h"
#include "tools/common/status_text.h"
#include "tools/gxpolicyd/answer.h"
#include "tools/gxpolicyd/authzen.h"
#include "tools/gxpolicyd/request_body.h"

namespace gxpolicyd {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using gxpolicy::CallerSpec;
using Clock = std::chrono::steady_clock;

// A caller as resolved, or why it could not be (such answers are never
// remembered: they would keep whatever name a client made up).
struct DecisionService::Cached {
  bool ok = false;
  gxpolicy::Caller caller;
  CallerText text;  // what answers say about the caller, made once
  gxpolicy::Problem problem;
  Clock::time_point expires;
  std::uint64_t generation = 0;  // the registry's when resolved
  std::size_t bytes = 0;         // what remembering it costs, roughly
};

namespace {

// Bodies of /v1/check up to this size are first read without a document
// (readQuickly); larger ones, rare, go to the document reader at once.
constexpr std::size_t kQuickBody = 64 << 10;

// ---- small helpers -------------------------------------------------------------------

// A request that cannot be answered: the HTTP status it gets and why, as
// the tools' one problem type (where: the field or header at fault, "" when
// the body as a whole is). Thrown while a request is read, caught by handle.
struct Refusal {
  Refusal(int http, std::string message, std::string where, unsigned long status = 0, std::string hint = "")
      : http(http), problem{std::move(message), status, std::move(hint), std::move(where)} {}
  Refusal(int http, gxpolicy::Problem problem) : http(http), problem(std::move(problem)) {}
  int http;
  gxpolicy::Problem problem;
};

// {"error", "field", "status", "status_text", "hint"}, without the parts
// that are empty.
ojson refusalJson(Refusal const& f) { return problemJson(f.problem); }

Response refuse(Refusal const& f) { return jsonResponse(f.http, refusalJson(f)); }

// 503 for a request that ran out of memory, with Retry-After. Allocates
// nothing when even its body cannot be made: then the answer has none.
Response outOfMemory() noexcept {
  Response r;
  r.status = 503;
  try {
    r = refuse(Refusal{503, "the server ran out of memory for this request; try again shortly", ""});
    r.headers.emplace_back("Retry-After", "1");
  } catch (std::bad_alloc const&) {
    r.contentType = "text/plain; charset=utf-8";
    r.body.clear();
    r.headers.clear();
  }
  return r;
}

Response text(int status, std::string body) {
  Response r;
  r.status = status;
  r.contentType = "text/plain; charset=utf-8";
  r.body = std::move(body);
  return r;
}

// Parses a request body (parseJsonBody); a Refusal (400) when it cannot be.
json parseBody(std::string_view body) {
  json parsed;
  gxpolicy::Problem problem;
  if (!parseJsonBody(body, parsed, problem)) throw Refusal{400, std::move(problem)};
  return parsed;
}

// Refuses a user or group name or uuid longer than limit.
void checkNameLength(std::string const& name, std::size_t limit, std::string const& field) {
  if (name.size() > limit)
    throw Refusal{400, "a name or uuid of " + std::to_string(name.size()) + " bytes; at most " + std::to_string(limit),
                  field};
}

// The string at key of a check; where is "" or the check's place with a
// trailing "." ("checks[3].").
std::string stringField(json const& j, char const* key, std::string const& where, bool required) {
  try {
    return gxpolicy::JsonFields(j, where.empty() ? where : where.substr(0, where.size() - 1)).string(key, required);
  } catch (gxpolicy::Problem const& p) {
    throw Refusal{400, p};
  }
}

// One check of a body: {"object", "actions", "user" | "uuid" [+ "groups"], "ip"}.
// where prefixes field names in refusals ("" or "checks[3]."); names and
// groups are held to the limits of o.
void readCheck(json const& j, std::string const& where, ServiceOptions const& o, gxpolicy::Question& q,
               CallerSpec& caller) {
  if (!j.is_object()) throw Refusal{400, "a check must be a JSON object", where.empty() ? "" : where.substr(0, where.size() - 1)};
  for (auto it = j.begin(); it != j.end(); ++it) {
    static char const* const known[] = {"object", "actions", "user", "uuid", "groups", "ip", "context"};
    bool ok = false;
    for (char const* k : known) ok = ok || it.key() == k;
    if (!ok)
      throw Refusal{400, "unknown field \"" + it.key() + "\" (known: object, actions, user, uuid, groups, ip, context)",
                    where + it.key()};
  }
  q.object = stringField(j, "object", where, true);
  q.actions = stringField(j, "actions", where, true);
  q.address = stringField(j, "ip", where, false);
  q.context = gxpolicy::QuestionContext{};
  if (auto it = j.find("context"); it != j.end()) {
    gxpolicy::Problem problem;
    if (!gxpolicy::readQuestionContext(*it, where + "context", q.context, problem)) throw Refusal{400, problem};
  }
  bool hasUser = j.contains("user"), hasUuid = j.contains("uuid"), hasGroups = j.contains("groups");
  if (hasUser && hasUuid) throw Refusal{400, "give \"user\" or \"uuid\", not both", where + "uuid"};
  if (hasGroups && !hasUuid)
    throw Refusal{400, "\"groups\" goes with \"uuid\" (a named user's groups come from the registry)", where + "groups"};
  caller = CallerSpec{};
  if (hasUser) {
    caller.form = CallerSpec::Form::user;
    caller.user = stringField(j, "user", where, true);
    checkNameLength(caller.user, o.maxNameLength, where + "user");
  } else if (hasUuid) {
    caller.form = CallerSpec::Form::uuid;
    caller.uuid = stringField(j, "uuid", where, true);
    checkNameLength(caller.uuid, o.maxNameLength, where + "uuid");
    if (hasGroups) {
      json const& g = j["groups"];
      if (!g.is_array()) throw Refusal{400, "\"groups\" must be an array of names or uuids", where + "groups"};
      if (g.size() > o.maxGroups)
        throw Refusal{400, "more than " + std::to_string(o.maxGroups) + " groups", where + "groups"};
      caller.groups.reserve(g.size());
      for (std::size_t i = 0; i < g.size(); ++i) {
        std::string field = where + "groups[" + std::to_string(i) + "]";
        if (!g[i].is_string() || g[i].get_ref<std::string const&>().find('\0') != std::string::npos)
          throw Refusal{400, "a group must be a name or uuid string", field};
        checkNameLength(g[i].get_ref<std::string const&>(), o.maxNameLength, field);
        caller.groups.push_back(g[i].get<std::string>());
      }
    }
  } else {
    caller.form = CallerSpec::Form::unauthenticated;
  }
}

// A check body of the common shape read without a JSON parser: one flat
// object of the known fields ("object", "actions", "user", "uuid", "ip"
// strings, "groups" an array of strings, "detail" a boolean), each at most
// once, strings of printable ASCII without escapes. The reader stops at
// anything else -- another shape, a field given twice, an escape, a byte
// outside printable ASCII, text that is not JSON -- and the body is then
// read by readCheck from a document, which accepts or refuses it as it
// always has: this only spares the common case the parser's work (about
// 100 instructions a byte in the general parser, a few here).
class QuickCheck {
 public:
  enum Field : unsigned { object = 1, actions = 2, user = 4, uuid = 8, ip = 16, groups = 32, detail = 64 };
  gxpolicy::Question question;
  CallerSpec caller;
  bool wantDetail = false;
  unsigned seen = 0;

  explicit QuickCheck(std::string_view body) : p_(body.data()), end_(body.data() + body.size()) {}

  // True when the whole body is one object of the common shape.
  bool read() {
    if (!take('{')) return false;
    if (take('}')) return atEnd();
    do {
      std::string_view name;
      if (!text(name) || !take(':') || !field(name)) return false;
    } while (take(','));
    return take('}') && atEnd();
  }

 private:
  char const* p_;
  char const* end_;

  void space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool take(char c) {
    space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool atEnd() {
    space();
    return p_ == end_;
  }
  bool word(std::string_view w) {
    space();
    if (static_cast<std::size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w) return false;
    p_ += w.size();
    return true;
  }
  // A string of printable ASCII without escapes; false at anything else.
  bool text(std::string_view& out) {
    if (!take('"')) return false;
    char const* begin = p_;
    while (p_ < end_ && *p_ != '"') {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c >= 0x7F || c == '\\') return false;
      ++p_;
    }
    if (p_ == end_) return false;
    out = std::string_view(begin, static_cast<std::size_t>(p_ - begin));
    ++p_;
    return true;
  }
  bool textInto(std::string& out) {
    std::string_view v;
    if (!text(v)) return false;
    out.assign(v);
    return true;
  }
  bool field(std::string_view name) {
    static constexpr std::pair<std::string_view, Field> kFields[] = {
        {"object", object}, {"actions", actions}, {"user", user},     {"uuid", uuid},
        {"ip", ip},         {"groups", groups},   {"detail", detail}};
    for (auto const& [text, f] : kFields) {
      if (name != text) continue;
      if ((seen & f) != 0) return false;
      seen |= f;
      switch (f) {
        case object: return textInto(question.object);
        case actions: return textInto(question.actions);
        case ip: return textInto(question.address);
        case user: return textInto(caller.user);
        case uuid: return textInto(caller.uuid);
        case detail:
          if (word("true")) return wantDetail = true;
          return word("false");
        case groups:
          if (!take('[')) return false;
          if (take(']')) return true;
          do {
            if (!textInto(caller.groups.emplace_back())) return false;
          } while (take(','));
          return take(']');
      }
    }
    return false;
  }
};

// Reads body as QuickCheck does, then holds it to what readCheck demands
// of a check (fields present, one caller form, the limits of o). True with
// q, caller and detail set; false when readCheck must read it instead.
bool readQuickly(std::string_view body, ServiceOptions const& o, gxpolicy::Question& q, CallerSpec& caller,
                 bool& detail) {
  QuickCheck quick(body);
  if (!quick.read()) return false;
  unsigned const seen = quick.seen;
  if ((seen & QuickCheck::object) == 0 || (seen & QuickCheck::actions) == 0) return false;
  if ((seen & QuickCheck::user) != 0 && (seen & QuickCheck::uuid) != 0) return false;
  if ((seen & QuickCheck::groups) != 0 && (seen & QuickCheck::uuid) == 0) return false;
  CallerSpec& c = quick.caller;
  if (c.user.size() > o.maxNameLength || c.uuid.size() > o.maxNameLength || c.groups.size() > o.maxGroups) return false;
  for (std::string const& g : c.groups)
    if (g.size() > o.maxNameLength) return false;
  c.form = (seen & QuickCheck::user) != 0   ? CallerSpec::Form::user
           : (seen & QuickCheck::uuid) != 0 ? CallerSpec::Form::uuid
                                            : CallerSpec::Form::unauthenticated;
  q = std::move(quick.question);
  caller = std::move(c);
  detail = quick.wantDetail;
  return true;
}

// The field a decision problem is about, and the answer's status code.
Refusal fromProblem(gxpolicy::Problem const& p, std::string const& where) {
  Refusal f{400, p};
  switch (p.status) {
    case gx_s_invalid_address: f.problem.where = where + "ip"; break;
    case gx_s_bad_pobj_name: f.problem.where = where + "object"; break;
    case gx_s_bad_action:
    case gx_s_no_action_group:
    case gx_s_group_at_end: f.problem.where = where + "actions"; break;
    case da_s_store_unavailable: f.http = 503; break;
    default: f.http = 500; break;
  }
  return f;
}

// Why a caller could not be resolved, as a refusal.
Refusal fromCallerProblem(gxpolicy::Problem const& p, CallerSpec const& spec, bool haveRegistry,
                          std::string const& where) {
  Refusal f{400, p};
  if (p.status == reg_s_unavailable && haveRegistry) f.http = 503;  // the directory does not answer
  if (p.status == reg_s_no_such_group) f.problem.where = where + "groups";
  else f.problem.where = where + (spec.form == CallerSpec::Form::user ? "user" : "uuid");
  return f;
}

// Per thread: the decision record reused across requests, and the object,
// caller and context of the request (their storage reused too).
struct ThreadState {
  daDecision decision;
  std::string object;
  gxpolicy::CallerSpec caller;        // /v1/auth's
  gxpolicy::QuestionContext context;  // /v1/auth's
};
thread_local ThreadState tls;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The names of a groups header, split at commas, blanks around them
// dropped, empty ones skipped, into out (its strings reused).
void splitGroups(char const* header, std::vector<std::string>& out) {
  std::size_t n = 0;
  std::string_view s(header);
  while (!s.empty()) {
    std::size_t comma = s.find(',');
    std::string_view item = s.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (!item.empty()) {
      if (n == out.size()) out.emplace_back();
      out[n++].assign(item);
    }
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  out.resize(n);
}

// The sequence number at key of a body object (none when absent), taken
// out of it as takeFlag does. A Refusal when it is not a whole number of
// 0 to 4294967295.
std::optional<unsigned long> takeSequence(json& body, char const* key, std::string const& where) {
  if (!body.is_object()) return std::nullopt;
  auto it = body.find(key);
  if (it == body.end()) return std::nullopt;
  if (!it->is_number_unsigned() || it->get<std::uint64_t>() > 0xFFFFFFFFull)
    throw Refusal{400, std::string("\"") + key + "\" must be a sequence number (0 to 4294967295)", where + key};
  unsigned long value = static_cast<unsigned long>(it->get<std::uint64_t>());
  body.erase(it);
  return value;
}

// A sequence number as a header carries it: 1 to 10 decimal digits, at
// most 4294967295.
bool parseSequence(char const* text, unsigned long& out) {
  std::string_view v(text);
  if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string_view::npos) return false;
  std::uint64_t n = 0;
  for (char c : v) n = n * 10 + static_cast<std::uint64_t>(c - '0');
  if (n > 0xFFFFFFFFull) return false;
  out = static_cast<unsigned long>(n);
  return true;
}

// Marks a successful JSON object answer with the sequence number it was
// decided on: the header, and a "sequence" member added last.
void stampSequence(Response& r, unsigned long sequence) {
  std::string text = std::to_string(sequence);
  r.headers.emplace_back(kSequenceHeader, text);
  if (r.status != 200) return;
  std::size_t close = r.body.find_last_not_of(" \n\r\t");
  if (close == std::string::npos || r.body[close] != '}' || r.body.front() != '{') return;
  bool empty = r.body.find_last_not_of(" \n\r\t", close - 1) == 0;
  r.body.insert(close, (empty ? "\"sequence\":" : ",\"sequence\":") + text);
}

bool parseLevel(char const* text, unsigned long& out) {
  if (text == nullptr || *text == '\0') return false;
  unsigned long v = 0;
  for (char const* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || v > 100000) return false;
    v = v * 10 + static_cast<unsigned long>(*p - '0');
  }
  out = v;
  return true;
}

}  // namespace

// ---- free functions ---------------------------------------------------------------------

bool parseMethods(std::string const& text, std::map<std::string, std::string>& out, std::string& error) {
  std::map<std::string, std::string> parsed;
  std::string_view s(text);
  while (!s.empty()) {
    std::size_t comma = s.find(',');
    std::string item(s.substr(0, comma));
    std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == item.size()) {
      error = "\"" + item + "\" is not METHOD=ACTIONS (e.g. GET=r)";
      return false;
    }
    parsed[item.substr(0, eq)] = item.substr(eq + 1);
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  if (parsed.empty()) {
    error = "no METHOD=ACTIONS pairs given";
    return false;
  }
  out = std::move(parsed);
  return true;
}

namespace {

// Decodes the %XX escapes of path once. False with why set for a bad escape.
bool percentDecode(std::string_view path, std::string& out, std::string& why) {
  if (path.find('%') == std::string_view::npos) {  // most paths: nothing to decode
    out.assign(path);
    return true;
  }
  out.clear();
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '%') {
      int hi = i + 2 < path.size() ? hexValue(path[i + 1]) : -1;
      int lo = i + 2 < path.size() ? hexValue(path[i + 2]) : -1;
      if (hi < 0 || lo < 0) {
        why = "a bad %-escape in the path";
        return false;
      }
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    out.push_back(c);
  }
  return true;
}

// Refuses the characters of a decoded path that back ends read otherwise
// than as part of a name. True when path holds none (or only allowed ones).
bool plainCharacters(std::string_view path, std::string_view allow, std::string& why) {
  for (std::size_t i = 0; i < path.size();) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c > 0x20 && c < 0x7F && c != ';' && c != '\\' && c != '%') {  // a plain ASCII character
      ++i;
      continue;
    }
    bool allowed = allow.find(static_cast<char>(c)) != std::string_view::npos;
    if (c < 0x20 || c == 0x7F) {
      why = c == 0 ? "NUL in the path" : "a control character in the path";
      return false;
    }
    if (!allowed && (c == ';' || c == '\\' || c == '%' || c == ' ')) {
      why = c == ';'    ? "';' in the path (some back ends cut a path parameter there)"
            : c == '\\' ? "'\\' in the path (some back ends read it as '/')"
            : c == '%'  ? "'%' left in the path after decoding (double encoding)"
                        : "a space in the path";
      return false;
    }
    std::size_t n = utf8Length(path, i);
    if (n == 0) {
      why = "the path is not UTF-8 in its shortest form";
      return false;
    }
    i += n;
  }
  return true;
}

// Segments: none empty (no "//"), none "." or "..".
bool plainSegments(std::string_view path, std::string& why) {
  for (std::size_t start = 1; path.size() > 1 && start <= path.size();) {
    std::size_t slash = path.find('/', start);
    std::size_t stop = slash == std::string_view::npos ? path.size() : slash;
    std::string_view seg = path.substr(start, stop - start);
    if (seg.empty()) {
      why = "an empty segment (//) in the path";
      return false;
    }
    if (seg == "." || seg == "..") {
      why = "a . or .. segment in the path";
      return false;
    }
    start = stop + 1;
  }
  return true;
}

}  // namespace

bool objectFromUri(std::string_view uri, std::string const& prefix, std::string& out, std::string& why,
                   std::string_view allow) {
  std::size_t end = uri.find_first_of("?#");
  if (end != std::string_view::npos) uri = uri.substr(0, end);
  if (uri.empty() || uri.front() != '/') {
    why = "the path is not absolute";
    return false;
  }
  thread_local std::string path;  // no allocation once it has held the longest path
  if (!percentDecode(uri, path, why) || !plainCharacters(path, allow, why)) return false;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!plainSegments(path, why)) return false;
  if (prefix.empty()) out = path;
  else if (path == "/") out = prefix;
  else out.assign(prefix).append(path);
  return true;
}

bool parseAttributeHeader(std::string const& text, std::string& name, std::string& header, std::string& error) {
  std::size_t const eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
    error = "expected NAME=HEADER, e.g. department=X-Gx-Attr-Department";
    return false;
  }
  std::string const h = text.substr(eq + 1);
  for (char ch : h) {
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-') {
      error = "a header name holds letters, digits and '-' only: " + h;
      return false;
    }
  }
  name = text.substr(0, eq);
  header = h;
  return true;
}

bool sameSecret(std::string_view a, std::string_view b) {
  // Every byte of the longer is looked at; the lengths differ -> not equal.
  std::size_t n = std::max(a.size(), b.size());
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

// ---- the service -------------------------------------------------------------------------

DecisionService::DecisionService(ServedReplica& replica, gxreg::Registry* registry, ServiceOptions options,
                                 Metrics& metrics)
    : replica_(replica), registry_(registry), options_(std::move(options)), metrics_(metrics) {
  reviewHost_.store = [this]() -> daCachedStore& { return replica_.store(); };
  reviewHost_.registry = registry_;
  reviewHost_.metrics = &metrics_;
  reviewHost_.maxBatch = options_.maxBatch;
  reviewHost_.maxNameLength = options_.maxNameLength;
  reviewHost_.maxGroups = options_.maxGroups;
  reviewHost_.review = options_.review;
  reviewHost_.resolve = [this](CallerSpec const& spec, gxpolicy::Caller& out, gxpolicy::Problem& problem) {
    std::shared_ptr<Cached const> c = caller(spec);
    if (!c->ok) problem = c->problem;
    else out = c->caller;
    return c->ok;
  };
}

Response DecisionService::handle(Request const& request) {
  Handler handler = Handler::other;
  Response r;
  try {
    r = route(request, handler);
  } catch (Refusal const& f) {
    r = refuse(f);
  } catch (std::bad_alloc const&) {
    r = outOfMemory();
  } catch (std::exception const& e) {
    r = refuse(Refusal{500, std::string("internal error: ") + e.what(), ""});
  } catch (...) {
    r = refuse(Refusal{500, "internal error", ""});
  }
  if (isAuthzenPath(request.path)) {  // the AuthZEN API echoes every answer's request id
    try {
      echoRequestId(request, r);
    } catch (std::bad_alloc const&) {
    }
  }
  metrics_.request(handler, r.status);
  return r;
}

Response DecisionService::route(Request const& request, Handler& handler) {
  std::string_view path = request.path, method = request.method;
  bool get = method == "GET" || method == "HEAD";
  auto onlyGet = [&](Handler h) {
    handler = h;
    return get;
  };
  auto notAllowed = [](char const* allow) {
    Response r = refuse(Refusal{405, "method not allowed", ""});
    r.headers.emplace_back("Allow", allow);
    return r;
  };
  if (request.bodyOverBudget) {
    handler = path == "/v1/check" ? Handler::check : path == "/v1/check/batch" ? Handler::batch : Handler::other;
    Response r = refuse(Refusal{503, "the server holds as many request bodies as it may; try again shortly", ""});
    r.headers.emplace_back("Retry-After", "1");
    return r;
  }
  if (request.bodyNoMemory) {
    handler = path == "/v1/check" ? Handler::check : path == "/v1/check/batch" ? Handler::batch : Handler::other;
    return outOfMemory();
  }
  if (request.bodyTooLarge || request.body.size() > options_.maxBody) {
    handler = path == "/v1/check" ? Handler::check : path == "/v1/check/batch" ? Handler::batch : Handler::other;
    return refuse(Refusal{413, "the body is larger than " + std::to_string(options_.maxBody) + " bytes", ""});
  }
  if (path == "/v1/auth") {
    handler = Handler::auth;  // any method: only the headers are read
    return auth(request);
  }
  if (path == "/v1/check" || path == "/v1/check/batch") {
    handler = path == "/v1/check" ? Handler::check : Handler::batch;
    if (method != "POST") return notAllowed("POST");
    return handler == Handler::check ? check(request) : batch(request);
  }
  if (path == "/v1/who-can" || path == "/v1/what-can") {
    handler = Handler::review;
    if (method != "POST" && method != "GET") return notAllowed("GET, POST");
    auto refusal = [](int status, std::string const& why) { return refuse(Refusal{status, why, ""}); };
    if (std::optional<Response> refused = reviewAccessProblem(options_.review, request, refusal)) return std::move(*refused);
    return answerReview(reviewHost_, request);
  }
  if (isAuthzenPath(path)) {
    handler = Handler::authzen;
    // The evaluations decide on the replica: they wait for a minimum
    // sequence number and say which they were decided on.
    bool evaluation = method == "POST" && (path == "/access/v1/evaluation" || path == "/access/v1/evaluations");
    unsigned long sequence = 0;
    if (evaluation)
      if (std::optional<Response> stale = awaitFresh(request, std::nullopt, sequence)) return std::move(*stale);
    Response r = answerAuthzen(reviewHost_, request);
    if (evaluation) stampSequence(r, sequence);
    return r;
  }
  if (path == "/healthz") return onlyGet(Handler::healthz) ? text(200, "ok\n") : notAllowed("GET, HEAD");
  if (path == "/readyz") return onlyGet(Handler::readyz) ? ready() : notAllowed("GET, HEAD");
  if (path == "/metrics") return onlyGet(Handler::metrics) ? metricsPage() : notAllowed("GET, HEAD");
  handler = Handler::other;
  return refuse(Refusal{404, "no such endpoint: /v1/check, /v1/check/batch, /v1/auth, /v1/who-can, /v1/what-can, "
                             "/access/v1/..., /healthz, /readyz, /metrics", ""});
}

namespace {

// What a remembered caller costs, roughly: the key twice (map node and
// hash), the record, and per group its uuid and name.
std::size_t bytesOf(std::string const& key, gxpolicy::Caller const& c) {
  std::size_t n = 2 * key.size() + 256 + c.userName().size();
  for (std::string const& name : c.groupNames()) n += sizeof(hx_uuid_t) + sizeof(std::string) + name.size();
  return n;
}

}  // namespace

std::shared_ptr<DecisionService::Cached const> DecisionService::caller(CallerSpec const& spec) {
  if (spec.form == CallerSpec::Form::unauthenticated) {
    static auto const unauthenticated = [] {
      auto c = std::make_shared<Cached>();
      gxpolicy::resolveCaller(CallerSpec{CallerSpec::Form::unauthenticated, {}, {}, {}}, nullptr, c->caller, c->problem);
      c->ok = true;
      c->text = callerText(c->caller);
      return c;
    }();
    return unauthenticated;
  }
  // The key is built in this thread's buffer: a remembered caller is
  // found without allocating.
  thread_local std::string key;
  key.assign(1, static_cast<char>(spec.form));
  key += spec.form == CallerSpec::Form::user ? spec.user : spec.uuid;
  for (std::string const& g : spec.groups) {
    key += '\0';
    key += g;
  }
  // Read before resolving: an answer resolved across a reload is kept
  // under the older generation and dropped at the next lookup.
  std::uint64_t generation = registry_ != nullptr ? registry_->generation() : 0;
  Clock::time_point now = Clock::now();
  {
    std::shared_lock<std::shared_mutex> reading(callersLock_);
    auto it = callers_.find(key);
    if (it != callers_.end() && it->second->expires > now && it->second->generation == generation) {
      callerHits_.fetch_add(1, std::memory_order_relaxed);
      return it->second;
    }
  }
  callerMisses_.fetch_add(1, std::memory_order_relaxed);
  auto fresh = std::make_shared<Cached>();
  fresh->ok = gxpolicy::resolveCaller(spec, registry_, fresh->caller, fresh->problem);
  if (fresh->ok) fresh->text = callerText(fresh->caller);
  fresh->expires = now + options_.callerTtl;
  fresh->generation = generation;
  fresh->bytes = bytesOf(key, fresh->caller) + fresh->text.json.size() + fresh->text.describe.size();
  if (fresh->ok && options_.callerTtl.count() > 0) remember(key, fresh);
  return fresh;
}

std::size_t DecisionService::rememberedBytes() {
  std::shared_lock<std::shared_mutex> reading(callersLock_);
  return callerBytes_;
}

void DecisionService::remember(std::string key, std::shared_ptr<Cached const> fresh) {
  std::size_t bytes = fresh->bytes;
  if (bytes > options_.callerCacheBytes / 4) return;  // one caller may not take most of the room
  std::unique_lock<std::shared_mutex> writing(callersLock_);
  // A new generation or a full budget starts the cache afresh: every entry
  // is then as likely to be stale or cold as any other.
  if (fresh->generation != callersGeneration_ || callerBytes_ + bytes > options_.callerCacheBytes) {
    callers_.clear();
    callerBytes_ = 0;
    callersGeneration_ = fresh->generation;
  }
  auto [it, inserted] = callers_.try_emplace(std::move(key), fresh);
  if (!inserted) {  // an expired entry replaced
    callerBytes_ -= it->second->bytes;
    it->second = std::move(fresh);
  }
  callerBytes_ += bytes;
}

namespace {

// The boolean option key of a request body (false when absent), taken out
// of it so that the check's own fields are read as they always were. A
// Refusal when it is not a boolean.
bool takeFlag(json& body, char const* key, std::string const& where) {
  if (!body.is_object()) return false;
  auto it = body.find(key);
  if (it == body.end()) return false;
  if (!it->is_boolean()) throw Refusal{400, std::string("\"") + key + "\" must be true or false", where + key};
  bool value = it->get<bool>();
  body.erase(it);
  return value;
}

}  // namespace

std::optional<Response> DecisionService::awaitFresh(Request const& request, std::optional<unsigned long> bodyMin,
                                                   unsigned long& sequence) {
  std::optional<unsigned long> wanted = bodyMin;
  if (char const* h = request.header(kMinSequenceHeader)) {
    unsigned long v = 0;
    if (request.headerCount(kMinSequenceHeader) != 1 || !parseSequence(h, v))
      throw Refusal{400, std::string(kMinSequenceHeader) + " must be one sequence number (0 to 4294967295)",
                    kMinSequenceHeader};
    wanted = std::max(wanted.value_or(0), v);
  }
  sequence = replica_.servedSequence();
  if (!wanted || sequence >= *wanted) return std::nullopt;
  unsigned long have = 0;
  AwaitResult result = replica_.awaitSequence(*wanted, options_.freshnessWait, options_.maxFreshnessWaiters, have);
  sequence = have;
  if (result == AwaitResult::reached) return std::nullopt;
  ojson j = result == AwaitResult::tooMany
                ? refusalJson(Refusal{503, "too many requests wait for a newer policy; try again shortly", ""})
                : refusalJson(Refusal{409, "the replica has not reached sequence " + std::to_string(*wanted) +
                                               " within " + std::to_string(options_.freshnessWait.count()) + " ms",
                                      kMinSequenceHeader});
  j["sequence"] = have;
  j["min_sequence"] = *wanted;
  Response r = jsonResponse(result == AwaitResult::tooMany ? 503 : 409, j);
  if (result == AwaitResult::tooMany) r.headers.emplace_back("Retry-After", "1");
  r.headers.emplace_back(kSequenceHeader, std::to_string(have));
  return r;
}

std::optional<Response> DecisionService::decideLean(gxpolicy::Question const& q, Cached const& c,
                                                   std::string const& where) {
  GxAddress address;
  bool badAddress = false;
  if (!q.address.empty()) {
    address = GxAddress(q.address.c_str());
    badAddress = !address.addressIsValid();
  }
  unsigned long st = 0;
  daDecisionContext const ctx = q.context.forDecide();
  if (!badAddress)
    replica_.store().decide(q.object.c_str(), c.caller.pa(), q.actions.c_str(),
                            q.address.empty() ? nullptr : &address, ctx, tls.decision, st);
  if (!badAddress && st == 0) return std::nullopt;
  // The explanation puts what went wrong in words; it fails the same way
  // (rare: the input is wrong or the store cannot answer).
  gxpolicy::Explanation e;
  if (std::optional<Response> refused = explain(q, c, false, e, where)) return refused;
  return refuse(Refusal{500, "a decision that failed succeeded when repeated", where});
}

std::optional<Response> DecisionService::explain(gxpolicy::Question const& q, Cached const& c, bool detail,
                                                gxpolicy::Explanation& e, std::string const& where) {
  gxpolicy::Caller who = c.caller;
  gxpolicy::Problem problem;
  if (gxpolicy::explainDecision(replica_.store(), q, who, registry_, detail, tls.decision, e, problem))
    return std::nullopt;
  return refuse(fromProblem(problem, where));
}

Response DecisionService::check(Request const& request) {
  Clock::time_point start = Clock::now();
  gxpolicy::Question q;
  CallerSpec spec;
  bool detail = false;
  std::optional<unsigned long> minSequence;
  if (request.body.size() > kQuickBody || !readQuickly(request.body, options_, q, spec, detail)) {
    json body = parseBody(request.body);
    detail = takeFlag(body, "detail", "");
    minSequence = takeSequence(body, "min_sequence", "");
    readCheck(body, "", options_, q, spec);
  }
  unsigned long sequence = 0;
  if (std::optional<Response> stale = awaitFresh(request, minSequence, sequence)) return std::move(*stale);
  std::shared_ptr<Cached const> c = caller(spec);
  if (!c->ok) {
    metrics_.decision(Outcome::error);
    return refuse(fromCallerProblem(c->problem, spec, registry_ != nullptr, ""));
  }
  std::optional<Response> refused;
  Response r;
  bool granted = false;
  if (detail) {
    gxpolicy::Explanation e;
    if (!(refused = explain(q, *c, true, e, ""))) {
      granted = e.granted;
      r = jsonResponse(200, gxpolicy::toJson(e, true));
    }
  } else if (!(refused = decideLean(q, *c, ""))) {
    granted = tls.decision.granted();
    r.body.reserve(1024);
    appendCheckAnswer(r.body, replica_.store(), tls.decision, q, c->caller, c->text);
    r.body += '\n';
  }
  if (refused) {
    metrics_.decision(Outcome::error);
    return std::move(*refused);
  }
  metrics_.decision(granted ? Outcome::granted : Outcome::denied);
  metrics_.cause(tls.decision);
  stampSequence(r, sequence);
  metrics_.latency(static_cast<std::uint64_t>(std::chrono::nanoseconds(Clock::now() - start).count()));
  return r;
}

Response DecisionService::batch(Request const& request) {
  Clock::time_point start = Clock::now();
  json body = parseBody(request.body);
  json const* checks = &body;
  std::string where = "";
  bool compact = false, detail = false;
  std::optional<unsigned long> minSequence;
  if (body.is_object()) {
    compact = takeFlag(body, "compact", "");
    detail = takeFlag(body, "detail", "");
    minSequence = takeSequence(body, "min_sequence", "");
    if (body.size() != 1 || !body.contains("checks"))
      throw Refusal{400, "a batch is an array of checks, or {\"checks\": [...]} with \"compact\", \"detail\" or \"min_sequence\"", ""};
    if (compact && detail) throw Refusal{400, "a batch is either compact or detailed, not both", "detail"};
    checks = &body["checks"];
    where = "checks";
  }
  if (!checks->is_array()) throw Refusal{400, "a batch is an array of checks, or {\"checks\": [...]}", where};
  if (checks->size() > options_.maxBatch)
    return refuse(Refusal{413, "a batch holds at most " + std::to_string(options_.maxBatch) + " checks", where});
  // Every check is read before any is asked: a bad one refuses the batch.
  std::vector<std::pair<gxpolicy::Question, CallerSpec>> asked(checks->size());
  for (std::size_t i = 0; i < checks->size(); ++i)
    readCheck((*checks)[i], where + "[" + std::to_string(i) + "].", options_, asked[i].first, asked[i].second);
  unsigned long sequence = 0;
  if (std::optional<Response> stale = awaitFresh(request, minSequence, sequence)) return std::move(*stale);
  Response r;
  r.body.reserve(compact ? 16 + 20 * asked.size() : 64 + 900 * asked.size());
  r.body = "{\"results\":[";
  for (std::size_t i = 0; i < asked.size(); ++i) {
    std::string at = where + "[" + std::to_string(i) + "].";
    std::shared_ptr<Cached const> c = caller(asked[i].second);
    if (!c->ok) {
      metrics_.decision(Outcome::error);
      return refuse(fromCallerProblem(c->problem, asked[i].second, registry_ != nullptr, at));
    }
    std::optional<Response> refused;
    bool granted = false;
    if (i > 0) r.body += ',';
    if (detail) {
      gxpolicy::Explanation e;
      if (!(refused = explain(asked[i].first, *c, true, e, at))) {
        granted = e.granted;
        r.body += gxpolicy::toJson(e, true).dump(-1, ' ', false, ojson::error_handler_t::replace);
      }
    } else if (!(refused = decideLean(asked[i].first, *c, at))) {
      granted = tls.decision.granted();
      if (compact) {
        r.body += granted ? "[1,\"" : "[0,\"";
        r.body += causeText(tls.decision);
        r.body += "\"]";
      } else {
        appendCheckAnswer(r.body, replica_.store(), tls.decision, asked[i].first, c->caller, c->text);
      }
    }
    if (refused) {
      metrics_.decision(Outcome::error);
      return std::move(*refused);
    }
    metrics_.decision(granted ? Outcome::granted : Outcome::denied);
    metrics_.cause(tls.decision);
  }
  r.body += "]}\n";
  stampSequence(r, sequence);
  metrics_.latency(static_cast<std::uint64_t>(std::chrono::nanoseconds(Clock::now() - start).count()));
  return r;
}

namespace {

// The request headers /v1/auth reads, each of which may come once (and the
// attribute headers configured).
char const* const kSingleHeaders[] = {"X-Original-URI",    "X-Original-Method",   "X-Remote-User",
                                      "X-Remote-Uuid",     "X-Remote-Groups",     "X-Remote-Auth-Level",
                                      "X-Real-IP",         kFrontSecretHeader,    kProtectionHeader,
                                      kTimeHeader};
// Those that say who the caller is, where from, how and when: believed
// only from a front end that proved itself (and the attribute headers).
char const* const kIdentityHeaders[] = {"X-Remote-User", "X-Remote-Uuid",   "X-Remote-Groups", "X-Remote-Auth-Level",
                                        "X-Real-IP",     kProtectionHeader, kTimeHeader};

// The connection's protection as the front end states it; false for a
// value that is none of "on" (nginx's $https over TLS), "none",
// "integrity" and "privacy".
bool protectionFromHeader(std::string_view v, daProtection& out) {
  if (v == "on") {
    out = daProtection::privacy;
    return true;
  }
  return gxpolicy::parseProtection(v, out);
}

// The request's time as the front end states it: what parseRequestTime
// reads, or seconds with a fraction ("1796636000.123", nginx's $msec), the
// fraction dropped.
bool timeFromHeader(std::string_view v, std::int64_t& out, std::string& why) {
  std::size_t const dot = v.find('.');
  if (dot != std::string_view::npos && dot > 0 &&
      v.find_first_not_of("0123456789") == dot && v.find_first_not_of("0123456789", dot + 1) == std::string_view::npos &&
      dot + 1 < v.size())
    v = v.substr(0, dot);
  return gxpolicy::parseRequestTime(v, out, why);
}

// The caller the front end names: X-Remote-User, or X-Remote-Uuid with
// X-Remote-Groups, or no one. A Refusal for names or groups over the
// limits of o. header(name) gives a value or null.
template <typename Header>
void callerFromHeaders(Header const& header, ServiceOptions const& o, CallerSpec& spec) {
  spec.user.clear();
  spec.uuid.clear();
  spec.groups.clear();
  if (char const* user = header("X-Remote-User")) {
    spec.form = CallerSpec::Form::user;
    spec.user = user;
    checkNameLength(spec.user, o.maxNameLength, "X-Remote-User");
  } else if (char const* uuid = header("X-Remote-Uuid")) {
    spec.form = CallerSpec::Form::uuid;
    spec.uuid = uuid;
    checkNameLength(spec.uuid, o.maxNameLength, "X-Remote-Uuid");
    if (char const* groups = header("X-Remote-Groups")) splitGroups(groups, spec.groups);
    if (spec.groups.size() > o.maxGroups)
      throw Refusal{400, "more than " + std::to_string(o.maxGroups) + " groups", "X-Remote-Groups"};
    for (std::string const& g : spec.groups) checkNameLength(g, o.maxNameLength, "X-Remote-Groups");
  } else {
    spec.form = CallerSpec::Form::unauthenticated;
  }
}

// Why a denied decision was denied, for X-Gx-Reason.
std::string denialReason(daDecision const& d, std::string const& object, std::string const& actions) {
  std::string out;
  out.reserve(160);
  if (!d.hasAcl()) return out.append("no ACL is in force at ").append(object);
  out.append("the ACL ").append(d.aclName()).append(" gives this caller (");
  out.append(daDecisionEntryText(d.appliedEntry())).append(" entry) \"").append(d.permissionsText());
  out.append("\", not all of \"").append(actions).append("\"");
  return out;
}

}  // namespace

// Refuses what the front end may not say: a header sent twice, identity
// claimed by someone who has not proved to be the front end. Null when the
// request may be answered.
std::optional<Response> DecisionService::frontEndProblem(Request const& request) {
  for (char const* name : kSingleHeaders)
    if (request.headerCount(name) > 1) return refuse(Refusal{400, std::string(name) + " was sent more than once", name});
  for (auto const& [attribute, name] : options_.attributeHeaders)
    if (request.headerCount(name) > 1) return refuse(Refusal{400, name + " was sent more than once", name});
  if (options_.frontTrust == FrontTrust::anyone || options_.frontTrust == FrontTrust::socket) return std::nullopt;
  char const* secret = request.header(kFrontSecretHeader);
  if (options_.frontTrust == FrontTrust::secret) {
    if (secret == nullptr)
      return refuse(Refusal{400, std::string(kFrontSecretHeader) + " is missing: the front end must send the secret "
                                 "of --front-secret-file", kFrontSecretHeader});
    if (!sameSecret(secret, options_.frontSecret)) {
      Response r = text(403, "");
      r.headers.emplace_back(kDecisionHeader, "denied");
      r.headers.emplace_back(kReasonHeader, std::string(kFrontSecretHeader) + " does not match");
      return r;
    }
    return std::nullopt;
  }
  auto believed = [&](std::string_view name) -> std::optional<Response> {
    char const* v = request.header(name);
    if (v == nullptr || *v == '\0') return std::nullopt;
    return refuse(Refusal{400, std::string(name) + " is not believed: no front end is trusted to say who the caller is", std::string(name), 0,
                          "give --front-secret-file and have the front end send " + std::string(kFrontSecretHeader) +
                              ", or serve on a unix socket (--listen unix:PATH) only the front end may open "
                              "(or, for development only, --trust-any-front-end)"});
  };
  for (char const* name : kIdentityHeaders)
    if (auto refused = believed(name)) return refused;
  for (auto const& [attribute, name] : options_.attributeHeaders)
    if (auto refused = believed(name)) return refused;
  return std::nullopt;
}

// A web server's sub-request. Misconfiguration of the front end (a header
// it must send is missing, malformed or repeated, or it has not proved
// itself) gets 400, which a web server turns into an error page; a request
// that may not pass gets 403 or 401.
Response DecisionService::auth(Request const& request) {
  Clock::time_point start = Clock::now();
  auto header = [&](char const* name) -> char const* {
    char const* v = request.header(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
  };
  auto deny = [&](int status, std::string const& why) {
    metrics_.decision(Outcome::denied);
    Response r = text(status, "");
    r.headers.emplace_back(kDecisionHeader, "denied");
    r.headers.emplace_back(kReasonHeader, why);
    return r;
  };
  if (std::optional<Response> refused = frontEndProblem(request)) {
    metrics_.decision(refused->status == 403 ? Outcome::denied : Outcome::error);
    return std::move(*refused);
  }
  char const* uri = header("X-Original-URI");
  char const* method = header("X-Original-Method");
  if (uri == nullptr || method == nullptr) {
    metrics_.decision(Outcome::error);
    return refuse(Refusal{400, "X-Original-URI and X-Original-Method must be set by the front end", ""});
  }
  auto mapped = options_.methods.find(method);
  if (mapped == options_.methods.end()) return deny(403, std::string("method ") + method + " is not mapped to actions");
  std::string why;
  if (!objectFromUri(uri, options_.prefix, tls.object, why, options_.pathAllow)) {
    // A path some back end could read another way is bad input, not a
    // question about an object: 400, and never a pass.
    metrics_.decision(Outcome::error);
    Response r = refuse(Refusal{400, "X-Original-URI is refused: " + why, "X-Original-URI", 0,
                                "--path-allow names the characters a site's object names really hold"});
    r.headers.emplace_back(kDecisionHeader, "denied");
    r.headers.emplace_back(kReasonHeader, why);
    return r;
  }

  CallerSpec& spec = tls.caller;
  callerFromHeaders(header, options_, spec);
  std::shared_ptr<Cached const> c = caller(spec);
  if (!c->ok) {
    unsigned long st = c->problem.status;
    if (st == reg_s_no_such_user || st == reg_s_no_such_group || st == reg_s_ambiguous)
      return deny(403, c->problem.message);
    metrics_.decision(Outcome::error);
    Refusal f = fromCallerProblem(c->problem, spec, registry_ != nullptr, "");
    f.problem.where = spec.form == CallerSpec::Form::user ? "X-Remote-User" : "X-Remote-Uuid";
    return refuse(f);
  }
  bool authenticated = c->caller.authenticated();
  unsigned long had = authenticated ? 1 : 0;
  if (char const* level = header("X-Remote-Auth-Level"); level != nullptr && !parseLevel(level, had)) {
    metrics_.decision(Outcome::error);
    return refuse(Refusal{400, "X-Remote-Auth-Level must be a number", "X-Remote-Auth-Level"});
  }
  GxAddress address;
  char const* ip = header("X-Real-IP");
  if (ip != nullptr) {
    address = GxAddress(ip);
    if (!address.addressIsValid()) {
      metrics_.decision(Outcome::error);
      return refuse(Refusal{400, std::string("X-Real-IP is not an address: ") + ip, "X-Real-IP", gx_s_invalid_address});
    }
  }
  // The request's context: the level read above, the protection, the time
  // and the attributes, as the front end states them.
  gxpolicy::QuestionContext& qc = tls.context;
  qc.time.reset();
  qc.authLevel = static_cast<int>(std::min<unsigned long>(had, 1000000));
  qc.protection = daProtection::none;
  qc.attributes.clear();
  if (char const* p = header(kProtectionHeader); p != nullptr && !protectionFromHeader(p, qc.protection)) {
    metrics_.decision(Outcome::error);
    return refuse(Refusal{400, std::string(kProtectionHeader) + " must be on, none, integrity or privacy", kProtectionHeader});
  }
  if (char const* t = header(kTimeHeader)) {
    std::int64_t seconds = 0;
    std::string bad;
    if (!timeFromHeader(t, seconds, bad)) {
      metrics_.decision(Outcome::error);
      return refuse(Refusal{400, std::string(kTimeHeader) + ": " + bad, kTimeHeader});
    }
    qc.time = seconds;
  }
  for (auto const& [attribute, name] : options_.attributeHeaders) {
    if (char const* v = header(name.c_str())) {
      if (std::strlen(v) > options_.maxNameLength * 16) {
        metrics_.decision(Outcome::error);
        return refuse(Refusal{400, name + " is too long", name});
      }
      daAttributes::Value value;
      gxpolicy::parseAttributeValue(v, value);
      qc.attributes.set(attribute, std::move(value));
    }
  }

  unsigned long st = 0;
  daDecision& d = tls.decision;
  daDecisionContext const ctx = qc.forDecide();
  replica_.store().decide(tls.object.c_str(), c->caller.pa(), mapped->second.c_str(),
                          ip != nullptr ? &address : nullptr, ctx, d, st);
  if (st == gx_s_bad_pobj_name) return deny(403, "not a protected object name");
  if (st != 0) {
    metrics_.decision(Outcome::error);
    gxpolicy::Problem p = {"cannot decide at " + tls.object, st, ""};
    return refuse(fromProblem(p, ""));
  }
  metrics_.decision(d.granted() ? Outcome::granted : Outcome::denied);
  metrics_.cause(d);
  Response r;
  if (d.granted()) {
    r = text(200, "");
    r.headers.emplace_back(kDecisionHeader, "granted");
    if (d.warning()) r.headers.emplace_back(kWarningHeader, daDecisionCauseText(d.wouldCause()));
  } else {
    // Step-up: the caller may log in more strongly. An unauthenticated
    // caller the ACL turns away may log in at all. Any other denial stands
    // whoever the caller becomes: 403 with its cause.
    bool const stepUp = d.cause() == daDecisionCause::authLevel;
    bool const logIn = !authenticated && (d.cause() == daDecisionCause::noAcl || d.cause() == daDecisionCause::aclDenied);
    char const* cause = daDecisionCauseText(d.cause());
    bool const byAcl = d.cause() == daDecisionCause::noAcl || d.cause() == daDecisionCause::aclDenied;
    std::string why = byAcl ? denialReason(d, tls.object, mapped->second) : std::string(d.reason());
    r.status = stepUp || logIn ? 401 : 403;
    r.contentType = "text/plain; charset=utf-8";
    if (r.status == 403 && options_.authDenialBody) {
      r.body.reserve(std::strlen(cause) + why.size() + 3);
      r.body.append(cause).append(": ").append(why).append("\n");
    }
    r.headers.reserve(4);
    r.headers.emplace_back(kDecisionHeader, "denied");
    r.headers.emplace_back(kCauseHeader, cause);
    if (stepUp) r.headers.emplace_back(kLevelHeader, std::to_string(d.requiredAuthLevel()));
    r.headers.emplace_back(kReasonHeader, std::move(why));
  }
  metrics_.latency(static_cast<std::uint64_t>(std::chrono::nanoseconds(Clock::now() - start).count()));
  return r;
}

Response DecisionService::ready() {
  if (!replica_.isOpen()) return text(503, "not ready: the replica is not open\n");
  double age = replica_.ageSeconds();
  if (replica_.hasMaster() && options_.readyMaxAgeSeconds > 0 && age > options_.readyMaxAgeSeconds) {
    char line[160];
    std::snprintf(line, sizeof line, "not ready: the replica was last known current %.0f s ago (limit %.0f s)\n", age,
                  options_.readyMaxAgeSeconds);
    return text(503, line);
  }
  return text(200, "ready: sequence " + std::to_string(replica_.sequence()) + "\n");
}

Response DecisionService::metricsPage() {
  Gauges g;
  g.replicaOpen = replica_.isOpen();
  g.sequence = replica_.sequence();
  g.ageSeconds = replica_.ageSeconds();
  g.rebuilds = replica_.rebuilds();
  g.rebuildFailures = replica_.rebuildFailures();
  if (g.replicaOpen) {
    daCachedStore::Counts counts = replica_.store().counts();
    g.cacheHits = counts.cacheHits;
    g.cacheMisses = counts.cacheMisses;
    g.memoHits = counts.memoHits;
    g.memoMisses = counts.memoMisses;
    g.policyReads = counts.policyReads;
  }
  g.callerHits = callerHits();
  g.callerMisses = callerMisses();
  g.inFlight = inFlight_ ? inFlight_() : 0;
  g.connectionsRefused = connectionsRefused_ ? connectionsRefused_() : 0;
  g.doorbell = replica_.hasDoorbell();
  g.doorbellUp = replica_.doorbellAnswering();
  g.doorbellRings = replica_.rings();
  g.doorbellRequests = replica_.doorbellRequests();
  Response r = text(200, metrics_.render(g));
  r.contentType = "text/plain; version=0.0.4; charset=utf-8";
  return r;
}

}  // namespace gxpolicyd
