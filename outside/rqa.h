// Registry access for the process: the settings of its one LDAP user
// registry (server, bind identity, replicas, time-outs, cache), the bind
// that opens it (rqa_rgy_init_utf8) and the unbind that drops it, the
// registry handle the domain manager hands out (udir_handle_t), and the
// name and uuid lookups that library code makes through such a handle
// (util_lookup_*). The registry itself is a gxreg::LdapRegistry
// (outside/ldap_registry.h); a handle may wrap any gxreg::Registry.
//
// Settings may be given before or after the bind: each change is passed on
// to the bound registry at once. Settings the lookups here have no use for
// (compare authentication, global policy cache, persistent login failures,
// user policy, write server) are kept and reported by rqa_get_state.
//
// While a registry is bound the udir table (outside/udir.h) is this
// module's: udir_is_registry() is true and udir_create_domain_handle()
// makes a handle on the bound registry. rqa_reg_unbind puts back the table
// it replaced.
//
// Threads: every function may be called from any thread; one mutex guards
// the settings and the registry pointer (it is not held during lookups).
// Handles keep their registry alive: one made before an unbind still works.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "outside/hxutil.h"
#include "outside/registry.h"
#include "outside/udir.h"

// Option numbers of rqa_set_option; every value is an int.
constexpr int rqa_opt_max_search_size = 0;         // most entries a search returns; 0 no limit
constexpr int rqa_opt_timeout = 7;                 // seconds for connecting and requests; < 0 library default
constexpr int rqa_opt_search_timeout = 8;          // seconds for one search; < 0 the general time-out
constexpr int rqa_opt_authn_timeout = 9;           // seconds for a bind; < 0 the general time-out
constexpr int rqa_opt_login_failures_persistent = 12;  // kept only

// Results of rqa_set_option and rqa_handle_server_add_from_string besides 0.
constexpr int rqa_e_bad_server_text = 213;  // not "host", "host:port" or an ldap:// or ldaps:// URI
constexpr int rqa_e_not_bound = 214;        // no registry is bound
constexpr int rqa_e_bad_option = 215;       // an option number not listed above, or a null value

// Server states given to the logger.
constexpr int rqa_server_down = 0;  // the server did not answer; the next one is tried
constexpr int rqa_server_up = 1;    // a server reported down answers again

using rqa_logger_fn = void (*)(int state, char const* server);

// ---- settings ------------------------------------------------------------------
// 0, or rqa_e_bad_option (nothing changes).
int rqa_set_option(int option, void const* value);
// *value = the option's value; 0 or rqa_e_bad_option (*value untouched).
int rqa_get_option(int option, int* value);
void rqa_auth_set_use_compare(int on);
// Turns the lookup cache on; negative sizes and expire times keep the
// back end's defaults (1000 entries, 600 s).
void rqa_cache_enable();
void rqa_cache_set_user_size(int entries);
void rqa_cache_set_group_size(int entries);
void rqa_cache_set_global_policy_size(int entries);
void rqa_cache_set_user_expire_time(int seconds);
void rqa_cache_set_group_expire_time(int seconds);
void rqa_cache_set_global_policy_expire_time(int seconds);
void rqa_cache_set_cache_group_membership(int on);
void rqa_cache_set_use_user_cache(int on);
void rqa_enable_no_user_policy();
// Groups are searched under the user suffix.
void rqa_enable_usergroup_same_suffix();
void rqa_handle_favour_write_server();
// The function told of servers going down and up (null: none). Called on
// the thread whose lookup met the server, with the registry's connection
// mutex held: it must not look anything up.
void rqa_handle_register_logger_fn(rqa_logger_fn fn);
// Where users and groups are searched (null or "": the server's naming
// context) and whether ldap:// servers are asked for StartTLS. Take effect
// at the next rqa_rgy_init_utf8.
void rqa_set_suffixes(char const* userSuffix, char const* groupSuffix);
void rqa_set_start_tls(int on);

// Everything set above, for callers that report their configuration.
struct rqa_state {
  int options[13] = {0, 0, 0, 0, 0, 0, 0, -1, -1, -1, 0, 0, 0};
  int useCompare = 0;
  int cacheEnabled = 0;
  int userSize = -1, groupSize = -1, policySize = -1;
  int userExpire = -1, groupExpire = -1, policyExpire = -1;
  int cacheGroupMembership = 1, useUserCache = 1;
  int noUserPolicy = 0, sameSuffix = 0, favourWriteServer = 0, startTls = 0;
  std::string userSuffix, groupSuffix;
  rqa_logger_fn logger = nullptr;
  std::vector<std::string> replicas;  // servers added after the bind, as URIs
  bool bound = false;
};
rqa_state rqa_get_state();
// Unbinds and forgets every setting (a process that configures its
// registry again from scratch; tests).
void rqa_reset();

// ---- bind ------------------------------------------------------------------------
// Binds as bindDn with bindPwd to host:port, over TLS (ldaps) when keyFile
// is given, keyFile then naming the PEM file of the certificate authorities
// that vouch for the server (keyFilePwd and keyFileDn are not needed for
// such a file and are ignored). Replaces a registry bound before. Returns
// 0, or a registry status as an int: udir_s_config_unreadable (no host, a
// bad port or host text, no suffix), udir_s_bind_refused, reg_s_unavailable
// (the server does not answer). *detail (when not null) gets the LDAP
// result code of the last attempt.
int rqa_rgy_init_utf8(char const* host, int port, char const* bindDn, char const* bindPwd, char const* keyFile,
                      char const* keyFilePwd, char const* keyFileDn, int* detail);
// Adds a server to try after the others, with the bind's TLS choice for a
// bare host (default port 389, or 636 with TLS). 0, rqa_e_bad_server_text
// or rqa_e_not_bound.
int rqa_handle_server_add_from_string(char const* text);
// Drops the bound registry (handles made from it keep working) and puts
// back the udir table. Nothing when none is bound.
void rqa_reg_unbind();
// The user name of the entry at dn (context is unused: the process's
// registry), as a malloc'ed text the caller frees; null when no registry
// is bound or dn names no user.
char* rqa_dn_to_user_utf8(void* context, char const* dn);
// The bound registry, or null.
std::shared_ptr<gxreg::Registry> rqa_registry();

// ---- handles and lookups -----------------------------------------------------------
// A new handle on registry for domain (null: ""); the caller frees it with
// udir_handle_free. Null for a null registry.
udir_handle_t udir_handle_new(std::shared_ptr<gxreg::Registry> registry, char const* domain);
void udir_handle_free(udir_handle_t handle);
// The udir table of this module (is_registry: a registry is bound).
udir_ops rqa_udir_ops();

// Uuid -> name: on success *name is a malloc'ed copy the caller frees and
// the result is 0. Name -> uuid: *uuid set, 0. Failures leave the
// out-parameter alone: reg_s_no_such_user / reg_s_no_such_group,
// reg_s_bad_name (a null or bad subject, a null out-parameter),
// reg_s_unavailable (a null handle, or as the registry says),
// 0x10652065 (no memory for the name). The domain is carried for the
// registry's sake; one registry serves every domain of the process.
unsigned long util_lookup_user(hx_uuid_t const* uuid, char** name, char const* domain, udir_handle_t handle);
unsigned long util_lookup_group(hx_uuid_t const* uuid, char** name, char const* domain, udir_handle_t handle);
unsigned long util_lookup_user_uuid(char const* name, hx_uuid_t* uuid, char const* domain, udir_handle_t handle);
unsigned long util_lookup_group_uuid(char const* name, hx_uuid_t* uuid, char const* domain, udir_handle_t handle);
