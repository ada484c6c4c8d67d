// LDAPClient: the registry settings from the configuration files to the
// registry access functions.
#include "GxCore/LDAPClient.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "GxCore/coretrace.h"
#include "outside/rqa.h"
#include "outside/stanza.h"

int LDAPClient::enabled_ = 0;
char* LDAPClient::adminDn_ = nullptr;
char* LDAPClient::adminPwd_ = nullptr;

namespace {

char* principalName = nullptr;
pthread_mutex_t principalName_mutex;
pthread_once_t principalName_once = PTHREAD_ONCE_INIT;

void principalNameInit() {
  principalName = nullptr;
  pthread_mutex_init(&principalName_mutex, nullptr);
}

// Holds a pthread mutex for its scope.
class MutexHold {
 public:
  explicit MutexHold(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
  ~MutexHold() { pthread_mutex_unlock(&m_); }
  MutexHold(MutexHold const&) = delete;
  MutexHold& operator=(MutexHold const&) = delete;

 private:
  pthread_mutex_t& m_;
};

// *slot becomes a copy of text (the old text freed).
void replace(char*& slot, char const* text) {
  char* copy = text ? strdup(text) : nullptr;
  std::free(slot);
  slot = copy;
}

constexpr char const* kStanza = "ldap";

}  // namespace

LDAPClient::LDAPClient() = default;

LDAPClient::~LDAPClient() {
  enabled_ = 0;
  replace(host_, nullptr);
  replace(adminDn_, nullptr);
  replace(adminPwd_, nullptr);
  replace(sslKeyFile_, nullptr);
  replace(sslKeyFileDn_, nullptr);
  replace(sslKeyFilePwd_, nullptr);
  replicas_.removeAll();
}

void LDAPClient::init(ZUTF8String_6_0& configFile, unsigned long& status) {
  status = 0;
  CoreTrace trace("LDAPClient::init", status, __FILE__, __LINE__);
  ZUTF8String_6_0 host, serverConfig, bindDn, bindPwd, keyFile, keyFileDn, keyFilePwd;
  int maxSearchSize = 0, useCompare = 0, overrideSupport = 0, sameSuffix = 0, sslEnabled = 0;
  int cacheEnabled = 0, preferReadWrite = 0, loginFailures = 0;
  int timeout = -1, searchTimeout = -1, authnTimeout = -1;
  int userSize = -1, groupSize = -1, policySize = -1, userExpire = -1, groupExpire = -1, policyExpire = -1;
  int groupMembership = 1, useUserCache = 1;

  // The server file's items first (read from the file the main file names),
  // then the main file's.
  ZStzFileItem_6_0 items[] = {
      {kStanza, "enabled", stz_boolean, 0, &enabled_, 0},
      {kStanza, "host", stz_text, 0, &host, 0},
      {kStanza, "port", stz_integer, 0, &port_, 0},
      {kStanza, "ssl-port", stz_integer, 0, &sslPort_, 0},
      {kStanza, "max-search-size", stz_integer, 0, &maxSearchSize, 0},
      {kStanza, "replica", stz_list, 0, &replicas_, 0},
      {kStanza, "ldap-server-config", stz_text, 1, &serverConfig, 0},
      {kStanza, "auth-using-compare", stz_boolean, 0, &useCompare, 0},
      {kStanza, "cache-enabled", stz_boolean, 0, &cacheEnabled, 0},
      {kStanza, "prefer-readwrite-server", stz_boolean, 0, &preferReadWrite, 0},
      {kStanza, "bind-dn", stz_text, 0, &bindDn, 0},
      {kStanza, "bind-pwd", stz_text, 0, &bindPwd, 0},
      {kStanza, "ssl-enabled", stz_boolean, 0, &sslEnabled, 0},
      {kStanza, "ssl-keyfile", stz_text, 0, &keyFile, 0},
      {kStanza, "ssl-keyfile-dn", stz_text, 0, &keyFileDn, 0},
      {kStanza, "ssl-keyfile-pwd", stz_text, 0, &keyFilePwd, 0},
      {kStanza, "default-policy-override-support", stz_boolean, 0, &overrideSupport, 0},
      {kStanza, "user-and-group-in-same-suffix", stz_boolean, 0, &sameSuffix, 0},
      {kStanza, "timeout", stz_integer, 0, &timeout, -1},
      {kStanza, "search-timeout", stz_integer, 0, &searchTimeout, -1},
      {kStanza, "authn-timeout", stz_integer, 0, &authnTimeout, -1},
      {kStanza, "cache-user-size", stz_integer, 0, &userSize, -1},
      {kStanza, "cache-group-size", stz_integer, 0, &groupSize, -1},
      {kStanza, "cache-policy-size", stz_integer, 0, &policySize, -1},
      {kStanza, "cache-user-expire-time", stz_integer, 0, &userExpire, -1},
      {kStanza, "cache-group-expire-time", stz_integer, 0, &groupExpire, -1},
      {kStanza, "cache-policy-expire-time", stz_integer, 0, &policyExpire, -1},
      {kStanza, "cache-group-membership", stz_boolean, 0, &groupMembership, 0},
      {kStanza, "cache-use-user-cache", stz_boolean, 0, &useUserCache, 0},
      {kStanza, "login-failures-persistent", stz_boolean, 0, &loginFailures, 0},
  };
  static_assert(sizeof items / sizeof items[0] == 30);

  status = config_item_load(configFile.getChars(), items + 6, 24, 0);
  if (status != 0) return;
  status = config_item_load(serverConfig.getChars(), items, 6, 0);
  if (status != 0) return;
  if (enabled_ == 0) return;

  replace(host_, host.getChars());
  if (bindDn.getLength() > 0) replace(adminDn_, bindDn.getChars());
  if (bindPwd.getLength() > 0) replace(adminPwd_, bindPwd.getChars());
  sslEnabled_ = sslEnabled;
  cacheEnabled_ = cacheEnabled;
  preferReadWrite_ = preferReadWrite;
  sameSuffix_ = sameSuffix;
  policyOverride_ = overrideSupport;
  int port = port_;
  if (sslEnabled_) {
    replace(sslKeyFile_, keyFile.getChars());
    if (keyFileDn.getLength() > 0) replace(sslKeyFileDn_, keyFileDn.getChars());
    if (keyFilePwd.getLength() > 0) replace(sslKeyFilePwd_, keyFilePwd.getChars());
    port = sslPort_;
  } else {
    replace(sslKeyFile_, nullptr);
  }

  if (!host_ || port == 0 || !adminDn_ || !adminPwd_) {
    HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_warning, ldc_m_settings_missing, "%s%s%s%s%s%s",
           configFile.getChars(), kStanza, "host", "port", "bind-dn", "bind-pwd");
    status = ldc_s_settings_missing;
    return;
  }
  if (policyOverride_) rqa_enable_no_user_policy();
  if (sameSuffix_) rqa_enable_usergroup_same_suffix();

