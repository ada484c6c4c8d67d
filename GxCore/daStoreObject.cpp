#include "GxCore/daStoreObject.h"

#include <cstring>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxObjName.h"
#include "GxCore/daRule.h"
#include "GxCore/AznLocalSvr.h"
#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxMapACLToPObject.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/hxsvc.h"

unsigned int daStoreObject::hash() const {
  ZUTF8String_6_0 const& n = getName();
  return GxObjectName::hashText(n.getChars(), n.getLength());
}

int daStoreObject::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<daStoreObject const*>(&other);
  return o ? getName().compareTo(o->getName()) : ZObject_6_0::compare(other);
}

bool daStoreObject::equals(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<daStoreObject const*>(&other);
  return o && getName() == o->getName();
}

ZUTF8String_6_0 daStoreObject::getDescription() const {
  ZUTF8String_6_0 const* d = getStringValue("description", 0, nullptr);
  return d ? *d : ZUTF8String_6_0();
}

char const* daStoreObject::getShortName() const {
  ZUTF8String_6_0 const& n = getName();
  unsigned int last = n.lastIndexOf('/');
  if (last == ZAbstractString_6_0::notFound || n.getLength() == 1) return n.getChars();
  return n.getChars() + last + 1;
}

void daEncodeRecord(daStoreObject const& obj, uint32_t type, gxobj_t& record, unsigned long& status) {
  record.type = type;
  record.length = 0;
  record.data = nullptr;
  hx_asn_buffer_t buffer{0, nullptr};
  obj.encode(buffer, status);
  if (status != 0) return;
  record.length = buffer.length;
  record.data = buffer.data;
}

namespace {

// A class decoder: a new object from the record, or null with a status.
using ClassDecoder = daStoreObject* (*)(gxobj_t const&, unsigned long&);

// The decoder of each kind whose class exists; kinds are added here as their
// classes are written.
ClassDecoder decoderFor(uint32_t type) {
  switch (type) {
    case gx_type_acl:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxACL* o = nullptr;
        GxACL::decode(r, &o, st);
        return o;
      };
    case gx_type_action:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxAction* o = nullptr;
        GxAction::decode(r, &o, st);
        return o;
      };
    case gx_type_action_groups:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxActionGroups* o = nullptr;
        GxActionGroups::decode(r, &o, st);
        return o;
      };
    case gx_type_rule:
      // A rule comes back even when its attributes did not decode, together
      // with the decode status.
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        daRule* o = new (std::nothrow) daRule();
        if (!o) {
          st = da_s_no_memory;
          return nullptr;
        }
        gxobj_t view = r;  // the member decode only reads the bytes
        o->decode(view, st);
        return o;
      };
    case gx_type_pop:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxPop* o = nullptr;
        GxPop::decode(r, &o, st);
        return o;
      };
    case gx_type_pobj:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxPObj* o = nullptr;
        GxPObj::decode(r, &o, st);
        return o;
      };
    case gx_type_ext_attr:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxExtAttr* o = nullptr;
        GxExtAttr::decode(r, &o, st);
        return o;
      };
    case gx_type_pobj_space:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxPObjSpace* o = nullptr;
        GxPObjSpace::decode(r, &o, st);
        return o;
      };
    case gx_type_azn_server:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        AznLocalSvr* o = nullptr;
        AznLocalSvr::decode(r, &o, st);
        return o;
      };
    case gx_type_authzn_db_info:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxAuthznDBInfo* o = nullptr;
        GxAuthznDBInfo::decode(r, &o, st);
        return o;
      };
    case gx_type_map_pobj_to_acl:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxMapPObjectToACL* o = nullptr;
        GxMapPObjectToACL::decode(r, &o, st);
        return o;
      };
    case gx_type_map_acl_to_pobj:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxMapACLToPObject* o = nullptr;
        GxMapACLToPObject::decode(r, &o, st);
        return o;
      };
    case gx_type_map_pobj_to_pop:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxMapObjToPop* o = nullptr;
        GxMapObjToPop::decode(r, &o, st);
        return o;
      };
    case gx_type_map_pop_to_pobj:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        GxMapPopToObj* o = nullptr;
        GxMapPopToObj::decode(r, &o, st);
        return o;
      };
    case gx_type_map_pobj_to_rule:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        daMapObjToRule* o = nullptr;
        daMapObjToRule::decode(r, &o, st);
        return o;
      };
    case gx_type_map_rule_to_pobj:
      return [](gxobj_t const& r, unsigned long& st) -> daStoreObject* {
        daMapRuleToObj* o = nullptr;
        daMapRuleToObj::decode(r, &o, st);
        return o;
      };
    default:
      return nullptr;
  }
}

}  // namespace

void daStoreObject::decode(gxobj_t const& record, daStoreObject** object, unsigned long& status) {
  status = 0;
  if (!object) {
    status = da_s_unknown_type;
    return;
  }
  *object = nullptr;
  ClassDecoder decoder = decoderFor(record.type);
  if (!decoder) {
    status = da_s_unknown_type;
    return;
  }
  daStoreObject* obj = decoder(record, status);
  if (!obj) {
    if (status == 0) status = da_s_no_memory;
    HX_LOG(bas_svc_handle, 0, hx_svc_attr_info, da_s_no_memory, "");
    return;
  }
  obj->setName(ZUTF8String_6_0(record.key ? record.key : ""));
  *object = obj;
}
