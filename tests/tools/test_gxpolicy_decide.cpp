// Decisions as gxpolicy check, explain and test present them
// (tools/common/decide): on the example web estate (examples/policy) the answers
// equal hand-worked ones, the per-entry account agrees with the entry kind
// decide applied, and bad callers, questions and cases files are problems
// with their status, naming what was wrong. Exit codes and output are run
// end to end by scripts/check-cli.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "example_policy.h"
#include "outside/file_registry.h"
#include "test_support.h"
#include "tools/common/decide.h"
#include "tools/common/yaml_json.h"

namespace {

using gxpolicy::CallerSpec;
using gxpolicy::CaseResult;
using gxpolicy::Problem;
using gxpolicy::Explanation;
using Form = CallerSpec::Form;

using gxtest::exampleFile;

CallerSpec user(char const* name) { return CallerSpec{Form::user, name, "", {}}; }
CallerSpec byUuid(char const* uuid, std::vector<std::string> groups = {}) {
  return CallerSpec{Form::uuid, "", uuid, std::move(groups)};
}
CallerSpec unauthenticated() { return CallerSpec{Form::unauthenticated, "", "", {}}; }

constexpr char const* kStranger = "0f3a9b7e-6c1d-4e2f-8a5b-9d0c1e2f3a4b";  // in no ACL, not in the registry
constexpr char const* kWebteam = "de8e7932-ba1b-4320-aa6d-c21e87ba5b4f";

// examples/policy/web.json imported, by entry names, through its registry.
class WebEstate : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = gxtest::exampleRegistry();
    ASSERT_TRUE(registry_);
    std::string const db = dir_.file("web.db");
    gxtest::createPolicyDb(db);
    gxtest::importDocument(db, "d", exampleFile("web.json"), registry_.get());
    ASSERT_FALSE(HasFailure());
    unsigned long st;
    store_ = std::make_unique<daCachedStore>("d", db.c_str(), 1, 0);
    store_->openStore(1, st);
    ASSERT_EQ(st, 0u);
  }

  // The explanation, or a test failure with the problem. Asked on a
  // Monday at 10:00 UTC, in the office hours of the example's rule.
  Explanation ask(CallerSpec const& spec, char const* object, char const* actions, char const* ip = "",
                  int authLevel = -1) {
    Explanation e;
    gxpolicy::Caller caller;
    Problem problem;
    gxpolicy::Question q{object, actions, ip, {}};
    q.context.time = kMondayTen;
    if (authLevel >= 0) q.context.authLevel = authLevel;
    bool ok = gxpolicy::resolveCaller(spec, registry_.get(), caller, problem) &&
              gxpolicy::explainDecision(*store_, q, caller, registry_.get(), true, d_, e, problem);
    EXPECT_TRUE(ok) << gxpolicy::describe(problem);
    return e;
  }
  // The problem of a question that cannot be asked (status and message).
  Problem problemOf(CallerSpec const& spec, char const* object, char const* actions, char const* ip = "",
                          gxreg::Registry* registry = nullptr, bool useRegistry = true) {
    gxreg::Registry* r = useRegistry ? registry_.get() : registry;
    gxpolicy::Caller caller;
    Problem problem;
    Explanation e;
    bool ok = gxpolicy::resolveCaller(spec, r, caller, problem) &&
              gxpolicy::explainDecision(*store_, {object, actions, ip, {}}, caller, r, false, d_, e, problem);
    EXPECT_FALSE(ok) << object << " " << actions;
    return problem;
  }
  // The permissions an action string stands for, as the canonical string.
  std::string canonical(GxACLPermset const& p) {
    ZUTF8String_6_0 out;
    unsigned long st;
    store_->mapBitmap(p, out, st);
    return out.getChars();
  }
  GxACLPermset perms(std::string const& actions) {
    GxACLPermset p;
    unsigned long st;
    store_->mapAction(actions.c_str(), p, st);
    EXPECT_EQ(st, 0u) << actions;
    return p;
  }

  static constexpr std::int64_t kMondayTen = 1796637600;  // 2026-12-07T10:00:00Z
  gxtest::TempDir dir_;
  std::unique_ptr<gxreg::FileRegistry> registry_;
  std::unique_ptr<daCachedStore> store_;
  daDecision d_;
};

