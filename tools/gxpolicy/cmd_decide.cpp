// gxpolicy check / explain / test: ask a database whether a caller may do
// something to a protected object, see why, and run a file of such
// questions with the answers expected.
//
//   gxpolicy check   DB OBJECT ACTIONS CALLER [--ip ADDR] [CONTEXT] [--registry FILE] [--json]
//   gxpolicy explain DB OBJECT ACTIONS CALLER [--ip ADDR] [CONTEXT] [--registry FILE] [--json]
//   gxpolicy test    DB CASES.json [--registry FILE] [--verbose] [--json]
//                    [--coverage] [--min-coverage P] [--junit FILE]
//
// CALLER is --user NAME (uuid and groups from the registry), --uuid UUID
// [--group NAME-OR-UUID ...], or --unauthenticated. CONTEXT is --time,
// --auth-level, --protection and --attr NAME=VALUE. Exit status: 0 granted
// (every case passed), 1 denied (a case failed), 2 the question could not be
// asked (a message on standard error says what was wrong and what to do).
// The logic lives in tools/common/decide.cpp; this file reads arguments, opens the
// database and the registry, prints and sets the exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/common/decide.h"
#include "tools/common/policy_export.h"
#include "tools/gxpolicy/gxpolicy.h"
#include "tools/common/yaml_json.h"

namespace gxpolicy {
namespace {


struct DecideArgs {
  std::string db;
  std::string domain = "Default";
  std::string registry;
  std::string object;
  std::string actions;
  std::string user;
  std::string uuid;
  std::vector<std::string> groups;
  bool unauthenticated = false;
  std::string ip;
  std::string time;
  std::optional<int> authLevel;
  std::string protection;
  std::vector<std::string> attrs;
  std::string cases;
  bool json = false;
  bool verbose = false;
  bool coverage = false;      // test: report what the cases exercised
  double minCoverage = -1;    // test: fail below this percent (negative: no floor)
  std::string junit;          // test: write a JUnit XML report here
};

[[noreturn]] void error(Problem const& p) {
  std::fprintf(stderr, "gxpolicy: %s\n", describe(p).c_str());
  throw CLI::RuntimeError(kExitError);
}

// The shared helpers print their failure and throw exit status 1, which
// here means "denied": any failure of theirs becomes status 2.
template <class F>
auto orError(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (CLI::RuntimeError const&) {
    throw CLI::RuntimeError(kExitError);
  }
}

CallerSpec callerSpec(DecideArgs const& a) {
  CallerSpec spec;
  int forms = int(!a.user.empty()) + int(!a.uuid.empty()) + int(a.unauthenticated);
  if (forms > 1) error({"more than one caller given", 0, "give one of --user, --uuid or --unauthenticated"});
  if (!a.user.empty()) spec.form = CallerSpec::Form::user;
  else if (!a.uuid.empty()) spec.form = CallerSpec::Form::uuid;
  else if (a.unauthenticated) spec.form = CallerSpec::Form::unauthenticated;
  spec.user = a.user;
  spec.uuid = a.uuid;
  spec.groups = a.groups;
  return spec;
}

// The database, read-only with the cache on (decisions are remembered).
std::unique_ptr<daCachedStore> openStore(DecideArgs const& a) {
  auto store = std::make_unique<daCachedStore>(a.domain.c_str(), a.db.c_str(), 1, 0);
  orError([&] {
    openOrFail(*store, a.db, 1);
    return 0;
  });
  return store;
}

// The question's context from --time, --auth-level, --protection, --attr.
QuestionContext contextOf(DecideArgs const& a) {
  QuestionContext ctx;
  std::string why;
  if (!a.time.empty()) {
    std::int64_t t = 0;
    if (!parseRequestTime(a.time, t, why))
      error({"--time " + a.time + ": " + why, 0,
             "e.g. --time 2026-12-07T09:30:00Z, --time \"2026-12-07 09:30 Europe/Berlin\" or --time 1796636000"});
    ctx.time = t;
  }
  ctx.authLevel = a.authLevel;
  if (!a.protection.empty() && !parseProtection(a.protection, ctx.protection))
    error({"--protection " + a.protection + ": expected none, integrity or privacy", 0, "e.g. --protection privacy"});
  for (std::string const& item : a.attrs) {
    std::string name;
    daAttributes::Value value;
    if (!parseAttribute(item, name, value, why)) error({"--attr " + item + ": " + why, 0, "e.g. --attr department=sales"});
    ctx.attributes.set(name, std::move(value));
  }
  return ctx;
}

void ask(DecideArgs const& a, bool detail) {
  CallerSpec const spec = callerSpec(a);
  Question question{a.object, a.actions, a.ip, contextOf(a)};
  auto store = openStore(a);
  auto registry = orError([&] { return openRegistry(a.db, a.registry); });
  Caller caller;
  Problem problem;
  if (!resolveCaller(spec, registry.get(), caller, problem)) error(problem);
  daDecision d;
  Explanation e;
  if (!explainDecision(*store, question, caller, registry.get(), detail, d, e, problem))
    error(problem);
  if (a.json) {
    // The policy sequence number decided on, so that a later question can
    // ask a replica for an answer at least as fresh.
    nlohmann::ordered_json j = toJson(e, detail);
    j["sequence"] = d.sequence();
    std::printf("%s\n", j.dump(2).c_str());
  } else std::fputs((detail ? renderExplain(e) : renderCheck(e)).c_str(), stdout);
  std::fflush(stdout);
  if (!e.granted) throw CLI::RuntimeError(kExitDenied);
}

// ---- coverage and JUnit ------------------------------------------------------------------

// What a run of cases exercised of the database's policy: its attachment
// points (objects with an ACL, POP or rule attached), the entries of its
// ACLs, its POPs and its rules. A point counts when a case's decision took
// a policy in force from it; an entry when it made (part of) a case's
// answer; a POP or rule when a case reached one of its checks (the ACL
// granted first), whether it passed, failed or was waived.
class Coverage {
 public:
  // Every item, from the database's whole policy (as export gives it).
  void load(daCachedStore& store, gxreg::Registry* registry) {
    nlohmann::json doc;
    Problem problem;
    if (!exportPolicyDocument(store, doc, problem, nullptr, registry)) error(problem);
    nlohmann::json const empty = nlohmann::json::object();
    auto section = [&doc, &empty](char const* key) -> nlohmann::json const& {
      return doc.contains(key) && doc[key].is_object() ? doc[key] : empty;
    };
    for (auto const& [path, object] : section("objects").items())
      for (char const* kind : {"acl", "pop", "rule"})
        if (object.contains(kind) && object[kind].is_string()) points_[path].label = path;
    for (auto const& [name, acl] : section("acls").items()) {
      std::vector<Item>& entries = entries_[name];
      if (!acl.contains("entries") || !acl["entries"].is_array()) continue;
      for (auto const& e : acl["entries"]) {
        std::string subject = e.value("type", "?");
        if (e.contains("id")) subject += " " + e.value("name", e.value("id", ""));
        entries.push_back({name + " #" + std::to_string(entries.size() + 1) + " (" + subject + " " +
                           e.value("actions", "") + ")"});
      }
    }
    for (auto const& [name, pop] : section("pops").items()) pops_[name].label = name;
    for (auto const& [name, rule] : section("rules").items()) rules_[name].label = name;
  }

