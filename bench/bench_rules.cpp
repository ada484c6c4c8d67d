// Cost of evaluating a rule on a warm thread (its program loaded, its
// interpreter made): a typical rule of two attribute comparisons, the same
// with a group lookup, and a rule that denies; and the one-off compile.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "GxCore/db/daRuleEngine.h"

namespace {

struct Request {
  daAttributes attrs;
  std::vector<std::string_view> groups{"staff", "sales-team", "admins"};
  daRuleInput in;
  Request() {
    attrs.set("department", std::string("sales"));
    attrs.set("site", std::string("hq"));
    attrs.set("clearance", 3.0);
    in.userName = "alice";
    in.authenticated = true;
    in.groups = &groups;
    in.address = "10.1.2.3";
    in.timeSeconds = 1796565600;
    in.object = "/web/admin";
    in.actions = "r";
    in.authLevel = 2;
    in.attributes = &attrs;
  }
};

void run(benchmark::State& state, char const* text, daRuleVerdict expected) {
  Request r;
  auto const program = daRuleProgram::make("bench", text, "", {"department"});
  std::string detail;
  if (daEvaluateRule(*program, r.in, detail) != expected) {
    state.SkipWithError("unexpected verdict");
    return;
  }
  auto const before = daRuleThreadStatistics().allocations;
  for (auto _ : state) benchmark::DoNotOptimize(daEvaluateRule(*program, r.in, detail));
  state.counters["allocs/eval"] =
      static_cast<double>(daRuleThreadStatistics().allocations - before) / static_cast<double>(state.iterations());
}

void BM_RuleTwoAttributeComparisons(benchmark::State& state) {
  run(state, "attr.department == 'sales' and attr.site == 'hq'", daRuleVerdict::permit);
}
BENCHMARK(BM_RuleTwoAttributeComparisons);

void BM_RuleAttributesAndGroup(benchmark::State& state) {
  run(state, "attr.department == 'sales' and attr.clearance >= 2 and has(subject.groups, 'admins')",
      daRuleVerdict::permit);
}
BENCHMARK(BM_RuleAttributesAndGroup);

void BM_RuleDenies(benchmark::State& state) {
  run(state, "attr.department == 'research' and attr.site == 'hq'", daRuleVerdict::deny);
}
BENCHMARK(BM_RuleDenies);

void BM_RuleCompile(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(daRuleProgram::make("bench", "attr.department == 'sales' and attr.site == 'hq'", "", {}));
}
BENCHMARK(BM_RuleCompile);

}  // namespace
