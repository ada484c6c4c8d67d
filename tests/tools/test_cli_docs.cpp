// Manual pages written from a command-line definition: text that roff
// would take for its own (a leading dot, backslashes) stays text, and every
// visible option and subcommand is on the page.
#include <gtest/gtest.h>

#include "tools/common/cli_docs.h"

namespace {

TEST(ManPage, ListsWhatHelpShowsAndEscapesWhatRoffWouldInterpret) {
  CLI::App app{"tool: does things"};
  std::string path, hiddenValue;
  bool flag = false;
  app.add_option("--path", path, ".profile or C:\\dir, -n minus")->capture_default_str();
  app.add_flag("--flag", flag, "a flag");
  app.add_option("--hidden", hiddenValue, "not shown")->group("");
  app.add_subcommand("run", "runs it");
  gxpolicy::ManPageInfo info;
  info.name = "tool";
  info.extraSections = {{"Example", ".not a macro\n  tool run"}};
  std::string page = gxpolicy::manPage(app, info);
  EXPECT_NE(page.find(".SH NAME\ntool \\- does things\n"), std::string::npos) << page;
  EXPECT_NE(page.find("\\fB\\-\\-path\\fR \\fITEXT\\fR\n\\&.profile or C:\\edir, \\-n minus"), std::string::npos) << page;
  EXPECT_NE(page.find("\\fB\\-\\-flag\\fR\na flag"), std::string::npos) << page;
  EXPECT_EQ(page.find("hidden"), std::string::npos) << page;
  EXPECT_NE(page.find("See \\fBtool\\-run\\fR(1)"), std::string::npos) << page;
  EXPECT_NE(page.find(".nf\n\\&.not a macro\n  tool run\n.fi"), std::string::npos) << page;
}

}  // namespace
