// Database files as a hostile disk or sender would make them: the input is
// a whole file. The verifier reads it without mapping it; a file it accepts
// is then opened by the engine and every record read and decoded, as a
// replica or a gxpolicy command would. A file the verifier lets through
// that makes the engine fault is a finding.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "fuzz_support.h"
#include "outside/hxdb.h"
#include "outside/hxdb_verify.h"

namespace {

struct Closer {
  void operator()(hx_db_handle* h) const {
    unsigned long st;
    hx_db_close(h, st);
  }
};

void readEverything(std::string const& path) {
  unsigned long st = 0;
  std::unique_ptr<hx_db_handle, Closer> h(hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, nullptr, st));
  if (!h) return;
  std::vector<std::string> keys;
  {
    hx_db_iteration iteration(h.get(), st);
    if (st != 0) return;
    while (char const* key = iteration.next(st)) keys.emplace_back(key);
  }
  for (auto const& key : keys) {
    hx_db_record rec(h.get(), key.c_str(), st);
    if (st != 0 || !rec.get()) continue;
    daStoreObject* raw = nullptr;
    daStoreObject::decode(*rec.get(), &raw, st);
    delete raw;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gxfuzz::silenceMessages();
  hx_db_set_initial_map_size(size_t{1} << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string const path = gxfuzz::scratchDir() + "/input.db";
  hx_db_remove_file(path.c_str());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(data), static_cast<std::streamsize>(size));
  }
  hx_db_verify_report report;
  unsigned long st = 0;
  hx_db_verify_file(path.c_str(), report, st);
  if (st == 0) readEverything(path);
  return 0;
}
