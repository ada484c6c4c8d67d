// Rules in Lua: what a rule sees and what its answer means, the sandbox's
// walls (one rule cannot change what the next sees, nothing escapes to the
// host), the limits that stop a runaway rule while the thread goes on, and
// the warm path that allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <string_view>
#include <vector>

#include "GxCore/db/daRuleEngine.h"

namespace {

std::shared_ptr<daRuleProgram const> rule(std::string text, std::vector<std::string> adilist = {}) {
  return daRuleProgram::make("r", std::move(text), "because", std::move(adilist));
}

struct Request {
  daAttributes attrs;
  std::vector<std::string_view> groups{"staff", "admins"};
  daRuleInput in;
  Request() {
    attrs.set("department", std::string("sales"));
    attrs.set("clearance", 3.0);
    attrs.set("contractor", false);
    attrs.set("roles", daAttributes::List{"auditor", "buyer"});
    in.userName = "alice";
    in.userUuid = "0b5e6d1c-0000-4000-8000-000000000001";
    in.groups = &groups;
    in.authenticated = true;
    in.address = "10.1.2.3";
    in.timeSeconds = 1796565600;  // 2026-12-06T14:00:00Z, a Sunday
    in.object = "/web/admin";
    in.actions = "rx";
    in.authLevel = 2;
    in.protection = daProtection::privacy;
    in.attributes = &attrs;
  }
};

daRuleVerdict eval(std::string text, Request const& r, std::string* detail = nullptr) {
  std::string d;
  auto v = daEvaluateRule(*rule(std::move(text)), r.in, d);
  if (detail) *detail = d;
  return v;
}

// Every field of the contract, one assert a line: a failure names its line.
TEST(Rules, SeeTheRequestAndTheHostsAttributes) {
  Request r;
  std::string detail;
  auto const v = eval(R"(
    assert(subject.name == "alice")
    assert(subject.uuid == "0b5e6d1c-0000-4000-8000-000000000001")
    assert(subject.authenticated == true)
    assert(subject.level == 2)
    assert(#subject.groups == 2 and subject.groups[1] == "staff" and subject.groups[3] == nil)
    assert(has(subject.groups, "admins") and not has(subject.groups, "root"))
    assert(request.address == "10.1.2.3")
    assert(request.time == 1796565600)
    assert(request.weekday == 0 and request.hour == 14 and request.minute == 0)
    assert(request.object == "/web/admin" and request.actions == "rx")
    assert(request.protection == "privacy")
    assert(attr.department == "sales" and attr.clearance == 3 and attr.contractor == false)
    assert(#attr.roles == 2 and has(attr.roles, "buyer") and attr.roles[2] == "buyer")
    local n = 0
    for _, g in ipairs(subject.groups) do n = n + #g end
    assert(n == 11)
    assert(attr.unknown == nil and subject.unknown == nil and request[1] == nil)
    assert(has({"a", "b"}, "b") and not has({}, "a"))
    return true)",
                      r, &detail);
  EXPECT_EQ(v, daRuleVerdict::permit) << detail;

  // An unauthenticated caller without groups or attributes, before 1970.
  Request anon;
  anon.in.userName = anon.in.userUuid = "";
  anon.in.authenticated = false;
  anon.in.groups = nullptr;
  anon.in.attributes = nullptr;
  anon.in.authLevel = 0;
  anon.in.protection = daProtection::none;
  anon.in.timeSeconds = -1;  // 1969-12-31T23:59:59Z, a Wednesday
  EXPECT_EQ(eval(R"(
    assert(subject.name == "" and not subject.authenticated and subject.level == 0)
    assert(#subject.groups == 0 and attr.department == nil)
    assert(request.protection == "none")
    assert(request.weekday == 3 and request.hour == 23 and request.minute == 59)
    return true)",
                 anon, &detail),
            daRuleVerdict::permit)
      << detail;
}

TEST(Rules, TrueAloneGrantsAnythingElseDeniesOrIsAnError) {
  Request r;
  std::string detail;
  EXPECT_EQ(eval("return true", r, &detail), daRuleVerdict::permit);
  EXPECT_EQ(detail, "");
  EXPECT_EQ(eval("attr.department == 'sales' -- an expression is a whole rule", r), daRuleVerdict::permit);
  EXPECT_EQ(eval("", r), daRuleVerdict::deny);
  EXPECT_EQ(eval("return false", r), daRuleVerdict::deny);
  EXPECT_EQ(eval("return nil", r), daRuleVerdict::deny);
  EXPECT_EQ(eval("local x = 1", r), daRuleVerdict::deny);  // no return: nil
  EXPECT_EQ(eval("return 'true'", r, &detail), daRuleVerdict::error);
  EXPECT_EQ(detail, "the rule returned a string, not a boolean");
  EXPECT_EQ(eval("return 1", r), daRuleVerdict::error);
  EXPECT_EQ(eval("return {}", r), daRuleVerdict::error);
  EXPECT_EQ(eval("return function() return true end", r), daRuleVerdict::error);
  EXPECT_EQ(eval("return setmetatable({}, {__eq = function() return true end}) == true", r), daRuleVerdict::deny);
  EXPECT_EQ(eval("\n\nerror('no badge')", r, &detail), daRuleVerdict::error);
  EXPECT_EQ(detail, "the rule raised an error: r:3: no badge");
  EXPECT_EQ(eval("return attr.nothing.field", r, &detail), daRuleVerdict::error);
  EXPECT_NE(detail.find("r:1:"), std::string::npos) << detail;
  // Error objects that are not strings are named by type; their
  // metamethods are not run.
  EXPECT_EQ(eval("error(setmetatable({}, {__tostring = function() while true do end end}))", r, &detail),
            daRuleVerdict::error);
  EXPECT_EQ(detail, "the rule raised an error (a table value)");
  EXPECT_EQ(eval("error()", r, &detail), daRuleVerdict::error);
  EXPECT_EQ(detail, "the rule raised an error (a nil value)");
}

TEST(Rules, AnAttributeTheRuleNamesMustBeGivenOthersReadAsNil) {
  Request r;
  std::string detail = "stale";
  auto const needs = rule("return attr.site == 'hq' or attr.site == nil", {"department", "site"});
  EXPECT_EQ(daEvaluateRule(*needs, r.in, detail), daRuleVerdict::missingAttribute);
  EXPECT_EQ(detail, "site");
  r.in.attributes = nullptr;
  EXPECT_EQ(daEvaluateRule(*needs, r.in, detail), daRuleVerdict::missingAttribute);
  EXPECT_EQ(detail, "department");
  // Not in the adilist: the rule reads nil and decides.
  EXPECT_EQ(daEvaluateRule(*rule("return attr.site == nil"), r.in, detail), daRuleVerdict::permit);
  r.attrs.set("site", std::string("hq"));
  r.in.attributes = &r.attrs;
  EXPECT_EQ(daEvaluateRule(*needs, r.in, detail), daRuleVerdict::permit);
  EXPECT_EQ(detail, "");
}

TEST(Rules, ATextThatDoesNotCompileDeniesNamingTheLine) {
  auto const bad = rule("local ok = true\nreturn ok ==\n");
  EXPECT_FALSE(bad->compiled());
  EXPECT_EQ(bad->errorLine(), 3);
  EXPECT_NE(bad->error().find("unexpected symbol near <eof>"), std::string::npos) << bad->error();
  Request r;
  std::string detail;
  EXPECT_EQ(daEvaluateRule(*bad, r.in, detail), daRuleVerdict::notCompiled);
  EXPECT_EQ(detail, bad->error());

  std::string message;
  int line = -1;
  EXPECT_FALSE(daRuleCompiles("return 1 +* 2", message, line));
  EXPECT_EQ(line, 1);
  EXPECT_NE(message.find("unexpected symbol"), std::string::npos) << message;
  EXPECT_TRUE(daRuleCompiles("return true", message, line));
  EXPECT_EQ(message, "");
  // A rule name long enough for Lua to cut it still gives the line.
  auto const named = daRuleProgram::make(std::string(200, 'n'), "\nreturn )", "", {});
  EXPECT_EQ(named->errorLine(), 2);
  // A precompiled chunk is not a rule text.
  EXPECT_FALSE(daRuleCompiles("\x1bLua\x54", message, line));
  // Very long texts: refused past the limit, nesting refused by the parser.
  std::string const huge = "return true" + std::string(daRuleTextLimit, ' ');
  EXPECT_FALSE(daRuleCompiles(huge, message, line));
  EXPECT_EQ(line, 0);
  EXPECT_NE(message.find("bytes long"), std::string::npos) << message;
  std::string const deep = "return " + std::string(5000, '(') + "true" + std::string(5000, ')');
  EXPECT_FALSE(daRuleCompiles(deep, message, line));
  EXPECT_NE(message, "");
  EXPECT_EQ(daRuleVerdictText(daRuleVerdict::notCompiled), std::string("not-compiled"));
}

TEST(Rules, TheSandboxOffersNoWayToTheHost) {
  Request r;
  std::string detail;
  EXPECT_EQ(eval(R"(
    for _, name in ipairs({"io", "os", "package", "debug", "load", "loadstring", "dofile", "loadfile",
                           "require", "collectgarbage", "print", "rawset", "coroutine", "_G", "utf8", "warn"}) do
      assert(_ENV[name] == nil, name)
    end
    assert(string.dump == nil and math.randomseed == nil)
    assert(getmetatable("") == false and getmetatable(string) == false and getmetatable(_ENV) == false)
    assert(getmetatable(subject) == false and getmetatable(subject.groups) == false)
    return true)",
                 r, &detail),
            daRuleVerdict::permit)
      << detail;
  for (char const* escape : {"setmetatable(_ENV, nil)", "setmetatable(string, {})", "subject.name = 'root'",
                             "string.format = nil", "rawset(string, 'upper', 1)", "table.insert(math, 1)",
                             "setmetatable({}, {__gc = function() end})", "return ('').dump"}) {
    auto const v = eval(escape, r, &detail);
    EXPECT_TRUE(v == daRuleVerdict::error || v == daRuleVerdict::deny) << escape << ": " << detail;
  }
}

// Whatever a rule changes, the next rule (or the same one again) starts
// from the same globals.
TEST(Rules, ARuleCannotChangeWhatTheNextSees) {
  Request r;
  std::string detail;
  for (char const* attempt : {"string.upper = nil", "string = nil", "math = {pi = 3}", "x = 'left behind'",
                              "has = function() return true end", "local mt = getmetatable('') mt.__index = {}",
                              "attr = {department = 'sales'}", "setmetatable = nil",
                              "pcall(function() string.upper = nil end) return true"}) {
    (void)eval(attempt, r, &detail);
    EXPECT_EQ(eval(R"(
      assert(string.upper("a") == "A" and ("b"):upper() == "B" and math.pi > 3.14)
      assert(x == nil and not has({}, 1) and type(setmetatable) == "function")
      assert(attr.department == "sales")
      return true)",
                   r, &detail),
              daRuleVerdict::permit)
        << attempt << ": " << detail;
  }
  // A global set while the rule is running is its own until it ends.
  EXPECT_EQ(eval("count = 1 count = count + 1 return count == 2", r), daRuleVerdict::permit);
  EXPECT_EQ(eval("return count == nil", r), daRuleVerdict::permit);
}

