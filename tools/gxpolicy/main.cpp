// gxpolicy: create, inspect and query policy database files.
#include "tools/gxpolicy/gxpolicy.h"

#include <cstdio>

#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/hxdb_verify.h"
#include "outside/hxsvc.h"
#include "tools/common/cli_docs.h"
#include "tools/common/command_line.h"
#include "tools/common/status_text.h"

namespace gxpolicy {

int fail(std::string const& what, unsigned long status) {
  std::fprintf(stderr, "gxpolicy: %s: %s\n", what.c_str(), statusText(status).c_str());
  return kExitError;
}

void addDatabaseOptions(CLI::App* sub, std::string& db, std::string& domain) {
  sub->add_option("DB", db, "policy database file")->required();
  sub->add_option("--domain", domain, "policy domain (names the inter-process lock)");
}

void verifyOrFail(std::string const& db) {
  hx_db_verify_report report;
  unsigned long st = 0;
  hx_db_verify_file(db.c_str(), report, st);
  if (st == 0) return;
  std::fprintf(stderr, "gxpolicy: %s: %s\n", db.c_str(), report.problem.c_str());
  if (st == hx_db_s_corrupt)
    std::fprintf(stderr, "gxpolicy: the file is damaged; restore it from a backup or rebuild it from its master "
                         "(\"gxpolicy verify %s\" shows the damage)\n", db.c_str());
  throw CLI::RuntimeError(fail("cannot open " + db, st));
}

void openOrFail(daLocalStore& store, std::string const& db, int readOnly) {
  // A file named on the command line may come from anywhere: the engine
  // maps it trusting every byte, so its structure is checked first.
  verifyOrFail(db);
  unsigned long st = 0;
  store.openStore(readOnly, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot open " + db, st));
}

daPObjName objectOrFail(std::string const& path) {
  daPObjName object(path.c_str());
  unsigned long st = object.validateAndFix();
  if (st != 0) throw CLI::RuntimeError(fail("bad object name " + path, st));
  return object;
}

namespace {
// Removes the database file made by a create that did not finish (after
// the store on it is closed: declared before it).
class RemoveUnlessDone {
 public:
  explicit RemoveUnlessDone(std::string const& db) : db_(db) {}
  ~RemoveUnlessDone() {
    if (!done_) hx_db_remove_file(db_.c_str());
  }
  RemoveUnlessDone(RemoveUnlessDone const&) = delete;
  RemoveUnlessDone& operator=(RemoveUnlessDone const&) = delete;
  void done() { done_ = true; }

 private:
  std::string const& db_;
  bool done_ = false;
};
}  // namespace

void createOrFail(std::string const& db, std::string const& domain) {
  unsigned long st;
  daLocalStore(domain.c_str(), db.c_str()).createStore(st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot create " + db, st));
  RemoveUnlessDone made(db);
  {
    daLocalStore store(domain.c_str(), db.c_str());
    openOrFail(store, db, 0);
    for (auto const& step : createSteps()) {
      st = step(store);
      if (st != 0) throw CLI::RuntimeError(fail("cannot initialise " + db, st));
    }
  }
  made.done();
}

void quietLibraryMessages() {
  hx_svc_set_sink([](hx_svc_record const& r) {
    if (!r.isTrace) return;
    std::fprintf(stderr, "gxcore trace [%s.%d] %s", r.component.c_str(), r.sub, r.text.c_str());
    if (r.text.empty() || r.text.back() != '\n') std::fputc('\n', stderr);
  });
}

namespace {
std::vector<CreateStep>& steps() {
  static std::vector<CreateStep> s;
  return s;
}
}  // namespace

void addCreateStep(CreateStep step) { steps().push_back(std::move(step)); }
std::vector<CreateStep> const& createSteps() { return steps(); }

}  // namespace gxpolicy

int main(int argc, char** argv) {
  CLI::App app{"gxpolicy: create, inspect and query policy database files"};
  app.require_subcommand(1);
  // Anywhere on the line: subcommands pass options they do not know to
  // this level (test has a --verbose of its own: give this one first).
  app.fallthrough();
  bool verbose = false;
  app.add_flag("--verbose", verbose,
               "also show the library's own log messages (\"gxcore message 0x...\") on standard error");
  app.parse_complete_callback([&verbose] {
    if (!verbose) gxpolicy::quietLibraryMessages();
  });
  gxpolicy::registerStoreCommands(app);
  gxpolicy::registerActionCommands(app);
  gxpolicy::registerPopCommands(app);
  gxpolicy::registerReplicateCommands(app);
  gxpolicy::registerPublishCommands(app);
  gxpolicy::registerKeygenCommands(app);
  gxpolicy::registerPolicyCommands(app);
  gxpolicy::registerIoCommands(app);
  gxpolicy::registerGenerateCommands(app);
  gxpolicy::registerRegistryCommands(app);
  gxpolicy::registerDecisionCommands(app);
  gxpolicy::registerBenchCommands(app);
  gxpolicy::registerVerifyCommands(app);
  gxpolicy::registerReviewCommands(app);
  gxpolicy::registerEditCommands(app);
  gxpolicy::registerApplyCommands(app);
  gxpolicy::registerTokenCommands(app);
  gxpolicy::addVersionFlag(app, "gxpolicy");
  // "gxpolicy --write-docs DIR" (run by the build): manual pages and completion.
  gxpolicy::ManPageInfo page;
  page.name = "gxpolicy";
  page.description =
      "gxpolicy creates, inspects, changes and queries policy database files: it loads and exports policy "
      "documents, asks for decisions and explains them, answers who can reach an object and what a caller can "
      "reach, publishes snapshots for replicas and builds replicas from them.\n\n"
      "Each command has a page of its own: gxpolicy-COMMAND(1), e.g. gxpolicy-check(1).";
  page.extraSections = {{"Exit status", "0 success (or granted), 1 the answer is no (denied, a failed case, a "
                                        "damaged file found), 2 anything that kept the command from answering."}};
  page.seeAlso = {"gxpolicyd(8)"};
  if (auto status = gxpolicy::writeDocsIfAsked(app, page, {}, argc, argv)) return *status;
  return gxpolicy::parseCommandLine(app, "gxpolicy", argc, argv).value_or(gxpolicy::kExitOk);
}
