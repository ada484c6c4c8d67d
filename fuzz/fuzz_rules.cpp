// Rules: a text is compiled (as a program and by the import check, which
// must agree) and evaluated for a request built from the input's header.
// Whatever the text, the evaluation ends with a verdict of the contract:
// no crash, no hang past the instruction limit, no growth past the memory
// limit, and a text that does not compile never permits.
//
// Input: kHeader bytes (flags, authentication level, time), then the rule
// text. Flags: bit 0 authenticated, bits 1-2 protection, bit 3 gives the
// host's attributes, bit 4 names "department" in the rule's adilist, bit 5
// gives groups.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "GxCore/db/daRuleEngine.h"

namespace {
constexpr std::size_t kHeader = 10;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size < kHeader) return 0;
  uint8_t const flags = data[0];
  std::int64_t time = 0;
  std::memcpy(&time, data + 2, sizeof time);
  std::string text(reinterpret_cast<char const*>(data + kHeader), size - kHeader);

  std::vector<std::string> adilist;
  if (flags & 0x10) adilist.push_back("department");
  auto const program = daRuleProgram::make("fuzz", text, "fuzzed", adilist);
  std::string message;
  int line = 0;
  if (daRuleCompiles(text, message, line) != program->compiled()) std::abort();

  daAttributes attrs;
  attrs.set("department", std::string(data[1] & 1 ? "sales" : "research"));
  attrs.set("clearance", static_cast<double>(data[1]));
  attrs.set("contractor", (data[1] & 2) != 0);
  attrs.set("roles", daAttributes::List{"auditor", std::string(text.substr(0, 16))});
  std::vector<std::string_view> groups{"staff", "admins"};
  daRuleInput in;
  in.userName = "alice";
  in.userUuid = "0b5e6d1c-0000-4000-8000-000000000001";
  in.authenticated = flags & 1;
  in.protection = static_cast<daProtection>(((flags >> 1) & 3) % 3);
  in.attributes = (flags & 0x08) ? &attrs : nullptr;
  in.groups = (flags & 0x20) ? &groups : nullptr;
  in.address = "192.0.2.7";
  in.timeSeconds = time;
  in.object = "/web/admin";
  in.actions = "rx";
  in.authLevel = data[1];

  std::string detail;
  daRuleVerdict const v = daEvaluateRule(*program, in, detail);
  if (!program->compiled() && v != daRuleVerdict::notCompiled) std::abort();
  if (static_cast<unsigned>(v) > static_cast<unsigned>(daRuleVerdict::notCompiled)) std::abort();
  if ((v == daRuleVerdict::permit || v == daRuleVerdict::deny) && !detail.empty()) std::abort();
  if (daRuleThreadStatistics().bytesInUse > 8 * daRuleMemoryLimit) std::abort();
  return 0;
}
