// The example web estate (examples/policy) for tests: its files, its user
// registry, and a policy document imported into a database through it.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "GxCore/db/daCachedStore.h"
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

}  // namespace gxtest
