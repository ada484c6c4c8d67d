// gxcore: the public headers of the library in one include -- what a host
// needs to read a replica and ask for decisions. Internals (the cache's hash
// table and state lock, the trace macros, the record encoders) are left out:
// a header that is not reached from here is not installed.
#pragma once

// Statuses and their text.
#include "GxCore/dastatus.h"
#include "outside/hxsvc.h"

// The policy classes: protected objects, ACLs and their evaluation, POPs,
// authorization rules, extended attributes, actions, addresses.
#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/acleval.h"
#include "GxCore/daRule.h"

// The decision: its record, the request's context, rules and audit.
#include "GxCore/db/daAudit.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daDecisionContext.h"
#include "GxCore/db/daRuleEngine.h"

// The stores and the replica clients. The HTTP client and snapshots
// (GxCore/remote/) are in the library gxcore-remote: include them only when
// linking it.
#include "GxCore/db/daAbstractReplicatedClient.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daLocalStore.h"

// User registries: the interface, the JSON file and the directory back ends.
#include "outside/file_registry.h"
#include "outside/ldap_registry.h"
#include "outside/registry.h"
