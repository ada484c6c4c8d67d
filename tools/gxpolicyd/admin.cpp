// The administration service; see admin.h.
#include "tools/gxpolicyd/admin.h"

#include <algorithm>
#include <new>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "tools/common/change_effect.h"
#include "tools/common/change_log.h"
#include "tools/common/decide.h"
#include "tools/common/object_tree.h"
#include "tools/common/policy_document.h"
#include "tools/common/policy_edit.h"
#include "tools/common/status_text.h"
#include "tools/gxpolicyd/request_body.h"

namespace gxpolicyd {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using gxpolicy::ChangeOutcome;
using gxpolicy::ChangeResult;
using gxpolicy::ItemChange;
using gxpolicy::PolicyEdit;
using gxpolicy::Problem;
using gxpolicy::document::kObjects;

namespace {

constexpr int kWriteAttempts = 3;

Response refuse(int status, Problem const& problem) { return jsonResponse(status, problemJson(problem)); }
Response refuse(int status, std::string message, std::string where = "") {
  return refuse(status, Problem(std::move(message), 0, "", std::move(where)));
}

// The section a collection name stands for, or -1.
int sectionOf(std::string_view name) {
  for (int s = 0; s < gxpolicy::document::kSectionCount; ++s)
    if (name == gxpolicy::document::sectionName(s)) return s;
  return -1;
}

int kindOf(std::string_view field) {
  for (int k = 0; k < gxpolicy::kKindCount; ++k)
    if (field == gxpolicy::kKinds[k].field) return k;
  return -1;
}

// A refused change's status: 404 for an item that is not there, 409 for a
// change the policy as it is refuses, else 400 (the request is wrong).
int refusedStatus(Problem const& problem) {
  std::string const& m = problem.message;
  if (m.rfind("there is no ", 0) == 0) return 404;
  for (char const* conflict : {"exists already", "detach it first", "still attached", " below it"})
    if (m.find(conflict) != std::string::npos) return 409;
  return 400;
}

ojson changeLines(std::vector<ItemChange> const& changes) {
  ojson lines = ojson::array();
  std::string text = gxpolicy::describeChanges(changes);
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

Response withSequence(int status, ojson body, unsigned long sequence) {
  Response r = jsonResponse(status, body);
  r.headers.emplace_back("ETag", "\"" + std::to_string(sequence) + "\"");
  return r;
}

// Reads a sequence number ("12" or "\"12\""); false for anything else.
bool parseSequence(std::string_view text, unsigned long& out) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  unsigned long long v = std::stoull(std::string(text));
  if (v > 0xFFFFFFFFull) return false;
  out = static_cast<unsigned long>(v);
  return true;
}

}  // namespace

// One request on its way through the service.
struct AdminService::Call {
  Request const& request;
  std::string admin, address;
  bool callerTried = false;
  bool callerKnown = false;
  gxpolicy::Caller caller;
  std::optional<Response> bad;  // a query argument that cannot be taken

