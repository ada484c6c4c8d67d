// gxpolicy generate: write a synthetic estate into a policy database, for
// trying the tools and measuring the library on a realistic size.
//
//   gxpolicy generate DB --objects N [--naming unique|repeated] [--seed S]
//                        [--users U] [--groups G]
//
// DB is created (as by `gxpolicy create`) when it does not exist. The
// estate is /org/dN/sN/appN/resN/LEAF, with ACLs on about 5% of the
// objects (and one at "/"), POPs on about 1% and rules on about 0.5%; the
// same options give the same estate (tools/common/estate.h). It is written
// in transactions of 20,000 changes, each atomic on its own.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "GxCore/db/daCachedStore.h"
#include "tools/common/estate.h"
#include "tools/gxpolicy/gxpolicy.h"
#include "tools/common/progress.h"

namespace gxpolicy {
namespace {

struct GenerateArgs {
  std::string db;
  std::string domain = "Default";
  gxestate::Options options;
};

bool exists(std::string const& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void generate(GenerateArgs& a) {
  if (!exists(a.db)) createOrFail(a.db, a.domain);
  // Without the cache: the estate's objects are not kept decoded in memory.
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 0, 0);
  openOrFail(store, a.db, 0);
  ProgressBar bar;
  a.options.progress = [&bar](unsigned long done, unsigned long total) {
    bar.update("generating", done, total);
  };
  auto started = std::chrono::steady_clock::now();
  gxestate::Estate estate;
  unsigned long st = 0;
  try {
    gxestate::generate(store, a.options, estate, st);
  } catch (std::exception const& e) {  // a catalogue the quick map cannot be built from
    bar.clear();
    std::fprintf(stderr, "gxpolicy: generate %s: %s\n", a.db.c_str(), e.what());
    throw CLI::RuntimeError(kExitError);
  }
  bar.clear();
  if (st != 0) throw CLI::RuntimeError(fail("generate " + a.db + ": writing the estate failed", st));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("generated %zu objects, %lu ACLs on %lu objects, %lu POPs on %lu, %lu rules on %lu, "
              "%zu users in %zu groups in %s (%.1f s)\n",
              estate.objects.size(), estate.acls, estate.aclAttachments, estate.pops, estate.popAttachments,
              estate.rules, estate.ruleAttachments, estate.users.size(), estate.groups.size(), a.db.c_str(),
              seconds);
}

}  // namespace

void registerGenerateCommands(CLI::App& app) {
  auto args = std::make_shared<GenerateArgs>();
  auto* g = app.add_subcommand("generate", "write a synthetic estate (objects, ACLs, POPs, rules) into a database");
  addDatabaseOptions(g, args->db, args->domain);
  g->add_option("--objects", args->options.objects, "protected objects to write, directories included")
      ->required()
      ->check(CLI::Range(1UL, 100000000UL));
  std::map<std::string, gxestate::Naming> namings{{"unique", gxestate::Naming::unique},
                                                  {"repeated", gxestate::Naming::repeated}};
  g->add_option("--naming", args->options.naming, "leaf names: unique (item123) or repeated (index.html, ...)")
      ->transform(CLI::CheckedTransformer(namings, CLI::ignore_case));
  g->add_option("--seed", args->options.seed, "seed of the estate (default 1)");
  g->add_option("--users", args->options.users, "users (default 200)");
  g->add_option("--groups", args->options.groups, "groups (default 20)")->check(CLI::Range(1u, 65535u));
  g->callback([args] { generate(*args); });
}

}  // namespace gxpolicy
