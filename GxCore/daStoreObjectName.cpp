#include "GxCore/daStoreObjectName.h"

#include <cstring>
#include <new>

#include "GxCore/GxMapACLToPObject.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/dastatus.h"
#include "outside/hxsvc.h"
#include "outside/hxutil.h"

namespace {

constexpr unsigned long kBadAclName = gx_s_bad_acl_name;
constexpr unsigned long kBadPopName = gx_s_bad_pop_name;
constexpr unsigned long kBadRuleName = gx_s_bad_rule_name;
constexpr unsigned long kBadPObjName = gx_s_bad_pobj_name;
constexpr unsigned int kMaxPolicyNameBytes = 8192;

bool sameText(char const* a, char const* b) {
  if (!a || !b) return a == b;
  return std::strcmp(a, b) == 0;
}

void logBadPObjName(char const* path) {
  HX_LOG(gxacl_svc_handle, 0, hx_svc_attr_warning, kBadPObjName, "%s", path ? path : "");
}

}  // namespace

// ---- daStoreObjectName -------------------------------------------------------

daStoreObjectName::daStoreObjectName(int type, char shortName, char const* base) : type_(type), base_(base) {
  char text[2] = {shortName, '\0'};
  name_ = text;
}

bool daStoreObjectName::equals(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<daStoreObjectName const*>(&other);
  return o && getTypeID() == o->getTypeID() && sameText(getBaseName(), o->getBaseName()) && value() == o->value();
}

daStoreObjectName* daStoreObjectName::newObject(char const* shortName) const {
  return new daStoreObjectName(type_, shortName, base_, prefix_);
}

void daStoreObjectName::getFullName(GxObjectName& full) const {
  full.clear();
  if (char const* prefix = getPrefixName()) full.append(prefix);
  if (char const* base = getBaseName()) full.append(base);
  full.append(getShortName());
}

int daStoreObjectName::isValid(char const* text) {
  static constexpr char allowed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
  return text && *text && gx_mbs_checkchars2(text, allowed);
}

// ---- daPolicyName and the three policy kinds ---------------------------------

daPolicyName::daPolicyName(int type, int policyToObjectMapType, int, char const* shortName, char const* base,
                           char const* mapBase)
    : daStoreObjectName(type, shortName, base),
      mapBase_(mapBase),
      mapName_(policyToObjectMapType, shortName, mapBase),
      extAttrName_(gx_type_ext_attr, shortName, base, extAttrBasename_) {}

void daPolicyName::setShortName(char const* shortName) {
  daStoreObjectName::setShortName(shortName);
  mapName_.setShortName(shortName);
  extAttrName_.setShortName(shortName);
}

int daPolicyName::isValid(char const* text) {
  if (!text || !*text || std::strlen(text) > kMaxPolicyNameBytes) return 0;
  return utf8_validchars(text, " /");
}

unsigned long daAclName::isValid(char const* text) { return daPolicyName::isValid(text) ? 0 : kBadAclName; }
unsigned long daPopName::isValid(char const* text) { return daPolicyName::isValid(text) ? 0 : kBadPopName; }
unsigned long daRuleName::isValid(char const* text) { return daPolicyName::isValid(text) ? 0 : kBadRuleName; }

daPolicyObjectMap* daAclName::policyToObjMapFactory() const { return new (std::nothrow) GxMapACLToPObject(); }
daPolicyObjectMap* daAclName::objToPolicyMapFactory() const { return new (std::nothrow) GxMapPObjectToACL(); }
daPolicyObjectMap* daPopName::policyToObjMapFactory() const { return new (std::nothrow) GxMapPopToObj(); }
daPolicyObjectMap* daPopName::objToPolicyMapFactory() const { return new (std::nothrow) GxMapObjToPop(); }
daPolicyObjectMap* daRuleName::policyToObjMapFactory() const { return new (std::nothrow) daMapRuleToObj(); }
daPolicyObjectMap* daRuleName::objToPolicyMapFactory() const { return new (std::nothrow) daMapObjToRule(); }

// ---- daPObjName --------------------------------------------------------------

daPObjName::daPObjName(char const* path) : daStoreObjectName(gx_type_pobj, separatorStr_, pobjbasename_) {
  if (path && path[0] == separator_) ++path;
  append(path);
}

void daPObjName::setShortName(char const* path) {
  name_ = path;
  clearDerived();
}

void daPObjName::walkUp() {
  GxObjectName::walkUp();
  clearDerived();
}

void daPObjName::walkDown(daPObjName& partial) const {
  GxObjectName::walkDown(static_cast<GxObjectName&>(partial));
  partial.clearDerived();
}

void daPObjName::clearDerived() {
  for (auto* n : {&aclMap_, &popMap_, &ruleMap_, &extAttr_})
    if (n->getLength() != 0) n->clear();
}

daStoreObjectName const& daPObjName::derived(daStoreObjectName& n, int type, char const* base,
                                             char const* prefix) const {
  if (n.getLength() == 0) n = daStoreObjectName(type, getShortName(), base, prefix);
  return n;
}

daStoreObjectName const& daPObjName::getPObjToAclMapName() const {
  return derived(aclMap_, gx_type_map_pobj_to_acl, pobjtoaclmapbasename_, nullptr);
}
daStoreObjectName const& daPObjName::getPObjToPopMapName() const {
  return derived(popMap_, gx_type_map_pobj_to_pop, pobjtopopmapbasename_, nullptr);
}
daStoreObjectName const& daPObjName::getPObjToRuleMapName() const {
  return derived(ruleMap_, gx_type_map_pobj_to_rule, pobjtorulemapbasename_, nullptr);
}
daStoreObjectName const& daPObjName::getExtAttrName() const {
  return derived(extAttr_, gx_type_ext_attr, pobjbasename_, extattrbasename_);
}

unsigned long daPObjName::isValid(char const* path) {
  ZUTF8String_6_0 copy(path);
  if (path && GxObjectName::valid(copy)) return 0;
  logBadPObjName(path);
  return kBadPObjName;
}

unsigned long daPObjName::validateAndFix(ZUTF8String_6_0& text) {
  if (GxObjectName::valid(text)) return 0;
  logBadPObjName(text.getChars());
  return kBadPObjName;
}

unsigned long daPObjName::validateAndFix() {
  if (valid()) {
    clearDerived();
    return 0;
  }
  logBadPObjName(getChars());
  return kBadPObjName;
}

int daDomainName::isValid(char const* text) {
  static constexpr char allowed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._+-@&*";
  return text && *text && gx_mbs_checkchars2(text, allowed) ? 1 : 0;
}
