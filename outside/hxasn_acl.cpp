// BER codec of the ACL database form (layout in outside/hxasn_acl.h).
#include "outside/hxasn_acl.h"

#include <cstdlib>
#include <cstring>

#include "outside/hxasn.h"
#include "outside/hxasn_view.h"

namespace {

// The smallest encoding one entry can have: its SEQUENCE header (2), the
// type INTEGER (3), the 16-byte id (18) and an empty mask string (2). Used to
// refuse a declared count the record cannot hold before allocating for it.
constexpr uint32_t minEntryBytes = 2 + 3 + 18 + 2;

void putUuid(unsigned char out[16], hx_uuid_t const& u) {
  out[0] = uint8_t(u.time_low >> 24);
  out[1] = uint8_t(u.time_low >> 16);
  out[2] = uint8_t(u.time_low >> 8);
  out[3] = uint8_t(u.time_low);
  out[4] = uint8_t(u.time_mid >> 8);
  out[5] = uint8_t(u.time_mid);
  out[6] = uint8_t(u.time_hi_and_version >> 8);
  out[7] = uint8_t(u.time_hi_and_version);
  out[8] = u.clock_seq_hi_and_reserved;
  out[9] = u.clock_seq_low;
  std::memcpy(out + 10, u.node, 6);
}

void getUuid(unsigned char const in[16], hx_uuid_t& u) {
  u.time_low = (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) | in[3];
  u.time_mid = uint16_t((in[4] << 8) | in[5]);
  u.time_hi_and_version = uint16_t((in[6] << 8) | in[7]);
  u.clock_seq_hi_and_reserved = in[8];
  u.clock_seq_low = in[9];
  std::memcpy(u.node, in + 10, 6);
}

void freeEntries(acl_entry_s_t* entries, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    std::free(entries[i].perms.groups);
    std::free(entries[i].aux);
  }
  std::free(entries);
}

// Writes one entry; scratch is a reusable buffer for the mask bytes. False
// when the entry cannot be written (masks missing, no memory).
bool putEntry(HxBerWriter& w, acl_entry_s_t const& e, hx_malloc_ptr<unsigned char>& scratch, size_t& scratchSize) {
  if (e.perms.count != 0 && e.perms.groups == nullptr) return false;
  size_t const bytes = size_t{e.perms.count} * 4;
  if (bytes > gxobj_max_encoded_length) return false;
  if (bytes > scratchSize) {
    scratch.reset(static_cast<unsigned char*>(std::malloc(bytes)));
    scratchSize = scratch ? bytes : 0;
    if (!scratch) return false;
  }
  for (uint32_t g = 0; g < e.perms.count; ++g) {
    uint32_t const v = e.perms.groups[g];
    unsigned char* p = scratch.get() + 4 * size_t{g};
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
  }
  unsigned char id[16];
  putUuid(id, e.id);
  w.beginSequence();
  w.putUInt32(e.entry_type);
  w.putBytes(id, sizeof id);
  w.putBytes(scratch.get(), static_cast<uint32_t>(bytes));
  w.endSequence();
  return true;
}

