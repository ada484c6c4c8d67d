#include "GxCore/daRule.h"

#include "GxCore/daStoreObjectName.h"

daRule& daRule::operator=(daRule const& other) {
  if (this != &other) daPolicyObject::operator=(other);
  return *this;
}

void daRule::encode(gxobj_t& record, unsigned long& status) {
  status = 0;
  HXObject::init_gxobj(record, gx_type_rule);
  // On failure the attribute encoding leaves the record without bytes.
  HXObject::encode(record, status);
}

unsigned long daRule::encode(char const* name, char const* q, HXObject& attrs) {
  HXObject::encode(name, q, attrs);
  ZUTF8String_6_0 const* text = getText();
  ZUTF8String_6_0 const* reason = getReason();
  attrs.addStringValue(textAttr_, text ? text->getChars() : "", q);
  attrs.addStringValue(reasonAttr_, reason ? reason->getChars() : "", q);
  // An owning list: stringArrayValue stores clones, which the list frees.
  ZArrayList_6_0 adis(10, true);
  getADIList(adis);
  attrs.setStringArrayValue(adiListAttr_, adis, q);
  return 0;
}
