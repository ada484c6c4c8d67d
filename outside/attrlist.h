// Attribute lists: small named-value lists that a policy structure carries
// for data its fixed fields have no room for (a POP keeps its encoded
// IP-authentication list in one). Plain C-style heap structures, like the
// codec structures they travel in: names and value bytes are malloc'ed and
// released with free by attrlist_free (or hxAsnFreeObj of the structure
// holding the list).
//
// Each entry has one name and one value. Names are compared byte for byte;
// attrlist_add_entry appends and does not look for an existing entry of the
// same name (attrlist_find_entry returns the first).
#pragma once

#include <cstdint>

// Returned when the heap is exhausted (the list is then unchanged).
constexpr unsigned long attrlist_s_no_memory = 0x10652065;
// Returned for a null name or a value whose length has no bytes (the id of
// the codec's "cannot be encoded": such an entry could never be stored).
constexpr unsigned long attrlist_s_bad_argument = 0x10652201;

// One value: its type (2 for opaque bytes), a second word carried unchanged
// (zero in every value this library writes) and length bytes at data (null
// when length is 0).
struct value_s_t {
  uint32_t value_type;
  uint32_t reserved;
  uint32_t length;
  unsigned char* data;
};

struct attrlist_entry_s_t {
  char* name;        // owned, never null in a list
  value_s_t value;   // owns value.data
};

// An attribute list: count entries at entries (null when count is 0).
struct attrlist_s_t {
  uint32_t count;
  attrlist_entry_s_t* entries;
};

// The index of the first entry called name, or list.count when there is
// none (also for a null name).
uint32_t attrlist_find_entry(attrlist_s_t const& list, char const* name);

// Appends an entry called name holding a copy of value (the caller keeps
// its own name and bytes). Returns 0, attrlist_s_bad_argument (null name,
// or length without data) or attrlist_s_no_memory; on failure the list is
// unchanged.
unsigned long attrlist_add_entry(attrlist_s_t& list, char const* name, value_s_t const& value);

// Deep copy of from into to, which is overwritten (not freed first). Returns
// 0 or attrlist_s_no_memory, in which case to is empty and owns nothing.
unsigned long attrlist_dup(attrlist_s_t const& from, attrlist_s_t& to);

// Frees every name, value and the entry array; the list becomes empty.
void attrlist_free(attrlist_s_t& list);
