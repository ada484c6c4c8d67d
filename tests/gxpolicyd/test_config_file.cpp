// gxpolicyd's configuration file (KEY = VALUE lines over the daemon's own
// option definitions) and the fields its audit records carry in the journal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tools/gxpolicyd/config_file.h"
#include "tools/gxpolicyd/options.h"
#include "tools/gxpolicyd/systemd.h"

namespace {

struct Parsed {
  gxpolicyd::Args args;
  std::string problem;  // "" when the file was taken
};

// The daemon's options after parsing commandLine and then the file text.
Parsed parse(std::string const& text, std::vector<std::string> commandLine = {}, mode_t mode = 0644) {
  static gxtest::TempDir dir;
  std::string path = dir.file("gxpolicyd.conf");
  gxtest::writeFile(path, text);
  ::chmod(path.c_str(), mode);
  Parsed p;
  CLI::App app;
  gxpolicyd::defineOptions(app, p.args);
  commandLine.insert(commandLine.begin(), "gxpolicyd");
  std::vector<char const*> argv;
  for (auto const& a : commandLine) argv.push_back(a.c_str());
  app.parse(static_cast<int>(argv.size()), argv.data());
  p.problem = gxpolicyd::applyConfigFile(app, path, gxpolicyd::optionsNotInConfig());
  if (!p.problem.empty()) p.problem = p.problem.substr(p.problem.rfind('/') + 1);  // "gxpolicyd.conf:LINE: ..."
  return p;
}

TEST(ConfigFile, SetsWhatTheCommandLineLeftAndNoMore) {
  Parsed p = parse(
      "# the service\n"
      "db = /var/lib/r.db\n"
      "threads = 3   # two cores and one\n"
      "prefix = \"/web # not a comment\"\n"
      "attr-header = department=X-Dept\n"
      "attr-header = site=X-Site\n"
      "insecure = yes\n"
      "auth-denial-body = off\n"
      "--listen = 127.0.0.1:9000\n",
      {"--threads", "5"});
  ASSERT_EQ(p.problem, "");
  EXPECT_EQ(p.args.db, "/var/lib/r.db");
  EXPECT_EQ(p.args.threads, 5u);  // the command line wins
  EXPECT_EQ(p.args.prefix, "/web # not a comment");
  EXPECT_EQ(p.args.attributeHeaders, (std::vector<std::string>{"department=X-Dept", "site=X-Site"}));
  EXPECT_TRUE(p.args.insecure);
  EXPECT_FALSE(p.args.authDenialBody);
  EXPECT_EQ(p.args.listen, "127.0.0.1:9000");
}

TEST(ConfigFile, MistakesAreRefusedNamingTheLine) {
  struct Case {
    std::string text, problem;
  } const cases[] = {
      {"db = a\nthreds = 2\n", "gxpolicyd.conf:2: unknown key \"threds\" (did you mean \"threads\"?)"},
      {"threads = 2\nthreads = 3\n", "gxpolicyd.conf:2: threads is given twice (first on line 1)"},
      {"config = /etc/other.conf\n", "gxpolicyd.conf:1: \"config\" cannot be set in a configuration file"},
      {"check-config = true\n", "gxpolicyd.conf:1: \"check-config\" cannot be set in a configuration file"},
      {"\n\ndb /var/lib/r.db\n", "gxpolicyd.conf:3: not KEY = VALUE"},
      {"insecure = maybe\n", "gxpolicyd.conf:1: insecure: \"maybe\" is not true or false"},
      {"prefix = \"/web\n", "gxpolicyd.conf:1: prefix: the quoted value is not closed"},
      {"prefix = \"/web\" /x\n", "gxpolicyd.conf:1: prefix: text after the quoted value"},
  };
  for (Case const& c : cases) EXPECT_EQ(parse(c.text).problem, c.problem) << c.text;
  // A value its option's own check refuses, as on the command line.
  EXPECT_EQ(parse("db = a\nthreads = 0\n").problem.rfind("gxpolicyd.conf:2: threads: ", 0), 0u);
  // Whoever may write the file may choose the policy: group/other-writable is refused.
  EXPECT_NE(parse("db = a\n", {}, 0666).problem.find("may be written by group or others (chmod go-w)"), std::string::npos);
  // Nothing is set when any line is wrong, even lines before it.
  Parsed p = parse("db = /x.db\nbogus = 1\n");
  EXPECT_EQ(p.args.db, "");
}

TEST(JournalAuditFields, CarryTheDecisionItsCauseObjectAndCaller) {
  auto fields = gxpolicyd::journalAuditFields(
      R"({"time":"t","user":{"uuid":"u-1","name":"alice"},"address":"10.0.0.1","object":"/web/x","actions":"r",)"
      R"("result":"denied","cause":"acl-denied","sequence":7})"
      "\n");
  auto has = [&](std::string const& f) { return std::find(fields.begin(), fields.end(), f) != fields.end(); };
  for (char const* f : {"GX_DECISION=denied", "GX_CAUSE=acl-denied", "GX_OBJECT=/web/x", "GX_ACTIONS=r",
                        "GX_USER=alice", "GX_ADDRESS=10.0.0.1", "GX_SEQUENCE=7", "PRIORITY=5",
                        "SYSLOG_IDENTIFIER=gxpolicyd-audit"})
    EXPECT_TRUE(has(f)) << f;
  // Not a record: kept whole as the message, nothing invented.
  EXPECT_EQ(gxpolicyd::journalAuditFields("not json").size(), 2u);
}

}  // namespace
