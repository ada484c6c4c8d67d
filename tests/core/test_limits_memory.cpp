// Memory running out under an address-space limit: a huge user registry
// file and a rule that allocates up to its own budget give a status, never
// an abort, and what was loaded before stays in force. Each case runs in a
// child process whose address space may grow only a little past what it
// holds at the fork.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "GxCore/db/daRuleEngine.h"
#include "outside/file_registry.h"
#include "sanitized.h"
#include "test_support.h"

namespace {

using gxtest::kSanitized;

std::size_t addressSpace() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
  return 0;
}

// Sets the soft limit (the hard one stays, so it can be raised again).
void limitAddressSpace(rlim_t bytes) {
  rlimit lim{};
  ::getrlimit(RLIMIT_AS, &lim);
  lim.rlim_cur = bytes;
  ::setrlimit(RLIMIT_AS, &lim);
}

// Runs body in a child; its exit status, or 100 + the signal that ended it.
// body calls limit(extra) to cap the address space at what the child holds
// then plus extra bytes, and returns 0 when all it checked held, else the
// number of the first check that failed.
int inChild(std::function<int(std::function<void(std::size_t)> const& limit)> const& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body([](std::size_t extra) { limitAddressSpace(addressSpace() + extra); }));
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 100 + WTERMSIG(st);
}

// A valid registry file of users in one group, some 90 bytes each.
std::string registryOf(unsigned users) {
  std::string text = R"({"groups": [{"name": "staff", "uuid": "00000000-0000-0000-0001-000000000000"}], "users": [)";
  char line[160];
  for (unsigned i = 0; i < users; ++i) {
    std::snprintf(line, sizeof line, R"(%s{"name": "user%u", "uuid": "00000000-0000-0000-0000-1%011u", "groups": ["staff"]})",
                  i ? "," : "", i, i);
    text += line;
  }
  return text + "]}\n";
}

TEST(LimitsMemory, ARegistryFileTooLargeForMemoryIsAStatusAndTheRegistryInForceStays) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
  gxtest::TempDir dir;
  std::string path = dir.file("r.json");
  gxtest::writeFile(path, registryOf(3));
  std::string huge = registryOf(250000);  // some 22 MB of text, several times that parsed
  int failed = inChild([&](auto const& limit) {
    std::unique_ptr<gxreg::WatchedFileRegistry> watched;
    std::string message;
    if (gxreg::WatchedFileRegistry::open(path, true, watched, message) != 0) return 1;
    gxtest::writeFile(path, huge);
    limit(std::size_t{48} << 20);
    std::unique_ptr<gxreg::FileRegistry> loaded;
    if (gxreg::FileRegistry::load(path, true, loaded, message) != reg_s_no_memory || loaded) return 2;
    if (message.find("not enough memory") == std::string::npos) return 3;
    // The watched registry keeps the three users it had ...
    std::uint64_t generation = watched->generation();
    if (watched->refresh(message) != reg_s_no_memory || watched->generation() != generation) return 4;
    hx_uuid_t uuid{};
    if (watched->userUuid("user2", uuid) != 0 || watched->userUuid("user3", uuid) == 0) return 5;
    // ... and reads the same file again once memory is there.
    limit(std::size_t{4} << 30);
    if (watched->refresh(message) != 0 || watched->generation() == generation) return 6;
    return watched->userUuid("user249999", uuid) == 0 ? 0 : 7;
  });
  EXPECT_EQ(failed, 0) << "the check that failed (100 + n: ended by signal n)";
}

TEST(LimitsMemory, ARuleThatOutgrowsTheProcessWithinItsOwnBudgetDeniesAndTheNextRuleRuns) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
  auto greedy = daRuleProgram::make("greedy", "local s = string.rep('x', 3000000) return #s > 0", "", {});
  auto small = daRuleProgram::make("small", "return true", "", {});
  int failed = inChild([&](auto const& limit) {
    daRuleInput input;
    std::string detail;
    if (daEvaluateRule(*small, input, detail) != daRuleVerdict::permit) return 1;  // the interpreter is made
    limit(std::size_t{1} << 20);
    daRuleVerdict v = daEvaluateRule(*greedy, input, detail);
    if (v != daRuleVerdict::error && v != daRuleVerdict::limit) return 2;
    if (detail.empty()) return 3;
    return daEvaluateRule(*small, input, detail) == daRuleVerdict::permit ? 0 : 4;
  });
  EXPECT_EQ(failed, 0) << "the check that failed (100 + n: ended by signal n)";
}

}  // namespace
