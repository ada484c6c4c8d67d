#include "GxCore/daPolicyObjectMap.h"

#include <cstdlib>
#include <cstring>

#include "GxCore/daStoreObjectName.h"
#include "outside/HXObject.h"

daPolicyObjectMap::daPolicyObjectMap(unsigned int typeId) : typeId_(typeId) {}

daPolicyObjectMap::daPolicyObjectMap(unsigned int typeId, map_acl_to_pobj_s_t const& list) : typeId_(typeId) {
  set(list);
}

daPolicyObjectMap::daPolicyObjectMap(daPolicyObjectMap const& other)
    : daStoreObject(other), typeId_(other.typeId_) {
  set(other.list_);
}

daPolicyObjectMap& daPolicyObjectMap::operator=(daPolicyObjectMap const& other) {
  if (this != &other) {
    daStoreObject::operator=(other);
    typeId_ = other.typeId_;
    set(other.list_);
  }
  return *this;
}

daPolicyObjectMap::~daPolicyObjectMap() { clear(); }

void daPolicyObjectMap::add(char const* name) {
  if (name == nullptr) return;
  char* copy = strdup(name);
  if (copy == nullptr) return;
  auto* grown = static_cast<char**>(std::realloc(list_.names, (size_t{list_.count} + 1) * sizeof(char*)));
  if (grown == nullptr) {
    std::free(copy);
    return;
  }
  list_.names = grown;
  list_.names[list_.count++] = copy;
}

void daPolicyObjectMap::remove(char const* name) {
  if (name == nullptr) return;
  uint32_t i = 0;
  while (i < list_.count && std::strcmp(list_.names[i], name) != 0) ++i;
  if (i == list_.count) return;
  std::free(list_.names[i]);
  std::memmove(list_.names + i, list_.names + i + 1, (list_.count - i - 1) * sizeof(char*));
  if (--list_.count == 0) {
    std::free(list_.names);
    list_.names = nullptr;
  }
}

void daPolicyObjectMap::clear() { hxAsnFreeObj(list_); }

void daPolicyObjectMap::set(map_acl_to_pobj_s_t const& list) {
  if (&list == &list_) return;
  clear();
  if (list.count == 0 || list.names == nullptr) return;
  map_acl_to_pobj_s_t copy{};
  copy.names = hx_calloc_array<char*>(list.count);
  if (copy.names == nullptr) return;
  for (uint32_t i = 0; i < list.count; ++i) {
    copy.names[i] = strdup(list.names[i] ? list.names[i] : "");
    if (copy.names[i] == nullptr) {
      hxAsnFreeObj(copy);  // frees the copies made so far
      return;
    }
    copy.count = i + 1;
  }
  list_ = copy;
}

void daPolicyObjectMap::encode(gxobj_t& record, unsigned long& status) {
  HXObject::init_gxobj(record, typeId_);
  hx_asn_buffer_t buffer{0, nullptr};
  status = hxAsnEncodeObj(buffer, list_);
  if (status != 0) return;
  record.length = buffer.length;
  record.data = buffer.data;
}

void daPolicyObjectMap::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, list_);
}

void daPolicyObjectMap::decode(gxobj_t& record, unsigned long& status) {
  decode(static_cast<gxobj_t const&>(record), *this, status);
}

void daPolicyObjectMap::decode(gxobj_t const& record, daPolicyObjectMap& map, unsigned long& status) {
  status = 0;
  hx_asn_buffer_t buffer{record.length, record.data};
  map_acl_to_pobj_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) return;
  // The decoded list already has the shape of a copy: the map takes it over
  // rather than copying it again, with the reserved words zeroed.
  map.clear();
  map.list_ = decoded;
  map.list_.reserved1 = 0;
  map.list_.reserved2 = 0;
}

DA_POLICY_MAP_DEFINE_ATTACHED(GxMapObjToPop, gx_type_map_pobj_to_pop)
DA_POLICY_MAP_DEFINE(GxMapPopToObj, gx_type_map_pop_to_pobj)
DA_POLICY_MAP_DEFINE_ATTACHED(daMapObjToRule, gx_type_map_pobj_to_rule)
DA_POLICY_MAP_DEFINE(daMapRuleToObj, gx_type_map_rule_to_pobj)
