// The JSON policy import: the input is a policy document imported into one
// database per process (a fresh database per input would be too slow). A
// rejected document writes nothing; an accepted one may write, which later
// inputs then see. Exceptions escaping the import are faults.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "GxCore/db/daCachedStore.h"
#include "fuzz_support.h"
#include "tools/common/policy_import.h"

namespace {

daCachedStore* store = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gxfuzz::silenceMessages();
  store = gxfuzz::openScratchStore("import.db", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string const text(reinterpret_cast<char const*>(data), size);
  gxpolicy::ImportCounts counts;
  gxpolicy::Problem problem;
  (void)gxpolicy::importPolicyText(*store, text, counts, problem);
  return 0;
}
