// GxAuthznDBInfo: the database form.
#include "GxCore/GxAuthznDBInfo.h"

#include "GxCore/daStoreObjectName.h"
#include "outside/hxasn.h"

void GxAuthznDBInfo::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_authzn_db_info, record, status);
}

void GxAuthznDBInfo::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, info_);
}

void GxAuthznDBInfo::decode(gxobj_t& record, unsigned long& status) {
  hx_asn_buffer_t buffer{record.length, record.data};
  gxauthzn_db_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) return;
  set(decoded);
  hxAsnFreeObj(decoded);
}

void GxAuthznDBInfo::decode(gxobj_t const& record, GxAuthznDBInfo** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}
