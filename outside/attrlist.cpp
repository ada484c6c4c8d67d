#include "outside/attrlist.h"

#include <cstdlib>
#include <cstring>

namespace {

void freeEntry(attrlist_entry_s_t& e) {
  std::free(e.name);
  std::free(e.value.data);
  e = attrlist_entry_s_t{};
}

// A copy of src into dst (zeroed by the caller); false, dst owning nothing,
// when the heap is exhausted.
bool copyEntry(attrlist_entry_s_t const& src, attrlist_entry_s_t& dst) {
  dst.name = strdup(src.name ? src.name : "");
  dst.value = src.value;
  dst.value.data = nullptr;
  if (src.value.length != 0 && src.value.data != nullptr) {
    dst.value.data = static_cast<unsigned char*>(std::malloc(src.value.length));
    if (dst.value.data != nullptr) std::memcpy(dst.value.data, src.value.data, src.value.length);
  } else {
    dst.value.length = 0;
  }
  if (dst.name == nullptr || (dst.value.length != 0 && dst.value.data == nullptr)) {
    freeEntry(dst);
    return false;
  }
  return true;
}

}  // namespace

uint32_t attrlist_find_entry(attrlist_s_t const& list, char const* name) {
  if (name == nullptr || list.entries == nullptr) return list.count;
  for (uint32_t i = 0; i < list.count; ++i)
    if (list.entries[i].name != nullptr && std::strcmp(list.entries[i].name, name) == 0) return i;
  return list.count;
}

unsigned long attrlist_add_entry(attrlist_s_t& list, char const* name, value_s_t const& value) {
  if (name == nullptr || (value.length != 0 && value.data == nullptr)) return attrlist_s_bad_argument;
  if (list.count == UINT32_MAX) return attrlist_s_no_memory;
  attrlist_entry_s_t const src{const_cast<char*>(name), value};
  attrlist_entry_s_t added{};
  if (!copyEntry(src, added)) return attrlist_s_no_memory;
  auto* grown = static_cast<attrlist_entry_s_t*>(
      std::realloc(list.entries, (size_t{list.count} + 1) * sizeof(attrlist_entry_s_t)));
  if (grown == nullptr) {
    freeEntry(added);
    return attrlist_s_no_memory;
  }
  list.entries = grown;
  list.entries[list.count++] = added;
  return 0;
}

unsigned long attrlist_dup(attrlist_s_t const& from, attrlist_s_t& to) {
  to = attrlist_s_t{};
  if (from.count == 0 || from.entries == nullptr) return 0;
  attrlist_s_t copy{};
  copy.entries = static_cast<attrlist_entry_s_t*>(std::calloc(from.count, sizeof(attrlist_entry_s_t)));
  if (copy.entries == nullptr) return attrlist_s_no_memory;
  for (uint32_t i = 0; i < from.count; ++i) {
    if (!copyEntry(from.entries[i], copy.entries[i])) {
      attrlist_free(copy);
      return attrlist_s_no_memory;
    }
    copy.count = i + 1;
  }
  to = copy;
  return 0;
}

void attrlist_free(attrlist_s_t& list) {
  if (list.entries != nullptr)
    for (uint32_t i = 0; i < list.count; ++i) freeEntry(list.entries[i]);
  std::free(list.entries);
  list = attrlist_s_t{};
}
