// Action strings through a store's quick map: the input, as a NUL-terminated
// string, is converted with mapAction on a read-only store holding the
// default catalogue; a string that converts is rendered back with mapBitmap,
// and the rendering must convert to the same permissions. The input's first
// bytes also make a permission set of arbitrary bits to render, since stored
// ACLs can carry bits that name no action.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/perm.h"
#include "fuzz_support.h"

namespace {

daCachedStore* store = nullptr;

// The same bits in every group (the group counts may differ).
bool sameBits(GxACLPermset const& a, GxACLPermset const& b) {
  for (unsigned long g = 0; g < 64; ++g)
    if (a.actionGroup(g) != b.actionGroup(g)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gxfuzz::silenceMessages();
  store = gxfuzz::openScratchStore("actions.db", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string const text(reinterpret_cast<char const*>(data), size);  // .c_str() stops at a NUL

  GxACLPermset perms;
  unsigned long st = 0;
  store->mapAction(text.c_str(), perms, st);
  if (st == 0) {
    ZUTF8String_6_0 rendered;
    store->mapBitmap(perms, rendered, st);
    if (st != 0) {
      std::fprintf(stderr, "mapBitmap failed (0x%lx) on permissions of a string that converted\n", st);
      std::abort();
    }
    GxACLPermset again;
    store->mapAction(rendered.getChars(), again, st);
    if (st != 0 || !sameBits(again, perms)) {
      std::fprintf(stderr, "rendering \"%s\" does not convert back (0x%lx)\n", rendered.getChars(), st);
      std::abort();
    }
  }

  if (size >= 5) {
    uint32_t bits;
    std::memcpy(&bits, data + 1, sizeof bits);
    GxACLPermset arbitrary(data[0] % 40, bits);  // groups past the last one included
    ZUTF8String_6_0 out;
    store->mapBitmap(arbitrary, out, st);
  }
  return 0;
}
