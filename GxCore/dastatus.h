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
constexpr unsigned long gx_s_group_at_end = 0x1005B30C;       // an action string ends with a group name
constexpr unsigned long gx_s_bad_pobj_name = 0x1005B1C9;      // invalid protected object name
constexpr unsigned long gx_s_bad_acl_name = 0x1005B2EE;
constexpr unsigned long gx_s_bad_pop_name = 0x1065212C;
constexpr unsigned long gx_s_bad_rule_name = 0x10652134;
// Effective policy at one protected object (daCachedStore::fetchACL,
// fetchPop, fetchRule, getExtAttributes).
constexpr unsigned long gx_s_acl_map_bad = 0x1005B1C3;     // the object-to-ACL map names no ACL or several
constexpr unsigned long gx_s_acl_missing = 0x1005B1C4;     // the ACL named by the map does not exist
constexpr unsigned long gx_s_no_ext_attr = 0x1005B1CF;     // no extended attributes (or no such policy)
constexpr unsigned long gx_s_pop_missing = 0x1005B1D0;     // the POP named by the map does not exist
constexpr unsigned long gx_s_rule_map_bad = 0x1005B1DA;    // the object-to-rule map names no rule or several
constexpr unsigned long gx_s_rule_missing = 0x1005B1DB;    // the rule named by the map does not exist
constexpr unsigned long gx_s_pop_map_bad = 0x1005B1DC;     // the object-to-POP map names no POP or several
constexpr unsigned long gx_s_bad_owner_type = 0x1005B38A;  // not an owner kind of extended attributes
constexpr unsigned long gx_s_pop_no_ipauth_list = 0x1005B5F1;      // the POP has no "popipauthlist"
constexpr unsigned long gx_s_pop_bad_ipauth_address = 0x14C01274;  // an IP-auth text is not an address

// The local policy replica and its file work.
constexpr unsigned long gx_s_file_remove_failed = 0x1354A2EE;   // a target file cannot be removed
constexpr unsigned long gx_s_file_rename_failed = 0x1354A2EF;   // a file cannot be renamed
constexpr unsigned long gx_s_file_chmod_failed = 0x1354A2F5;    // a file cannot be given mode 0600
constexpr unsigned long gx_s_file_missing = 0x1354A2F6;         // nothing to move: no such file
constexpr unsigned long bas_s_map_failed = 0x1065206B;          // a file cannot be mapped
constexpr unsigned long bas_s_unmap_failed = 0x1065206C;        // a file cannot be unmapped
constexpr unsigned long da_s_rebuild_start = 0x13279420;        // logged: a replica rebuild starts
constexpr unsigned long da_s_replace_failed = 0x13279425;       // the database file cannot be replaced
constexpr unsigned long da_s_rebuild_db_failed = 0x13279260;    // a rebuild failed on the database file
constexpr unsigned long da_s_rebuild_failed = 0x13279261;       // a rebuild failed
constexpr unsigned long da_m_replica_damaged = 0x13279430;      // logged: a damaged replica file was set aside
constexpr unsigned long gx_s_no_db_info = 0x1005B1C7;           // the database-information object is missing
constexpr unsigned long gx_s_db_too_old = 0x1005B1C5;           // the database version is below 0x600
constexpr unsigned long da_s_replica_rollback = 0x13279431;     // the master's copy is older than the replica