struct Expected {
  CallerSpec caller;
  char const* object;
  char const* actions;
  char const* ip;
  bool granted;
  daDecisionEntry applied;
  char const* permissions;  // canonical order
  char const* aclAt;
  long level;  // -1: no level asked
};

TEST_F(WebEstate, AnswersEqualTheHandWorkedOnes) {
  using K = daDecisionEntry;
  Expected const table[] = {
      // alice's user entry on /web is inherited below it and overrides her group's.
      {user("alice"), "/web/blog/hello.html", "x", "", true, K::user, "Tacdlmrvx", "/web", -1},
      {user("bob"), "/web/blog/hello.html", "x", "", false, K::group, "Tdlmr", "/web", -1},
      // The nearest ACL replaces those above: at /web/docs alice is only in webteam.
      {user("alice"), "/web/docs/guide.html", "ml", "", false, K::group, "Tmr", "/web/docs", -1},
      // bob's two groups unite.
      {user("bob"), "/web/docs/guide.html", "ml", "", true, K::group, "Tlmr", "/web/docs", -1},
      // carol's user entry overrides her admins group entry.
      {user("carol"), "/web/admin/users.html", "m", "", false, K::user, "Tlr", "/web/admin", -1},
      {user("dave"), "/web/blog/hello.html", "r", "", true, K::anyOther, "Tlr", "/web", -1},
      {user("dave"), "/web/docs/guide.html", "m", "", false, K::anyOther, "Tr", "/web/docs", -1},
      {user("dave"), "/web/admin", "T", "", false, K::none, "", "/web/admin", -1},
      {user("dave"), "/ops", "r", "", false, K::anyOther, "T", "/", -1},
      {byUuid(kStranger, {"webteam"}), "/web/docs/guide.html", "m", "", true, K::group, "Tmr", "/web/docs", -1},
      {byUuid(kStranger, {kWebteam}), "/web/docs/guide.html", "m", "", true, K::group, "Tmr", "/web/docs", -1},
      // Unauthenticated: any-other AND unauthenticated, nothing without both.
      {unauthenticated(), "/web/blog/hello.html", "r", "", true, K::unauthenticated, "Tr", "/web", -1},
      {unauthenticated(), "/web/blog/hello.html", "l", "", false, K::unauthenticated, "Tr", "/web", -1},
      {unauthenticated(), "/web/admin", "T", "", false, K::none, "", "/web/admin", -1},
      // The POP on /web/admin: inside, office and outside addresses, IPv4 and
      // IPv6; from outside, a password (level 1) is not enough.
      {user("erin"), "/web/admin/users.html", "m", "10.1.2.3", true, K::group, "Tacdlmrv", "/web/admin", 0},
      {user("erin"), "/web/admin/users.html", "m", "192.168.4.5", true, K::group, "Tacdlmrv", "/web/admin", 1},
      {user("erin"), "/web/admin/users.html", "m", "203.0.113.9", false, K::group, "Tacdlmrv", "/web/admin", 2},
      {user("erin"), "/web/admin", "r", "fd00::17", true, K::group, "Tacdlmrv", "/web/admin", 0},
      {user("erin"), "/web/admin", "r", "2001:db8::1", false, K::group, "Tacdlmrv", "/web/admin", 2},
      // No POP in force: no level, whatever the address.
      {user("erin"), "/web/docs", "r", "203.0.113.9", true, K::anyOther, "Tr", "/web/docs", -1},
  };
  for (Expected const& x : table) {
    SCOPED_TRACE(std::string(x.object) + " " + x.actions + " " + x.caller.user + x.caller.uuid + " " + x.ip);
    Explanation e = ask(x.caller, x.object, x.actions, x.ip);
    EXPECT_EQ(e.granted, x.granted);
    EXPECT_EQ(e.applied, x.applied);
    EXPECT_EQ(e.permissions, x.permissions);
    EXPECT_EQ(e.aclAt, x.aclAt);
    EXPECT_EQ(e.levelAsked, x.level >= 0);
    if (x.level >= 0) EXPECT_EQ(e.level, static_cast<unsigned long>(x.level));
  }
}