  void record(Explanation const& e) {
    for (std::string const* at : {&e.aclAt, &e.popAt, &e.ruleAt})
      if (!at->empty()) hit(points_, *at);
    if (auto acl = entries_.find(e.acl); acl != entries_.end())
      for (size_t i = 0; i < e.entries.size() && i < acl->second.size(); ++i)
        if (e.entries[i].applied) acl->second[i].hit = true;
    for (Explanation::Condition const& c : e.conditions) {
      bool const reached = c.outcome == "pass" || c.outcome == "fail" || c.outcome == "waived";
      if (reached && c.name == "rule") hit(rules_, e.rule);
      else if (reached && c.name != "warning mode") hit(pops_, e.pop);
    }
  }

  // Exercised items in percent of all (100 when there are none).
  double percent() const {
    size_t all = 0, done = 0;
    for (auto const* group : groups()) count(*group, all, done);
    return all == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(all);
  }

  std::string text() const {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "coverage: %.1f%% of attachment points, ACL entries, POPs and rules\n", percent());
    out += line;
    char const* const names[] = {"attachment points", "ACL entries", "POPs", "rules"};
    auto const all = groups();
    for (size_t g = 0; g < all.size(); ++g) {
      size_t n = 0, done = 0;
      count(*all[g], n, done);
      std::snprintf(line, sizeof line, "  %-18s %zu of %zu exercised\n", names[g], done, n);
      out += line;
      for (Item const* item : *all[g])
        if (!item->hit) out += "    not exercised: " + item->label + "\n";
    }
    return out;
  }

