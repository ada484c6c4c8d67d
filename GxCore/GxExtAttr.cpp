#include "GxCore/GxExtAttr.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "GxCore/daStoreObjectName.h"
#include "outside/hxasn.h"

namespace {

void freeEntry(gxextattr_entry_s_t& e) {
  for (uint32_t j = 0; j < e.value_count; ++j) std::free(e.values[j]);
  std::free(e.values);
  std::free(e.name);
  e = gxextattr_entry_s_t{};
}

// Grows a malloc'ed array by one element; null (array unchanged) on failure.
template <class T>
T* growByOne(T* array, uint32_t count) {
  return static_cast<T*>(std::realloc(array, (size_t{count} + 1) * sizeof(T)));
}

// Frees entry i and moves the later entries down; frees the array with the
// last entry.
void removeEntryAt(gxextattr_s_t& ea, uint32_t i) {
  freeEntry(ea.entries[i]);
  std::memmove(ea.entries + i, ea.entries + i + 1, (ea.count - i - 1) * sizeof *ea.entries);
  if (--ea.count == 0) {
    std::free(ea.entries);
    ea.entries = nullptr;
  }
}

}  // namespace

GxExtAttr::GxExtAttr(gxextattr_s_t const& from) { copyExtAttr(from, ea_); }

GxExtAttr::GxExtAttr(GxExtAttr const& other) : daStoreObject(other) { copyExtAttr(other.ea_, ea_); }

GxExtAttr& GxExtAttr::operator=(GxExtAttr const& other) {
  if (this == &other) return *this;
  daStoreObject::operator=(other);
  delAll();
  copyExtAttr(other.ea_, ea_);
  return *this;
}

GxExtAttr::~GxExtAttr() { delAll(); }

void GxExtAttr::delAll() { hxAsnFreeObj(ea_); }

gxextattr_entry_s_t* GxExtAttr::find(char const* name) const {
  for (uint32_t i = 0; i < ea_.count; ++i)
    if (std::strcmp(ea_.entries[i].name, name) == 0) return &ea_.entries[i];
  return nullptr;
}

int GxExtAttr::addValue(char const* name, char const* value) {
  if (name == nullptr || value == nullptr) return 1;
  if (gxextattr_entry_s_t* e = find(name)) {
    for (uint32_t j = 0; j < e->value_count; ++j)
      if (std::strcmp(e->values[j], value) == 0) return 1;
    char* copy = strdup(value);
    if (copy == nullptr) return noMemory_;
    char** grown = growByOne(e->values, e->value_count);
    if (grown == nullptr) {
      std::free(copy);
      return noMemory_;
    }
    e->values = grown;
    e->values[e->value_count++] = copy;
    return 0;
  }
  gxextattr_entry_s_t added{strdup(name), 1, static_cast<char**>(std::malloc(sizeof(char*)))};
  if (added.name == nullptr || added.values == nullptr || (added.values[0] = strdup(value)) == nullptr) {
    std::free(added.name);
    std::free(added.values);
    return noMemory_;
  }
  gxextattr_entry_s_t* grown = growByOne(ea_.entries, ea_.count);
  if (grown == nullptr) {
    freeEntry(added);
    return noMemory_;
  }
  ea_.entries = grown;
  ea_.entries[ea_.count++] = added;
  return 0;
}

int GxExtAttr::delValues(char const* name) {
  if (name == nullptr) return 0;
  gxextattr_entry_s_t* e = find(name);
  if (e == nullptr) return 0;
  removeEntryAt(ea_, static_cast<uint32_t>(e - ea_.entries));
  return 1;
}

int GxExtAttr::delValue(char const* name, char const* value) {
  if (name == nullptr || value == nullptr) return 0;
  gxextattr_entry_s_t* e = find(name);
  if (e == nullptr) return 0;
  for (uint32_t j = 0; j < e->value_count; ++j) {
    if (std::strcmp(e->values[j], value) != 0) continue;
    std::free(e->values[j]);
    std::memmove(e->values + j, e->values + j + 1, (e->value_count - j - 1) * sizeof(char*));
    if (--e->value_count == 0) removeEntryAt(ea_, static_cast<uint32_t>(e - ea_.entries));  // the name goes with its last value
    return 1;
  }
  return 0;
}

