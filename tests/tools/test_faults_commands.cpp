// gxpolicy on a full and on a read-only file system (a real small tmpfs):
// create answers "no space" naming the file and leaves nothing behind at
// every fill level, never dies of a signal; on a read-only file system the
// reading commands answer and the writing ones refuse, naming the path.
#ifdef GXPOLICY_BINARY
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "small_fs.h"
#include "test_support.h"

namespace {

using gxtest::SmallFileSystem;

struct Outcome {
  int status = -1;  // the exit status, or 100 + the signal
  std::string output;
};

// Runs gxpolicy with args (standard output and error together).
Outcome gxpolicy(std::string const& args) {
  Outcome r;
  std::string command = std::string(GXPOLICY_BINARY) + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
  int ws = ::pclose(pipe);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 100 + WTERMSIG(ws);
  return r;
}

TEST(CommandsOnAFullDisk, CreateAnswersNoSpaceNamingTheFileAndLeavesNothing) {
  SmallFileSystem fs(size_t{1} << 20);
  std::string db = fs.file("new.db");
  bool refused = false, made = false;
  for (size_t leave = 0; leave <= 160 * 1024 && !made; leave += 4096) {
    std::filesystem::remove(db);
    std::filesystem::remove(db + "-lock");
    fs.fillLeaving(leave);
    Outcome r = gxpolicy("create " + db);
    if (r.status == 0) {
      made = true;
      EXPECT_EQ(gxpolicy("stat " + db).status, 0);
      continue;
    }
    refused = true;
    ASSERT_EQ(r.status, 2) << leave << " bytes free: " << r.output;
    EXPECT_NE(r.output.find(db), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("no space left"), std::string::npos) << r.output;
    EXPECT_EQ(fs.listing(), "") << leave << " bytes free";
  }
  EXPECT_TRUE(refused);
  EXPECT_TRUE(made);
}

TEST(CommandsOnAReadOnlyFileSystem, ReadingCommandsAnswerAndWritingOnesRefuseNamingThePath) {
  SmallFileSystem fs(size_t{1} << 20);
  std::string db = fs.file("p.db");
  ASSERT_EQ(gxpolicy("create " + db).status, 0);
  fs.remount(true);
  for (std::string args : {"stat ", "ls ", "verify ", "export "}) EXPECT_EQ(gxpolicy(args + db).status, 0) << args;
  Outcome check = gxpolicy("check " + db + " /a r --unauthenticated");
  EXPECT_NE(check.output.find("denied"), std::string::npos) << check.output;
  for (std::string args : {"rm " + db + " /x", "import " + db + " /dev/null", "create " + fs.file("q.db")}) {
    Outcome r = gxpolicy(args);
    EXPECT_EQ(r.status, 2) << args << ": " << r.output;
    EXPECT_NE(r.output.find("read-only"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(fs.path()), std::string::npos) << r.output;
  }
}

}  // namespace
#endif
