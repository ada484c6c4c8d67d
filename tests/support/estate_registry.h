// A file registry naming a generated estate's users and groups (groups g0,
// g1, ... in the estate's order; each user in the groups the estate gave
// it), for tests that ask by name or need a user's groups.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/db/daCachedStore.h"
#include "outside/file_registry.h"
#include "test_support.h"
#include "tools/common/estate.h"

namespace gxtest {

inline std::string estateUuidText(hx_uuid_t const& u) {
  char text[37] = {};
  unsigned long st = 0;
  hx_uuid_to_string(u, text, st);
  return text;
}

// The registry, or null with message set.
inline std::unique_ptr<gxreg::FileRegistry> estateRegistry(gxestate::Estate const& estate, std::string const& path,
                                                           std::string& message) {
  std::string json = "{\"groups\": [";
  for (size_t g = 0; g < estate.groups.size(); ++g)
    json += (g ? "," : "") + std::string("{\"name\": \"g") + std::to_string(g) + "\", \"uuid\": \"" +
            estateUuidText(estate.groups[g]) + "\"}";
  json += "], \"users\": [";
  for (size_t u = 0; u < estate.users.size(); ++u) {
    json += (u ? "," : "") + std::string("{\"name\": \"") + estate.users[u].name + "\", \"uuid\": \"" +
            estateUuidText(estate.users[u].uuid) + "\", \"groups\": [";
    for (size_t k = 0; k < estate.users[u].groups.size(); ++k)
      for (size_t g = 0; g < estate.groups.size(); ++g)
        if (std::memcmp(&estate.groups[g], &estate.users[u].groups[k], sizeof(hx_uuid_t)) == 0)
          json += (k ? ",\"g" : "\"g") + std::to_string(g) + "\"";
    json += "]}";
  }
  json += "]}";
  std::unique_ptr<gxreg::FileRegistry> out;
  if (gxreg::FileRegistry::parse(json, path, out, message) != 0) return nullptr;
  return out;
}

// A new policy database at path holding the estate options describe,
// written through a writable store that is closed again: 0, or the status
// of the open or the generation.
inline unsigned long generateEstateDb(std::string const& path, gxestate::Options const& options,
                                      gxestate::Estate& estate) {
  createPolicyDb(path);
  unsigned long st = 0;
  daCachedStore writer("d", path.c_str(), 1, 0);
  writer.openStore(0, st);
  if (st == 0) gxestate::generate(writer, options, estate, st);
  return st;
}

inline bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A generated estate on a read-only store with its registry (above) and its
// callers: every user, then an authenticated user in no group, then an
// unauthenticated caller (null attributes). Tests that compare an answer
// with decide's for every caller share it.
struct EstateOnDisk {
  // Generates the estate at dir/estate.db and opens it read-only; false
  // (with message set) when any step fails.
  bool make(TempDir const& dir, gxestate::Options const& options, std::string& message) {
    path = dir.file("estate.db");
    if (unsigned long st = generateEstateDb(path, options, estate); st != 0) {
      message = "generating the estate: status " + std::to_string(st);
      return false;
    }
    unsigned long st = 0;
    store = std::make_unique<daCachedStore>("d", path.c_str(), 1, 0);
    store->openStore(1, st);
    if (st != 0) {
      message = "opening the estate: status " + std::to_string(st);
      return false;
    }
    registry = estateRegistry(estate, dir.file("r.json"), message);
    if (!registry) return false;
    for (gxestate::User const& u : estate.users) callers.push_back(gxestate::callerOf(u));
    hx_uuid_t loner{};
    loner.time_low = 0x10ae1;
    callers.emplace_back(loner, std::vector<hx_uuid_t>{});
    callers.emplace_back();  // unauthenticated
    return true;
  }
  // The caller's name in failure messages.
  std::string name(size_t c) const {
    return c < estate.users.size() ? estate.users[c].name : c == estate.users.size() ? "no-group user" : "unauthenticated";
  }

  std::string path;
  gxestate::Estate estate;
  std::unique_ptr<daCachedStore> store;
  std::unique_ptr<gxreg::FileRegistry> registry;
  std::vector<gxpolicy::CallerAttributes> callers;
};

}  // namespace gxtest
