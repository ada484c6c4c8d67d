// gxpolicy who-can / what-can / diff: the reverse questions of check, and
// what a change of policy would change.
//
//   gxpolicy who-can  DB OBJECT ACTIONS [--registry R] [--expand] [--json]
//   gxpolicy what-can DB (--user NAME | --uuid U [--group G]... | --unauthenticated)
//                     [--registry R] [--actions A] [--under PATH] [--objects [--after OBJECT]] [--json]
//   gxpolicy diff OLD NEW [--registry R] [--under PATH] [--fail-on gained|lost|any] [--json]
//
// The answers come from GxCore/db/daAccessReview.h and daPolicyDiff.h; this
// file reads the arguments, opens the databases and the registry, and
// prints. Exit status 0 answered, 2 the question could not be asked (a
// message says why); diff exits 1 when --fail-on finds its kind of change.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daPolicyDiff.h"
#include "tools/common/change_effect.h"
#include "outside/hxdb.h"
#include "outside/registry.h"
#include "tools/common/decide.h"
#include "tools/common/policy_import.h"
#include "tools/common/yaml_json.h"
#include "tools/common/review_json.h"
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
    j["conditions"] = reviewConditionsJson(r.conditions, 1);
    j["conditions_unauthenticated"] = reviewConditionsJson(r.conditions, 0);
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
                                  {"conditions", reviewConditionsJson(r.conditions, level)}});
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


// ---- diff ------------------------------------------------------------------------------

struct DiffArgs {
  std::string before, after, domain = "Default", registry;
  DiffPrint print;
};

