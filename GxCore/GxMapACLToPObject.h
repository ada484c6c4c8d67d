// GxMapACLToPObject: the ACL-to-object map of one ACL, stored as a record of
// type 0x502 under "/auth/acl-map" followed by the ACL's name. It names
// every protected object the ACL is attached to, in the order they were
// added. See GxCore/daPolicyObjectMap.h.
#pragma once

#include "GxCore/daPolicyObjectMap.h"

class GxMapACLToPObject : public daPolicyObjectMap {
 public:
  DA_POLICY_MAP_CLASS(GxMapACLToPObject);
};
