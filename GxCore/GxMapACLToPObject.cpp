#include "GxCore/GxMapACLToPObject.h"

#include "GxCore/daStoreObjectName.h"

DA_POLICY_MAP_DEFINE(GxMapACLToPObject, gx_type_map_acl_to_pobj)
