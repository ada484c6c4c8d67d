// gxpolicy actions: print the action catalogue of a database file; and the
// create step that stores the default catalogue in a new file.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/db/daLocalStore.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct ActionArgs {
  std::string db;
  std::string domain = "Default";
};

void printActions(ActionArgs const& a) {
  daLocalStore store(a.domain.c_str(), a.db.c_str());
  openOrFail(store, a.db, 1);
  std::vector<std::string> lines;
  unsigned long st = gxRenderActionCatalogue(store, lines);
  for (auto const& line : lines) std::printf("%s\n", line.c_str());
  if (st != 0) throw CLI::RuntimeError(fail("cannot read the action catalogue of " + a.db, st));
}

}  // namespace

void registerActionCommands(CLI::App& app) {
  addCreateStep([](daLocalStore& store) { return gxStoreDefaultActionCatalogue(store); });
  auto args = std::make_shared<ActionArgs>();
  auto* sub = app.add_subcommand("actions", "print the action groups and actions of a policy database");
  addDatabaseOptions(sub, args->db, args->domain);
  sub->callback([args] { printActions(*args); });
}

}  // namespace gxpolicy
