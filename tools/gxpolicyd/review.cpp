#include "tools/gxpolicyd/review.h"

#include <cctype>
#include <cstdint>
#include <utility>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/dastatus.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/handle.h"
#include "outside/file_registry.h"
#include "outside/registry.h"
#include "tools/common/json_fields.h"
#include "tools/common/review_json.h"
#include "tools/gxpolicyd/request_body.h"
#include "tools/gxpolicyd/service.h"

namespace gxpolicyd {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

// A question that cannot be answered: the HTTP status and the problem.
struct Refused {
  int http;
  gxpolicy::Problem problem;
};


// The HTTP status and field of a failed review call.
Refused fromStatus(std::string const& what, unsigned long st, gxreg::Registry* registry) {
  Refused r{400, {what, st}};
  switch (st) {
    case gx_s_bad_pobj_name: r.problem.where = "object"; break;
    case gx_s_bad_action:
    case gx_s_no_action_group:
    case gx_s_group_at_end: r.problem.where = "actions"; break;
    case da_s_no_such_object: r.http = 404; break;
    case da_s_store_unavailable: r.http = 503; break;
    case da_s_review_no_members:  // also the registry's "unavailable"
      if (!listsMembers(registry)) {
        r.problem.where = "expand";
        r.problem.hint = "\"expand\" needs a file registry (a directory cannot list a group's members)";
      } else {
        r.http = 503;
      }
      break;
    default: r.http = 500; break;
  }
  return r;
}

// As fromStatus; a bad object name is the subtree's.
Refused fromWhatCan(std::string const& what, unsigned long st, gxreg::Registry* registry) {
  Refused r = fromStatus(what, st, registry);
  if (st == gx_s_bad_pobj_name || st == da_s_no_such_object) r.problem.where = "under";
  return r;
}


// The fields of a body, read as every gxpolicyd body is (a Problem thrown
// for a missing or mistyped one) and refused with 400.
template <typename Read>
auto field(Read&& read) {
  try {
    return read();
  } catch (gxpolicy::Problem const& p) {
    throw Refused{400, p};
  }
}

bool flag(json const& body, char const* key) {
  auto it = body.find(key);
  if (it == body.end()) return false;
  if (!it->is_boolean()) throw Refused{400, {std::string("\"") + key + "\" must be true or false", 0, "", key}};
  return it->get<bool>();
}

Response whoCan(ReviewHost const& host, json const& body) {
  gxpolicy::JsonFields f(body, "");
  field([&] { f.onlyKnown({"object", "actions", "expand"}); return 0; });
  std::string const object = field([&] { return f.string("object", true); });
  std::string const actions = field([&] { return f.string("actions", true); });
  daWhoCanOptions options;
  options.expand = flag(body, "expand");
  daWhoCanResult r;
  unsigned long st = 0;
  daWhoCan(host.store(), object.c_str(), actions.c_str(), host.registry, options, r, st);
  if (st != 0) throw fromStatus("who-can " + object + " " + actions, st, host.registry);

  auto subjects = [](std::vector<daReviewSubject> const& list) {
    ojson out = ojson::array();
    for (auto const& s : list)
      out.push_back({{"name", s.name}, {"uuid", gxpolicy::uuidText(s.uuid)}, {"permissions", s.permissions}, {"granted", s.granted}});
    return out;
  };
  ojson j = {{"object", r.object}, {"actions", r.actions}};
  j["acl"] = r.hasAcl ? ojson{{"name", r.aclName}, {"attached_at", r.aclLocation}} : ojson(nullptr);
  j["users"] = subjects(r.users);
  j["groups"] = subjects(r.groups);
  if (options.expand) {
    ojson members = ojson::array();
    for (auto const& m : r.members) members.push_back({{"name", m.name}, {"uuid", gxpolicy::uuidText(m.uuid)}, {"via", m.viaGroups}});
    j["members"] = members;
  }
  j["any_other"] = {{"entry", r.hasAnyOther}, {"permissions", r.anyOtherPermissions}, {"granted", r.anyOtherGranted}};
  j["unauthenticated"] = {
      {"entry", r.hasUnauthenticated}, {"permissions", r.unauthenticatedPermissions}, {"granted", r.unauthenticatedGranted}};
  j["conditions"] = gxpolicy::reviewConditionsJson(r.conditions, 1);
  j["conditions_unauthenticated"] = gxpolicy::reviewConditionsJson(r.conditions, 0);
  return jsonResponse(200, j);
}

// The caller a body names: "user", "uuid" with "groups", or neither.
gxpolicy::CallerSpec callerOf(ReviewHost const& host, gxpolicy::JsonFields const& f) {
  gxpolicy::CallerSpec spec;
  bool const user = f.has("user"), uuid = f.has("uuid");
  if (user && uuid) throw Refused{400, {"give \"user\" or \"uuid\", not both", 0, "", "uuid"}};
  if (f.has("groups") && !uuid)
    throw Refused{400, {"\"groups\" goes with \"uuid\" (a named user's groups come from the registry)", 0, "", "groups"}};
  spec.form = user ? gxpolicy::CallerSpec::Form::user
              : uuid ? gxpolicy::CallerSpec::Form::uuid
                     : gxpolicy::CallerSpec::Form::unauthenticated;
  spec.user = field([&] { return f.string("user", false); });
  spec.uuid = field([&] { return f.string("uuid", false); });
  spec.groups = field([&] { return f.strings("groups", host.maxGroups); });
  std::size_t longest = std::max(spec.user.size(), spec.uuid.size());
  for (auto const& g : spec.groups) longest = std::max(longest, g.size());
  if (longest > host.maxNameLength)
    throw Refused{400, {"a name or uuid of " + std::to_string(longest) + " bytes; at most " + std::to_string(host.maxNameLength), 0,
                        "", user ? "user" : uuid ? "uuid" : "groups"}};
  return spec;
}

Response whatCan(ReviewHost const& host, json const& body) {
  gxpolicy::JsonFields f(body, "");
  field([&] { f.onlyKnown({"user", "uuid", "groups", "actions", "under", "objects", "limit", "cursor"}); return 0; });
  gxpolicy::CallerSpec const spec = callerOf(host, f);
  std::string actions = field([&] { return f.string("actions", false); });
  if (!f.has("actions")) actions = "r";
  std::string under = field([&] { return f.string("under", false); });
  if (under.empty()) under = "/";
  bool const objects = flag(body, "objects");
  if (!objects && (f.has("limit") || f.has("cursor")))
    throw Refused{400, {"\"limit\" and \"cursor\" page the objects: they go with \"objects\": true", 0, "", "limit"}};
  std::uint64_t const limit = field([&] { return f.number("limit", host.review.maxPage); }).value_or(host.review.defaultPage);
  if (limit == 0) throw Refused{400, {"\"limit\" must be at least 1", 0, "", "limit"}};

  gxpolicy::Caller caller;
  gxpolicy::Problem problem;
  if (!host.resolve(spec, caller, problem)) {
    int const http = problem.status == reg_s_unavailable && host.registry != nullptr ? 503 : 400;
    problem.where = problem.status == reg_s_no_such_group ? "groups" : spec.form == gxpolicy::CallerSpec::Form::user ? "user" : "uuid";
    throw Refused{http, problem};
  }
  unsigned long st = 0;
  std::string const what = "what-can " + caller.describe() + " " + actions + " under " + under;
  if (!objects) {
    int const level = caller.authenticated() ? 1 : 0;
    ojson regions = ojson::array();
    daWhatCan(host.store(), caller.pa(), actions.c_str(), under.c_str(),
              [&](daWhatCanRegion const& r) {
                regions.push_back({{"prefix", r.prefix},
                                   {"except", r.exceptions},
                                   {"conditional", r.conditional},
                                   {"acl", {{"name", r.aclName}, {"attached_at", r.aclLocation}}},
                                   {"conditions", gxpolicy::reviewConditionsJson(r.conditions, level)}});
                return true;
              },
              st);
    if (st != 0) throw fromWhatCan(what, st, host.registry);
    return jsonResponse(200, ojson{{"caller", caller.describe()}, {"actions", actions}, {"under", under}, {"regions", regions}});
  }

  // A cursor resumes this question only: the caller as given, the actions
  // and the subtree.
  json const question = {{"caller", {static_cast<int>(spec.form), spec.user, spec.uuid, spec.groups}},
                         {"actions", actions}, {"under", under}, {"limit", limit}};
  std::string const fingerprint = questionFingerprint(question);
  std::string after;
  if (f.has("cursor")) {
    std::optional<std::string> position = readCursor(field([&] { return f.string("cursor", true); }), fingerprint);
    if (!position)
      throw Refused{400, {"the cursor is not one this server gave for this question", 0,
                          "send the cursor of the previous page with the same caller, actions, under and limit", "cursor"}};
    after = std::move(*position);
  }
  ojson list = ojson::array();
  std::string last;
  bool more = false;
  daWhatCanObjects(host.store(), caller.pa(), actions.c_str(), under.c_str(), after.c_str(),
                   [&](char const* object, bool conditional) {
                     if (list.size() == limit) {
                       more = true;
                       return false;
                     }
                     list.push_back({{"object", object}, {"conditional", conditional}});
                     last = object;
                     return true;
                   },
                   st);
  if (st != 0) throw fromWhatCan(what, st, host.registry);
  ojson j = {{"caller", caller.describe()}, {"actions", actions}, {"under", under}, {"objects", list}};
  j["cursor"] = more ? ojson(makeCursor(fingerprint, last)) : ojson(nullptr);
  return jsonResponse(200, j);
}

// The question of a GET, from its query: each argument a string field,
// but "expand" and "objects" (true or false), "limit" (a number) and
// "group" (repeatable: the groups). The body's readers then hold it to
// what they hold a POST's body to.
json questionFromQuery(Request const& request) {
  if (request.queryHasNul) throw Refused{400, {"a query argument holds a NUL byte"}};
  json body = json::object();
  for (HeaderField const& f : request.query) {
    std::string const name(f.name), value(f.value);
    if (name == "group") {
      body["groups"].push_back(value);
      continue;
    }
    if (name == "groups") throw Refused{400, {"give each group as group=NAME", 0, "", name}};
    if (body.contains(name)) throw Refused{400, {"\"" + name + "\" was given more than once", 0, "", name}};
    if (name == "expand" || name == "objects") {
      if (value != "true" && value != "false") throw Refused{400, {"\"" + name + "\" must be true or false", 0, "", name}};
      body[name] = value == "true";
    } else if (name == "limit") {
      if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        throw Refused{400, {"\"limit\" must be a whole number", 0, "", name}};
      body[name] = std::stoul(value);
    } else {
      body[name] = value;
    }
  }
  return body;
}

char hexDigit(unsigned v) { return "0123456789abcdef"[v & 15]; }
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<Response> reviewAccessProblem(ReviewOptions const& options, Request const& request,
                                            std::function<Response(int, std::string const&)> const& refusal) {
  if (options.token.empty())
    return refusal(403, "the review endpoints are off: start gxpolicyd with --review-token-file to serve them");
  auto unauthorized = [&](std::string const& why) {
    Response r = refusal(401, why);
    r.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"gxpolicyd review\"");
    return r;
  };
  if (request.headerCount("Authorization") > 1) return unauthorized("Authorization was sent more than once");
  char const* value = request.header("Authorization");
  if (value == nullptr) return unauthorized("these endpoints reveal policy: send Authorization: Bearer with the review token");
  std::string_view v(value);
  constexpr std::string_view kScheme = "bearer ";
  bool const bearer = v.size() > kScheme.size() &&
                      Request::sameName(v.substr(0, kScheme.size() - 1), kScheme.substr(0, kScheme.size() - 1)) &&
                      v[kScheme.size() - 1] == ' ';
  if (!bearer || !sameSecret(v.substr(kScheme.size()), options.token))
    return unauthorized("the review token does not match");
  return std::nullopt;
}