// For every caller and object, the entries marked applied are exactly those
// the evaluation order picks for the kind decide reports, and their
// permissions combine to what decide granted.
TEST_F(WebEstate, AppliedEntriesAgreeWithTheKindDecideApplied) {
  CallerSpec const callers[] = {user("alice"), user("bob"),   user("carol"), user("dave"),
                                user("erin"),  byUuid(kStranger, {"auditors", "admins"}), unauthenticated()};
  char const* const objects[] = {"/", "/ops", "/web", "/web/blog/hello.html", "/web/docs/guide.html", "/web/admin"};
  for (CallerSpec const& c : callers)
    for (char const* object : objects) {
      SCOPED_TRACE(std::string(object) + " " + c.user + c.uuid);
      Explanation e = ask(c, object, "r");
      GxACLPermset combined;
      int applied = 0;
      for (auto const& x : e.entries) {
        if (!x.applied) continue;
        EXPECT_TRUE(x.matches) << x.type;
        if (applied++ == 0) combined = perms(x.actions);
        else if (e.applied == daDecisionEntry::unauthenticated) combined &= perms(x.actions);
        else combined |= perms(x.actions);
        std::string const kind = daDecisionEntryText(e.applied);
        if (e.applied == daDecisionEntry::unauthenticated) EXPECT_TRUE(x.type == "any-other" || x.type == "unauthenticated");
        else EXPECT_EQ(x.type, kind);
      }
      int const wanted = e.applied == daDecisionEntry::none              ? 0
                         : e.applied == daDecisionEntry::unauthenticated ? 2
                         : e.applied == daDecisionEntry::group           ? applied
                                                                         : 1;
      EXPECT_EQ(applied, wanted);
      if (e.applied == daDecisionEntry::group) {
        for (auto const& x : e.entries)  // every matching group entry takes part
          if (x.type == "group") EXPECT_EQ(x.matches, x.applied) << x.name;
      }
      EXPECT_EQ(applied == 0 ? std::string() : canonical(combined), e.permissions);
    }
}

TEST_F(WebEstate, WalkNamesWhatIsAttachedAtEachObjectUpToTheRoot) {
  Explanation e = ask(user("carol"), "/web/admin/users.html", "r");
  ASSERT_EQ(e.walk.size(), 4u);
  EXPECT_EQ(e.walk[0].object, "/web/admin/users.html");
  EXPECT_EQ(e.walk[0].acl + e.walk[0].pop + e.walk[0].rule, "");
  EXPECT_EQ(e.walk[1].object, "/web/admin");
  EXPECT_EQ(e.walk[1].acl, "web-admin");
  EXPECT_EQ(e.walk[1].pop, "internal-only");
  EXPECT_EQ(e.walk[1].rule, "office-hours");
  EXPECT_EQ(e.walk[2].acl, "web-public");
  EXPECT_EQ(e.walk[2].pop, "");
  EXPECT_EQ(e.walk[3].object, "/");
  EXPECT_EQ(e.walk[3].acl, "root-default");
  EXPECT_EQ(e.pop, "internal-only");
  EXPECT_EQ(e.ruleAt, "/web/admin");
}

