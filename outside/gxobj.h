// The record form every stored object takes on its way between the codec,
// the attribute object and the database file, and the encoded byte buffer.
#pragma once

#include <cstdint>

// An encoded byte buffer: length, then bytes (allocated with malloc).
struct hx_asn_buffer_t {
  uint32_t length;
  unsigned char* data;
};

// Frees the bytes and zeroes the buffer.
void hx_asn_buffer_free(hx_asn_buffer_t& buffer);

// One stored record: key text, a value word (0 for objects; the bookkeeping
// records keep their numbers in it), the object type id, and the encoded
// object. key and data are separate malloc allocations owned by whoever holds
// the record; hxAsnFreeObj(gxobj_t&) releases both.
struct gxobj_t {
  char* key;
  uint32_t value;
  uint32_t type;
  uint32_t length;
  unsigned char* data;
};

// Frees key and data and zeroes the record.
void hxAsnFreeObj(gxobj_t& record);

// A record owned by one scope: whatever key and data it holds when the
// scope ends are freed (hxAsnFreeObj).
struct gxobj_holder {
  gxobj_t rec{};
  gxobj_holder() = default;
  ~gxobj_holder() { hxAsnFreeObj(rec); }
  gxobj_holder(gxobj_holder const&) = delete;
  gxobj_holder& operator=(gxobj_holder const&) = delete;
};

// Records larger than this are refused by the codec and the database file.
constexpr uint32_t gxobj_max_encoded_length = 64u * 1024u * 1024u;
