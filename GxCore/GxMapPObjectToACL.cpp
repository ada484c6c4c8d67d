#include "GxCore/GxMapPObjectToACL.h"

#include "GxCore/daStoreObjectName.h"

DA_POLICY_MAP_DEFINE_ATTACHED(GxMapPObjectToACL, gx_type_map_pobj_to_acl)
