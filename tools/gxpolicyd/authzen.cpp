#include "tools/gxpolicyd/authzen.h"
#include "tools/common/review_json.h"

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/GxAddress.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/gxpolicyd/metrics.h"
#include "tools/gxpolicyd/request_body.h"

namespace gxpolicyd {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using gxpolicy::CallerSpec;

namespace {

constexpr std::string_view kRoot = "/access/v1/";
constexpr std::string_view kMetadata = "/.well-known/authzen-configuration";
constexpr std::size_t kMaxRequestId = 256;  // bytes of an X-Request-ID echoed

// The request as a whole cannot be answered: its HTTP status and why.
struct Refused {
  int http;
  std::string message;
};

// One evaluation cannot be decided. shape: a required entity is missing
// or mistyped (a single evaluation then refuses the request, 400).
struct Undecided {
  int status;  // as an HTTP status: 400, 404 (no such user, group or object), 503
  std::string message;
  bool shape = false;
};

Response text(int status, std::string const& message) {
  Response r;
  r.status = status;
  r.contentType = "text/plain; charset=utf-8";
  r.body = message + "\n";
  return r;
}

std::string const* stringAt(json const& object, char const* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? &it->get_ref<std::string const&>() : nullptr;
}

// The entity at key of a request: an object, or an Undecided of shape.
json const& entity(json const& request, char const* key) {
  auto it = request.find(key);
  if (it == request.end()) throw Undecided{400, std::string("\"") + key + "\" is missing", true};
  if (!it->is_object()) throw Undecided{400, std::string("\"") + key + "\" must be an object", true};
  return *it;
}

// The string key of entity name, required.
std::string const& required(json const& e, char const* name, char const* key) {
  std::string const* s = stringAt(e, key);
  if (s == nullptr || s->find('\0') != std::string::npos)
    throw Undecided{400, std::string(name) + "." + key + " must be a string", true};
  return *s;
}

// What an evaluation asks, in this policy's terms.
struct Asked {
  CallerSpec caller;
  gxpolicy::Question question;
};

void checkLength(ReviewHost const& host, std::string const& name, char const* what) {
  if (name.size() > host.maxNameLength)
    throw Undecided{400, std::string(what) + " is " + std::to_string(name.size()) + " bytes; at most " +
                             std::to_string(host.maxNameLength)};
}

// The caller a subject stands for, and its address.
void readSubject(ReviewHost const& host, json const& subject, Asked& out) {
  std::string const& type = required(subject, "subject", "type");
  json const empty = json::object();
  auto props = subject.find("properties");
  json const& properties = props != subject.end() && props->is_object() ? *props : empty;
  if (std::string const* ip = stringAt(properties, "ip_address")) out.question.address = *ip;
  CallerSpec& c = out.caller;
  if (type == "unauthenticated") {
    c.form = CallerSpec::Form::unauthenticated;
    return;
  }
  std::string const& id = required(subject, "subject", "id");
  checkLength(host, id, "subject.id");
  if (type == "group") {
    c.form = CallerSpec::Form::uuid;
    c.uuid = "00000000-0000-0000-0000-000000000000";  // a member named by no user entry
    c.groups = {id};
    return;
  }
  if (type != "user")
    throw Undecided{400, "subject.type \"" + type + "\" is not user, group or unauthenticated"};
  hx_uuid_t uuid;
  unsigned long st = 0;
  hx_uuid_from_string(id.c_str(), uuid, st);
  if (st != 0) {
    c.form = CallerSpec::Form::user;
    c.user = id;
    if (properties.contains("groups"))
      throw Undecided{400, "subject.properties.groups goes with a user uuid (a named user's groups come from the registry)"};
    return;
  }
  c.form = CallerSpec::Form::uuid;
  c.uuid = id;
  if (auto g = properties.find("groups"); g != properties.end()) {
    if (!g->is_array()) throw Undecided{400, "subject.properties.groups must be an array of names or uuids"};
    if (g->size() > host.maxGroups) throw Undecided{400, "more than " + std::to_string(host.maxGroups) + " groups"};
    for (json const& name : *g) {
      if (!name.is_string()) throw Undecided{400, "subject.properties.groups must be an array of names or uuids"};
      checkLength(host, name.get_ref<std::string const&>(), "a group");
      c.groups.push_back(name.get<std::string>());
    }
  }
}

// The known keys of an AuthZEN context, read as /v1/check reads them.
void readContext(json const* context, gxpolicy::QuestionContext& out) {
  out = gxpolicy::QuestionContext{};
  if (context == nullptr) return;
  if (!context->is_object()) throw Undecided{400, "\"context\" must be an object", true};
  json known = json::object();
  for (char const* key : {"time", "auth_level", "protection", "attributes"})
    if (auto it = context->find(key); it != context->end()) known[key] = *it;
  gxpolicy::Problem problem;
  if (!gxpolicy::readQuestionContext(known, "context", out, problem))
    throw Undecided{400, problem.where + ": " + problem.message, true};
}

// The action catalogue's labels, read once per request.
std::vector<ActionLabel> const& labelsOf(ReviewHost const& host, std::optional<std::vector<ActionLabel>>& labels) {
  if (!labels) {
    labels.emplace();
    unsigned long st = 0;
    if (!readActionLabels(host.store(), *labels, st)) {
      labels.reset();  // every evaluation that needs it fails the same way
      throw Undecided{st == da_s_store_unavailable ? 503 : 500, "the action catalogue cannot be read"};
    }
  }
  return *labels;
}

// The HTTP-like status of a caller that could not be resolved.
int callerStatus(ReviewHost const& host, unsigned long st) {
  if (st == reg_s_no_such_user || st == reg_s_no_such_group) return 404;
  if (st == reg_s_unavailable && host.registry != nullptr) return 503;
  return 400;
}

gxpolicy::Caller resolve(ReviewHost const& host, CallerSpec const& spec) {
  gxpolicy::Caller caller;
  gxpolicy::Problem problem;
  if (!host.resolve(spec, caller, problem)) throw Undecided{callerStatus(host, problem.status), problem.message};
  return caller;
}

thread_local daDecision tlsDecision;

// Decides one evaluation of subject, action, resource and context (each
// may be null when missing).
ojson evaluate(ReviewHost const& host, json const* subject, json const* action, json const* resource,
               json const* context, std::optional<std::vector<ActionLabel>>& labels) {
  json request = json::object();
  if (subject) request["subject"] = *subject;
  if (action) request["action"] = *action;
  if (resource) request["resource"] = *resource;
  Asked a;
  readSubject(host, entity(request, "subject"), a);
  a.question.object = required(entity(request, "resource"), "resource", "id");
  std::string const& name = required(entity(request, "action"), "action", "name");
  readContext(context, a.question.context);
  a.question.actions = actionsForName(labelsOf(host, labels), name);
  gxpolicy::Caller caller = resolve(host, a.caller);
  gxpolicy::Explanation e;
  gxpolicy::Problem problem;
  if (!gxpolicy::explainDecision(host.store(), a.question, caller, host.registry, false, tlsDecision, e, problem)) {
    if (host.metrics) host.metrics->decision(Outcome::error);
    int const status = problem.status == da_s_store_unavailable ? 503
                       : problem.status == da_s_no_such_object  ? 404
                                                                : 400;
    throw Undecided{status, problem.message};
  }
  if (host.metrics) {
    host.metrics->decision(e.granted ? Outcome::granted : Outcome::denied);
    host.metrics->cause(tlsDecision);
  }
  ojson d = {{"decision", e.granted}};
  if (!e.granted) {
    d["context"] = {{"cause", e.cause}, {"reason_admin", {{"en", e.reason}}}};
    if (tlsDecision.cause() == daDecisionCause::authLevel)
      d["context"]["auth_level_required"] = tlsDecision.requiredAuthLevel();
  } else if (e.warning) {
    d["context"] = {{"warning", {{"would_cause", e.wouldCause}, {"reason_admin", {{"en", e.wouldReason}}}}}};
  }
  return d;
}

ojson undecided(Undecided const& u) {
  return {{"decision", false}, {"context", {{"error", {{"status", u.status}, {"message", u.message}}}}}};
}

json const* find(json const& object, char const* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

Response single(ReviewHost const& host, json const& body) {
  std::optional<std::vector<ActionLabel>> labels;
  try {
    return jsonResponse(200, evaluate(host, find(body, "subject"), find(body, "action"), find(body, "resource"),
                                      find(body, "context"), labels));
  } catch (Undecided const& u) {
    if (u.shape) throw Refused{400, u.message};
    if (u.status >= 500) throw Refused{u.status, u.message};
    return jsonResponse(200, undecided(u));
  }
}

Response evaluations(ReviewHost const& host, json const& body) {
  auto list = body.find("evaluations");
  if (list == body.end() || (list->is_array() && list->empty())) return single(host, body);
  if (!list->is_array()) throw Refused{400, "\"evaluations\" must be an array"};
  if (list->size() > host.maxBatch)
    throw Refused{413, "at most " + std::to_string(host.maxBatch) + " evaluations in one request"};
  enum class Semantic { all, denyFirst, permitFirst } semantic = Semantic::all;
  if (json const* options = find(body, "options")) {
    if (!options->is_object()) throw Refused{400, "\"options\" must be an object"};
    if (json const* s = find(*options, "evaluations_semantic")) {
      std::string const name = s->is_string() ? s->get<std::string>() : "";
      if (name == "deny_on_first_deny") semantic = Semantic::denyFirst;
      else if (name == "permit_on_first_permit") semantic = Semantic::permitFirst;
      else if (name != "execute_all")
        throw Refused{400, "options.evaluations_semantic must be execute_all, deny_on_first_deny or permit_on_first_permit"};
    }
  }
  std::optional<std::vector<ActionLabel>> labels;
  ojson answers = ojson::array();
  for (json const& item : *list) {
    ojson answer;
    try {
      if (!item.is_object()) throw Undecided{400, "an evaluation must be an object"};
      auto pick = [&](char const* key) { json const* own = find(item, key); return own ? own : find(body, key); };
      answer = evaluate(host, pick("subject"), pick("action"), pick("resource"), pick("context"), labels);
    } catch (Undecided const& u) {
      answer = undecided(u);
    }
    bool const granted = answer["decision"].get<bool>();
    answers.push_back(std::move(answer));
    if ((semantic == Semantic::denyFirst && !granted) || (semantic == Semantic::permitFirst && granted)) break;
  }
  return jsonResponse(200, ojson{{"evaluations", std::move(answers)}});
}

// ---- search --------------------------------------------------------------------

// A search's page as asked: where to resume (none: the start) and how many.
struct PageAsked {
  std::string fingerprint;
  std::optional<std::string> position;
  std::size_t limit = 0;
};

// Reads "page" of body; the fingerprint covers the path and everything in
// the body but the token, which must come from the same question.
PageAsked readPage(ReviewHost const& host, std::string_view path, json const& body) {
  PageAsked p;
  p.limit = host.review.defaultPage;
  json question = {{"path", path}, {"body", body}};
  std::string token;
  if (json const* page = find(body, "page")) {
    if (!page->is_object()) throw Refused{400, "\"page\" must be an object"};
    if (json const* limit = find(*page, "limit")) {
      if (!limit->is_number_unsigned() || limit->get<std::uint64_t>() == 0 || limit->get<std::uint64_t>() > host.review.maxPage)
        throw Refused{400, "page.limit must be a whole number from 1 to " + std::to_string(host.review.maxPage)};
      p.limit = limit->get<std::size_t>();
    }
    if (json const* t = find(*page, "token")) {
      if (!t->is_string()) throw Refused{400, "page.token must be a string"};
      token = t->get<std::string>();
      question["body"]["page"].erase("token");
    }
  }
  p.fingerprint = questionFingerprint(question);
  if (!token.empty()) {
    p.position = readCursor(token, p.fingerprint);
    if (!p.position)
      throw Refused{400, "page.token is not one this server gave for this search (every other field must be as in the "
                         "request that returned it)"};
  }
  return p;
}

// The search answer: the page object first, then context and results.
Response searchAnswer(std::string const& nextToken, ojson results, ojson context) {
  ojson j;
  j["page"] = {{"next_token", nextToken}, {"count", results.size()}};
  if (!context.is_null()) j["context"] = std::move(context);
  j["results"] = std::move(results);
  return jsonResponse(200, j);
}

// A page of a result list worked out whole (subjects, actions): the
// position is the index of the next result.
Response pageOfList(PageAsked const& page, ojson const& all, ojson context) {
  std::size_t start = 0;
  if (page.position) {
    std::string const& p = *page.position;
    if (p.empty() || p.size() > 9 || p.find_first_not_of("0123456789") != std::string::npos || std::stoul(p) > all.size())
      throw Refused{400, "page.token is stale: the results have changed since it was given; start again"};
    start = std::stoul(p);
  }
  std::size_t const end = std::min(all.size(), start + page.limit);
  ojson results = ojson::array();
  for (std::size_t i = start; i < end; ++i) results.push_back(all[i]);
  std::string const next = end < all.size() ? makeCursor(page.fingerprint, std::to_string(end)) : "";
  return searchAnswer(next, std::move(results), std::move(context));
}

// An Undecided met while a search reads its request refuses the whole search.
template <typename Work>
Response wholly(Work&& work) {
  try {
    return work();
  } catch (Undecided const& u) {
    throw Refused{u.status == 404 ? 400 : u.status, u.message};
  }
}

ojson entityResult(char const* type, std::string const& id, bool conditional) {
  ojson r = {{"type", type}, {"id", id}};
  if (conditional) r["properties"] = {{"conditional", true}};
  return r;
}

Response searchSubject(ReviewHost const& host, json const& body, PageAsked const& page) {
  return wholly([&] {
    std::string const& type = required(entity(body, "subject"), "subject", "type");
    if (type != "user" && type != "group") throw Undecided{400, "subject.type must be user or group"};
    std::string const& object = required(entity(body, "resource"), "resource", "id");
    std::optional<std::vector<ActionLabel>> labels;
    std::string const actions = actionsForName(labelsOf(host, labels), required(entity(body, "action"), "action", "name"));
    daWhoCanOptions options;
    options.expand = type == "user" && listsMembers(host.registry);
    daWhoCanResult r;
    unsigned long st = 0;
    daWhoCan(host.store(), object.c_str(), actions.c_str(), host.registry, options, r, st);
    if (st == da_s_store_unavailable || st == reg_s_unavailable) throw Undecided{503, "the policy or the directory cannot answer"};
    if (st == da_s_no_such_object) throw Undecided{400, "no protected object " + object};
    if (st != 0) throw Undecided{400, "who-can " + object + " " + actions + ": status " + std::to_string(st)};
    bool const conditional = r.conditions.any(1);
    ojson all = ojson::array();
    auto idOf = [](std::string const& name, hx_uuid_t const& u) { return name.empty() ? gxpolicy::uuidText(u) : name; };
    for (auto const& s : type == "user" ? r.users : r.groups)
      if (s.granted) all.push_back(entityResult(type.c_str(), idOf(s.name, s.uuid), conditional));
    for (auto const& m : r.members) all.push_back(entityResult("user", idOf(m.name, m.uuid), conditional));
    ojson context = {{"any_other", r.anyOtherGranted}, {"unauthenticated", r.unauthenticatedGranted}};
    if (type == "user") context["members_listed"] = options.expand;
    if (conditional) context["conditions"] = r.conditions.describe(1);
    return pageOfList(page, all, std::move(context));
  });
}

Response searchResource(ReviewHost const& host, json const& body, PageAsked const& page) {
  return wholly([&] {
    Asked a;
    readSubject(host, entity(body, "subject"), a);
    json const& resource = entity(body, "resource");
    std::string const& type = required(resource, "resource", "type");
    std::string under = "/";
    if (json const* props = find(resource, "properties"); props && props->is_object())
      if (std::string const* u = stringAt(*props, "under")) under = *u;
    std::optional<std::vector<ActionLabel>> labels;
    std::string const actions = actionsForName(labelsOf(host, labels), required(entity(body, "action"), "action", "name"));
    gxpolicy::Caller caller = resolve(host, a.caller);
    ojson results = ojson::array();
    std::string last;
    bool more = false;
    unsigned long st = 0;
    daWhatCanObjects(host.store(), caller.pa(), actions.c_str(), under.c_str(),
                     page.position ? page.position->c_str() : "",
                     [&](char const* object, bool conditional) {
                       if (results.size() == page.limit) {
                         more = true;
                         return false;
                       }
                       results.push_back(entityResult(type.c_str(), object, conditional));
                       last = object;
                       return true;
                     },
                     st);
    if (st == da_s_store_unavailable) throw Undecided{503, "the policy cannot answer"};
    if (st == da_s_no_such_object || st == gx_s_bad_pobj_name) throw Undecided{400, "resource.properties.under: no protected object " + under};
    if (st != 0) throw Undecided{400, "the actions " + actions + " cannot be searched: status " + std::to_string(st)};
    return searchAnswer(more ? makeCursor(page.fingerprint, last) : "", std::move(results), nullptr);
  });
}

Response searchAction(ReviewHost const& host, json const& body, PageAsked const& page) {
  return wholly([&] {
    Asked a;
    readSubject(host, entity(body, "subject"), a);
    std::string const& object = required(entity(body, "resource"), "resource", "id");
    readContext(find(body, "context"), a.question.context);
    std::optional<std::vector<ActionLabel>> labels;
    labelsOf(host, labels);
    gxpolicy::Caller caller = resolve(host, a.caller);
    GxAddress address;
    if (!a.question.address.empty()) {
      address = GxAddress(a.question.address.c_str());
      if (!address.addressIsValid()) throw Undecided{400, "subject.properties.ip_address is not an address"};
    }
    daDecisionContext const ctx = a.question.context.forDecide();
    ojson all = ojson::array();
    for (ActionLabel const& l : *labels) {
      unsigned long st = 0;
      host.store().decide(object.c_str(), caller.pa(), l.actions.c_str(), a.question.address.empty() ? nullptr : &address,
                          ctx, tlsDecision, st);
      if (st == da_s_store_unavailable) throw Undecided{503, "the policy cannot answer"};
      if (st == gx_s_bad_pobj_name) throw Undecided{400, "resource.id is not a protected object name"};
      if (st != 0) throw Undecided{500, "the action " + l.actions + " cannot be decided: status " + std::to_string(st)};
      if (tlsDecision.granted()) all.push_back({{"name", l.label.empty() ? l.actions : l.label}});
    }
    return pageOfList(page, all, nullptr);
  });
}

// The metadata: each endpoint's URL under the base URL configured.
Response metadata(ReviewHost const& host, Request const& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    Response r = text(405, "method not allowed");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
  }
  std::string const& base = host.review.authzenBaseUrl;
  if (base.empty()) throw Refused{404, "no AuthZEN metadata: start gxpolicyd with --authzen-base-url to publish it"};
  ojson j = {{"policy_decision_point", base},
             {"access_evaluation_endpoint", base + "/access/v1/evaluation"},
             {"access_evaluations_endpoint", base + "/access/v1/evaluations"}};
  if (!host.review.token.empty())
    for (char const* kind : {"subject", "resource", "action"})
      j[std::string("search_") + kind + "_endpoint"] = base + "/access/v1/search/" + kind;
  return jsonResponse(200, j);
}

Response route(ReviewHost const& host, Request const& request) {
  std::string_view const path = request.path;
  if (path == kMetadata) return metadata(host, request);
  std::string_view const rest = path.substr(kRoot.size());
  bool const search = rest == "search/subject" || rest == "search/resource" || rest == "search/action";
  if (rest != "evaluation" && rest != "evaluations" && !search)
    throw Refused{404, "no such endpoint: /access/v1/evaluation, /access/v1/evaluations, /access/v1/search/subject, "
                       "/access/v1/search/resource, /access/v1/search/action"};
  if (request.method != "POST") {
    Response r = text(405, "method not allowed");
    r.headers.emplace_back("Allow", "POST");
    return r;
  }
  if (search) {
    if (auto refused = reviewAccessProblem(host.review, request, text)) return std::move(*refused);
  }
  json body;
  gxpolicy::Problem problem;
  if (!parseJsonBody(request.body, body, problem)) throw Refused{400, problem.message};
  if (!body.is_object()) throw Refused{400, "the body must be a JSON object"};
  if (rest == "evaluation") return single(host, body);
  if (rest == "evaluations") return evaluations(host, body);
  PageAsked const page = readPage(host, path, body);
  if (rest == "search/subject") return searchSubject(host, body, page);
  if (rest == "search/resource") return searchResource(host, body, page);
  return searchAction(host, body, page);
}

}  // namespace

bool isAuthzenPath(std::string_view path) { return path.substr(0, kRoot.size()) == kRoot || path == kMetadata; }

Response answerAuthzen(ReviewHost const& host, Request const& request) {
  if (request.headerCount("X-Request-ID") > 1) return text(400, "X-Request-ID was sent more than once");
  if (char const* id = request.header("X-Request-ID"); id != nullptr && std::string_view(id).size() > kMaxRequestId)
    return text(400, "X-Request-ID is longer than " + std::to_string(kMaxRequestId) + " bytes");
  try {
    return route(host, request);
  } catch (Refused const& f) {
    return text(f.http, f.message);
  }
}

void echoRequestId(Request const& request, Response& response) {
  char const* id = request.header("X-Request-ID");
  if (id == nullptr || request.headerCount("X-Request-ID") > 1 || std::string_view(id).size() > kMaxRequestId) return;
  for (auto const& [name, value] : response.headers)
    if (Request::sameName(name, "X-Request-ID")) return;
  response.headers.emplace_back("X-Request-ID", id);
}

}  // namespace gxpolicyd
