// A command that runs out of memory ends with the tools' error status and
// a message, not an abort: the command line's boundary catches it, and
// keeps memory in reserve for what has to be freed on the way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "sanitized.h"
#include "tools/common/command_line.h"

namespace {

TEST(LimitsCommand, ACommandThatRunsOutOfMemoryExitsWithTheErrorStatusAndSaysSo) {
  CLI::App app{"test"};
  app.add_subcommand("import", "")->callback([] { throw std::bad_alloc(); });
  char const* importing[] = {"gxpolicy", "import"};
  testing::internal::CaptureStderr();
  std::optional<int> status = gxpolicy::parseCommandLine(app, "gxpolicy", 2, importing);
  std::string said = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, gxpolicy::kExitError);
  EXPECT_EQ(said.rfind("gxpolicy: out of memory:", 0), 0u) << said;
  EXPECT_EQ(said.find("--help"), std::string::npos) << "not a mistake on the command line: " << said;
}

std::size_t addressSpace() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
  return 0;
}

// A JSON document that fills the address space frees itself by allocating
// a stack as long as its largest array; the reserve is what it gets.
TEST(LimitsCommand, ADocumentThatFilledTheAddressSpaceIsFreedWithoutEndingTheProcess) {
  if (gxtest::kSanitized) GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_WRONLY), 2);
    rlimit lim{};
    ::getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = addressSpace() + (std::size_t{160} << 20);
    ::setrlimit(RLIMIT_AS, &lim);
    CLI::App app{"test"};
    app.add_subcommand("grow", "")->callback([] {
      nlohmann::json doc = nlohmann::json::array();
      doc.get_ref<nlohmann::json::array_t&>().reserve(std::size_t{2} << 20);  // so small allocations run out
      for (int i = 0;; ++i) doc.push_back(nlohmann::json{{"k", i}});
    });
    char const* growing[] = {"gxpolicy", "grow"};
    ::_exit(gxpolicy::parseCommandLine(app, "gxpolicy", 2, growing).value_or(0));
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st)) << "ended by signal " << WTERMSIG(st);
  EXPECT_EQ(WEXITSTATUS(st), gxpolicy::kExitError);
}

}  // namespace