TEST_F(WebEstate, ReasonsNameTheAclTheEntryAndWhatIsMissing) {
  Explanation carol = ask(user("carol"), "/web/admin/users.html", "m");
  EXPECT_EQ(carol.reason,
            "ACL web-admin (attached at /web/admin) grants carol \"Tlr\" by its user entry for carol; \"m\" is not granted");
  EXPECT_EQ(carol.missing, "m");
  EXPECT_EQ(ask(user("bob"), "/web/docs", "ml").reason,
            "ACL web-docs (attached at /web/docs) grants bob \"Tlmr\" by its entries for groups webteam, auditors");
  EXPECT_NE(ask(user("dave"), "/web/admin", "T").reason.find("has no entry for dave"), std::string::npos);
  EXPECT_NE(ask(unauthenticated(), "/web/admin", "T").reason.find("no any-other or unauthenticated entry"),
            std::string::npos);
  // The entry that lost says why.
  for (auto const& x : carol.entries)
    if (x.type == "group") EXPECT_EQ(x.why, "carol is in group admins, but the user entry for carol decides");

  EXPECT_EQ(gxpolicy::renderCheck(ask(user("dave"), "/web", "r")), "granted\n");
  EXPECT_EQ(gxpolicy::renderCheck(ask(user("erin"), "/web/admin", "r", "203.0.113.9", 2)),
            "granted\nPOP internal-only (attached at /web/admin) requires authentication level 2 from 203.0.113.9\n");
  EXPECT_EQ(gxpolicy::renderCheck(carol), "denied (acl-denied): " + carol.reason + "\n");
  // A condition's denial is told in the library's words, not the ACL's.
  Explanation stepUp = ask(user("erin"), "/web/admin", "r", "203.0.113.9");
  EXPECT_EQ(gxpolicy::renderCheck(stepUp),
            "denied (auth-level): step-up to level 2 required\n"
            "POP internal-only (attached at /web/admin) requires authentication level 2 from 203.0.113.9\n");
  ASSERT_EQ(stepUp.conditions.size(), 5u);
  EXPECT_EQ(stepUp.conditions[1].name + " " + stepUp.conditions[1].outcome, "level fail");
  EXPECT_EQ(stepUp.conditions[3].name + " " + stepUp.conditions[3].outcome, "rule not checked");
  // Warning mode: granted, the window waived and said so everywhere.
  gxpolicy::Caller dave;
  Problem problem;
  ASSERT_TRUE(gxpolicy::resolveCaller(user("dave"), registry_.get(), dave, problem));
  gxpolicy::Question night{"/web/blog/hello.html", "r", "", {}};
  night.context.time = kMondayTen - 9 * 3600;  // 02:00 in Berlin: the trial's freeze
  Explanation trial;
  ASSERT_TRUE(gxpolicy::explainDecision(*store_, night, dave, registry_.get(), true, d_, trial, problem));
  EXPECT_TRUE(trial.granted);
  EXPECT_EQ(trial.conditions[0].outcome, "waived");
  EXPECT_EQ(trial.conditions[4].outcome, "on");
  EXPECT_EQ(gxpolicy::renderCheck(trial), "granted\nwarning mode (outside-window): would deny: outside the access window\n");
  EXPECT_EQ(gxpolicy::toJson(trial, false)["would_cause"], "outside-window");
  auto j = gxpolicy::toJson(ask(user("erin"), "/web/admin", "r", "10.1.2.3"), true);
  EXPECT_EQ(j["decision"], "granted");
  EXPECT_EQ(j["pop"]["required_level"], 0);
  EXPECT_EQ(j["caller"]["groups"][0]["name"], "admins");
  EXPECT_EQ(j["entries"][0]["applied"], true);
}