  // The query argument name: none when absent; sets bad when it is given
  // twice or decodes to a NUL.
  std::optional<std::string> arg(char const* name) {
    std::optional<std::string> value;
    for (HeaderField const& f : request.query) {
      if (f.name != name) continue;
      if (value) {
        bad = refuse(400, std::string("the query gives ") + name + " twice", name);
        return std::nullopt;
      }
      value = f.value;
    }
    if (value && request.queryHasNul) bad = refuse(400, "the query holds a NUL character", name);
    return value;
  }
  // A flag: "NAME=true" or "NAME=1"; "false", "0" or absent: off;
  // anything else sets bad.
  bool flag(char const* name) {
    std::optional<std::string> value = arg(name);
    if (!value || *value == "false" || *value == "0") return false;
    if (*value == "true" || *value == "1") return true;
    bad = refuse(400, std::string(name) + " must be true or false", name);
    return false;
  }
};

AdminService::AdminService(AdminOptions options, gxreg::Registry* registry, AdminAuthenticator& auth)
    : options_(std::move(options)), registry_(registry), auth_(auth) {
  std::lock_guard<std::mutex> hold(lock_);
  follow();
  if (!store_) throw std::runtime_error("cannot open " + options_.db + " for writing");
}

AdminService::~AdminService() {
  if (!store_) return;
  unsigned long st = 0;
  store_->closeStore(st);
}

unsigned long AdminService::sequence() {
  unsigned long seq = 0, st = 0;
  store_->lockDatabase();
  store_->readSeqNum(seq, st);
  store_->unlockDatabase();
  return st == 0 ? seq : seen_;
}

void AdminService::follow() {
  if (store_ && sequence() == seen_) return;
  // A change by another process: the cache of decoded records and the
  // decisions it remembers are dropped with the store.
  auto fresh = std::make_unique<daCachedStore>(options_.domain.c_str(), options_.db.c_str(), 1, 0);
  unsigned long st = 0;
  fresh->openStore(0, st);
  if (st != 0) {
    if (!store_) return;
    throw std::runtime_error("cannot open " + options_.db + " for writing: " + gxpolicy::statusText(st));
  }
  if (store_) store_->closeStore(st);
  store_ = std::move(fresh);
  seen_ = sequence();
}

Response AdminService::handle(Request const& request) {
  try {
    if (request.bodyOverBudget || request.bodyNoMemory) {
      Response r = refuse(503, "the server holds as many request bodies as it may; try again shortly");
      r.headers.emplace_back("Retry-After", "1");
      return r;
    }
    if (request.bodyTooLarge || request.body.size() > options_.maxBody)
      return refuse(413, "the body is larger than " + std::to_string(options_.maxBody) + " bytes");
    unsigned retryAfter = 1;
    std::optional<std::string> admin = auth_.authenticate(request, retryAfter);
    if (!admin) {
      Response r = refuse(401, "authentication required");
      // Not Basic to the console's own requests: a browser answers a Basic
      // challenge with a password dialog of its own, even for a script's.
      for (std::string& challenge : auth_.challenges())
        if (request.header("X-Gx-Console") == nullptr || challenge.rfind("Basic", 0) != 0)
          r.headers.emplace_back("WWW-Authenticate", std::move(challenge));
      r.headers.emplace_back("Retry-After", std::to_string(retryAfter));
      return r;
    }
    Call call{request, std::move(*admin), peerText(request), false, false, {}, std::nullopt};
    std::lock_guard<std::mutex> hold(lock_);
    follow();
    Response r = route(call);
    return r;
  } catch (std::bad_alloc const&) {
    return refuse(503, "out of memory");
  } catch (gxpolicy::document::BadItem const& bad) {
    return refuse(500, gxpolicy::document::problemOf(bad));
  } catch (std::exception const& e) {
    return refuse(500, e.what());
  }
}

Response AdminService::route(Call& call) {
  std::string_view path = call.request.path, method = call.request.method;
  if (path.rfind(kAdminPrefix, 0) != 0) return refuse(404, "no such endpoint");
  path.remove_prefix(sizeof kAdminPrefix - 1);
  auto notAllowed = [](char const* allow) {
    Response r = refuse(405, "method not allowed");
    r.headers.emplace_back("Allow", allow);
    return r;
  };
  if (path == "/sequence") {
    if (method != "GET") return notAllowed("GET");
    unsigned long seq = sequence();
    return withSequence(200, ojson{{"sequence", seq}}, seq);
  }
  if (path == "/changes") return method == "POST" ? changes(call) : notAllowed("POST");
  if (path == "/log") return method == "GET" ? log(call) : notAllowed("GET");
  if (path == "/actions") return method == "GET" ? actions() : notAllowed("GET");
  if (path == "/explain") return method == "POST" ? explain(call, call.request) : notAllowed("POST");
  if (path == "/who-can" || path == "/what-can") return method == "GET" ? review(call, call.request, path == "/who-can") : notAllowed("GET");
  std::size_t slash = path.find('/', 1);
  std::string_view head = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
  if (head == "attachments" && slash != std::string_view::npos) {
    std::string_view rest = path.substr(slash + 1);
    std::size_t next = rest.find('/');
    int kind = kindOf(rest.substr(0, next));
    if (kind < 0 || next == std::string_view::npos)
      return refuse(404, "no such endpoint: /admin/v1/attachments/{acl,pop,rule}/PATH");
    if (method != "GET" && method != "PUT" && method != "DELETE") return notAllowed("GET, PUT, DELETE");
    return attachment(call, kind, std::string(rest.substr(next)));
  }
  int section = sectionOf(head);
  if (section < 0) return refuse(404, "no such endpoint under /admin/v1");
  if (slash == std::string_view::npos) return method == "GET" ? list(call, section) : notAllowed("GET");
  std::string key(path.substr(section == kObjects ? slash : slash + 1));
  if (key.empty()) return refuse(404, "no such endpoint: give a name after the collection");
  if (method == "GET") return getItem(call, section, key);
  if (method == "PUT") return putItem(call, section, key);
  if (method == "DELETE") return deleteItem(call, section, key);
  return notAllowed("GET, PUT, DELETE");
}

Response AdminService::list(Call& call, int section) {
  std::optional<std::string> after = call.arg("after"), limitText = call.arg("limit");
  if (call.bad) return *call.bad;
  std::size_t limit = options_.defaultPage;
  if (limitText) {
    unsigned long v = 0;
    if (!parseSequence(*limitText, v) || v == 0 || v > options_.maxPage)
      return refuse(400, "limit must be from 1 to " + std::to_string(options_.maxPage), "limit");
    limit = v;
  }
  if (section == kObjects) {
    std::optional<std::string> under = call.arg("under"), prefix = call.arg("prefix");
    if (call.bad) return *call.bad;
    if (under) return children(*under, after, limit, prefix.value_or(""));
  }
  std::vector<std::string> names;
  if (section == kObjects) {
    std::set<std::string> paths;
    if (unsigned long st = gxpolicy::objectPaths(*store_, paths); st != 0)
      return refuse(500, Problem("cannot list the protected objects", st));
    names.assign(paths.begin(), paths.end());
  } else {
    std::vector<std::string> keys;
    if (unsigned long st = gxpolicy::keysUnder(*store_, gxpolicy::kKinds[section].base, keys); st != 0)
      return refuse(500, Problem("cannot list the policies", st));
    for (std::string const& k : keys)
      if (k.size() >= 2) names.push_back(k.substr(1));
    std::sort(names.begin(), names.end());
  }
  auto from = after ? std::upper_bound(names.begin(), names.end(), *after) : names.begin();
  ojson items = ojson::array();
  for (; from != names.end() && items.size() < limit; ++from) items.push_back(*from);
  ojson next = from != names.end() && !items.empty() ? ojson(items.back()) : ojson();
  unsigned long seq = sequence();
  return withSequence(200, ojson{{"items", std::move(items)}, {"next", std::move(next)}, {"sequence", seq}}, seq);
}

// One level of the object tree (object_tree.h): for browsing, whose cost
// grows with the children listed, not with the estate.
Response AdminService::children(std::string const& under, std::optional<std::string> const& after, std::size_t limit,
                                std::string const& prefix) {
  std::vector<gxpolicy::ObjectChild> kids;
  bool more = false;
  unsigned long st = gxpolicy::objectChildren(*store_, under, after, limit, kids, more, prefix);
  if (st == gx_s_bad_pobj_name) return refuse(400, "under must be an object path such as / or /hr/payroll", "under");
  if (st != 0) return refuse(500, Problem("cannot list the protected objects", st));
  ojson items = ojson::array();
  for (gxpolicy::ObjectChild const& c : kids)
    items.push_back(ojson{{"name", c.name}, {"path", c.path}, {"children", c.hasChildren}});
  ojson next = more ? ojson(kids.back().name) : ojson();
  unsigned long seq = sequence();
  return withSequence(200, ojson{{"items", std::move(items)}, {"next", std::move(next)}, {"sequence", seq}}, seq);
}

Response AdminService::getItem(Call& call, int section, std::string const& given) {
  std::string key = given;
  if (section == kObjects) {
    try {
      key = PolicyEdit::objectKey(given, gxpolicy::document::root());
    } catch (gxpolicy::document::BadItem const& bad) {
      return refuse(400, gxpolicy::document::problemOf(bad));
    }
    if (auto denied = needControl(call, key, key)) return *denied;
  }
  json item = gxpolicy::document::exportItem(*store_, registry_, section, key);
  if (item.is_null())
    return refuse(404, std::string("there is no ") + gxpolicy::document::itemField(section) + " " + key);
  unsigned long seq = sequence();
  return withSequence(200, ojson{{section == kObjects ? "path" : "name", key}, {"value", ojson::parse(item.dump(-1, ' ', false, json::error_handler_t::replace))}},
                      seq);
}

Response AdminService::putItem(Call& call, int section, std::string const& key) {
  json body;
  Problem problem;
  if (!parseJsonBody(call.request.body, body, problem)) return refuse(400, problem);
  if (!body.is_object()) return refuse(400, "the body must be a JSON object: the item's fields");
  std::vector<std::string> named;
  if (section == kObjects) named.push_back(key);
  char const* field = gxpolicy::document::itemField(section);
  return write(call, std::string("PUT ") + field + " " + key,
               [&](PolicyEdit& e) {
                 std::string k = section == kObjects ? PolicyEdit::objectKey(key, gxpolicy::document::root()) : key;
                 json const& now = e.current(section, k);
                 if (now.is_null()) return e.create(section, k, body, gxpolicy::document::root());
                 // The body is the whole item: the fields it leaves out go.
                 json fields = body;
                 for (auto const& item : now.items())
                   if (!fields.contains(item.key())) fields[item.key()] = nullptr;
                 e.modify(section, k, fields, gxpolicy::document::root());
               },
               named);
}

Response AdminService::deleteItem(Call& call, int section, std::string const& key) {
  bool recursive = call.flag("recursive");
  if (call.bad) return *call.bad;
  std::vector<std::string> named;
  if (section == kObjects) named.push_back(key);
  char const* field = gxpolicy::document::itemField(section);
  return write(call, std::string("DELETE ") + field + " " + key,
               [&](PolicyEdit& e) {
                 std::string k = section == kObjects ? PolicyEdit::objectKey(key, gxpolicy::document::root()) : key;
                 e.remove(section, k, recursive, gxpolicy::document::root());
               },
               named);
}

Response AdminService::attachment(Call& call, int kind, std::string const& given) {
  std::string object;
  try {
    object = PolicyEdit::objectKey(given, gxpolicy::document::root());
  } catch (gxpolicy::document::BadItem const& bad) {
    return refuse(400, gxpolicy::document::problemOf(bad));
  }
  char const* field = gxpolicy::kKinds[kind].field;
  std::string_view method = call.request.method;
  if (method == "GET") {
    if (auto denied = needControl(call, object, object)) return *denied;
    json item = gxpolicy::document::exportItem(*store_, registry_, kObjects, object);
    ojson name = item.is_object() && item.contains(field) ? ojson(item[field].get<std::string>()) : ojson();
    unsigned long seq = sequence();
    return withSequence(200, ojson{{"object", object}, {"name", std::move(name)}}, seq);
  }
  std::string policy;
  if (method == "PUT") {
    json body;
    Problem problem;
    if (!parseJsonBody(call.request.body, body, problem)) return refuse(400, problem);
    if (!body.is_object() || body.size() != 1 || !body.contains("name") || !body["name"].is_string())
      return refuse(400, "the body must be {\"name\": POLICY}", "name");
    policy = body["name"].get<std::string>();
  }
  bool const attach = method == "PUT";
  return write(call, std::string(attach ? "attach " : "detach ") + field + " " + (attach ? policy + " " : "") + object,
               [&](PolicyEdit& e) {
                 json const& now = e.current(kObjects, object);
                 bool const has = now.is_object() && now.contains(field);
                 if (!attach) return e.detach(kind, "", object, gxpolicy::document::root());
                 if (has && now[field].get<std::string>() != policy)
                   e.detach(kind, "", object, gxpolicy::document::root());
                 e.attach(kind, policy, object, gxpolicy::document::root());
               },
               {object});
}

Response AdminService::changes(Call& call) {
  json doc;
  Problem problem;
  if (!parseJsonBody(call.request.body, doc, problem)) return refuse(400, problem);
  // The objects the document names, which a refusal may name back.
  std::vector<std::string> named;
  if (doc.is_object() && doc.contains("changes") && doc["changes"].is_array())
    for (json const& op : doc["changes"])
      if (op.is_object() && op.contains("object") && op["object"].is_string()) {
        try {
          named.push_back(PolicyEdit::objectKey(op["object"].get<std::string>(), gxpolicy::document::root()));
        } catch (gxpolicy::document::BadItem const&) {
          // refused with its place when the document runs
        }
      }
  return write(call, "POST /admin/v1/changes",
               [&doc](PolicyEdit& e) { gxpolicy::runChangesDocument(e, doc); }, named);
}

Response AdminService::write(Call& call, std::string const& command, std::function<void(PolicyEdit&)> const& edit,
                             std::vector<std::string> const& named) {
  gxpolicy::ChangeOptions options;
  if (call.request.headerCount("If-Match") > 1) return refuse(400, "If-Match given twice", "If-Match");
  if (char const* ifMatch = call.request.header("If-Match")) {
    unsigned long expected = 0;
    if (!parseSequence(ifMatch, expected))
      return refuse(400, "If-Match must be the sequence number the change is based on", "If-Match");
    options.ifSequence = expected;
  }
  options.actor = gxpolicy::Actor{call.admin, call.address};
  options.command = command;
  options.registry = registry_;
  bool const preview = call.flag("dry-run");
  if (call.bad) return *call.bad;
  auto outcome = [](ChangeResult const& r) -> Response {
    switch (r.outcome) {
      case ChangeOutcome::applied:
      case ChangeOutcome::unchanged:
        return withSequence(200, ojson{{"sequence", r.sequence}, {"changes", changeLines(r.changes)}}, r.sequence);
      case ChangeOutcome::conflict: {
        ojson body = problemJson(r.problem);
        body["sequence"] = r.sequence;
        return withSequence(412, body, r.sequence);
      }
      case ChangeOutcome::refused: return refuse(refusedStatus(r.problem), r.problem);
      default: return refuse(500, r.problem);
    }
  };
  for (int attempt = 0;; ++attempt) {
    gxpolicy::ChangeOptions dry = options;
    dry.dryRun = true;
    ChangeResult checked = gxpolicy::runEdit(*store_, edit, dry);
    if (checked.outcome == ChangeOutcome::refused && checked.problem.message.find("attached") != std::string::npos) {
      // The refusal says where policies are attached: only for those who
      // may see the whole policy.
      bool whole = false;
      if (unsigned long st = holdsControl(call, options_.management, whole); st != 0 || !whole) {
        int const status = refusedStatus(checked.problem);
        checked.problem.message = "the change conflicts with what is attached where it applies";
        checked.problem.hint = "an administrator holding c on " + options_.management + " can see where";
        return refuse(status, checked.problem);
      }
    }
    if (checked.outcome != ChangeOutcome::dryRun) return outcome(checked);
    if (auto denied = permitted(call, checked.changes, named)) return *denied;
    if (preview) {
      gxpolicy::ChangePreview p = gxpolicy::previewChange(
          *store_, [&](daCachedStore& copy, gxpolicy::ChangeOptions const& o) { return gxpolicy::runEdit(copy, edit, o); },
          options,
          registry_);
      if (p.result.outcome != ChangeOutcome::dryRun) return outcome(p.result);
      return withSequence(200,
                          ojson{{"dry_run", true},
                                {"sequence", p.result.sequence},
                                {"changes", changeLines(p.result.changes)},
                                {"effect", std::move(p.effect)}},
                          p.result.sequence);
    }
    // Made on the policy the permissions were checked on, or not at all.
    gxpolicy::ChangeOptions real = options;
    real.ifSequence = checked.sequence;
    ChangeResult made = gxpolicy::runEdit(*store_, edit, real);
    if (made.outcome == ChangeOutcome::conflict && !options.ifSequence && attempt + 1 < kWriteAttempts) {
      follow();  // another process wrote between the check and the change
      continue;
    }
    if (made.outcome == ChangeOutcome::applied) {
      seen_ = made.sequence;
      if (onCommit_) onCommit_(made.sequence);
    }
    return outcome(made);
  }
}

std::vector<std::string> AdminService::attachedAt(int kind, std::string const& name) {
  std::vector<std::string> out;
  if (unsigned long st = gxpolicy::attachedTo(*store_, kind, name, out); st != 0)
    throw std::runtime_error("cannot read where " + name + " is attached: " + gxpolicy::statusText(st));
  return out;
}

std::optional<Response> AdminService::permitted(Call& call, std::vector<ItemChange> const& changes,
                                                std::vector<std::string> const& named) {
  auto shown = [&named](std::string const& object) {
    return std::find(named.begin(), named.end(), object) != named.end() ? object : std::string();
  };
  for (ItemChange const& c : changes) {
    if (c.section == kObjects) {
      if (auto denied = needControl(call, c.key, shown(c.key))) return denied;
      continue;
    }
    char const* field = gxpolicy::kKinds[c.section].field;
    std::vector<std::string> where = attachedAt(c.section, c.key);
    for (ItemChange const& o : changes)
      if (o.section == kObjects && o.after.is_object() && o.after.value(field, "") == c.key) where.push_back(o.key);
    if (where.empty()) {
      if (auto denied = needControl(call, options_.management, options_.management)) return denied;
      continue;
    }
    for (std::string const& object : where) {
      std::string show = shown(object);
      if (auto denied = needControl(call, object, show)) {
        if (show.empty()) {
          // Where a policy is attached is not the asker's to learn.
          ojson body = {{"error", std::string("changing ") + field + " " + c.key +
                                      " needs the control permission (c) on every object it is attached to"},
                        {"permission", "c"},
                        {"object", nullptr}};
          return jsonResponse(403, body);
        }
        return denied;
      }
    }
  }
  return std::nullopt;
}

unsigned long AdminService::holdsControl(Call& call, std::string const& object, bool& granted) {
  granted = false;
  if (!call.callerTried) {
    call.callerTried = true;
    Problem problem;
    gxpolicy::CallerSpec spec;
    spec.form = gxpolicy::CallerSpec::Form::user;
    spec.user = call.admin;
    call.callerKnown = registry_ != nullptr && gxpolicy::resolveCaller(spec, registry_, call.caller, problem);
  }
  if (!call.callerKnown) return 0;  // not a registry user: holds nothing
  // An object not there yet is governed by its nearest existing ancestor.
  std::string path = object;
  for (;;) {
    daDecision d;
    unsigned long st = 0;
    store_->decide(path.c_str(), call.caller.pa(), "c", nullptr, d, st);
    if (st == 0) {
      granted = d.granted();
      return 0;
    }
    if (st != da_s_no_such_object || path == "/") return st;
    std::size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

std::optional<Response> AdminService::needControl(Call& call, std::string const& object, std::string const& shown) {
  bool granted = false;
  if (unsigned long st = holdsControl(call, object, granted); st != 0)
    return refuse(500, Problem("cannot decide whether the administrator may change " + object, st));
  if (granted) return std::nullopt;
  ojson body = {{"error", "this needs the control permission (c) on " + (shown.empty() ? std::string("an object below the one named") : shown)},
                {"permission", "c"},
                {"object", shown.empty() ? ojson() : ojson(shown)}};
  return jsonResponse(403, body);
}

Response AdminService::log(Call& call) {
  std::optional<std::string> since = call.arg("since"), object = call.arg("object"), limitText = call.arg("limit");
  if (call.bad) return *call.bad;
  gxpolicy::ChangeLogQuery query;
  if (since) {
    unsigned long v = 0;
    if (!parseSequence(*since, v)) return refuse(400, "since must be a sequence number", "since");
    query.since = v;
  }
  std::size_t limit = options_.defaultPage;
  if (limitText) {
    unsigned long v = 0;
    if (!parseSequence(*limitText, v) || v == 0 || v > options_.maxPage)
      return refuse(400, "limit must be from 1 to " + std::to_string(options_.maxPage), "limit");
    limit = v;
  }
  std::vector<std::pair<std::string, std::string>> attached;
  if (object) {
    try {
      query.object = PolicyEdit::objectKey(*object, gxpolicy::document::root() / "object");
    } catch (gxpolicy::document::BadItem const& bad) {
      return refuse(400, gxpolicy::document::problemOf(bad));
    }
    if (auto denied = needControl(call, *query.object, *query.object)) return *denied;
    json item = gxpolicy::document::exportItem(*store_, nullptr, kObjects, *query.object);
    for (int kind = 0; kind < gxpolicy::kKindCount && item.is_object(); ++kind)
      if (item.contains(gxpolicy::kKinds[kind].field))
        attached.emplace_back(gxpolicy::kKinds[kind].field, item[gxpolicy::kKinds[kind].field].get<std::string>());
  } else if (auto denied = needControl(call, options_.management, options_.management)) {
    return *denied;
  }
  // One entry more than the page tells whether another page follows.
  query.limit = limit + 1;
  std::vector<json> entries;
  if (unsigned long st = gxpolicy::readChangeLog(*store_, query, attached, entries); st != 0)
    return refuse(500, Problem("cannot read the change log", st));
  ojson page = ojson::array();
  std::size_t i = 0;
  for (; i < entries.size() && page.size() < limit; ++i) page.push_back(ojson::parse(entries[i].dump(-1, ' ', false, json::error_handler_t::replace)));
  ojson next = i < entries.size() && !page.empty() ? ojson(page.back()["sequence"]) : ojson();
  unsigned long seq = sequence();
  return withSequence(200, ojson{{"entries", std::move(page)}, {"next", std::move(next)}, {"sequence", seq}}, seq);
}

}  // namespace gxpolicyd
