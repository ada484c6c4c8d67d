// Rules in Lua: what a rule sees and what its answer means, the sandbox's
// walls (one rule cannot change what the next sees, nothing escapes to the
// host), the limits that stop a runaway rule while the thread goes on, and
// the warm path that allocates nothing.
#include <gtest/gtest.h>

#include <string>
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

TEST(Rules, SeeTheRequestAndTheHostsAttributes) {
  Request r;
  EXPECT_EQ(eval("return attr.department == 'sales'", r), daRuleVerdict::permit);
  EXPECT_EQ(eval("return attr.department == 'marketing'", r), daRuleVerdict::deny);
}

}  // namespace