  rqa_handle_register_logger_fn(&ldap_down_logger);
  int detail = 0;
  int result =
      rqa_rgy_init_utf8(host_, port, adminDn_, adminPwd_, sslKeyFile_, sslKeyFilePwd_, sslKeyFileDn_, &detail);
  if (result != 0) {
    HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_warning, ldc_m_init_failed, "%s%d%s%d%d", host_, port, adminDn_,
           result, detail);
    enabled_ = 0;
    status = ldc_s_registry_failed;
    return;
  }
  if (addReplica(status) == 0) return;

  if (cacheEnabled_) {
    rqa_cache_enable();
    if (userSize >= 0) rqa_cache_set_user_size(userSize);
    if (groupSize >= 0) rqa_cache_set_group_size(groupSize);
    if (policySize >= 0) rqa_cache_set_global_policy_size(policySize);
    if (userExpire >= 0) rqa_cache_set_user_expire_time(userExpire);
    if (groupExpire >= 0) rqa_cache_set_group_expire_time(groupExpire);
    if (policyExpire >= 0) rqa_cache_set_global_policy_expire_time(policyExpire);
    rqa_cache_set_cache_group_membership(groupMembership);
    rqa_cache_set_use_user_cache(useUserCache);
  }
  if (preferReadWrite_) rqa_handle_favour_write_server();
  if (timeout >= 0) rqa_set_option(rqa_opt_timeout, &timeout);
  if (authnTimeout >= 0) rqa_set_option(rqa_opt_authn_timeout, &authnTimeout);
  if (searchTimeout >= 0) rqa_set_option(rqa_opt_search_timeout, &searchTimeout);
  rqa_set_option(rqa_opt_max_search_size, &maxSearchSize);
  rqa_auth_set_use_compare(useCompare);
  rqa_set_option(rqa_opt_login_failures_persistent, &loginFailures);
  status = 0;
}

int LDAPClient::addReplica(unsigned long& status) {
  status = 0;
  for (unsigned int i = 0; i < replicas_.size() && status == 0; ++i) {
    auto const* text = dynamic_cast<ZUTF8String_6_0 const*>(replicas_.get(i));
    char const* chars = text ? text->getChars() : "";
    int result = rqa_handle_server_add_from_string(chars);
    if (result == rqa_e_bad_server_text) {
      status = ldc_s_replica_text;
      HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_warning, ldc_m_replica_text, "%s", chars);
    } else if (result != 0) {
      status = ldc_s_replica_refused;
      HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_warning, ldc_m_replica_refused, "%s%x", chars,
             static_cast<unsigned>(result));
    }
  }
  return status == 0 ? 1 : 0;
}

void LDAPClient::cleanup(unsigned long& status) {
  rqa_reg_unbind();
  status = 0;
}

unsigned long LDAPClient::getServerNamePasswd(char*& name, char*& password, int& length) {
  pthread_once(&principalName_once, &principalNameInit);
  if (enabled_ == 0) return ldc_s_registry_failed;
  char* nameCopy = nullptr;
  {
    MutexHold hold(principalName_mutex);
    if (!principalName) principalName = rqa_dn_to_user_utf8(nullptr, adminDn_);
    if (!principalName) return ldc_s_registry_failed;
    nameCopy = strdup(principalName);
  }
  char* passwordCopy = strdup(adminPwd_ ? adminPwd_ : "");
  if (!nameCopy || !passwordCopy) {
    std::free(nameCopy);
    std::free(passwordCopy);
    return ldc_s_registry_failed;
  }
  name = nameCopy;
  password = passwordCopy;
  length = static_cast<int>(std::strlen(passwordCopy));
  return 0;
}

void ldap_down_logger(int state, char const* server) {
  HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_error, state ? ldc_m_server_up : ldc_m_server_down, "%s",
         server ? server : "");
}
