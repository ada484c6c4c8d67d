// The questions an administrator asks of the master's policy without
// changing it (admin.h): why a caller is granted or denied, who can reach an
// object, what a caller can reach. Each is answered only to an
// administrator who holds the control permission (c) on the object asked
// about, as reading what is attached there is.
#include <optional>
#include <string>

#include "GxCore/GxAction.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "tools/common/decide.h"
#include "tools/common/json_fields.h"
#include "tools/gxpolicyd/admin.h"
#include "tools/gxpolicyd/request_body.h"
#include "tools/gxpolicyd/review.h"

namespace gxpolicyd {
namespace {

using gxpolicy::Problem;
using json = nlohmann::json;

Response refused(int status, Problem const& problem) { return jsonResponse(status, problemJson(problem)); }

// The largest names and groups a question may carry, as the decision
// service holds them.
constexpr std::size_t kMaxName = 256;
constexpr std::size_t kMaxGroups = 1024;

// Reads {"object", "actions", "user" | "groups", "ip", "context"}: a user
// by name, or groups by name (a caller who is only in those groups), or
// neither (unauthenticated). Throws Problem.
void readQuestion(json const& body, gxpolicy::Question& q, gxpolicy::CallerSpec& spec) {
  gxpolicy::JsonFields f(body, "");
  f.requireObject("the question");
  f.onlyKnown({"object", "actions", "user", "groups", "ip", "context"});
  q.object = f.string("object", true);
  q.actions = f.string("actions", true);
  q.address = f.string("ip", false);
  if (auto it = body.find("context"); it != body.end()) {
    Problem problem;
    if (!gxpolicy::readQuestionContext(*it, "context", q.context, problem)) throw problem;
  }
  std::string user = f.string("user", false);
  std::vector<std::string> groups = f.strings("groups", kMaxGroups);
  if (!user.empty() && !groups.empty())
    throw Problem("give \"user\" or \"groups\", not both (a user's groups come from the registry)", 0, "", "groups");
  if (user.size() > kMaxName) throw Problem("the user name is too long", 0, "", "user");
  spec = gxpolicy::CallerSpec{};
  if (!user.empty()) {
    spec.form = gxpolicy::CallerSpec::Form::user;
    spec.user = user;
  } else if (!groups.empty()) {
    // A caller known only by groups: a uuid no user has.
    spec.form = gxpolicy::CallerSpec::Form::uuid;
    spec.uuid = "00000000-0000-0000-0000-000000000000";
    spec.groups = groups;
  } else {
    spec.form = gxpolicy::CallerSpec::Form::unauthenticated;
  }
}

}  // namespace

Response AdminService::explain(Call& call, Request const& request) {
  json body;
  Problem problem;
  if (!parseJsonBody(request.body, body, problem)) return refused(400, problem);
  gxpolicy::Question q;
  gxpolicy::CallerSpec spec;
  try {
    readQuestion(body, q, spec);
  } catch (Problem const& p) {
    return refused(400, p);
  }
  if (auto denied = needControl(call, q.object, q.object)) return *denied;
  gxpolicy::Caller caller;
  if (!gxpolicy::resolveCaller(spec, registry_, caller, problem)) return refused(400, problem);
  daDecision d;
  gxpolicy::Explanation e;
  if (!gxpolicy::explainDecision(*store_, q, caller, registry_, true, d, e, problem))
    return refused(problem.status == da_s_no_such_object ? 404 : 400, problem);
  return jsonResponse(200, gxpolicy::toJson(e, true));
}

Response AdminService::review(Call& call, Request const& request, bool whoCan) {
  char const* name = whoCan ? "object" : "under";
  std::optional<std::string> place;
  for (HeaderField const& f : request.query) {
    if (f.name != name) continue;
    if (place) return refused(400, Problem(std::string("the query gives ") + name + " twice", 0, "", name));
    place = f.value;
  }
  if (request.queryHasNul) return refused(400, Problem("the query holds a NUL character", 0, "", name));
  if (whoCan && !place) return refused(400, Problem("give the object", 0, "", "object"));
  std::string object = place.value_or("/");
  if (auto denied = needControl(call, object, object)) return *denied;
  ReviewHost host;
  host.store = [this]() -> daCachedStore& { return *store_; };
  host.registry = registry_;
  host.maxNameLength = kMaxName;
  host.maxGroups = kMaxGroups;
  host.review.maxPage = options_.maxPage;
  host.review.defaultPage = options_.defaultPage;
  host.resolve = [this](gxpolicy::CallerSpec const& spec, gxpolicy::Caller& out, Problem& problem) {
    return gxpolicy::resolveCaller(spec, registry_, out, problem);
  };
  Request asked = request;
  asked.path = whoCan ? "/v1/who-can" : "/v1/what-can";
  return answerReview(host, asked);
}

Response AdminService::actions() {
  Handle<daStoreObject> handle;
  unsigned long st = 0;
  daCacheStateLock reading(*store_, daCachedStore::open);  // while the catalogue is read
  store_->getObject(daActionGroupName(), handle, st);
  auto const* catalogue = st == 0 ? dynamic_cast<GxActionGroups const*>(handle.object) : nullptr;
  if (catalogue == nullptr) return refused(500, Problem("cannot read the action catalogue", st ? st : da_s_unknown_type));
  nlohmann::ordered_json groups = nlohmann::ordered_json::array();
  GxActionConstIter it(catalogue->value());
  while (it.iterGroup()) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    while (it.iterAction()) {
      gxaction_s_t const* a = it.action();
      if (a == nullptr || a->name == nullptr || *a->name == '\0') continue;
      list.push_back({{"action", a->name}, {"label", a->text1 ? a->text1 : ""}, {"category", a->text2 ? a->text2 : ""}});
    }
    groups.push_back({{"name", it.group()->name ? it.group()->name : ""}, {"actions", std::move(list)}});
  }
  return jsonResponse(200, nlohmann::ordered_json{{"groups", std::move(groups)}});
}

}  // namespace gxpolicyd
