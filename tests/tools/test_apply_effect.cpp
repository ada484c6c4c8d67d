// gxpolicy apply --dry-run: the changes and their effect on decisions,
// with the database and the scratch folder left as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "test_support.h"

// gxpolicy itself is run: only in builds that make it.
#ifdef GXPOLICY_BINARY
namespace {

TEST(ApplyDryRun, PrintsWhoGainsAndLosesWhereAndWritesNothing) {
  gxtest::TempDir dir;
  std::filesystem::create_directory(dir.file("tmp"));
  std::string const db = dir.file("web.db"), examples = std::string(GXCORE_SOURCE_DIR) + "/examples/policy/";
  std::filesystem::copy_file(examples + "web.registry.json", db + ".registry.json");
  auto run = [&](std::string const& args) {
    std::string out, command = "GXCORE_LOCK_DIR=" + dir.file("locks") + " TMPDIR=" + dir.file("tmp") + " " +
                               GXPOLICY_BINARY + " " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    int ws = pipe ? ::pclose(pipe) : -1;
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << args << "\n" << out;
    return out;
  };
  run("create " + db);
  run("import " + db + " " + examples + "web.json");
  std::string const before = gxtest::readFile(db);
  gxtest::writeFile(dir.file("c.json"), R"({"changes": [{"op": "create", "object": "/web/c"},
      {"op": "create", "acl": "team-c", "value": {"entries": [{"type": "group", "name": "webteam", "actions": "Trm"}]}},
      {"op": "attach", "acl": "team-c", "object": "/web/c"}]})");
  std::string out = run("apply " + db + " " + dir.file("c.json") + " --dry-run");
  for (char const* line : {"would create object /web/c\n", "effect on decisions:\n/web/c and below\n",
                           "  ACL web-public (at /web) -> team-c (at /web/c)\n", "  group webteam: loses dl\n",
                           "  unauthenticated: loses Tr\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\nnot in:\n" << out;
  EXPECT_EQ(gxtest::readFile(db), before) << "the database file changed";
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp"))) << "a scratch copy was left";
}

}  // namespace
#endif