  nlohmann::ordered_json json() const {
    char const* const keys[] = {"attachment_points", "acl_entries", "pops", "rules"};
    nlohmann::ordered_json j = {{"percent", percent()}};
    auto const all = groups();
    for (size_t g = 0; g < all.size(); ++g) {
      nlohmann::ordered_json exercised = nlohmann::ordered_json::array(), missed = nlohmann::ordered_json::array();
      for (Item const* item : *all[g]) (item->hit ? exercised : missed).push_back(item->label);
      j[keys[g]] = {{"exercised", exercised}, {"not_exercised", missed}};
    }
    return j;
  }

 private:
  struct Item {
    std::string label;
    bool hit = false;
  };
  using Group = std::vector<Item const*>;

  static void hit(std::map<std::string, Item>& items, std::string const& key) {
    if (auto found = items.find(key); found != items.end()) found->second.hit = true;
  }
  static void count(Group const& g, size_t& all, size_t& done) {
    all += g.size();
    for (Item const* i : g) done += i->hit ? 1 : 0;
  }
  // The four kinds of item, each in a stable order.
  std::vector<Group const*> groups() const {
    groups_.assign(4, {});
    for (auto const& [k, item] : points_) groups_[0].push_back(&item);
    for (auto const& [k, entries] : entries_)
      for (Item const& item : entries) groups_[1].push_back(&item);
    for (auto const& [k, item] : pops_) groups_[2].push_back(&item);
    for (auto const& [k, item] : rules_) groups_[3].push_back(&item);
    return {&groups_[0], &groups_[1], &groups_[2], &groups_[3]};
  }

  std::map<std::string, Item> points_, pops_, rules_;
  std::map<std::string, std::vector<Item>> entries_;
  mutable std::vector<Group> groups_;
};

// text with the characters XML reserves escaped, and those it cannot hold
// at all (control characters but tab and line ends) as U+FFFD.
std::string xmlEscaped(std::string const& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') out += "\xEF\xBF\xBD";
        else out += c;
    }
  }
  return out;
}

// One case for the JUnit report: its name, and for a failure or an error
// the message and the explanation.
struct JunitCase {
  std::string name;
  CaseResult::Outcome outcome;
  std::string message, detail;
};

// Writes the cases as a JUnit XML report to path (one testsuite named after
// the cases file, one testcase per case); failures are printed and thrown.
void writeJunit(std::string const& path, std::string const& suite, std::vector<JunitCase> const& cases) {
  size_t failures = 0, errors = 0;
  for (JunitCase const& c : cases) {
    failures += c.outcome == CaseResult::Outcome::failed ? 1 : 0;
    errors += c.outcome == CaseResult::Outcome::error ? 1 : 0;
  }
  std::string const counts = " tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + std::to_string(failures) +
                             "\" errors=\"" + std::to_string(errors) + "\"";
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + counts + ">\n  <testsuite name=\"" +
                    xmlEscaped(suite) + "\"" + counts + ">\n";
  for (JunitCase const& c : cases) {
    xml += "    <testcase classname=\"gxpolicy.test\" name=\"" + xmlEscaped(c.name) + "\"";
    if (c.outcome == CaseResult::Outcome::passed) {
      xml += "/>\n";
      continue;
    }
    char const* tag = c.outcome == CaseResult::Outcome::failed ? "failure" : "error";
    xml += ">\n      <" + std::string(tag) + " message=\"" + xmlEscaped(c.message) + "\">" + xmlEscaped(c.detail) +
           "</" + tag + ">\n    </testcase>\n";
  }
  xml += "  </testsuite>\n</testsuites>\n";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << xml;
  out.close();
  if (!out) error({"cannot write the JUnit report " + path + ": " + std::strerror(errno), 0, "check the path"});
}

std::string indented(std::string const& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += (line.empty() ? "" : "    ") + line + "\n";
  return out;
}

