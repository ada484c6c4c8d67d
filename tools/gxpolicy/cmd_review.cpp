// gxpolicy who-can / what-can: the reverse questions of check.
//
//   gxpolicy who-can  DB OBJECT ACTIONS [--registry R] [--expand] [--json]
//   gxpolicy what-can DB (--user NAME | --uuid U [--group G]... | --unauthenticated)
//                     [--registry R] [--actions A] [--under PATH] [--objects [--after OBJECT]] [--json]
//
// The answers come from GxCore/db/daAccessReview.h; this file reads the
// arguments, opens the database and the registry, and prints. Exit status 0
// answered, 2 the question could not be asked (a message says why).
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/common/decide.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct ReviewArgs {
  std::string db, domain = "Default", registry;
  std::string object, actions = "r", under = "/", after;
  std::string user, uuid;
  std::vector<std::string> groups;
  bool unauthenticated = false, expand = false, objects = false, json = false;
};

[[noreturn]] void refuse(Problem const& p) {
  std::fprintf(stderr, "gxpolicy: %s\n", describe(p).c_str());
  throw CLI::RuntimeError(kExitError);
}

[[noreturn]] void refuse(std::string const& what, unsigned long status) { throw CLI::RuntimeError(fail(what, status)); }

// The database, read-only, and its registry (null when there is none).
// The shared helpers exit with status 1 on failure, which here must be 2.
struct Opened {
  std::unique_ptr<daCachedStore> store;
  std::unique_ptr<gxreg::Registry> registry;
};
Opened openDatabase(ReviewArgs const& a) {
  Opened o;
  o.store = std::make_unique<daCachedStore>(a.domain.c_str(), a.db.c_str(), 1, 0);
  try {
    openOrFail(*o.store, a.db, 1);
    o.registry = openRegistry(a.db, a.registry);
  } catch (CLI::RuntimeError const&) {
    throw CLI::RuntimeError(kExitError);
  }
  return o;
}

std::string uuidText(hx_uuid_t const& u) {
  char text[37] = {};
  unsigned long st = 0;
  hx_uuid_to_string(u, text, st);
  return text;
}

nlohmann::ordered_json conditionsJson(daReviewConditions const& c, int level) {
  nlohmann::ordered_json j = {{"any", c.any(level)}, {"text", c.describe(level)}};
  if (c.hasPop) {
    nlohmann::ordered_json levels = nlohmann::ordered_json::array();
    for (auto const& l : c.levels) levels.push_back({{"network", l.network}, {"netmask", l.netmask}, {"level", l.level}});
    j["pop"] = {{"name", c.popName},          {"attached_at", c.popLocation}, {"default_level", c.defaultLevel},
                {"levels", levels},           {"window", c.windowText},       {"window_broken", c.windowBroken},
                {"protection", c.protection}, {"warning_mode", c.warningMode}};
  }
  if (!c.ruleName.empty())
    j["rule"] = {{"name", c.ruleName}, {"attached_at", c.ruleLocation}, {"attributes", c.ruleAttributes}};
  return j;
}

std::string subjectName(daReviewSubject const& s) { return s.name.empty() ? uuidText(s.uuid) : s.name; }

void whoCan(ReviewArgs const& a) {
  auto [store, registry] = openDatabase(a);
  daWhoCanOptions options;
  options.expand = a.expand;
  daWhoCanResult r;
  unsigned long st = 0;
  daWhoCan(*store, a.object.c_str(), a.actions.c_str(), registry.get(), options, r, st);
  if (st == da_s_review_no_members)
    refuse({"--expand needs a registry that lists group members", st, "give a file registry with --registry"});
  if (st != 0) refuse("who-can " + a.object + " " + a.actions, st);

  if (a.json) {
    auto subjects = [](std::vector<daReviewSubject> const& list) {
      nlohmann::ordered_json out = nlohmann::ordered_json::array();
      for (auto const& s : list)
        out.push_back({{"name", s.name}, {"uuid", uuidText(s.uuid)}, {"permissions", s.permissions}, {"granted", s.granted}});
      return out;
    };
    nlohmann::ordered_json j = {{"object", r.object}, {"actions", r.actions}};
    j["acl"] = r.hasAcl ? nlohmann::ordered_json{{"name", r.aclName}, {"attached_at", r.aclLocation}} : nullptr;
    j["users"] = subjects(r.users);
    j["groups"] = subjects(r.groups);
    if (a.expand) {
      nlohmann::ordered_json members = nlohmann::ordered_json::array();
      for (auto const& m : r.members) members.push_back({{"name", m.name}, {"uuid", uuidText(m.uuid)}, {"via", m.viaGroups}});
      j["members"] = members;
    }
    j["any_other"] = {{"entry", r.hasAnyOther}, {"permissions", r.anyOtherPermissions}, {"granted", r.anyOtherGranted}};
    j["unauthenticated"] = {{"entry", r.hasUnauthenticated},
                            {"permissions", r.unauthenticatedPermissions},
                            {"granted", r.unauthenticatedGranted}};
    j["conditions"] = conditionsJson(r.conditions, 1);
    j["conditions_unauthenticated"] = conditionsJson(r.conditions, 0);
    std::printf("%s\n", j.dump(2).c_str());
    return;
  }
  std::printf("%s %s\n", r.object.c_str(), r.actions.c_str());
  if (!r.hasAcl) {
    std::printf("  no ACL in force: nobody is granted\n");
    return;
  }
  std::printf("  ACL %s attached at %s\n", r.aclName.c_str(), r.aclLocation.c_str());
  for (auto const& u : r.users)
    std::printf("  user  %-24s %s (%s)\n", subjectName(u).c_str(), u.granted ? "granted" : "denied by its own entry",
                u.permissions.c_str());
  for (auto const& g : r.groups)
    std::printf("  group %-24s %s (%s)\n", subjectName(g).c_str(), g.granted ? "granted" : "not granted alone",
                g.permissions.c_str());
  bool const unitesGroups = std::count_if(r.groups.begin(), r.groups.end(), [](auto const& g) { return !g.granted; }) > 0;
  if (unitesGroups && !a.expand)
    std::printf("    (a member of several groups gets their entries together: --expand lists whom they grant)\n");
  for (auto const& m : r.members) {
    std::string via;
    for (auto const& g : m.viaGroups) via += (via.empty() ? "" : "+") + g;
    std::printf("    member %-21s granted via %s\n", m.name.c_str(), via.c_str());
  }
  std::printf("  any other authenticated user: %s\n",
              !r.hasAnyOther ? "no entry (denied)" : r.anyOtherGranted ? "granted" : "denied");
  std::printf("  unauthenticated callers: %s\n", !r.hasUnauthenticated ? "no entry (denied)"
                                               : r.unauthenticatedGranted ? "granted"
                                                                          : "denied");
  std::string const c1 = r.conditions.describe(1), c0 = r.conditions.describe(0);
  if (!c1.empty()) std::printf("  conditions: %s\n", c1.c_str());
  if (r.unauthenticatedGranted && c0 != c1) std::printf("  conditions (unauthenticated): %s\n", c0.c_str());
}

