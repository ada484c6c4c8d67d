// The process's registry settings and bind, registry handles and lookups.
#include "outside/rqa.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "outside/ldap_registry.h"

struct udir_domain_handle_s {
  std::shared_ptr<gxreg::Registry> registry;
  std::string domain;
};

namespace {

constexpr unsigned long kNoMemory = 0x10652065;

struct Process {
  std::mutex mu;
  rqa_state state;
  std::shared_ptr<gxreg::LdapRegistry> registry;
  bool tls = false;  // the bound registry uses ldaps for bare replica hosts
  bool opsInstalled = false;
  udir_ops previousOps{};
};

Process& process() {
  static Process p;
  return p;
}

bool knownOption(int option) {
  return option == rqa_opt_max_search_size || option == rqa_opt_timeout || option == rqa_opt_search_timeout ||
         option == rqa_opt_authn_timeout || option == rqa_opt_login_failures_persistent;
}

// The back end's options from the settings; -1 keeps a default.
gxreg::LdapOptions optionsOf(rqa_state const& s) {
  gxreg::LdapOptions o;
  if (s.options[rqa_opt_timeout] >= 0) o.timeoutSeconds = s.options[rqa_opt_timeout];
  o.searchTimeoutSeconds = s.options[rqa_opt_search_timeout];
  o.bindTimeoutSeconds = s.options[rqa_opt_authn_timeout];
  o.sizeLimit = s.options[rqa_opt_max_search_size] > 0 ? s.options[rqa_opt_max_search_size] : 0;
  o.cacheEnabled = s.cacheEnabled != 0;
  if (s.userSize >= 0) o.userCacheSize = s.userSize;
  if (s.groupSize >= 0) o.groupCacheSize = s.groupSize;
  if (s.userExpire >= 0) o.userExpireSeconds = s.userExpire;
  if (s.groupExpire >= 0) o.groupExpireSeconds = s.groupExpire;
  o.cacheMemberships = s.cacheGroupMembership != 0;
  o.cacheUsers = s.useUserCache != 0;
  return o;
}

gxreg::LdapServerLogger loggerOf(rqa_logger_fn fn) {
  if (!fn) return {};
  return [fn](int state, std::string const& server) { fn(state, server.c_str()); };
}

// Changes the settings under the lock and passes them on to a bound registry.
template <class F>
void change(F f) {
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  f(p.state);
  if (p.registry) {
    p.registry->setOptions(optionsOf(p.state));
    p.registry->setLogger(loggerOf(p.state.logger));
  }
}

bool isRegistry() {
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  return p.registry != nullptr;
}

unsigned long createHandle(udir_handle_t* handle, char const*, char const* domain) {
  std::shared_ptr<gxreg::Registry> reg = rqa_registry();
  if (!reg) return udir_s_handle_failed;
  *handle = udir_handle_new(std::move(reg), domain);
  return *handle ? 0 : udir_s_handle_failed;
}

gxreg::Registry* registryOf(udir_handle_t handle) { return handle ? handle->registry.get() : nullptr; }

unsigned long lookupName(hx_uuid_t const* uuid, char** name, udir_handle_t handle, bool user) {
  if (!uuid || !name) return reg_s_bad_name;
  gxreg::Registry* reg = registryOf(handle);
  if (!reg) return reg_s_unavailable;
  std::string found;
  unsigned long st = user ? reg->userName(*uuid, found) : reg->groupName(*uuid, found);
  if (st != 0) return st;
  char* copy = strdup(found.c_str());
  if (!copy) return kNoMemory;
  *name = copy;
  return 0;
}

unsigned long lookupUuid(char const* name, hx_uuid_t* uuid, udir_handle_t handle, bool user) {
  if (!name || !uuid) return reg_s_bad_name;
  gxreg::Registry* reg = registryOf(handle);
  if (!reg) return reg_s_unavailable;
  hx_uuid_t found{};
  unsigned long st = user ? reg->userUuid(name, found) : reg->groupUuid(name, found);
  if (st == 0) *uuid = found;
  return st;
}

}  // namespace

// ---- settings -----------------------------------------------------------------------

int rqa_set_option(int option, void const* value) {
  if (!knownOption(option) || !value) return rqa_e_bad_option;
  int v = *static_cast<int const*>(value);
  change([&](rqa_state& s) { s.options[option] = v; });
  return 0;
}

int rqa_get_option(int option, int* value) {
  if (!knownOption(option) || !value) return rqa_e_bad_option;
  *value = rqa_get_state().options[option];
  return 0;
}

void rqa_auth_set_use_compare(int on) { change([&](rqa_state& s) { s.useCompare = on; }); }
void rqa_cache_enable() { change([](rqa_state& s) { s.cacheEnabled = 1; }); }
void rqa_cache_set_user_size(int n) { change([&](rqa_state& s) { s.userSize = n; }); }
void rqa_cache_set_group_size(int n) { change([&](rqa_state& s) { s.groupSize = n; }); }
void rqa_cache_set_global_policy_size(int n) { change([&](rqa_state& s) { s.policySize = n; }); }
void rqa_cache_set_user_expire_time(int t) { change([&](rqa_state& s) { s.userExpire = t; }); }
void rqa_cache_set_group_expire_time(int t) { change([&](rqa_state& s) { s.groupExpire = t; }); }
void rqa_cache_set_global_policy_expire_time(int t) { change([&](rqa_state& s) { s.policyExpire = t; }); }
void rqa_cache_set_cache_group_membership(int on) { change([&](rqa_state& s) { s.cacheGroupMembership = on; }); }
void rqa_cache_set_use_user_cache(int on) { change([&](rqa_state& s) { s.useUserCache = on; }); }
void rqa_enable_no_user_policy() { change([](rqa_state& s) { s.noUserPolicy = 1; }); }
void rqa_enable_usergroup_same_suffix() { change([](rqa_state& s) { s.sameSuffix = 1; }); }
void rqa_handle_favour_write_server() { change([](rqa_state& s) { s.favourWriteServer = 1; }); }
void rqa_handle_register_logger_fn(rqa_logger_fn fn) { change([&](rqa_state& s) { s.logger = fn; }); }
void rqa_set_start_tls(int on) { change([&](rqa_state& s) { s.startTls = on; }); }