// Reads one entry into e (zeroed by the caller); on failure e owns nothing.
bool getEntry(HxBerReader& r, acl_entry_s_t& e) {
  uint32_t type = 0;
  unsigned char* raw = nullptr;
  uint32_t n = 0;
  if (!r.beginSequence() || !r.getUInt32(type) || !r.getBytes(raw, n, 16)) return false;
  hx_malloc_ptr<unsigned char> id(raw);
  if (n != 16) return false;
  raw = nullptr;
  if (!r.getBytes(raw, n)) return false;
  hx_malloc_ptr<unsigned char> masks(raw);
  if (n % 4 != 0 || !r.endSequence()) return false;
  // Turn the big-endian bytes into host words in place: the block becomes
  // the mask array itself.
  for (uint32_t off = 0; off < n; off += 4) {
    unsigned char* p = masks.get() + off;
    uint32_t const v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    std::memcpy(p, &v, 4);
  }
  e.entry_type = type;
  getUuid(id.get(), e.id);
  e.perms.count = n / 4;
  e.perms.groups = n != 0 ? reinterpret_cast<uint32_t*>(masks.release()) : nullptr;
  e.aux = nullptr;
  return true;
}

}  // namespace

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, acl_ext_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (in.num_entries != 0 && in.entries == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  hx_malloc_ptr<unsigned char> scratch;
  size_t scratchSize = 0;
  w.beginSequence();
  w.putString(in.description);
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.putUInt32(in.num_entries);
  w.beginSequence();
  for (uint32_t i = 0; i < in.num_entries && w.ok(); ++i)
    if (!putEntry(w, in.entries[i], scratch, scratchSize)) return hx_asn_s_encode_failed;
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

namespace {

// The ACL in in, read in place (HxBerView) into acl: the same structure,
// allocated the same way, as the reader below makes, for every record the
// view takes (a subset of what the reader takes; see outside/hxasn_view.h).
// Decisions decode every ACL they meet for the first time, and the general
// reader costs several times as much per element. False when the view does
// not take the record or memory runs out: acl then owns what was decoded so
// far (the caller frees it) and the general reader gives the record's status.
bool takeEntry(HxBerView& r, acl_entry_s_t& e) {
  uint32_t type = 0;
  std::string_view id, masks;
  if (!r.beginSequence() || !r.getUInt32(type) || !r.getBytes(id) || id.size() != 16 || !r.getBytes(masks) ||
      masks.size() % 4 != 0 || !r.endSequence())
    return false;
  e.entry_type = type;
  getUuid(reinterpret_cast<unsigned char const*>(id.data()), e.id);
  e.aux = nullptr;
  uint32_t const n = static_cast<uint32_t>(masks.size() / 4);
  if (n == 0) return true;
  auto* words = static_cast<uint32_t*>(std::malloc(masks.size()));
  if (words == nullptr) return false;
  auto const* p = reinterpret_cast<unsigned char const*>(masks.data());
  for (uint32_t g = 0; g < n; ++g, p += 4)
    words[g] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  e.perms.count = n;
  e.perms.groups = words;
  return true;
}

bool decodeInPlace(hx_asn_buffer_t const& in, acl_ext_s_t& acl) {
  HxBerView r(in.data, in.length);
  std::string_view description;
  uint32_t count = 0;
  if (!r.beginSequence()) return false;
  bool const described = r.peekTag() == HxBerView::kNull ? r.getNull() : r.getText(description);
  if (!described || !r.getUInt32(acl.reserved1) || !r.getUInt32(acl.reserved2) || !r.getUInt32(count) ||
      !r.beginSequence() || count > r.remaining() / minEntryBytes)
    return false;
  // getText refused a NUL byte, so strndup copies the whole text.
  if (description.data() != nullptr && (acl.description = strndup(description.data(), description.size())) == nullptr)
    return false;
  if (count != 0) {
    acl.entries = hx_calloc_array<acl_entry_s_t>(count);
    if (acl.entries == nullptr) return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!takeEntry(r, acl.entries[i])) return false;
    acl.num_entries = i + 1;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return false;
  return true;
}

}  // namespace

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, acl_ext_s_t& out) {
  out = acl_ext_s_t{};
  acl_ext_s_t acl{};
  if (decodeInPlace(in, acl)) {
    out = acl;
    return 0;
  }
  hxAsnFreeObj(acl);
  return hxAsnDecodeObjGeneral(in, out);
}