void whatCan(ReviewArgs const& a) {
  CallerSpec spec;
  int forms = int(!a.user.empty()) + int(!a.uuid.empty()) + int(a.unauthenticated);
  if (forms != 1) refuse({"give exactly one caller", 0, "one of --user NAME, --uuid UUID [--group G]..., --unauthenticated"});
  spec.form = !a.user.empty() ? CallerSpec::Form::user : !a.uuid.empty() ? CallerSpec::Form::uuid : CallerSpec::Form::unauthenticated;
  spec.user = a.user;
  spec.uuid = a.uuid;
  spec.groups = a.groups;
  auto [store, registry] = openDatabase(a);
  Caller caller;
  Problem problem;
  if (!resolveCaller(spec, registry.get(), caller, problem)) refuse(problem);
  int const level = caller.authenticated() ? 1 : 0;
  unsigned long st = 0;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  if (a.objects) {
    daWhatCanObjects(*store, caller.pa(), a.actions.c_str(), a.under.c_str(), a.after.c_str(),
                     [&](char const* object, bool conditional) {
                       if (a.json) list.push_back({{"object", object}, {"conditional", conditional}});
                       else std::printf("%s%s\n", object, conditional ? "  (conditional)" : "");
                       return true;
                     },
                     st);
  } else {
    daWhatCan(*store, caller.pa(), a.actions.c_str(), a.under.c_str(),
              [&](daWhatCanRegion const& r) {
                if (a.json) {
                  list.push_back({{"prefix", r.prefix},
                                  {"except", r.exceptions},
                                  {"conditional", r.conditional},
                                  {"acl", {{"name", r.aclName}, {"attached_at", r.aclLocation}}},
                                  {"conditions", conditionsJson(r.conditions, level)}});
                  return true;
                }
                std::string line = r.prefix + " and below";
                for (size_t i = 0; i < r.exceptions.size(); ++i) line += (i ? ", " : ", except ") + r.exceptions[i];
                if (r.conditional) line += "\n    if: " + r.conditions.describe(level);
                std::printf("%s\n", line.c_str());
                return true;
              },
              st);
  }
  if (st != 0) refuse("what-can " + caller.describe() + " " + a.actions + " under " + a.under, st);
  if (a.json) std::printf("%s\n", list.dump(2).c_str());
}

}  // namespace

void registerReviewCommands(CLI::App& app) {
  auto who = std::make_shared<ReviewArgs>();
  auto* whoSub = app.add_subcommand("who-can", "who may do these actions to this object: users, groups, any-other, unauthenticated");
  addDatabaseOptions(whoSub, who->db, who->domain);
  whoSub->add_option("OBJECT", who->object, "protected object, e.g. /web/docs")->required();
  whoSub->add_option("ACTIONS", who->actions, "action string asked for, e.g. Tr")->required();
  whoSub->add_option("--registry", who->registry, "user registry file (default: DB.registry.json when it exists)");
  whoSub->add_flag("--expand", who->expand, "list the members the group entries grant (file registries)");
  whoSub->add_flag("--json", who->json, "print JSON");
  whoSub->callback([who] { whoCan(*who); });

  auto what = std::make_shared<ReviewArgs>();
  auto* whatSub = app.add_subcommand("what-can", "where a caller may do these actions: subtrees with their exceptions");
  addDatabaseOptions(whatSub, what->db, what->domain);
  whatSub->add_option("--user", what->user, "the caller by registry user name");
  whatSub->add_option("--uuid", what->uuid, "the caller by user uuid");
  whatSub->add_option("--group", what->groups, "a group of a --uuid caller, by name or uuid (repeatable)");
  whatSub->add_flag("--unauthenticated", what->unauthenticated, "a caller that did not authenticate");
  whatSub->add_option("--registry", what->registry, "user registry file (default: DB.registry.json when it exists)");
  whatSub->add_option("--actions", what->actions, "action string (default r)");
  whatSub->add_option("--under", what->under, "only this object and below (default /)");
  whatSub->add_flag("--objects", what->objects, "list the protected objects one by one instead of subtrees");
  whatSub->add_option("--after", what->after, "with --objects: resume after this object (paging)");
  whatSub->add_flag("--json", what->json, "print JSON");
  whatSub->callback([what] { whatCan(*what); });
}

}  // namespace gxpolicy
