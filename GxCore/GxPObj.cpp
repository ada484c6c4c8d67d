// GxPObj and GxPObjSpace: copies, the object-space list, the attribute form
// and the database forms.
#include "GxCore/GxPObj.h"

#include <cstdlib>
#include <cstring>

#include "GxCore/daStoreObjectName.h"
#include "outside/hxasn.h"
#include "outside/hxsvc.h"

namespace {

void logNoMemory() { HX_LOG(bas_svc_handle, 0, hx_svc_attr_error, da_s_no_memory, ""); }

// A malloc'ed copy of text, or null for null text. ok turns false when the
// copy cannot be had.
char* copyText(char const* text, bool& ok) {
  if (text == nullptr) return nullptr;
  char* c = strdup(text);
  if (c == nullptr) ok = false;
  return c;
}

}  // namespace

// ---- GxPObj -----------------------------------------------------------------

GxPObj::GxPObj() = default;

GxPObj::GxPObj(pobj_s_t const& from) {
  if (!copyPObj(from, pobj_)) logNoMemory();
}

GxPObj::GxPObj(azn_pobj_desc_struct const& from) { copyAznPObj(from); }

GxPObj::GxPObj(GxPObj const& other) : daStoreObject(other) {
  if (!copyPObj(other.pobj_, pobj_)) logNoMemory();
}

GxPObj& GxPObj::operator=(GxPObj const& other) {
  if (this == &other) return *this;
  daStoreObject::operator=(other);
  std::free(pobj_.description);
  if (!copyPObj(other.pobj_, pobj_)) logNoMemory();
  ZUTF8String_6_0 const& n = other.getName();
  if (n.getLength() != 0) setName(n);
  return *this;
}

GxPObj& GxPObj::operator=(azn_pobj_desc_struct const& from) {
  copyAznPObj(from);
  return *this;
}

GxPObj::~GxPObj() { std::free(pobj_.description); }

int GxPObj::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<daStoreObject const*>(&other);
  return o ? getName().compareTo(o->getName()) : ZObject_6_0::compare(other);
}

void GxPObj::description(char const* text) {
  bool ok = true;
  char* copy = copyText(text, ok);
  if (!ok) {
    logNoMemory();
    return;
  }
  std::free(pobj_.description);
  pobj_.description = copy;
}

bool GxPObj::copyPObj(pobj_s_t const& from, pobj_s_t& to) {
  bool ok = true;
  to = pobj_s_t{from.type, from.policy_attachable, copyText(from.description, ok), 0, 0};
  return ok;
}

void GxPObj::copyAznPObj(azn_pobj_desc_struct const& from) {
  bool ok = true;
  std::free(pobj_.description);
  pobj_ = pobj_s_t{from.type, from.policy_attachable, copyText(from.description, ok), 0, 0};
  if (!ok) logNoMemory();
}

unsigned long GxPObj::encode(char const* name, char const* qualifier, HXObject& target) {
  target.addStringValue("pobjid", name, qualifier);
  target.addStringValue("pobjdesc", pobj_.description ? pobj_.description : "", qualifier);
  target.addBooleanValue("pobjpolattach", pobj_.policy_attachable != 0, qualifier);
  target.addIntegerValue("pobjtype", pobj_.type, qualifier);
  return 0;
}

unsigned long GxPObj::decode(char const*, char const* qualifier, HXObject& source) {
  ZUTF8String_6_0 const* desc = source.getStringValue("pobjdesc", 0, qualifier);
  description(desc ? desc->getChars() : nullptr);
  pobj_.policy_attachable = source.booleanValue("pobjpolattach", 0, qualifier) ? 1 : 0;
  pobj_.type = source.integerValue("pobjtype", 0, qualifier);
  return 0;
}

void GxPObj::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_pobj, record, status);
}

void GxPObj::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, pobj_);
}