TEST_F(WebEstate, BadCallersAndQuestionsAreProblemsWithTheirStatus) {
  EXPECT_EQ(problemOf(user("zed"), "/web", "r").status, reg_s_no_such_user);
  EXPECT_EQ(problemOf(byUuid("not-a-uuid"), "/web", "r").status, hx_uuid_s_invalid_string);
  EXPECT_EQ(problemOf(byUuid(kStranger, {"nogroup"}), "/web", "r").status, reg_s_no_such_group);
  EXPECT_EQ(problemOf(user("alice"), "/web", "r", "", nullptr, false).status, reg_s_unavailable);
  EXPECT_EQ(problemOf(byUuid(kStranger, {"webteam"}), "/web", "r", "", nullptr, false).status, reg_s_unavailable);
  Problem none = problemOf(CallerSpec{}, "/web", "r");
  EXPECT_EQ(none.status, 0u);
  EXPECT_EQ(none.message, "no caller given");
  EXPECT_EQ(problemOf(CallerSpec{Form::user, "alice", "", {"admins"}}, "/web", "r").message,
            "groups given with a user name");

  Problem action = problemOf(user("alice"), "/web", "rZ");
  EXPECT_EQ(action.status, gx_s_bad_action);
  EXPECT_EQ(gxpolicy::describe(action),
            "bad action string \"rZ\": status 0x1005b2f1 (unknown action letter or group); use the letters and [group] "
            "names that \"gxpolicy actions DB\" lists, e.g. \"Tr\"");
  Problem empty = problemOf(user("alice"), "/web", "");
  EXPECT_EQ(empty.status, gx_s_bad_action);
  EXPECT_EQ(empty.message, "no actions asked for: the action string is empty");
  EXPECT_EQ(problemOf(user("alice"), "/web", "r[web").status, gx_s_no_action_group);
  EXPECT_EQ(problemOf(user("alice"), "/web", "r[web").message, "bad action string \"r[web\"");
  EXPECT_EQ(problemOf(user("alice"), "web", "r").status, gx_s_bad_pobj_name);
  EXPECT_EQ(problemOf(user("alice"), "/web", "r", "10.1.2").status, gx_s_invalid_address);

  // A directory where several entries hold a name: never guessed between,
  // and not mistaken for a directory that does not answer.
  struct Ambiguous : gxreg::Registry {
    unsigned long userUuid(std::string const&, hx_uuid_t&) override { return reg_s_ambiguous; }
    unsigned long groupUuid(std::string const&, hx_uuid_t&) override { return reg_s_ambiguous; }
    unsigned long userName(hx_uuid_t const&, std::string&) override { return reg_s_no_such_user; }
    unsigned long groupName(hx_uuid_t const&, std::string&) override { return reg_s_no_such_group; }
    unsigned long userGroups(hx_uuid_t const&, std::vector<hx_uuid_t>&) override { return 0; }
  } twice;
  Problem ambiguous = problemOf(user("carol"), "/web", "r", "", &twice, false);
  EXPECT_EQ(ambiguous.status, reg_s_ambiguous);
  EXPECT_EQ(ambiguous.message, "user name \"carol\" is held by several registry entries");
  EXPECT_EQ(problemOf(byUuid(kStranger, {"hr"}), "/web", "r", "", &twice, false).status, reg_s_ambiguous);
}

// A catalogue whose "primary" group holds no actions cannot convert any
// action string: the question is refused naming the catalogue, not the
// string (which is well formed).
TEST_F(WebEstate, CatalogueWithAnEmptyPrimaryGroupIsNamedAsTheProblem) {
  GxActionGroups catalogue;
  unsigned long slot, st;
  catalogue.newGroup("primary", slot, st);
  catalogue.newGroup("web", slot, st);
  catalogue.createAction("web", "x", nullptr, nullptr, 0, 0, 0, st);
  store_ = std::make_unique<daCachedStore>("d", dir_.file("web.db").c_str(), 1, 0);
  store_->openStore(0, st);
  store_->setObject(daActionGroupName(), new GxActionGroups(catalogue), st);
  ASSERT_EQ(st, 0u);
  for (char const* actions : {"r", "[web]x"}) {
    Problem p = problemOf(user("alice"), "/web", actions);
    EXPECT_EQ(p.status, gx_s_no_action_group) << actions;
    EXPECT_EQ(p.message, "the database's action catalogue has no \"primary\" group with actions") << actions;
  }
}