void rqa_set_suffixes(char const* userSuffix, char const* groupSuffix) {
  change([&](rqa_state& s) {
    s.userSuffix = userSuffix ? userSuffix : "";
    s.groupSuffix = groupSuffix ? groupSuffix : "";
  });
}

rqa_state rqa_get_state() {
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  rqa_state s = p.state;
  s.bound = p.registry != nullptr;
  return s;
}

void rqa_reset() {
  rqa_reg_unbind();
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  p.state = rqa_state{};
}

// ---- bind -------------------------------------------------------------------------

int rqa_rgy_init_utf8(char const* host, int port, char const* bindDn, char const* bindPwd, char const* keyFile,
                      char const* keyFilePwd, char const* keyFileDn, int* detail) {
  (void)keyFilePwd;
  (void)keyFileDn;
  if (detail) *detail = 0;
  bool tls = keyFile != nullptr;
  std::string uri;
  if (!host || port <= 0 || !gxreg::ldapServerUri(std::string(host) + ":" + std::to_string(port), tls, port, uri))
    return static_cast<int>(udir_s_config_unreadable);
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  gxreg::LdapSettings settings;
  settings.servers = {uri};
  settings.startTls = p.state.startTls != 0 && !tls;
  settings.caFile = keyFile ? keyFile : "";
  settings.bindDn = bindDn ? bindDn : "";
  settings.bindPassword = bindPwd ? bindPwd : "";
  settings.userSuffix = p.state.userSuffix;
  settings.groupSuffix = p.state.sameSuffix && !p.state.userSuffix.empty() ? p.state.userSuffix : p.state.groupSuffix;
  std::unique_ptr<gxreg::LdapRegistry> reg;
  std::string message;
  int rc = 0;
  unsigned long st =
      gxreg::LdapRegistry::open(settings, optionsOf(p.state), loggerOf(p.state.logger), reg, message, &rc);
  if (detail) *detail = rc;
  if (st != 0) return static_cast<int>(st);
  p.registry = std::move(reg);
  p.tls = tls;
  p.state.replicas.clear();
  if (!p.opsInstalled) {
    p.previousOps = udir_set_ops(rqa_udir_ops());
    p.opsInstalled = true;
  }
  return 0;
}

int rqa_handle_server_add_from_string(char const* text) {
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  if (!p.registry) return rqa_e_not_bound;
  if (!text) return rqa_e_bad_server_text;
  if (p.registry->addServer(text, p.tls, p.tls ? 636 : 389) != 0) return rqa_e_bad_server_text;
  p.state.replicas.push_back(p.registry->servers().back());
  return 0;
}

void rqa_reg_unbind() {
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  p.registry.reset();
  p.state.replicas.clear();
  if (p.opsInstalled) {
    udir_set_ops(p.previousOps);
    p.opsInstalled = false;
  }
}

char* rqa_dn_to_user_utf8(void*, char const* dn) {
  std::shared_ptr<gxreg::LdapRegistry> reg;
  {
    Process& p = process();
    std::lock_guard<std::mutex> hold(p.mu);
    reg = p.registry;
  }
  if (!reg || !dn) return nullptr;
  std::string name;
  if (reg->userNameOfDn(dn, name) != 0) return nullptr;
  return strdup(name.c_str());
}

std::shared_ptr<gxreg::Registry> rqa_registry() {
  Process& p = process();
  std::lock_guard<std::mutex> hold(p.mu);
  return p.registry;
}

// ---- handles and lookups -------------------------------------------------------------

udir_handle_t udir_handle_new(std::shared_ptr<gxreg::Registry> registry, char const* domain) {
  if (!registry) return nullptr;
  return new (std::nothrow) udir_domain_handle_s{std::move(registry), domain ? domain : ""};
}

void udir_handle_free(udir_handle_t handle) { delete handle; }

udir_ops rqa_udir_ops() { return udir_ops{&isRegistry, &createHandle}; }

unsigned long util_lookup_user(hx_uuid_t const* uuid, char** name, char const*, udir_handle_t handle) {
  return lookupName(uuid, name, handle, true);
}
unsigned long util_lookup_group(hx_uuid_t const* uuid, char** name, char const*, udir_handle_t handle) {
  return lookupName(uuid, name, handle, false);
}
unsigned long util_lookup_user_uuid(char const* name, hx_uuid_t* uuid, char const*, udir_handle_t handle) {
  return lookupUuid(name, uuid, handle, true);
}
unsigned long util_lookup_group_uuid(char const* name, hx_uuid_t* uuid, char const*, udir_handle_t handle) {
  return lookupUuid(name, uuid, handle, false);
}
