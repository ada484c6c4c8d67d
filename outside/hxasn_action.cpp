// BER codec of the action catalogue (layout in outside/hxasn_action.h).
#include "outside/hxasn_action.h"

#include <cstdlib>

#include "outside/hxasn.h"

namespace {

void freeAction(gxaction_s_t* a) {
  if (a == nullptr) return;
  hxAsnFreeObj(*a);
  std::free(a);
}

void freeGroup(gxaction_group_s_t* g) {
  if (g == nullptr) return;
  std::free(g->name);
  for (gxaction_s_t*& a : g->actions) {
    freeAction(a);
    a = nullptr;
  }
  std::free(g);
}

// Frees a half-built structure when decoding stops early.
template <class S>
struct FreeGuard {
  S& s;
  bool armed = true;
  ~FreeGuard() {
    if (armed) hxAsnFreeObj(s);
  }
};

void putAction(HxBerWriter& w, gxaction_s_t const& a) {
  w.beginSequence();
  w.putUInt32(a.id);
  w.putString(a.name);
  w.putString(a.text1);
  w.putString(a.text2);
  w.putUInt32(a.bitmask);
  w.putUInt32(a.flags);
  w.putUInt32(a.reserved1);
  w.putUInt32(a.reserved2);
  w.endSequence();
}

// Reads one action into a (zeroed by the caller); on failure a owns nothing.
bool getAction(HxBerReader& r, gxaction_s_t& a) {
  gxaction_s_t tmp{};
  FreeGuard<gxaction_s_t> guard{tmp};
  if (!r.beginSequence() || !r.getUInt32(tmp.id) || !r.getString(tmp.name) || !r.getString(tmp.text1) ||
      !r.getString(tmp.text2) || !r.getUInt32(tmp.bitmask) || !r.getUInt32(tmp.flags) ||
      !r.getUInt32(tmp.reserved1) || !r.getUInt32(tmp.reserved2) || !r.endSequence())
    return false;
  a = tmp;
  guard.armed = false;
  return true;
}

void putGroup(HxBerWriter& w, gxaction_group_s_t const& g) {
  w.beginSequence();
  w.putString(g.name);
  w.putUInt32(g.reserved1);
  w.putUInt32(g.reserved2);
  w.beginSequence();
  for (unsigned s = 0; s < gxaction_max_actions; ++s) {
    if (g.actions[s] == nullptr) continue;
    w.beginSequence();
    w.putUInt32(s);
    putAction(w, *g.actions[s]);
    w.endSequence();
  }
  w.endSequence();
  w.endSequence();
}

// A slot number that is in range and still free in slots (32 of them).
template <class T>
bool getSlot(HxBerReader& r, T* const* slots, uint32_t& slot) {
  return r.getUInt32(slot) && slot < 32 && slots[slot] == nullptr;
}

// A new group read from r, or null.
gxaction_group_s_t* getGroup(HxBerReader& r) {
  hx_malloc_ptr<gxaction_group_s_t> holder(hx_calloc_array<gxaction_group_s_t>(1));
  if (!holder) return nullptr;
  gxaction_group_s_t* g = holder.release();
  struct Guard {
    gxaction_group_s_t* g;
    ~Guard() { freeGroup(g); }
  } guard{g};
  if (!r.beginSequence() || !r.getString(g->name) || !r.getUInt32(g->reserved1) || !r.getUInt32(g->reserved2) ||
      !r.beginSequence())
    return nullptr;
  while (!r.atSequenceEnd()) {
    uint32_t slot = 0;
    if (!r.beginSequence() || !getSlot(r, g->actions, slot)) return nullptr;
    auto* a = hx_calloc_array<gxaction_s_t>(1);
    if (a == nullptr) return nullptr;
    if (!getAction(r, *a)) {
      std::free(a);
      return nullptr;
    }
    g->actions[slot] = a;
    if (!r.endSequence()) return nullptr;
  }
  if (!r.ok() || !r.endSequence() || !r.endSequence()) return nullptr;
  guard.g = nullptr;
  return g;
}

}  // namespace

// ---- one action -------------------------------------------------------------

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxaction_s_t const& in) {
  HxBerWriter w;
  putAction(w, in);
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxaction_s_t& out) {
  out = gxaction_s_t{};
  HxBerReader r(in);
  gxaction_s_t a{};
  if (!getAction(r, a)) return hx_asn_s_decode_failed;
  if (!r.finished()) {
    hxAsnFreeObj(a);
    return hx_asn_s_decode_failed;
  }
  out = a;
  return 0;
}

void hxAsnFreeObj(gxaction_s_t& s) {
  std::free(s.name);
  std::free(s.text1);
  std::free(s.text2);
  s = gxaction_s_t{};
}

// ---- the catalogue ----------------------------------------------------------

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxaction_groups_s_t const& in) {
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.beginSequence();
  for (unsigned s = 0; s < gxaction_max_groups; ++s) {
    if (in.groups[s] == nullptr) continue;
    w.beginSequence();
    w.putUInt32(s);
    putGroup(w, *in.groups[s]);
    w.endSequence();
  }
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxaction_groups_s_t& out) {
  out = gxaction_groups_s_t{};
  HxBerReader r(in);
  gxaction_groups_s_t c{};
  FreeGuard<gxaction_groups_s_t> guard{c};
  if (!r.beginSequence() || !r.getUInt32(c.reserved1) || !r.getUInt32(c.reserved2) || !r.beginSequence())
    return hx_asn_s_decode_failed;
  while (!r.atSequenceEnd()) {
    uint32_t slot = 0;
    if (!r.beginSequence() || !getSlot(r, c.groups, slot)) return hx_asn_s_decode_failed;
    gxaction_group_s_t* g = getGroup(r);
    if (g == nullptr) return hx_asn_s_decode_failed;
    c.groups[slot] = g;
    if (!r.endSequence()) return hx_asn_s_decode_failed;
  }
  if (!r.ok() || !r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out = c;
  guard.armed = false;
  return 0;
}

void hxAsnFreeObj(gxaction_groups_s_t& s) {
  for (gxaction_group_s_t*& g : s.groups) {
    freeGroup(g);
    g = nullptr;
  }
  s = gxaction_groups_s_t{};
}