TEST_F(WebEstate, AWrongExpectationFailsAndACaseThatCannotBeAskedIsAnError) {
  std::vector<gxpolicy::DecisionCase> cases;
  Problem problem;
  ASSERT_TRUE(gxpolicy::readCases(R"({"cases": [
      {"object": "/web/docs", "user": "dave", "actions": "m", "expect": "granted"},
      {"object": "/web/admin", "user": "erin", "actions": "r", "ip": "203.0.113.9", "time": "2026-12-07T10:00:00Z",
       "expect": "denied", "level": 0, "cause": "rule-denied"},
      {"name": "ghost", "object": "/web", "user": "zed", "actions": "r", "expect": "denied"}]})",
                                  cases, problem));
  CaseResult denied = gxpolicy::runCase(*store_, registry_.get(), cases[0], d_);
  EXPECT_EQ(denied.outcome, CaseResult::Outcome::failed);
  EXPECT_EQ(denied.failure, "expected granted, got denied");
  EXPECT_FALSE(denied.got.walk.empty());  // printed with the failure
  CaseResult level = gxpolicy::runCase(*store_, registry_.get(), cases[1], d_);
  EXPECT_EQ(level.failure, "expected level 0 from 203.0.113.9, got 2; expected cause rule-denied, got auth-level");
  CaseResult ghost = gxpolicy::runCase(*store_, registry_.get(), cases[2], d_);
  EXPECT_EQ(ghost.outcome, CaseResult::Outcome::error);
  EXPECT_EQ(ghost.problem.status, reg_s_no_such_user);
  EXPECT_EQ(ghost.problem.message, "cases[2] (\"ghost\"): unknown user \"zed\"");
}

// Request times as a person writes them; a wall-clock time a zone skips or
// repeats is refused rather than guessed.
TEST(QuestionContext, TimesReadInEveryFormAndAmbiguousWallClocksAreRefused) {
  struct Case {
    char const* text;
    std::int64_t seconds;  // -1: refused
  } const cases[] = {
      {"1796637600", 1796637600},
      {"2026-12-07T10:00:00Z", 1796637600},
      {"2026-12-07T10:00:00.75Z", 1796637600},
      {"2026-12-07T11:00:00+01:00", 1796637600},
      {"2026-12-07 11:00 Europe/Berlin", 1796637600},
      {"2026-12-07 10:00:00 UTC", 1796637600},
      {"2026-10-25 03:30 Europe/Berlin", 1792895400},  // after clocks went back: CET
      {"2026-03-29 02:30 Europe/Berlin", -1},          // skipped
      {"2026-10-25 02:30 Europe/Berlin", -1},          // happens twice
      {"2026-12-07 10:00", -1},                        // no zone
      {"2026-12-07 10:00 Mars/Olympus", -1},
      {"2026-02-30T10:00:00Z", -1},
      {"2026-12-07T10:00:00", -1},  // no offset
      {"2026-12-07T24:00:00Z", -1},
      {"99999999999999999999", -1},
      {"", -1},
  };
  for (Case const& c : cases) {
    std::int64_t t = -1;
    std::string why;
    bool ok = gxpolicy::parseRequestTime(c.text, t, why);
    EXPECT_EQ(ok, c.seconds >= 0) << c.text << ": " << why;
    if (ok) EXPECT_EQ(t, c.seconds) << c.text;
    else EXPECT_FALSE(why.empty()) << c.text;
  }
}

TEST(QuestionContext, AttributesAreTypedAsDocumented) {
  using V = daAttributes::Value;
  auto read = [](char const* text) {
    std::string name, why;
    V v;
    EXPECT_TRUE(gxpolicy::parseAttribute(text, name, v, why)) << text;
    return v;
  };
  EXPECT_EQ(read("a=true"), V(true));
  EXPECT_EQ(read("a=-2.5"), V(-2.5));
  EXPECT_EQ(read("a=sales"), V(std::string("sales")));
  EXPECT_EQ(read("a==true"), V(std::string("true")));
  EXPECT_EQ(read("a=[hr, sales]"), V(daAttributes::List{"hr", "sales"}));
  EXPECT_EQ(read("a=[]"), V(daAttributes::List{}));
  EXPECT_EQ(read("a="), V(std::string()));
  EXPECT_EQ(read("a=1e3"), V(std::string("1e3")));  // decimals only
  std::string name, why;
  V v;
  EXPECT_FALSE(gxpolicy::parseAttribute("department", name, v, why));
  EXPECT_FALSE(gxpolicy::parseAttribute("=web", name, v, why));
}

