// gxpolicy actions: print the action catalogue of a database file; and the
// create step that stores the default catalogue in a new file.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/db/daLocalStore.h"
#include "tools/gxpolicy.h"

namespace gxpolicy {
namespace {

struct ActionArgs {
  std::string db;
  std::string domain = "Default";
};

void printActions(ActionArgs const& a) {
  daLocalStore store(a.domain.c_str(), a.db.c_str());
  unsigned long st;
  store.openStore(1, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot open " + a.db, st));
  std::vector<std::string> lines;
  st = gxRenderActionCatalogue(store, lines);
  for (auto const& line : lines) std::printf("%s\n", line.c_str());
  if (st != 0) throw CLI::RuntimeError(fail("cannot read the action catalogue of " + a.db, st));
}

}  // namespace

void registerActionCommands(CLI::App& app) {
  addCreateStep([](daLocalStore& store) { return gxStoreDefaultActionCatalogue(store); });
  auto args = std::make_shared<ActionArgs>();
  auto* sub = app.add_subcommand("actions", "print the action groups and actions of a policy database");
  sub->add_option("DB", args->db, "policy database file")->required();
  sub->add_option("--domain", args->domain, "policy domain (names the inter-process lock)");
  sub->callback([args] { printActions(*args); });
}

}  // namespace gxpolicy