// Each runaway is stopped with verdict limit, a well-behaved rule then
// passes on the same thread.
TEST(Rules, LimitsStopRunawayRulesAndTheThreadGoesOn) {
  Request r;
  std::string detail;
  struct Case {
    char const* text;
    daRuleVerdict verdict;
    char const* detail;
  };
  for (Case const& c : std::vector<Case>{
           {"while true do end", daRuleVerdict::limit, "instruction"},
           {"while true do pcall(function() while true do end end) end", daRuleVerdict::limit, "instruction"},
           {"local ok = pcall(function() while true do end end) return true", daRuleVerdict::limit, "instruction"},
           {"local function f(n) return f(n + 1) + 1 end return f(1)", daRuleVerdict::limit, "memory"},
           {"local t = {} while true do t[#t + 1] = t end", daRuleVerdict::limit, "memory"},
           {"local s = 'x' while true do s = s .. s end", daRuleVerdict::limit, "memory"},
           {"local t = {} for i = 1, 1e9 do t[i] = tostring(i) end", daRuleVerdict::limit, "memory"},
           {"return not pcall(string.rep, 'x', 1e8)", daRuleVerdict::permit, ""},  // refused before it allocates
           {"return #string.rep('', 1e15) == 0", daRuleVerdict::error, "string.rep"},
           {"return ('x'):rep(1e7) ~= ''", daRuleVerdict::error, "string.rep"},
           {"return string.find(('a'):rep(5000), '.-.-.-.-.-.-b') ~= nil", daRuleVerdict::error, "pattern"},
           {"return (('a'):rep(5000)):match('.-.-.-.-.-.-b') ~= nil", daRuleVerdict::error, "pattern"},
           {"return string.find(('a'):rep(5000), '.-.-.-.-.-.-b', 1, true) == nil", daRuleVerdict::permit, ""},
           {"return string.find('10.1.2.3', '^10%.') ~= nil", daRuleVerdict::permit, ""},
           {"return (('a'):rep(5000) .. '@example.com'):match('^[a-z]+@[a-z]+%.com$') ~= nil", daRuleVerdict::permit, ""},
           {"for w in (('a '):rep(3000)):gmatch('.-.-.-b') do end", daRuleVerdict::error, "pattern"},
           {"table.insert(setmetatable({}, {__len = function() return 1e15 end}), 1, 'x')", daRuleVerdict::error,
            "table operation"},
           {"table.remove(setmetatable({}, {__len = function() return 1e15 end}), 1)", daRuleVerdict::error,
            "table operation"},
           {"table.move({}, 1, 1e12, 2)", daRuleVerdict::error, "table operation"},
           {"local t = {1, 2, 3} table.insert(t, 1, 0) table.move(t, 1, 4, 2) return t[2] == 0", daRuleVerdict::permit,
            ""},
       }) {
    EXPECT_EQ(eval(c.text, r, &detail), c.verdict) << c.text << ": " << detail;
    EXPECT_NE(detail.find(c.detail), std::string::npos) << c.text << ": " << detail;
    EXPECT_EQ(eval("return attr.department == 'sales'", r), daRuleVerdict::permit) << "after " << c.text;
  }
  EXPECT_LT(daRuleThreadStatistics().bytesInUse, 2 * daRuleMemoryLimit);
}