// A policy document: a name ending in .json, .yaml or .yml, or a file whose
// first byte that is not white space is "{".
bool isDocument(std::string const& path) {
  auto ends = [&path](std::string const& tail) {
    return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (ends(".json") || isYamlPath(path)) return true;
  std::ifstream in(path, std::ios::binary);
  char c = 0;
  while (in.get(c) && (c == ' ' || c == '\n' || c == '\r' || c == '\t')) {
  }
  return in && c == '{';
}

// A private temporary directory holding a scratch copy of a database,
// removed with everything in it when this goes.
class Scratch {
 public:
  Scratch() {
    char const* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/gxpolicy-diff.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
      refuse({"cannot create a temporary directory in " + pattern.substr(0, pattern.rfind('/')), 0,
              "set TMPDIR to a writable directory"});
    dir_ = pattern;
  }
  Scratch(Scratch const&) = delete;
  Scratch& operator=(Scratch const&) = delete;
  ~Scratch() {
    hx_db_remove_file(database().c_str());
    rmdir(dir_.c_str());
  }
  std::string database() const { return dir_ + "/policy.db"; }

 private:
  std::string dir_;
};

// Copies the database at db into scratch and imports the document into the
// copy: db is only read. Failures are printed and thrown.
void importIntoCopy(std::string const& db, std::string const& domain, std::string const& document,
                    gxreg::Registry* registry, bool replace, Scratch const& scratch) {
  std::string text;
  if (isYamlPath(document)) {
    std::ifstream in(document, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    if (!in) refuse({"cannot read " + document, 0, "give a readable policy document"});
    nlohmann::json doc;
    std::string error;
    if (!yamlToJson(all.str(), doc, error)) refuse({document + ": " + error, 0, "fix the document"});
    text = doc.dump();
  }
  {
    daCachedStore source(domain.c_str(), db.c_str(), 1, 0);
    try {
      openOrFail(source, db, 1);
    } catch (CLI::RuntimeError const&) {
      throw CLI::RuntimeError(kExitError);
    }
    unsigned long st = 0;
    hx_db_copy(source.getDBHandle(), scratch.database().c_str(), st);
    if (st != 0) refuse("copy " + db + " to " + scratch.database(), st);
  }
  daCachedStore copy(domain.c_str(), scratch.database().c_str(), 0, 0);
  unsigned long st = 0;
  copy.openStore(0, st);
  if (st != 0) refuse("open the copy " + scratch.database(), st);
  DocumentSource source = [&]() -> std::unique_ptr<std::istream> {
    if (!text.empty()) return std::make_unique<std::istringstream>(text);
    return std::make_unique<std::ifstream>(document, std::ios::binary);
  };
  ImportOptions options;
  options.registry = registry;
  options.replace = replace;
  ImportCounts counts;
  Problem problem;
  bool ok = false;
  try {
    ok = importPolicyDocument(copy, source, options, counts, problem);
  } catch (std::exception const& e) {
    refuse({"import " + document + ": " + e.what(), 0, "check the database's action catalogue"});
  }
  if (!ok) {
    problem.message = "import " + document + ": " + problem.message;
    refuse(problem);
  }
}

std::string subjectLabel(daDiffLine const& l) {
  switch (l.subject) {
    case daDiffSubject::user: return "user  " + (l.name.empty() ? uuidText(l.uuid) : l.name);
    case daDiffSubject::group: return "group " + (l.name.empty() ? uuidText(l.uuid) : l.name);
    case daDiffSubject::anyOther: return "any other authenticated user";
    case daDiffSubject::unauthenticated: return "unauthenticated callers";
  }
  return "?";
}

std::string aclText(std::string const& name, std::string const& location) {
  return name.empty() ? std::string("none") : name + " (at " + location + ")";
}

// The conditions of both sides in words: for authenticated callers, else
// for unauthenticated ones, else the parts the words leave out.
std::string conditionsChange(daPolicyDiffRegion const& r) {
  for (int level : {1, 0}) {
    std::string was = r.beforeConditions.describe(level), is = r.afterConditions.describe(level);
    if (was == is) continue;
    return (was.empty() ? "none" : was) + " -> " + (is.empty() ? "none" : is) + (level == 0 ? " (unauthenticated)" : "");
  }
  if (r.beforeConditions.ruleText != r.afterConditions.ruleText) return "the rule's text changed";
  if (r.beforeConditions.hasPop != r.afterConditions.hasPop)
    return r.afterConditions.hasPop ? "POP " + r.afterConditions.popName + " now in force (it requires nothing more)"
                                    : "no POP in force now (POP " + r.beforeConditions.popName + " required nothing more)";
  return "the POP's levels changed for callers already above them";
}

void printRegion(daPolicyDiffRegion const& r) {
  std::string head = r.prefix + " and below";
  for (size_t i = 0; i < r.exceptions.size(); ++i) head += (i ? ", " : ", except ") + r.exceptions[i];
  std::printf("%s\n", head.c_str());
  std::string const was = aclText(r.beforeAcl, r.beforeAclLocation), is = aclText(r.afterAcl, r.afterAclLocation);
  std::printf("  ACL %s\n", (was == is ? was : was + " -> " + is).c_str());
  for (daDiffLine const& l : r.lines) {
    std::string change;
    if (!l.gained.empty()) change = "gained " + l.gained;
    if (!l.lost.empty()) change += (change.empty() ? "lost " : ", lost ") + l.lost;
    if (change.empty()) change = l.hasEntry ? "entry added" : "entry removed";
    auto side = [](bool entry, std::string const& p, bool group) {
      return group && !entry ? std::string("no entry") : p.empty() ? std::string("nothing") : p;
    };
    bool const group = l.subject == daDiffSubject::group;
    std::printf("  %-30s %s (%s -> %s)\n", subjectLabel(l).c_str(), change.c_str(),
                side(l.hadEntry, l.before, group).c_str(), side(l.hasEntry, l.after, group).c_str());
  }
  if (r.conditionsChanged) std::printf("  conditions: %s\n", conditionsChange(r).c_str());
}

// Diffs the two stores, prints, and returns the exit code --fail-on gives.
int printDiff(daCachedStore& before, daCachedStore& after, gxreg::Registry* registry, DiffPrint const& how) {
  daPolicyDiffOptions options;
  options.under = how.under;
  options.registry = registry;
  size_t regions = 0, gains = 0, losses = 0, conditions = 0;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  unsigned long st = 0;
  daPolicyDiff(before, after, options,
               [&](daPolicyDiffRegion const& r) {
                 ++regions;
                 gains += r.gains() ? 1 : 0;
                 losses += r.losses() ? 1 : 0;
                 conditions += r.conditionsChanged ? 1 : 0;
                 if (how.json) list.push_back(diffRegionJson(r));
                 else printRegion(r);
                 return true;
               },
               st);
  if (st == da_s_no_such_object) refuse({"--under " + how.under + " is in neither database", st, "give an object of either"});
  if (st != 0) refuse("diff", st);
  bool const tripped = (how.failOn == "gained" && gains > 0) || (how.failOn == "lost" && losses > 0) ||
                       (how.failOn == "any" && regions > 0);
  if (how.json) {
    nlohmann::ordered_json j = {{"under", how.under.empty() ? "/" : how.under},
                                {"regions", list},
                                {"gained", gains > 0},
                                {"lost", losses > 0},
                                {"conditions_changed", conditions > 0}};
    if (!how.failOn.empty()) j["failed"] = tripped;
    std::printf("%s\n", j.dump(2).c_str());
  } else if (regions == 0) {
    std::printf("no difference\n");
  } else {
    std::printf("%zu subtree%s: %zu with gains, %zu with losses, %zu with other conditions\n", regions,
                regions == 1 ? " differs" : "s differ", gains, losses, conditions);
  }
  std::fflush(stdout);  // the listing before the verdict, also when both go to one pipe
  if (tripped) std::fprintf(stderr, "gxpolicy: diff: %s found (--fail-on %s)\n",
                            how.failOn == "any" ? "a difference" : how.failOn == "gained" ? "a gain" : "a loss",
                            how.failOn.c_str());
  return tripped ? kExitDenied : kExitOk;
}

std::unique_ptr<daCachedStore> openReadOnly(std::string const& db, std::string const& domain) {
  auto store = std::make_unique<daCachedStore>(domain.c_str(), db.c_str(), 1, 0);
  try {
    openOrFail(*store, db, 1);
  } catch (CLI::RuntimeError const&) {
    throw CLI::RuntimeError(kExitError);
  }
  return store;
}

std::unique_ptr<gxreg::Registry> registryOrFail(std::string const& db, std::string const& option) {
  try {
    return openRegistry(db, option);
  } catch (CLI::RuntimeError const&) {
    throw CLI::RuntimeError(kExitError);
  }
}

void diffCommand(DiffArgs const& a) {
  // A pipe or FIFO would block the sniffing read and could not be read twice
  // by the import: only regular files (import --dry-run reads the others).
  std::error_code ec;
  if (std::filesystem::exists(a.after, ec) && !std::filesystem::is_regular_file(a.after, ec))
    refuse({a.after + " is not a regular file", 0, "give a database or a document file; import --dry-run DB - reads a pipe"});
  if (isDocument(a.after)) {
    int const code = printDocumentDiff(a.before, a.domain, a.after, a.registry, a.print);
    if (code != kExitOk) throw CLI::RuntimeError(code);
    return;
  }
  auto registry = registryOrFail(a.before, a.registry);
  auto before = openReadOnly(a.before, a.domain);
  auto after = openReadOnly(a.after, a.domain);
  int const code = printDiff(*before, *after, registry.get(), a.print);
  if (code != kExitOk) throw CLI::RuntimeError(code);
}

}  // namespace

int printDocumentDiff(std::string const& db, std::string const& domain, std::string const& document,
                      std::string const& registryOption, DiffPrint const& how) {
  auto registry = registryOrFail(db, registryOption);
  Scratch scratch;
  importIntoCopy(db, domain, document, registry.get(), how.replace, scratch);
  auto before = openReadOnly(db, domain);
  auto after = openReadOnly(scratch.database(), domain);
  return printDiff(*before, *after, registry.get(), how);
}

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

  auto diff = std::make_shared<DiffArgs>();
  auto* diffSub = app.add_subcommand("diff", "what a change of policy changes: who gains and loses which actions where");
  diffSub->add_option("OLD", diff->before, "policy database as it is")->required();
  diffSub->add_option("NEW", diff->after,
                      "policy database as it would be, or a policy document (JSON or YAML) imported into a copy of OLD")
      ->required();
  diffSub->add_option("--domain", diff->domain, "policy domain (names the inter-process lock)");
  diffSub->add_option("--registry", diff->registry, "user registry file (default: OLD.registry.json when it exists)");
  diffSub->add_option("--under", diff->print.under, "only this object and below (default /)");
  diffSub->add_option("--fail-on", diff->print.failOn, "exit 1 when a subtree gains, loses, or differs at all")
      ->check(CLI::IsMember({"gained", "lost", "any"}));
  diffSub->add_flag("--json", diff->print.json, "print JSON");
  diffSub->callback([diff] { diffCommand(*diff); });
}

}  // namespace gxpolicy
