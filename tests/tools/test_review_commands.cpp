// gxpolicy diff and import --dry-run, run as a process on the example web
// estate: what a change document would change, by user, group, any-other
// and unauthenticated callers, with the database left byte for byte as it
// was and the scratch copy removed; --fail-on's exit status, --json, and
// bad input exiting 2.
#ifdef GXPOLICY_BINARY
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace {

using gxtest::TempDir;

struct Outcome {
  int status = -1;  // the exit status, or 100 + the signal
  std::string out;  // standard output (standard error with both = true)
};

class ReviewCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.file("tmp"));
    db_ = dir_.file("web.db");
    std::string const registry = std::string(GXCORE_SOURCE_DIR) + "/examples/policy/web.registry.json";
    std::filesystem::copy_file(registry, db_ + ".registry.json");
    ASSERT_EQ(run("create " + db_).status, 0);
    ASSERT_EQ(run("import " + db_ + " " + example("web.json")).status, 0);
    before_ = gxtest::readFile(db_);
  }

  static std::string example(char const* name) { return std::string(GXCORE_SOURCE_DIR) + "/examples/policy/" + name; }

  Outcome run(std::string const& args, bool both = false) {
    Outcome r;
    std::string command = "GXCORE_LOCK_DIR=" + dir_.file("locks") + " TMPDIR=" + dir_.file("tmp") + " " +
                          GXPOLICY_BINARY + " " + args + (both ? " 2>&1" : " 2>/dev/null");
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
    int ws = ::pclose(pipe);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 100 + WTERMSIG(ws);
    return r;
  }

  // The database is as it was, and no scratch copy is left behind.
  void expectUntouched() {
    EXPECT_EQ(gxtest::readFile(db_), before_) << "the database file changed";
    EXPECT_TRUE(std::filesystem::is_empty(dir_.file("tmp"))) << "a scratch copy was left";
  }

  TempDir dir_;
  std::string db_, before_;
};

TEST_F(ReviewCommands, DiffAndDryRunOfADocumentSayWhoGainsAndLosesAndWriteNothing) {
  Outcome diff = run("diff " + db_ + " " + example("web-change.json"));
  ASSERT_EQ(diff.status, 0) << diff.out;
  for (char const* line : {"/web/docs and below\n", "  user  dave                     gained l (Tr -> Tlr)\n",
                           "  group webteam                  gained d (Tmr -> Tdmr)\n",
                           "  any other authenticated user   lost r (Tr -> T)\n",
                           "  unauthenticated callers        lost r (Tr -> T)\n", "/web/blog and below\n",
                           "  conditions: access window 06:00-23:00 Europe/Berlin",
                           "2 subtrees differ: 1 with gains, 1 with losses, 1 with other conditions\n"})
    EXPECT_NE(diff.out.find(line), std::string::npos) << line << " in\n" << diff.out;
  EXPECT_EQ(diff.out.find("/web/admin"), std::string::npos) << "an unchanged subtree listed:\n" << diff.out;
  expectUntouched();

  Outcome dry = run("import --dry-run " + db_ + " " + example("web-change.json"));
  EXPECT_EQ(dry.status, 0);
  EXPECT_EQ(dry.out, diff.out) << "import --dry-run prints what diff prints";
  expectUntouched();

  // The document imported for real, the two databases give the same answer.
  std::string const after = dir_.file("after.db");
  ASSERT_EQ(run("create " + after).status, 0);
  ASSERT_EQ(run("import " + after + " " + example("web.json") + " --registry " + db_ + ".registry.json").status, 0);
  ASSERT_EQ(run("import " + after + " " + example("web-change.json") + " --registry " + db_ + ".registry.json").status, 0);
  EXPECT_EQ(run("diff " + db_ + " " + after).out, diff.out);
  EXPECT_EQ(run("diff " + after + " " + after).out, "no difference\n");
}

TEST_F(ReviewCommands, FailOnUnderAndJsonMakeAGateAndBadInputExitsTwo) {
  std::string const change = example("web-change.json");
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on lost").status, 1);
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on gained").status, 1);
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on gained --under /web/blog").status, 0)
      << "a change of conditions is neither a gain nor a loss";
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on any --under /web/blog").status, 1);
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on any --under /web/admin").status, 0);

  Outcome json = run("diff " + db_ + " " + change + " --json --under /web/docs --fail-on lost");
  EXPECT_EQ(json.status, 1);
  nlohmann::json j = nlohmann::json::parse(json.out);
  ASSERT_EQ(j["regions"].size(), 1u);
  EXPECT_EQ(j["regions"][0]["prefix"], "/web/docs");
  EXPECT_EQ(j["regions"][0]["changes"][0]["name"], "dave");
  EXPECT_EQ(j["regions"][0]["changes"][0]["gained"], "l");
  EXPECT_TRUE(j["lost"].get<bool>() && j["failed"].get<bool>());

  std::string const broken = dir_.file("broken.json");
  std::FILE* f = std::fopen(broken.c_str(), "w");
  std::fputs("{\"acls\": {\"x\": {\"entries\": [{\"type\": \"user\", \"name\": \"nobody\", \"actions\": \"r\"}]}}}", f);
  std::fclose(f);
  Outcome bad = run("diff " + db_ + " " + broken, true);
  EXPECT_EQ(bad.status, 2) << bad.out;
  EXPECT_NE(bad.out.find("nobody"), std::string::npos) << bad.out;
  EXPECT_EQ(run("import --dry-run " + db_ + " " + broken).status, 2);
  Outcome nowhere = run("diff " + db_ + " " + change + " --under /nothing", true);
  EXPECT_EQ(nowhere.status, 2);
  EXPECT_NE(nowhere.out.find("/nothing"), std::string::npos) << nowhere.out;
  EXPECT_EQ(run("diff " + db_ + " " + dir_.file("missing.db")).status, 2);
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on sometimes").status, 2);
  expectUntouched();
}

}  // namespace
#endif
