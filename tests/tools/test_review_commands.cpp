// gxpolicy diff, import --dry-run and test's coverage and JUnit report, run
// as a process on the example web estate: what a change document would
// change, by user, group, any-other and unauthenticated callers, with the
// database left byte for byte as it was and the scratch copy removed;
// --fail-on's exit status, --json, and bad input exiting 2; what a set of
// cases exercised, --min-coverage's floor, and JUnit XML that an XML
// parser reads back with its names and messages intact.
#ifdef GXPOLICY_BINARY
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
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

  std::string write(char const* name, std::string const& text) {
    std::string const path = dir_.file(name);
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path;
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

  // A POP that requires nothing (auditing only) changes no answer.
  std::string const audit = write("audit.json", R"({"pops": {"audit-only": {"audit": 7}},
    "objects": {"/web/index.html": {"description": "home page", "pop": "audit-only"}}})");
  EXPECT_EQ(run("diff " + db_ + " " + audit).out, "no difference\n");
  // ... unless its warning mode waives the denials of a rule in force there.
  std::string const waive = write("waive.json", R"({"pops": {"trial": {"warning": true}},
    "objects": {"/web/docs/drafts": {"description": "drafts", "rule": "web-department", "pop": "trial"}}})");
  EXPECT_NE(run("diff " + db_ + " " + waive).out.find("/web/docs/drafts and below\n"), std::string::npos);

  // The same kind of change written in YAML.
  std::string const yaml = write("change.yaml", "objects:\n  /web/blog:\n    description: the blog\n");
  Outcome fromYaml = run("diff " + db_ + " " + yaml);
  EXPECT_EQ(fromYaml.status, 0);
  EXPECT_EQ(fromYaml.out.rfind("/web/blog and below\n", 0), 0u) << fromYaml.out;
  EXPECT_NE(fromYaml.out.find("1 subtree differs: 0 with gains, 0 with losses, 1 with other conditions"),
            std::string::npos) << fromYaml.out;
  expectUntouched();
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

  std::string const broken =
      write("broken.json", R"({"acls": {"x": {"entries": [{"type": "user", "name": "nobody", "actions": "r"}]}}})");
  Outcome bad = run("diff " + db_ + " " + broken, true);
  EXPECT_EQ(bad.status, 2) << bad.out;
  EXPECT_NE(bad.out.find("nobody"), std::string::npos) << bad.out;
  EXPECT_EQ(run("import --dry-run " + db_ + " " + broken).status, 2);
  Outcome nowhere = run("diff " + db_ + " " + change + " --under /nothing", true);
  EXPECT_EQ(nowhere.status, 2);
  EXPECT_NE(nowhere.out.find("/nothing"), std::string::npos) << nowhere.out;
  EXPECT_EQ(run("diff " + db_ + " " + dir_.file("missing.db")).status, 2);
  std::string const fifo = dir_.file("fifo.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(run("diff " + db_ + " " + fifo).status, 2) << "a FIFO is refused, not waited on";
  EXPECT_EQ(run("diff " + db_ + " " + change + " --fail-on sometimes").status, 2);
  expectUntouched();
}

// dave reading the blog reaches its POP's window (the ACL granted through
// any-other); nobody reading the admin pages stops at the ACL, so their
// POP and rule are not reached, though the point is.
TEST_F(ReviewCommands, CoverageCountsWhatTheCasesReachedAndTheFloorFailsTheRun) {
  std::string const cases = write("cases.json", R"({"cases": [
    {"name": "dave <reads> \"the\" blog & more", "object": "/web/blog/hello.html", "user": "dave", "actions": "r",
     "expect": "granted"},
    {"name": "strangers stay out of admin", "object": "/web/admin/users.html", "unauthenticated": true,
     "actions": "r", "expect": "granted"}]})");
  std::string const junit = dir_.file("report.xml");
  Outcome r = run("test " + db_ + " " + cases + " --coverage --junit " + junit, true);
  EXPECT_EQ(r.status, 1) << "the second case fails:\n" << r.out;
  for (char const* line : {"coverage: 20.0% of attachment points, ACL entries, POPs and rules\n",
                           "  attachment points  3 of 7 exercised\n", "  ACL entries        1 of 13 exercised\n",
                           "    not exercised: web-public #1 (user alice Tacdlmrvx)\n",
                           "  POPs               1 of 3 exercised\n", "    not exercised: internal-only\n",
                           "  rules              0 of 2 exercised\n", "    not exercised: office-hours\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;

  std::string const xml = gxtest::readFile(junit);
  EXPECT_NE(xml.find("name=\"dave &lt;reads&gt; &quot;the&quot; blog &amp; more\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("tests=\"2\" failures=\"1\" errors=\"0\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<failure message=\"expected granted, got denied"), std::string::npos) << xml;
  if (std::system("command -v xmllint >/dev/null") == 0)
    EXPECT_EQ(std::system(("xmllint --noout " + junit).c_str()), 0) << xml;

  std::string const passing = write("passing.json", R"([{"object": "/web/blog/hello.html", "user": "dave",
    "actions": "r", "expect": "granted"}])");
  EXPECT_EQ(run("test " + db_ + " " + passing + " --min-coverage 16").status, 0);
  Outcome low = run("test " + db_ + " " + passing + " --min-coverage 16.5", true);
  EXPECT_EQ(low.status, 1);
  EXPECT_NE(low.out.find("below --min-coverage 16.5"), std::string::npos) << low.out;
  nlohmann::json j = nlohmann::json::parse(run("test " + db_ + " " + passing + " --coverage --json").out);
  EXPECT_EQ(j["coverage"]["pops"]["exercised"], nlohmann::json::array({"blog-hours-trial"}));
  EXPECT_EQ(run("test " + db_ + " " + passing + " --junit " + dir_.file("no/such/dir/r.xml")).status, 2);
}

}  // namespace
#endif
