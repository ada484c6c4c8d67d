// Status codes shared by several class families. Every operation reports
// through an unsigned long status that it sets to 0 first; any other value
// is a 32-bit message id (hx_svc_status_text gives a short text for it).
#pragma once

constexpr unsigned long da_s_no_such_object = 0x132792F1;     // not in the database, or cached as absent
constexpr unsigned long da_s_unknown_type = 0x132792F2;       // a record of no known kind
constexpr unsigned long da_s_store_unavailable = 0x132792F4;  // the cached store is not open
constexpr unsigned long da_s_no_list = 0x132792EE;            // enumeration without a list
constexpr unsigned long da_s_old_format = 0x13279264;         // database file of the old format
constexpr unsigned long da_s_replica_current = 0x13279262;    // the replica needs no rebuild
constexpr unsigned long da_s_delete_no_object = 0x1005B1CA;   // nothing to delete under the key
constexpr unsigned long da_s_no_memory = 0x10652065;          // allocation failed
constexpr unsigned long gx_s_bad_action = 0x1005B2F1;         // unknown action letter or group
constexpr unsigned long gx_s_no_action_group = 0x1005B1D5;    // no action group of that name
constexpr unsigned long gx_s_bad_pobj_name = 0x1005B1C9;      // invalid protected object name
constexpr unsigned long gx_s_bad_acl_name = 0x1005B2EE;
constexpr unsigned long gx_s_bad_pop_name = 0x1065212C;
constexpr unsigned long gx_s_bad_rule_name = 0x10652134;