void GxPObj::decode(gxobj_t& record, unsigned long& status) {
  hx_asn_buffer_t buffer{record.length, record.data};
  pobj_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) return;
  // The decoded description is already a malloc'ed copy: take it over.
  std::free(pobj_.description);
  pobj_ = pobj_s_t{decoded.type, decoded.policy_attachable, decoded.description, 0, 0};
}

void GxPObj::decode(gxobj_t const& record, GxPObj** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}

// ---- GxPObjSpace ------------------------------------------------------------

GxPObjSpace::GxPObjSpace() = default;

GxPObjSpace::GxPObjSpace(pobjspace_s_t const& from) {
  if (!copyPObjSpace(from, space_)) logNoMemory();
}

GxPObjSpace::GxPObjSpace(GxPObjSpace const& other) : daStoreObject(other) {
  if (!copyPObjSpace(other.space_, space_)) logNoMemory();
}

GxPObjSpace& GxPObjSpace::operator=(GxPObjSpace const& other) {
  if (this == &other) return *this;
  daStoreObject::operator=(other);
  release();
  if (!copyPObjSpace(other.space_, space_)) logNoMemory();
  return *this;
}

GxPObjSpace::~GxPObjSpace() { release(); }

void GxPObjSpace::release() { hxAsnFreeObj(space_); }

bool GxPObjSpace::copyPObjSpace(pobjspace_s_t const& from, pobjspace_s_t& to) {
  to = pobjspace_s_t{};
  if (from.count == 0 || from.names == nullptr) return true;
  hx_malloc_ptr<char*> names(hx_calloc_array<char*>(from.count));
  if (!names) return false;
  for (uint32_t i = 0; i < from.count; ++i) {
    bool ok = true;
    names.get()[i] = copyText(from.names[i], ok);
    if (!ok) {
      for (uint32_t j = 0; j < i; ++j) std::free(names.get()[j]);
      return false;
    }
  }
  to.count = from.count;
  to.names = names.release();
  return true;
}

void GxPObjSpace::listObjSpaces(ZArrayList_6_0& out) const {
  for (uint32_t i = 0; i < space_.count; ++i) out.addNoCopy(new ZUTF8String_6_0(space_.names[i]));
}

void GxPObjSpace::addToObjSpace(char const* name, unsigned long& status) {
  status = 0;
  if (name == nullptr) {
    status = gx_s_bad_pobj_name;
    return;
  }
  for (uint32_t i = 0; i < space_.count; ++i)
    if (std::strcmp(space_.names[i], name) == 0) {
      status = s_name_exists_;
      return;
    }
  hx_malloc_ptr<char> copy(strdup(name));
  void* grown = copy ? std::realloc(space_.names, (size_t{space_.count} + 1) * sizeof(char*)) : nullptr;
  if (grown == nullptr) {
    status = da_s_no_memory;
    logNoMemory();
    return;
  }
  space_.names = static_cast<char**>(grown);
  space_.names[space_.count++] = copy.release();
}

void GxPObjSpace::remFromObjSpace(char const* name, unsigned long& status) {
  status = s_name_missing_;
  if (name == nullptr) return;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < space_.count; ++i) {
    if (std::strcmp(space_.names[i], name) == 0) {
      std::free(space_.names[i]);
      status = 0;
    } else {
      space_.names[kept++] = space_.names[i];
    }
  }
  // The count is the number of names kept, so that a list read from a
  // record with repeated names stays consistent too.
  space_.count = kept;
  if (kept == 0) {
    std::free(space_.names);
    space_.names = nullptr;
  }
}

void GxPObjSpace::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_pobj_space, record, status);
}

void GxPObjSpace::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, space_);
}

void GxPObjSpace::decode(gxobj_t& record, unsigned long& status) {
  hx_asn_buffer_t buffer{record.length, record.data};
  pobjspace_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) return;
  release();
  space_ = pobjspace_s_t{decoded.count, decoded.names, 0, 0};
}

void GxPObjSpace::decode(gxobj_t const& record, GxPObjSpace** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}