void testCases(DecideArgs const& a) {
  std::ifstream in(a.cases);
  if (!in) error({"cannot read the cases file " + a.cases + ": " + std::strerror(errno), 0, "check the path"});
  std::stringstream text;
  text << in.rdbuf();
  std::string document = text.str();
  if (isYamlPath(a.cases)) {  // the same cases, written in YAML
    nlohmann::json doc;
    std::string yamlError;
    if (!yamlToJson(document, doc, yamlError)) error({a.cases + ": " + yamlError, 0, "fix the file"});
    document = doc.dump();
  }
  std::vector<DecisionCase> cases;
  Problem problem;
  if (!readCases(document, cases, problem)) {
    problem.where = problem.where.empty() ? a.cases : a.cases + ": " + problem.where;
    error(problem);
  }
  auto store = openStore(a);
  auto registry = orError([&] { return openRegistry(a.db, a.registry); });
  daDecision d;
  unsigned long passed = 0, failed = 0, errors = 0;
  nlohmann::ordered_json results = nlohmann::ordered_json::array();
  bool const measure = a.coverage || a.minCoverage >= 0;
  Coverage coverage;
  if (measure) coverage.load(*store, registry.get());
  std::vector<JunitCase> junit;
  for (DecisionCase const& c : cases) {
    CaseResult r = runCase(*store, registry.get(), c, d);
    if (measure && r.outcome != CaseResult::Outcome::error) coverage.record(r.got);
    if (!a.junit.empty())
      junit.push_back({c.name, r.outcome, r.outcome == CaseResult::Outcome::error ? describe(r.problem) : r.failure,
                       r.outcome == CaseResult::Outcome::failed ? renderExplain(r.got) : std::string()});
    nlohmann::ordered_json j = {{"name", c.name}};
    switch (r.outcome) {
      case CaseResult::Outcome::passed:
        ++passed;
        j["outcome"] = "passed";
        if (a.verbose && !a.json)
          std::printf("ok    %-8s %s\n", r.got.granted ? "granted" : "denied", c.name.c_str());
        break;
      case CaseResult::Outcome::failed:
        ++failed;
        j["outcome"] = "failed";
        j["failure"] = r.failure;
        j["explanation"] = toJson(r.got, true);
        if (!a.json)
          std::printf("FAIL  %s: %s\n%s\n", c.name.c_str(), r.failure.c_str(), indented(renderExplain(r.got)).c_str());
        break;
      case CaseResult::Outcome::error:
        ++errors;
        j["outcome"] = "error";
        j["error"] = describe(r.problem);
        if (!a.json) std::printf("ERROR %s\n", describe(r.problem).c_str());
        break;
    }
    results.push_back(std::move(j));
  }
  if (!a.junit.empty()) writeJunit(a.junit, a.cases, junit);
  if (a.json) {
    nlohmann::ordered_json summary = {{"passed", passed}, {"failed", failed}, {"errors", errors}, {"cases", results}};
    if (measure) summary["coverage"] = coverage.json();
    std::printf("%s\n", summary.dump(2).c_str());
  } else {
    std::printf("%zu cases: %lu passed, %lu failed", cases.size(), passed, failed);
    if (errors != 0) std::printf(", %lu could not be asked", errors);
    std::printf("\n");
    if (a.coverage) std::fputs(coverage.text().c_str(), stdout);
  }
  std::fflush(stdout);
  bool const tooLittle = a.minCoverage >= 0 && coverage.percent() < a.minCoverage;
  if (tooLittle)
    std::fprintf(stderr, "gxpolicy: test: the cases exercise %.1f%% of the policy, below --min-coverage %g\n",
                 coverage.percent(), a.minCoverage);
  if (errors != 0) throw CLI::RuntimeError(kExitError);
  if (failed != 0 || tooLittle) throw CLI::RuntimeError(kExitDenied);
}

constexpr char const* kCallerHelp =
    "The caller: --user NAME (its uuid and groups from the registry), --uuid UUID with --group NAME-or-UUID\n"
    "for each group, or --unauthenticated. The registry is DB.registry.json beside the database unless\n"
    "--registry names one.\n";
constexpr char const* kExitHelp = "Exit status: 0 granted, 1 denied, 2 the question could not be asked (see the message).\n";

void addQuestionOptions(CLI::App* sub, DecideArgs& a) {
  addDatabaseOptions(sub, a.db, a.domain);
  sub->add_option("OBJECT", a.object, "protected object, e.g. /web/docs/index.html")->required();
  sub->add_option("ACTIONS", a.actions, "action string asked for, e.g. Tr (letters from gxpolicy actions)")->required();
  sub->add_option("--user", a.user, "the caller by registry user name");
  sub->add_option("--uuid", a.uuid, "the caller by user uuid");
  sub->add_option("--group", a.groups, "a group of a --uuid caller, by name or uuid (repeatable)");
  sub->add_flag("--unauthenticated", a.unauthenticated, "the caller did not authenticate");
  sub->add_option("--ip", a.ip, "the caller's IPv4 or IPv6 address (for the level the POP requires)");
  sub->add_option("--time", a.time,
                  "when the request is made (default: now): 2026-12-07T09:30:00Z, \"2026-12-07 09:30 Europe/Berlin\" "
                  "or seconds since 1970");
  sub->add_option("--auth-level", a.authLevel, "how strongly the caller logged in (default: 1, or 0 unauthenticated)")
      ->check(CLI::Range(0, 1000));
  sub->add_option("--protection", a.protection, "the connection's protection: none (default), integrity or privacy");
  sub->add_option("--attr", a.attrs,
                  "an attribute for rules, NAME=VALUE (repeatable): true/false, a number, [a,b] a list of strings, "
                  "else a string (=VALUE keeps VALUE a string)");
  sub->add_option("--registry", a.registry, "user registry file (default: DB.registry.json when it exists)");
  sub->add_flag("--json", a.json, "print JSON");
}

}  // namespace