bool GxExtAttr::copyExtAttr(gxextattr_s_t const& from, gxextattr_s_t& to) {
  to = gxextattr_s_t{};
  if (from.count == 0 || from.entries == nullptr) return true;
  gxextattr_s_t copy{};
  copy.entries = hx_calloc_array<gxextattr_entry_s_t>(from.count);
  if (copy.entries == nullptr) return false;
  for (uint32_t i = 0; i < from.count; ++i) {
    gxextattr_entry_s_t const& src = from.entries[i];
    if (src.value_count == 0 || src.values == nullptr || src.name == nullptr) continue;
    gxextattr_entry_s_t& dst = copy.entries[copy.count];
    dst.values = hx_calloc_array<char*>(src.value_count);
    bool failed = dst.values == nullptr;
    for (uint32_t j = 0; j < src.value_count && !failed; ++j) {
      if (src.values[j] == nullptr) continue;
      if ((dst.values[dst.value_count] = strdup(src.values[j])) == nullptr)
        failed = true;
      else
        ++dst.value_count;
    }
    if (!failed && dst.value_count != 0) {
      dst.name = strdup(src.name);
      failed = dst.name == nullptr;
    }
    if (failed) {
      freeEntry(dst);
      hxAsnFreeObj(copy);
      return false;
    }
    if (dst.value_count == 0) {
      freeEntry(dst);  // no non-null value: the position is reused
      continue;
    }
    ++copy.count;
  }
  if (copy.count == 0) {
    std::free(copy.entries);
    copy.entries = nullptr;
  }
  to = copy;
  return true;
}

int GxExtAttr::isValidExtAttrName(char const* name, unsigned long type) {
  switch (type) {
    case gx_type_pobj:
      return daPObjName::isValid(name) == 0;
    case gx_type_pop:
    case gx_type_acl:
    case gx_type_rule:
      return daPolicyName::isValid(name) != 0;
    default:
      return 0;
  }
}

// ---- attribute form ---------------------------------------------------------

unsigned long GxExtAttr::encode(char const* name, char const* q, HXObject& attrs) {
  attrs.addStringValue("extattrid", name, q);
  for (uint32_t i = 0; i < ea_.count; ++i) {
    gxextattr_entry_s_t const& e = ea_.entries[i];
    attrs.addStringValue("extattrnames", e.name, q);
    for (uint32_t j = 0; j < e.value_count; ++j) attrs.addStringValue(e.name, e.values[j], q);
  }
  return 0;
}

unsigned long GxExtAttr::decode(char const* /*name*/, char const* q, HXObject& attrs) {
  unsigned int const names = attrs.length("extattrnames", q);
  for (unsigned int i = 0; i < names; ++i) {
    ZUTF8String_6_0 const* n = attrs.getStringValue("extattrnames", i, q);
    if (n == nullptr) continue;
    // A copy: the attribute read below may be the one the name lives in.
    std::string const attr(n->getChars());
    unsigned int const values = attrs.length(attr.c_str(), q);
    for (unsigned int j = 0; j < values; ++j)
      if (ZUTF8String_6_0 const* v = attrs.getStringValue(attr.c_str(), j, q)) addValue(attr.c_str(), v->getChars());
  }
  return 0;
}

// ---- database form ----------------------------------------------------------

void GxExtAttr::encode(gxobj_t& record, unsigned long& status) {
  record.type = gx_type_ext_attr;
  record.length = 0;
  record.data = nullptr;
  hx_asn_buffer_t buffer{0, nullptr};
  status = hxAsnEncodeObj(buffer, ea_);
  if (status != 0) return;
  record.length = buffer.length;
  record.data = buffer.data;
}

void GxExtAttr::decode(gxobj_t const& record, GxExtAttr** out, unsigned long& status) {
  status = 0;
  if (out == nullptr) {
    status = hx_asn_s_decode_failed;
    return;
  }
  *out = nullptr;
  hx_asn_buffer_t const buffer{record.length, record.data};
  gxextattr_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) return;
  GxExtAttr* obj = new (std::nothrow) GxExtAttr();
  if (obj == nullptr || !copyExtAttr(decoded, obj->ea_)) {
    delete obj;
    hxAsnFreeObj(decoded);
    status = da_s_no_memory;
    return;
  }
  hxAsnFreeObj(decoded);
  *out = obj;
}

// ---- GxExtAttrIterator ------------------------------------------------------

bool GxExtAttrIterator::nameInRange() const {
  return name_ >= 0 && static_cast<unsigned long>(name_) < attrs_->nameCount();
}

bool GxExtAttrIterator::nameAdvance() {
  ++name_;
  if (!nameInRange()) return false;
  valueReset();
  return true;
}

char const* GxExtAttrIterator::name() const {
  return nameInRange() ? attrs_->value().entries[name_].name : nullptr;
}

unsigned long GxExtAttrIterator::valueCount() const {
  return nameInRange() ? attrs_->value().entries[name_].value_count : 0;
}

bool GxExtAttrIterator::valueAdvance() {
  if (!nameInRange()) return false;
  ++value_;
  return value_ >= 0 && static_cast<unsigned long>(value_) < valueCount();
}

char const* GxExtAttrIterator::value() const {
  if (!nameInRange() || value_ < 0 || static_cast<unsigned long>(value_) >= valueCount()) return nullptr;
  return attrs_->value().entries[name_].values[value_];
}
