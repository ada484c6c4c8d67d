// A command that runs out of memory ends with the tools' error status and
// a message, not an abort: the command line's boundary catches it.
#include <gtest/gtest.h>

#include <new>
#include <string>

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

}  // namespace