TEST(DecisionCases, BadFilesNameTheCaseAndTheField) {
  struct Bad {
    char const* text;
    char const* message;  // the start of the problem as described
  };
  Bad const bad[] = {
      {"{\"cases\": [\n  {\"object\": \"/a\", \"level\": 1e999}]}",
       "not valid JSON at line 2, column 33: number overflow parsing '1e999'"},
      {"{\"cases\": []}", "no cases in the file"},
      {"{\"tests\": []}", "tests: unknown field"},
      {"[{\"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\"}]", "cases[0].object: \"object\" is missing"},
      {"[{\"name\": \"n\", \"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"maybe\"}]",
       "cases[0] (\"n\").expect: expected \"granted\" or \"denied\""},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"uuid\": \"u\", \"actions\": \"r\", \"expect\": \"denied\"}]",
       "cases[0]: more than one caller"},
      {"[{\"object\": \"/a\", \"actions\": \"r\", \"expect\": \"denied\"}]", "cases[0]: no caller"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"groups\": [\"g\"], \"actions\": \"r\", \"expect\": \"denied\"}]",
       "cases[0].groups: groups go with \"uuid\""},
      {"[{\"object\": \"/a\", \"unauthenticated\": false, \"actions\": \"r\", \"expect\": \"denied\"}]",
       "cases[0].unauthenticated: \"unauthenticated\" must be true"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\", \"level\": 1}]",
       "cases[0].level: a level is required from an address"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": 5, \"expect\": \"denied\"}]", "cases[0].actions: \"actions\" must be a string"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\", \"time\": \"2026-03-29 02:30 Europe/Berlin\"}]",
       "cases[0].time: bad time: that time does not exist in Europe/Berlin"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\", \"protection\": \"tls\"}]",
       "cases[0].protection: expected \"none\", \"integrity\" or \"privacy\""},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\", \"attributes\": {\"d\": [1]}}]",
       "cases[0].attributes.d: a list attribute holds strings only"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\", \"ipaddr\": \"x\"}]",
       "cases[0].ipaddr: unknown field"},
      {"[{\"object\": \"/a\", \"user\": \"a\", \"actions\": \"r\", \"expect\": \"denied\"}, 7]",
       "cases[1]: a case must be a JSON object"},
  };
  for (Bad const& b : bad) {
    std::vector<gxpolicy::DecisionCase> cases;
    Problem problem;
    EXPECT_FALSE(gxpolicy::readCases(b.text, cases, problem)) << b.text;
    EXPECT_EQ(describe(problem).rfind(b.message, 0), 0u) << b.text << "\n" << describe(problem);
  }
}

}  // namespace

// A cases file in YAML reads as the same cases written in JSON; quoted
// scalars stay texts ("true" as a user name), a case without a name is
// numbered, and malformed YAML is reported with its line.
TEST(DecisionCases, YamlCasesReadAsTheirJson) {
  char const* yaml = R"(cases:
  - name: alice writes
    object: /web/docs
    actions: Tw
    user: alice
    expect: granted
  - object: /web/admin
    actions: r
    unauthenticated: true
    ip: 10.1.2.3
    expect: denied
    level: 2
  - object: /x
    actions: "r"
    user: "true"
    expect: denied
)";
  nlohmann::json doc;
  std::string error;
  ASSERT_TRUE(gxpolicy::yamlToJson(yaml, doc, error)) << error;
  std::vector<gxpolicy::DecisionCase> cases;
  gxpolicy::Problem problem;
  ASSERT_TRUE(gxpolicy::readCases(doc.dump(), cases, problem)) << gxpolicy::describe(problem);
  ASSERT_EQ(cases.size(), 3u);
  EXPECT_EQ(cases[0].name, "alice writes");
  EXPECT_TRUE(cases[0].expectGranted);
  EXPECT_EQ(cases[1].name, "case 2");
  EXPECT_EQ(cases[1].caller.form, gxpolicy::CallerSpec::Form::unauthenticated);
  EXPECT_EQ(cases[1].question.address, "10.1.2.3");
  EXPECT_EQ(cases[1].expectLevel, 2u);
  EXPECT_EQ(cases[2].caller.user, "true");

  EXPECT_FALSE(gxpolicy::yamlToJson("cases:\n  - object: [unclosed\n", doc, error));
  EXPECT_NE(error.find("line "), std::string::npos) << error;
}