TEST(Rules, AWarmEvaluationAllocatesNothing) {
  Request r;
  auto const typical = rule("return attr.department == 'sales' and subject.level >= 2 and has(subject.groups, 'staff')");
  std::string detail;
  ASSERT_EQ(daEvaluateRule(*typical, r.in, detail), daRuleVerdict::permit);
  auto const before = daRuleThreadStatistics();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(daEvaluateRule(*typical, r.in, detail), daRuleVerdict::permit);
  auto const after = daRuleThreadStatistics();
  EXPECT_EQ(after.allocations, before.allocations);
  EXPECT_EQ(after.statesMade, before.statesMade);
}

TEST(Rules, ProgramsLoadOncePerThreadAndTheCacheIsBounded) {
  Request r;
  std::string detail;
  auto const first = daRuleThreadStatistics();
  for (std::size_t i = 0; i <= daRuleProgramsPerThread; ++i)
    ASSERT_EQ(eval("return " + std::to_string(i) + " >= 0", r, &detail), daRuleVerdict::permit) << detail;
  auto const after = daRuleThreadStatistics();
  EXPECT_LE(after.programsLoaded, daRuleProgramsPerThread);
  EXPECT_GT(after.statesMade, first.statesMade);
}

TEST(Rules, AnUnchangedRuleIsCompiledOnceWhileAPolicyHoldsIt) {
  auto a = daRuleProgram::make("kept", "return true", "why", {"department"});
  EXPECT_EQ(daRuleProgram::make("kept", "return true", "why", {"department"}), a) << "the same rule: the same program";
  for (auto const& other : {daRuleProgram::make("kept2", "return true", "why", {"department"}),
                            daRuleProgram::make("kept", "return false", "why", {"department"}),
                            daRuleProgram::make("kept", "return true", "other", {"department"}),
                            daRuleProgram::make("kept", "return true", "why", {"department", "x"})})
    EXPECT_NE(other.get(), a.get()) << other->name() << " " << other->text() << " " << other->reason();
  std::uint64_t const id = a->id();
  a.reset();  // no policy holds it now: made anew
  EXPECT_NE(daRuleProgram::make("kept", "return true", "why", {"department"})->id(), id);
}

TEST(RulesConcurrency, ThreadsShareProgramsButNotState) {
  auto const setter = rule("seen = (seen or 0) + 1 return seen == 1 and attr.department == 'sales'");
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      Request r;
      std::string detail;
      for (int i = 0; i < 200; ++i)
        if (daEvaluateRule(*setter, r.in, detail) != daRuleVerdict::permit) ++wrong;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