Response answerReview(ReviewHost const& host, Request const& request) {
  auto refusal = [](int http, gxpolicy::Problem const& p) { return jsonResponse(http, problemJson(p)); };
  try {
    json body;
    gxpolicy::Problem problem;
    if (request.method == "GET") body = questionFromQuery(request);
    else if (!parseJsonBody(request.body, body, problem)) return refusal(400, problem);
    if (!body.is_object()) return refusal(400, {"the body must be a JSON object"});
    return request.path == "/v1/who-can" ? whoCan(host, body) : whatCan(host, body);
  } catch (Refused const& r) {
    return refusal(r.http, r.problem);
  }
}

bool listsMembers(gxreg::Registry* registry) {
  return dynamic_cast<gxreg::FileRegistry*>(registry) != nullptr ||
         dynamic_cast<gxreg::WatchedFileRegistry*>(registry) != nullptr;
}

std::string questionFingerprint(json const& question) {
  std::uint64_t hash = 1469598103934665603ull;
  for (char c : question.dump(-1, ' ', false, json::error_handler_t::replace))
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) out[static_cast<std::size_t>(i)] = hexDigit(static_cast<unsigned>(hash));
  return out;
}

std::string makeCursor(std::string const& fingerprint, std::string_view position) {
  std::string out = "c1" + fingerprint;
  out.reserve(out.size() + 2 * position.size());
  for (char c : position) {
    out += hexDigit(static_cast<unsigned char>(c) >> 4);
    out += hexDigit(static_cast<unsigned char>(c));
  }
  return out;
}

