// BER codec of the extended-attribute database form (layout in
// outside/hxasn_extattr.h).
#include "outside/hxasn_extattr.h"

#include <cstdlib>

#include "outside/hxasn.h"

namespace {

// Smallest encoding of one entry: its SEQUENCE header (2), an empty name (2),
// the count INTEGER (3) and an empty value SEQUENCE (2).
constexpr uint32_t minEntryBytes = 2 + 2 + 3 + 2;
void freeEntry(gxextattr_entry_s_t& e) {
  hx_free_strings(e.values, e.value_count);
  std::free(e.name);
  e = gxextattr_entry_s_t{};
}

bool putEntry(HxBerWriter& w, gxextattr_entry_s_t const& e) {
  if (e.name == nullptr || !hx_strings_present(e.values, e.value_count)) return false;
  w.beginSequence();
  w.putString(e.name);
  w.putUInt32(e.value_count);
  w.putStrings(e.values, e.value_count);
  w.endSequence();
  return true;
}

// Reads one entry into e (zeroed by the caller); on failure e owns nothing.
bool getEntry(HxBerReader& r, gxextattr_entry_s_t& e) {
  char* name = nullptr;
  uint32_t n = 0;
  if (!r.beginSequence() || !r.getString(name)) return false;
  e.name = name;
  if (e.name == nullptr || !r.getUInt32(n) || !r.getStrings(n, e.values, e.value_count) || !r.endSequence()) {
    freeEntry(e);
    return false;
  }
  return true;
}

}  // namespace

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxextattr_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (in.count != 0 && in.entries == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.putUInt32(in.count);
  w.beginSequence();
  for (uint32_t i = 0; i < in.count && w.ok(); ++i)
    if (!putEntry(w, in.entries[i])) return hx_asn_s_encode_failed;
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxextattr_s_t& out) {
  out = gxextattr_s_t{};
  HxBerReader r(in);
  gxextattr_s_t ea{};
  uint32_t count = 0;
  // ea owns whatever has been decoded so far; its count is the number of
  // complete entries.
  struct Guard {
    gxextattr_s_t& a;
    ~Guard() { hxAsnFreeObj(a); }
  } guard{ea};
  if (!r.beginSequence() || !r.getUInt32(ea.reserved1) || !r.getUInt32(ea.reserved2) || !r.getUInt32(count) ||
      !r.beginSequence() || !r.checkCount(count, minEntryBytes))
    return hx_asn_s_decode_failed;
  if (count != 0) {
    ea.entries = hx_calloc_array<gxextattr_entry_s_t>(count);
    if (ea.entries == nullptr) return hx_asn_s_decode_failed;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!getEntry(r, ea.entries[i])) return hx_asn_s_decode_failed;
    ea.count = i + 1;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out = ea;
  ea = gxextattr_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(gxextattr_s_t& s) {
  if (s.entries != nullptr)
    for (uint32_t i = 0; i < s.count; ++i) freeEntry(s.entries[i]);
  std::free(s.entries);
  s = gxextattr_s_t{};
}