void registerDecisionCommands(CLI::App& app) {
  auto checkArgs = std::make_shared<DecideArgs>();
  auto* check = app.add_subcommand("check", "may this caller do these actions to this object? granted or denied");
  addQuestionOptions(check, *checkArgs);
  check->footer(std::string(kCallerHelp) + kExitHelp +
                "Prints \"granted\", or \"denied (CAUSE): \" and the reason; in warning mode what it would have answered;\n"
                "with --ip and a POP in force, the level it requires.\n"
                "Example:\n"
                "  gxpolicy check policy.db /web/docs/guide.html r --user dave\n"
                "  gxpolicy check policy.db /web/admin m --uuid 3d1e7c52-4a8b-4f0e-9c6d-2b5a8e1f0c37 --group admins --ip 10.1.2.3\n");
  check->callback([checkArgs] { ask(*checkArgs, false); });

  auto explainArgs = std::make_shared<DecideArgs>();
  auto* explain = app.add_subcommand("explain", "why a caller is granted or denied: the walk, the ACL entries, POP and rule");
  addQuestionOptions(explain, *explainArgs);
  explain->footer(std::string(kCallerHelp) + kExitHelp +
                  "Shows the objects from OBJECT up to the root with what is attached to each, every entry of the ACL\n"
                  "in force with whether it is for the caller and whether it applied, the permissions granted and\n"
                  "missing, the POP in force with the level it requires from --ip, the rule in force, and each\n"
                  "condition (window, level, protection, rule, warning mode) with pass or fail and why.\n"
                  "Example:\n"
                  "  gxpolicy explain policy.db /web/admin/users.html m --user carol --ip 203.0.113.9\n");
  explain->callback([explainArgs] { ask(*explainArgs, true); });

  auto testArgs = std::make_shared<DecideArgs>();
  auto* test = app.add_subcommand("test", "run a file of decision cases and report those that fail");
  addDatabaseOptions(test, testArgs->db, testArgs->domain);
  test->add_option("CASES", testArgs->cases, "cases file (JSON)")->required();
  test->add_option("--registry", testArgs->registry, "user registry file (default: DB.registry.json when it exists)");
  test->add_flag("-v,--verbose", testArgs->verbose, "also list the cases that pass");
  test->add_flag("--json", testArgs->json, "print the results as JSON");
  test->add_flag("--coverage", testArgs->coverage,
                 "report which attachment points, ACL entries, POPs and rules the cases exercised");
  test->add_option("--min-coverage", testArgs->minCoverage, "exit 1 when the cases exercise less than P percent")
      ->check(CLI::Range(0.0, 100.0));
  test->add_option("--junit", testArgs->junit, "write a JUnit XML report (one testcase per case) to FILE");
  test->footer(
      "The cases file is {\"cases\": [CASE, ...]} (or a bare array), each case\n"
      "  {\"name\": \"dave reads the guide\", \"object\": \"/web/docs/guide.html\", \"actions\": \"r\",\n"
      "   \"user\": \"dave\" | \"uuid\": \"UUID\", \"groups\": [\"NAME or UUID\"] | \"unauthenticated\": true,\n"
      "   \"ip\": \"10.1.2.3\", \"expect\": \"granted\" | \"denied\", \"level\": 0, \"cause\": \"outside-window\",\n"
      "   \"time\": \"2026-12-07T09:30:00Z\", \"auth_level\": 2, \"protection\": \"privacy\",\n"
      "   \"attributes\": {\"department\": \"sales\", \"badges\": [\"a\", \"b\"], \"trusted\": true}}\n"
      "(all but object, actions, caller and expect optional; level is the authentication level the POP\n"
      "requires from ip; cause the decision's cause; time, auth_level, protection and attributes its context).\n"
      "Each failing case is printed with its explanation, then a summary line.\n"
      "--coverage lists what the cases exercised: an attachment point whose policy a decision used, an ACL\n"
      "entry that made an answer, a POP or rule whose check a case reached (the ACL granted first).\n"
      "Exit status: 0 every case passed, 1 some failed (or the coverage is below --min-coverage), 2 a bad\n"
      "file or a case that could not be asked.\n"
      "Example:\n"
      "  gxpolicy test policy.db examples/policy/web-cases.json\n");
  test->callback([testArgs] { testCases(*testArgs); });
}

}  // namespace gxpolicy