std::optional<std::string> readCursor(std::string_view cursor, std::string const& fingerprint) {
  std::size_t const head = 2 + fingerprint.size();
  if (cursor.size() < head || cursor.substr(0, 2) != "c1" || cursor.substr(2, fingerprint.size()) != fingerprint ||
      (cursor.size() - head) % 2 != 0)
    return std::nullopt;
  std::string position;
  for (std::size_t i = head; i < cursor.size(); i += 2) {
    int hi = hexValue(cursor[i]), lo = hexValue(cursor[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    char const c = static_cast<char>(hi * 16 + lo);
    if (c == '\0') return std::nullopt;  // no position holds a NUL
    position += c;
  }
  return position;
}

bool readActionLabels(daCachedStore& store, std::vector<ActionLabel>& out, unsigned long& status) {
  out.clear();
  Handle<daStoreObject> handle;
  daCacheStateLock reading(store, daCachedStore::open);
  store.getObject(daActionGroupName(), handle, status);
  if (status != 0) return false;
  auto const* catalogue = dynamic_cast<GxActionGroups const*>(handle.object);
  if (catalogue == nullptr) {
    status = da_s_unknown_type;
    return false;
  }
  GxActionConstIter it(catalogue->value());
  while (it.iterGroup()) {
    std::string const group = it.group()->name ? it.group()->name : "";
    while (it.iterAction()) {
      gxaction_s_t const* a = it.action();
      if (a == nullptr || a->name == nullptr || *a->name == '\0') continue;
      ActionLabel l;
      for (char const* p = a->text1 ? a->text1 : ""; *p; ++p)
        l.label += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
      l.actions = group == "primary" ? std::string(a->name) : "[" + group + "]" + a->name;
      out.push_back(std::move(l));
    }
  }
  return true;
}

std::string actionsForName(std::vector<ActionLabel> const& labels, std::string const& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view bare(lower);
  if (bare.size() > 4 && bare.substr(0, 4) == "can_") bare.remove_prefix(4);
  for (ActionLabel const& l : labels)
    if (!l.label.empty() && l.label == bare) return l.actions;
  return name;
}

}  // namespace gxpolicyd