unsigned long hxAsnDecodeObjGeneral(hx_asn_buffer_t const& in, acl_ext_s_t& out) {
  out = acl_ext_s_t{};
  HxBerReader r(in);
  acl_ext_s_t acl{};
  uint32_t count = 0;
  // acl owns whatever has been decoded so far; num_entries counts the
  // entries that are complete.
  struct Guard {
    acl_ext_s_t& a;
    ~Guard() { hxAsnFreeObj(a); }
  } guard{acl};
  if (!r.beginSequence() || !r.getString(acl.description) || !r.getUInt32(acl.reserved1) ||
      !r.getUInt32(acl.reserved2) || !r.getUInt32(count) || !r.beginSequence() ||
      !r.checkCount(count, minEntryBytes))
    return hx_asn_s_decode_failed;
  if (count != 0) {
    acl.entries = hx_calloc_array<acl_entry_s_t>(count);
    if (acl.entries == nullptr) return hx_asn_s_decode_failed;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!getEntry(r, acl.entries[i])) return hx_asn_s_decode_failed;
    acl.num_entries = i + 1;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out = acl;
  acl = acl_ext_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(acl_ext_s_t& s) {
  std::free(s.description);
  if (s.entries != nullptr) freeEntries(s.entries, s.num_entries);
  s = acl_ext_s_t{};
}

// ---- in-place answer ------------------------------------------------------------

namespace {

constexpr uint32_t kMaxRequestedWords = 64;

// An entry's fields as views into the record.
struct EntryView {
  uint32_t type = 0;
  std::string_view id, masks;  // 16 bytes; 4 bytes per group, big-endian
};

bool readEntry(HxBerView& r, EntryView& e) {
  return r.beginSequence() && r.getUInt32(e.type) && r.getBytes(e.id) && e.id.size() == 16 && r.getBytes(e.masks) &&
         e.masks.size() % 4 == 0 && r.endSequence();
}

uint32_t maskWord(std::string_view masks, uint32_t g) {
  if (size_t{g} * 4 >= masks.size()) return 0;
  auto const* p = reinterpret_cast<unsigned char const*>(masks.data()) + size_t{g} * 4;
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool sameId(std::string_view id, unsigned char const (&want)[16]) { return std::memcmp(id.data(), want, 16) == 0; }

}  // namespace

hx_acl_answer hxAsnAclAnswer(void const* bytes, uint32_t length, hx_acl_caller const& caller,
                             acl_permset_s_t const& requested) {
  uint32_t const words = requested.count;
  if (words > kMaxRequestedWords || (words != 0 && requested.groups == nullptr) ||
      (caller.groupCount != 0 && caller.groups == nullptr))
    return hx_acl_unreadable;
  HxBerView r(bytes, length);
  uint32_t reserved = 0, count = 0;
  std::string_view description;
  if (!r.beginSequence()) return hx_acl_unreadable;
  bool const described = r.peekTag() == HxBerView::kNull ? r.getNull() : r.getText(description);
  if (!described || !r.getUInt32(reserved) || !r.getUInt32(reserved) || !r.getUInt32(count) || !r.beginSequence())
    return hx_acl_unreadable;

  unsigned char principal[16] = {};
  if (caller.principal != nullptr) putUuid(principal, *caller.principal);
  // One pass: the last user entry of the caller, the last any-other and
  // unauthenticated entries, and the union of the caller's group entries
  // (the requested words only: no other word takes part in the answer).
  std::string_view user, anyOther, unauth;
  bool haveUser = false, haveAnyOther = false, haveUnauth = false, groupMatched = false;
  uint32_t groupUnion[kMaxRequestedWords] = {};
  unsigned char group[16];
  for (uint32_t i = 0; i < count; ++i) {
    EntryView e;
    if (!readEntry(r, e)) return hx_acl_unreadable;
    switch (e.type) {
      case acl_e_user:
        if (caller.principal != nullptr && sameId(e.id, principal)) user = e.masks, haveUser = true;
        break;
      case acl_e_group:
        for (uint32_t g = 0; caller.principal != nullptr && g < caller.groupCount; ++g) {
          putUuid(group, caller.groups[g]);
          if (!sameId(e.id, group)) continue;
          groupMatched = true;
          for (uint32_t w = 0; w < words; ++w) groupUnion[w] |= maskWord(e.masks, w);
          break;
        }
        break;
      case acl_e_any_other: anyOther = e.masks, haveAnyOther = true; break;
      case acl_e_unauthenticated: unauth = e.masks, haveUnauth = true; break;
      default: break;
    }
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_acl_unreadable;

  // granted(w): the word the applying entry (or entries) grant.
  auto grants = [&](auto&& granted) {
    for (uint32_t w = 0; w < words; ++w)
      if ((granted(w) & requested.groups[w]) != requested.groups[w]) return hx_acl_denied;
    return hx_acl_granted;
  };
  auto fromMasks = [&](std::string_view masks) { return grants([masks](uint32_t w) { return maskWord(masks, w); }); };
  if (caller.principal == nullptr) {
    if (!haveAnyOther || !haveUnauth) return grants([](uint32_t) { return 0u; });
    return grants([&](uint32_t w) { return maskWord(anyOther, w) & maskWord(unauth, w); });
  }
  if (haveUser) return fromMasks(user);
  if (groupMatched) return grants([&groupUnion](uint32_t w) { return groupUnion[w]; });
  if (haveAnyOther) return fromMasks(anyOther);
  return grants([](uint32_t) { return 0u; });
}
