// GxMapPObjectToACL: the object-to-ACL map of one protected object, stored
// as a record of type 0x501 under "/auth/pobject-map" followed by the
// object's path. It names the one ACL attached to the object (the map is
// absent when none is); its daAttachedPolicy part is where the cached store
// remembers the resolved ACL and its extended attributes. A copy or clone
// starts with an empty attached part; assignment copies it (one more
// counted reference on each handle). See GxCore/daPolicyObjectMap.h.
#pragma once

#include "GxCore/daAttachedPolicy.h"
#include "GxCore/daPolicyObjectMap.h"

class GxMapPObjectToACL : public daPolicyObjectMap, public daAttachedPolicy {
 public:
  DA_POLICY_MAP_CLASS(GxMapPObjectToACL);
};
