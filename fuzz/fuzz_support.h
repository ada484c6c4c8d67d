// Helpers shared by the fuzz targets and the seed generator: silenced
// messages, a scratch directory per process, a policy database made as
// `gxpolicy create` leaves it, and the record type ids the decode dispatch
// is driven with.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "GxCore/GxAction.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/hxsvc.h"

namespace gxfuzz {

// Every message and trace line dropped: the targets log on every rejected
// input, which would flood the output and slow the runs.
inline void silenceMessages() {
  hx_svc_set_sink([](hx_svc_record const&) {});
}

// A fresh directory under the temporary folder, removed at process exit.
inline std::string const& scratchDir() {
  static std::string const dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "gxcore-fuzz-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    return tmpl;
  }();
  static struct Cleanup {
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup;
  return dir;
}

// Creates a policy database at path holding the default action catalogue
// only; aborts when that fails (the harness cannot run without it).
inline void createPolicyDb(std::string const& path) {
  unsigned long st = 0;
  daLocalStore creator("d", path.c_str());
  creator.createStore(st);
  if (st != 0) std::abort();
  creator.openStore(0, st);
  if (st != 0) std::abort();
  if (gxStoreDefaultActionCatalogue(creator) != 0) std::abort();
}

// A store on a fresh policy database named name in the scratch directory,
// open read-only or writable, living as long as the process; aborts on
// failure.
inline daCachedStore* openScratchStore(char const* name, int readOnly) {
  std::string const path = scratchDir() + "/" + name;
  createPolicyDb(path);
  auto* store = new daCachedStore("d", path.c_str(), 1, 0);
  unsigned long st = 0;
  store->openStore(readOnly, st);
  if (st != 0) std::abort();
  return store;
}

// Every record type id: the decodable kinds and the two that have no class.
// The decode target's first input byte indexes this table.
constexpr uint32_t kTypeIds[] = {
    gx_type_map_pobj_to_acl, gx_type_map_acl_to_pobj, gx_type_authzn_db_info, gx_type_none_1284,
    gx_type_action,          gx_type_plain_name,      gx_type_pop,            gx_type_map_pobj_to_pop,
    gx_type_map_pop_to_pobj, gx_type_pobj_space,      gx_type_pobj,           gx_type_ext_attr,
    gx_type_acl,             gx_type_action_groups,   gx_type_rule,           gx_type_map_pobj_to_rule,
    gx_type_map_rule_to_pobj, gx_type_azn_server};
constexpr size_t kTypeCount = sizeof kTypeIds / sizeof kTypeIds[0];

// Index of type in kTypeIds, or kTypeCount.
inline size_t typeIndex(uint32_t type) {
  for (size_t i = 0; i < kTypeCount; ++i)
    if (kTypeIds[i] == type) return i;
  return kTypeCount;
}

// The attribute-form decoders the attribute target drives; its first input
// byte selects one, its second the qualifier.
enum AttrForm : uint8_t { kPop, kPop510, kExtAttr, kPObj, kServer, kAttrFormCount };
inline char const* qualifierFor(uint8_t b) {
  switch (b % 3) {
    case 0: return nullptr;
    case 1: return "";
    default: return "q";
  }
}

}  // namespace gxfuzz
