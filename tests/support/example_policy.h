// The example web estate (examples/policy) for tests: its files, its user
// registry, and a policy document imported into a database through it.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalPolicy.h"
#include "outside/file_registry.h"
#include "test_support.h"
#include "tools/common/policy_import.h"

namespace gxtest {

inline std::string exampleFile(char const* name) {
  return readFile(std::string(GXCORE_SOURCE_DIR) + "/examples/policy/" + name);
}

// examples/policy/web.registry.json; null (and a test failure) when it does not parse.
inline std::unique_ptr<gxreg::FileRegistry> exampleRegistry() {
  std::unique_ptr<gxreg::FileRegistry> registry;
  std::string message;
  EXPECT_EQ(gxreg::FileRegistry::parse(exampleFile("web.registry.json"), "web.registry.json", registry, message), 0u)
      << message;
  return registry;
}

// Imports doc into the existing database db of domain, naming entries
// through registry; the database's sequence number after (a test failure
// when the import fails).
inline unsigned long importDocument(std::string const& db, char const* domain, std::string const& doc,
                                    gxreg::Registry* registry) {
  daCachedStore writer(domain, db.c_str(), 1, 0);
  unsigned long st = 0, seq = 0;
  writer.openStore(0, st);
  EXPECT_EQ(st, 0u);
  gxpolicy::ImportOptions options;
  options.registry = registry;
  gxpolicy::ImportCounts counts;
  gxpolicy::Problem problem;
  EXPECT_TRUE(gxpolicy::importPolicyDocument(
      writer, [&] { return std::make_unique<std::istringstream>(doc); }, options, counts, problem))
      << gxpolicy::describe(problem);
  writer.getSeqNum(seq, st);
  EXPECT_EQ(st, 0u);
  return seq;
}

// The example estate, named through its registry, in a new database at db
// of domain "Default" with the version replicas accept; without the
// office-hours rule at /web/admin when clockFree, so that no answer
// depends on the clock.
inline void makeExampleDb(std::string const& db, bool clockFree) {
  auto names = exampleRegistry();
  makePolicyDb(db, {}, daLocalPolicy::minimumDatabaseVersion, "Default");
  nlohmann::json doc = nlohmann::json::parse(exampleFile("web.json"));
  if (clockFree) doc["objects"]["/web/admin"].erase("rule");
  importDocument(db, "Default", doc.dump(), names.get());
}

}  // namespace gxtest
