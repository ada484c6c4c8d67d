// LdapRegistry: lookups over one LDAP connection with failover and a cache.
#include "outside/ldap_registry.h"

#include <ldap.h>

#include <cctype>
#include <cstring>
#include <strings.h>

#include "outside/ZCollections.h"
#include "outside/ZString.h"
#include "outside/file_registry.h"
#include "outside/stanza.h"
#include "outside/udir.h"

namespace gxreg {

namespace {

constexpr char const* kUuidAttr = "entryUUID";

// Owns a search result.
struct MessageFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

// Results that mean the server is gone or did not answer in time: the next
// server is tried.
bool serverLost(int rc) {
  return rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_TIMEOUT || rc == LDAP_UNAVAILABLE ||
         rc == LDAP_BUSY || rc == LDAP_TIMELIMIT_EXCEEDED;
}

// value with the filter's special characters written as \hh.
std::string escapeFilterValue(std::string const& value) {
  static char const hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      out += '\\';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string uuidText(hx_uuid_t const& uuid) {
  char text[37];
  unsigned long st = 0;
  hx_uuid_to_string(uuid, text, st);
  return text;
}

// An entryUUID value as a uuid; false for anything but the 36-character form.
bool parseUuid(std::string const& text, hx_uuid_t& uuid) {
  if (text.size() != 36) return false;
  unsigned long st = 0;
  hx_uuid_t parsed{};
  hx_uuid_from_string(text.c_str(), parsed, st);
  if (st != 0) return false;
  uuid = parsed;
  return true;
}

// The value of dn's first RDN when that RDN is attr=value alone; else "".
std::string rdnValue(std::string const& dn, char const* attr) {
  LDAPDN parsed = nullptr;
  if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || !parsed) return "";
  std::string value;
  LDAPRDN rdn = parsed[0];
  if (rdn && rdn[0] && !rdn[1] && rdn[0]->la_attr.bv_val &&
      strncasecmp(rdn[0]->la_attr.bv_val, attr, rdn[0]->la_attr.bv_len) == 0 &&
      std::strlen(attr) == rdn[0]->la_attr.bv_len && rdn[0]->la_value.bv_val)
    value.assign(rdn[0]->la_value.bv_val, rdn[0]->la_value.bv_len);
  ldap_dnfree(parsed);
  return value;
}

timeval seconds(int s) {
  timeval tv{};
  tv.tv_sec = s;
  return tv;
}

}  // namespace

bool ldapServerUri(std::string const& text, bool ssl, int defaultPort, std::string& uri) {
  std::string rest = text;
  std::string scheme = ssl ? "ldaps" : "ldap";
  auto sep = rest.find("://");
  if (sep != std::string::npos) {
    scheme = rest.substr(0, sep);
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "ldap" && scheme != "ldaps") return false;
    rest = rest.substr(sep + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
  }
  if (rest.empty() || rest.find_first_of("/ \t?") != std::string::npos) return false;
  std::string host = rest;
  int port = defaultPort;
  // A port follows the last colon, except inside a bracketed IPv6 address.
  auto colon = rest.rfind(':');
  if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
    host = rest.substr(0, colon);
    std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    port = std::stoi(digits);
  }
  if (host.empty() || port <= 0 || port > 65535) return false;
  uri = scheme + "://" + host + ":" + std::to_string(port);
  return true;
}

void LdapRegistry::LdapDeleter::operator()(ldap* ld) const {
  if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
}

LdapRegistry::LdapRegistry(LdapSettings settings) : settings_(std::move(settings)) {
  down_.assign(settings_.servers.size(), false);
}

LdapRegistry::~LdapRegistry() = default;

unsigned long LdapRegistry::open(LdapSettings const& settings, LdapOptions const& options, LdapServerLogger logger,
                                 std::unique_ptr<LdapRegistry>& out, std::string& message, int* ldapResult) {
  message.clear();
  int rc = LDAP_SUCCESS;
  if (ldapResult) *ldapResult = rc;
  if (settings.servers.empty()) {
    message = "no LDAP server is configured";
    return udir_s_config_unreadable;
  }
  LdapSettings checked = settings;
  for (auto& s : checked.servers) {
    std::string uri;
    if (!ldapServerUri(s, false, LDAP_PORT, uri)) {
      message = "'" + s + "' is not an LDAP server (give ldap://host:port or ldaps://host:port)";
      return udir_s_config_unreadable;
    }
    s = uri;
  }
  std::unique_ptr<LdapRegistry> reg(new LdapRegistry(std::move(checked)));
  reg->options_ = options;
  reg->cacheOptions_ = options;
  reg->logger_ = std::move(logger);
  unsigned long status = 0;
  {
    std::lock_guard<std::mutex> hold(reg->mu_);
    status = reg->connectLocked(0, message, rc);
    if (status == 0) status = reg->findSuffixLocked(message);
  }
  if (ldapResult) *ldapResult = rc;
  if (status != 0) return status;
  out = std::move(reg);
  return 0;
}

// ---- connection -------------------------------------------------------------

void LdapRegistry::reportLocked(size_t index, bool down) {
  if (index >= down_.size() || down_[index] == down) return;
  down_[index] = down;
  if (logger_) logger_(down ? 0 : 1, settings_.servers[index]);
}

unsigned long LdapRegistry::openConnection(std::string const& uri, LdapPtr& out, std::string& message, int& rc) const {
  LDAP* raw = nullptr;
  rc = ldap_initialize(&raw, uri.c_str());
  LdapPtr ld(raw);
  if (rc != LDAP_SUCCESS || !ld) {
    message = "cannot use the LDAP server " + uri + ": " + ldap_err2string(rc);
    return udir_s_config_unreadable;
  }
  int version = LDAP_VERSION3;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (options_.timeoutSeconds > 0) {
    timeval tv = seconds(options_.timeoutSeconds);
    ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &tv);
    ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &tv);
  }
  bool ldaps = uri.rfind("ldaps://", 0) == 0;
  if (ldaps || settings_.startTls) {
    int demand = LDAP_OPT_X_TLS_DEMAND;
    ldap_set_option(ld.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    if (!settings_.caFile.empty()) ldap_set_option(ld.get(), LDAP_OPT_X_TLS_CACERTFILE, settings_.caFile.c_str());
    int server = 0;
    ldap_set_option(ld.get(), LDAP_OPT_X_TLS_NEWCTX, &server);
  }
  if (!ldaps && settings_.startTls) {
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      message = "the LDAP server " + uri + " cannot start TLS: " + ldap_err2string(rc);
      return reg_s_unavailable;
    }
  }
  out = std::move(ld);
  return 0;
}

int LdapRegistry::simpleBind(LDAP* ld, std::string const& dn, std::string const& password) const {
  berval cred{};
  cred.bv_val = const_cast<char*>(password.c_str());
  cred.bv_len = password.size();
  int msgid = -1;
  int rc = ldap_sasl_bind(ld, dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return rc;
  int limit = options_.bindTimeoutSeconds > 0 ? options_.bindTimeoutSeconds : options_.timeoutSeconds;
  timeval tv = seconds(limit);
  LDAPMessage* res = nullptr;
  int got = ldap_result(ld, msgid, LDAP_MSG_ALL, limit > 0 ? &tv : nullptr, &res);
  MessagePtr result(res);
  if (got == 0) return LDAP_TIMEOUT;
  if (got < 0 || !result) {
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
    return rc == LDAP_SUCCESS ? LDAP_SERVER_DOWN : rc;
  }
  int err = LDAP_OTHER;
  if (ldap_parse_result(ld, result.get(), &err, nullptr, nullptr, nullptr, nullptr, 0) != LDAP_SUCCESS) err = LDAP_OTHER;
  return err;
}

unsigned long LdapRegistry::tryServerLocked(size_t index, std::string& message, int& rc) {
  std::string const& uri = settings_.servers[index];
  LdapPtr ld;
  if (unsigned long st = openConnection(uri, ld, message, rc)) return st;
  rc = simpleBind(ld.get(), settings_.bindDn, settings_.bindPassword);
  if (rc == LDAP_SUCCESS) {
    ld_ = std::move(ld);
    current_ = index;
    return 0;
  }
  message = "the LDAP server " + uri + (serverLost(rc) ? " does not answer: " : " refused the bind as " +
                                                             settings_.bindDn + ": ") + ldap_err2string(rc);
  return serverLost(rc) ? reg_s_unavailable : udir_s_bind_refused;
}

unsigned long LdapRegistry::connectLocked(size_t first, std::string& message, int& rc) {
  ld_.reset();
  size_t n = settings_.servers.size();
  unsigned long status = reg_s_unavailable;
  std::string last;
  for (size_t k = 0; k < n; ++k) {
    size_t index = (first + k) % n;
    status = tryServerLocked(index, last, rc);
    if (status == 0) {
      reportLocked(index, false);
      return 0;
    }
    if (status != reg_s_unavailable) break;  // refused credentials or a bad server text: no failover
    reportLocked(index, true);
  }
  message = n > 1 && status == reg_s_unavailable ? "no LDAP server answers (last: " + last + ")" : last;
  return status;
}

unsigned long LdapRegistry::findSuffixLocked(std::string& message) {
  if (!settings_.userSuffix.empty() && !settings_.groupSuffix.empty()) return 0;
  std::vector<Found> found;
  bool truncated = false;
  unsigned long st = searchLocked("", LDAP_SCOPE_BASE, "(objectClass=*)", "namingContexts", 0, found, truncated);
  std::string context;
  if (st == 0 && !found.empty() && !found[0].values.empty()) context = found[0].values[0];
  if (context.empty()) {
    message = "no user or group suffix is configured and the LDAP server names no naming context";
    return udir_s_config_unreadable;
  }
  if (settings_.userSuffix.empty()) settings_.userSuffix = context;
  if (settings_.groupSuffix.empty()) settings_.groupSuffix = context;
  return 0;
}

unsigned long LdapRegistry::searchOnce(std::string const& base, int scope, std::string const& filter,
                                       char const* attr, int sizeLimit, std::vector<Found>& found, bool& truncated,
                                       int& rc) {
  found.clear();
  truncated = false;
  char* attrs[] = {const_cast<char*>(attr), nullptr};
  int limit = options_.searchTimeoutSeconds > 0 ? options_.searchTimeoutSeconds : options_.timeoutSeconds;
  timeval tv = seconds(limit);
  LDAPMessage* res = nullptr;
  rc = ldap_search_ext_s(ld_.get(), base.c_str(), scope, filter.c_str(), attrs, 0, nullptr, nullptr,
                         limit > 0 ? &tv : nullptr, sizeLimit, &res);
  MessagePtr result(res);
  if (rc == LDAP_NO_SUCH_OBJECT) return 0;  // the suffix itself is absent: nothing there
  if (rc == LDAP_SIZELIMIT_EXCEEDED) truncated = true;
  else if (rc != LDAP_SUCCESS) return reg_s_unavailable;
  for (LDAPMessage* e = ldap_first_entry(ld_.get(), result.get()); e; e = ldap_next_entry(ld_.get(), e)) {
    Found f;
    if (char* dn = ldap_get_dn(ld_.get(), e)) {
      f.dn = dn;
      ldap_memfree(dn);
    }
    if (berval** vals = ldap_get_values_len(ld_.get(), e, attr)) {
      for (int i = 0; vals[i]; ++i)
        if (vals[i]->bv_val) f.values.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
      ldap_value_free_len(vals);
    }
    found.push_back(std::move(f));
  }
  return 0;
}

unsigned long LdapRegistry::searchLocked(std::string const& base, int scope, std::string const& filter,
                                         char const* attr, int sizeLimit, std::vector<Found>& found, bool& truncated) {
  size_t n = settings_.servers.size();
  // Not connected: start again from the first server; otherwise stay on the
  // one in use and, when it is lost, go on with the next.
  size_t start = ld_ ? current_ : 0;
  for (size_t attempt = 0; attempt <= n; ++attempt) {
    std::string message;
    int rc = LDAP_SUCCESS;
    if (!ld_ && connectLocked(start, message, rc) != 0) return reg_s_unavailable;
    unsigned long st = searchOnce(base, scope, filter, attr, sizeLimit, found, truncated, rc);
    if (st == 0 || !serverLost(rc)) return st;
    reportLocked(current_, true);
    ld_.reset();
    start = (current_ + 1) % n;
  }
  return reg_s_unavailable;
}

// ---- lookups ------------------------------------------------------------------

std::string const& LdapRegistry::suffixOf(Kind kind) const {
  return kind == Kind::user ? settings_.userSuffix : settings_.groupSuffix;
}

unsigned long LdapRegistry::nameToUuid(Kind kind, std::string const& name, hx_uuid_t& uuid) {
  bool user = kind == Kind::user;
  unsigned long missing = user ? reg_s_no_such_user : reg_s_no_such_group;
  // A uuid is never a name: an entry whose uid or cn is another entry's
  // uuid text must not be found by it.
  if (looksLikeUuid(name)) return missing;
  if (!validRegistryName(name)) return reg_s_bad_name;
  CacheMap& cache = user ? userByName_ : groupByName_;
  Cached hit;
  if (cacheGet(cache, name, hit) && !hit.uuids.empty()) {
    uuid = hit.uuids[0];
    return 0;
  }
  std::string filter = user ? "(&(objectClass=inetOrgPerson)(uid=" + escapeFilterValue(name) + "))"
                            : "(&(objectClass=groupOfNames)(cn=" + escapeFilterValue(name) + "))";
  std::vector<Found> found;
  bool truncated = false;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (unsigned long st = searchLocked(suffixOf(kind), LDAP_SCOPE_SUBTREE, filter, kUuidAttr, 2, found, truncated))
      return st;
  }
  if (found.empty()) return missing;
  if (found.size() > 1 || truncated) return reg_s_ambiguous;  // several entries have the name
  hx_uuid_t parsed{};
  if (found[0].values.size() != 1 || !parseUuid(found[0].values[0], parsed)) return reg_s_unavailable;
  cachePut(cache, name, Cached{"", {parsed}, {}});
  uuid = parsed;
  return 0;
}

unsigned long LdapRegistry::checkPassword(std::string const& user, std::string const& password) {
  if (password.empty() || looksLikeUuid(user)) return udir_s_bind_refused;
  if (!validRegistryName(user)) return reg_s_bad_name;
  std::string filter = "(&(objectClass=inetOrgPerson)(uid=" + escapeFilterValue(user) + "))";
  std::vector<Found> found;
  bool truncated = false;
  std::string uri;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (unsigned long st = searchLocked(suffixOf(Kind::user), LDAP_SCOPE_SUBTREE, filter, kUuidAttr, 2, found, truncated))
      return st;
    if (current_ < settings_.servers.size()) uri = settings_.servers[current_];
  }
  if (found.empty()) return udir_s_bind_refused;
  if (found.size() > 1 || truncated) return reg_s_ambiguous;
  if (uri.empty()) return reg_s_unavailable;
  LdapPtr ld;
  std::string message;
  int rc = LDAP_SUCCESS;
  if (openConnection(uri, ld, message, rc) != 0) return reg_s_unavailable;
  rc = simpleBind(ld.get(), found[0].dn, password);
  if (rc == LDAP_SUCCESS) return 0;
  return serverLost(rc) ? reg_s_unavailable : udir_s_bind_refused;
}

unsigned long LdapRegistry::uuidToName(Kind kind, hx_uuid_t const& uuid, std::string& name) {
  bool user = kind == Kind::user;
  unsigned long missing = user ? reg_s_no_such_user : reg_s_no_such_group;
  std::string key = uuidText(uuid);
  CacheMap& cache = user ? userByUuid_ : groupByUuid_;
  Cached hit;
  if (cacheGet(cache, key, hit)) {
    name = hit.text;
    return 0;
  }
  char const* attr = user ? "uid" : "cn";
  std::string filter = std::string("(&(objectClass=") + (user ? "inetOrgPerson" : "groupOfNames") + ")(" +
                       kUuidAttr + "=" + key + "))";
  std::vector<Found> found;
  bool truncated = false;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (unsigned long st = searchLocked(suffixOf(kind), LDAP_SCOPE_SUBTREE, filter, attr, 2, found, truncated))
      return st;
  }
  if (found.empty()) return missing;
  if (found.size() > 1 || truncated) return reg_s_unavailable;
  std::string found0 = rdnValue(found[0].dn, attr);
  if (found0.empty() && !found[0].values.empty()) found0 = found[0].values[0];
  if (!validRegistryName(found0)) return reg_s_unavailable;
  cachePut(cache, key, Cached{found0, {}, {}});
  name = found0;
  return 0;
}

unsigned long LdapRegistry::userUuid(std::string const& name, hx_uuid_t& uuid) {
  return nameToUuid(Kind::user, name, uuid);
}
unsigned long LdapRegistry::groupUuid(std::string const& name, hx_uuid_t& uuid) {
  return nameToUuid(Kind::group, name, uuid);
}
unsigned long LdapRegistry::userName(hx_uuid_t const& uuid, std::string& name) {
  return uuidToName(Kind::user, uuid, name);
}
unsigned long LdapRegistry::groupName(hx_uuid_t const& uuid, std::string& name) {
  return uuidToName(Kind::group, uuid, name);
}

unsigned long LdapRegistry::userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) {
  std::string key = uuidText(user);
  Cached hit;
  if (cacheGet(membersOf_, key, hit)) {
    groups = hit.uuids;
    return 0;
  }
  std::vector<hx_uuid_t> result;
  {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<Found> found;
    bool truncated = false;
    std::string filter = std::string("(&(objectClass=inetOrgPerson)(") + kUuidAttr + "=" + key + "))";
    if (unsigned long st = searchLocked(settings_.userSuffix, LDAP_SCOPE_SUBTREE, filter, kUuidAttr, 2, found, truncated)) return st;
    if (found.empty()) return reg_s_no_such_user;
    if (found.size() > 1 || truncated || found[0].dn.empty()) return reg_s_unavailable;
    std::string dn = found[0].dn;
    filter = "(&(objectClass=groupOfNames)(member=" + escapeFilterValue(dn) + "))";
    if (unsigned long st = searchLocked(settings_.groupSuffix, LDAP_SCOPE_SUBTREE, filter, kUuidAttr, options_.sizeLimit, found,
                                        truncated))
      return st;
    // A partial list would make a caller look less privileged than it is
    // without saying so; refuse instead.
    if (truncated) return reg_s_unavailable;
    for (auto const& f : found) {
      hx_uuid_t g{};
      if (f.values.size() != 1 || !parseUuid(f.values[0], g)) return reg_s_unavailable;
      unsigned long ignored = 0;
      bool seen = false;
      for (auto const& r : result) seen = seen || hx_uuid_equal(r, g, ignored);
      if (!seen) result.push_back(g);
    }
  }
  cachePut(membersOf_, key, Cached{"", result, {}});
  groups = std::move(result);
  return 0;
}

unsigned long LdapRegistry::userNameOfDn(std::string const& dn, std::string& name) {
  if (!validRegistryName(dn)) return reg_s_bad_name;
  LDAPDN parsed = nullptr;
  if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return reg_s_bad_name;
  ldap_dnfree(parsed);
  std::vector<Found> found;
  bool truncated = false;
  {
    std::lock_guard<std::mutex> hold(mu_);
    // The entry itself; an absent entry or one of another class is no user.
    if (unsigned long st = searchLocked(dn, LDAP_SCOPE_BASE, "(objectClass=inetOrgPerson)", "uid", 1, found,
                                        truncated))
      return st;
  }
  if (found.empty()) return reg_s_no_such_user;
  std::string uid = rdnValue(dn, "uid");
  if (uid.empty() && !found[0].values.empty()) uid = found[0].values[0];
  if (!validRegistryName(uid)) return reg_s_no_such_user;
  name = uid;
  return 0;
}

// ---- settings -------------------------------------------------------------------

unsigned long LdapRegistry::addServer(std::string const& text, bool ssl, int defaultPort) {
  std::string uri;
  if (!ldapServerUri(text, ssl, defaultPort, uri)) return udir_s_config_unreadable;
  std::lock_guard<std::mutex> hold(mu_);
  settings_.servers.push_back(uri);
  down_.push_back(false);
  return 0;
}

void LdapRegistry::setOptions(LdapOptions const& options) {
  std::lock_guard<std::mutex> hold(mu_);
  bool cacheChanged = options.cacheEnabled != options_.cacheEnabled ||
                      options.userCacheSize != options_.userCacheSize ||
                      options.groupCacheSize != options_.groupCacheSize ||
                      options.userExpireSeconds != options_.userExpireSeconds ||
                      options.groupExpireSeconds != options_.groupExpireSeconds ||
                      options.cacheMemberships != options_.cacheMemberships ||
                      options.cacheUsers != options_.cacheUsers;
  options_ = options;
  std::lock_guard<std::mutex> cacheHold(cacheMu_);
  cacheOptions_ = options;
  if (cacheChanged)
    for (CacheMap* m : {&userByName_, &userByUuid_, &groupByName_, &groupByUuid_, &membersOf_}) m->clear();
}

LdapOptions LdapRegistry::options() const {
  std::lock_guard<std::mutex> hold(mu_);
  return options_;
}

void LdapRegistry::setLogger(LdapServerLogger logger) {
  std::lock_guard<std::mutex> hold(mu_);
  logger_ = std::move(logger);
}

std::vector<std::string> LdapRegistry::servers() const {
  std::lock_guard<std::mutex> hold(mu_);
  return settings_.servers;
}

std::string LdapRegistry::currentServer() const {
  std::lock_guard<std::mutex> hold(mu_);
  return ld_ ? settings_.servers[current_] : std::string();
}

std::string LdapRegistry::userSuffix() const {
  std::lock_guard<std::mutex> hold(mu_);
  return settings_.userSuffix;
}

std::string LdapRegistry::groupSuffix() const {
  std::lock_guard<std::mutex> hold(mu_);
  return settings_.groupSuffix;
}

// ---- cache ------------------------------------------------------------------------

std::chrono::steady_clock::time_point LdapRegistry::cacheNow() const {
  return cacheOptions_.clock ? cacheOptions_.clock() : std::chrono::steady_clock::now();
}

void LdapRegistry::clearCache() {
  std::lock_guard<std::mutex> hold(cacheMu_);
  for (CacheMap* m : {&userByName_, &userByUuid_, &groupByName_, &groupByUuid_, &membersOf_}) m->clear();
}

bool LdapRegistry::cacheGet(CacheMap& map, std::string const& key, Cached& out) {
  std::lock_guard<std::mutex> hold(cacheMu_);
  if (!cacheOptions_.cacheEnabled) return false;
  auto it = map.find(key);
  if (it == map.end()) return false;
  if (cacheNow() >= it->second.expires) {
    map.erase(it);
    return false;
  }
  out = it->second;
  return true;
}

void LdapRegistry::cachePut(CacheMap& map, std::string const& key, Cached value) {
  std::lock_guard<std::mutex> hold(cacheMu_);
  LdapOptions const& o = cacheOptions_;
  bool users = &map == &userByName_ || &map == &userByUuid_;
  bool memberships = &map == &membersOf_;
  if (!o.cacheEnabled || (users && !o.cacheUsers) || (memberships && !o.cacheMemberships)) return;
  long size = users ? o.userCacheSize : o.groupCacheSize;
  long expire = users ? o.userExpireSeconds : o.groupExpireSeconds;
  if (size <= 0 || expire <= 0) return;
  value.expires = cacheNow() + std::chrono::seconds(expire);
  if (map.size() >= static_cast<size_t>(size) && map.find(key) == map.end()) map.clear();
  map[key] = std::move(value);
}

// ---- configuration file ------------------------------------------------------------

unsigned long openLdapRegistryFile(std::string const& path, LdapServerLogger logger,
                                   std::unique_ptr<LdapRegistry>& out, std::string& message) {
  ZUTF8String_6_0 host, keyFile, bindDn, bindPwd, userSuffix, groupSuffix;
  ZArrayList_6_0 replicas(1, true);
  int port = 0, sslPort = 0, sslEnabled = 0, startTls = 0, cacheEnabled = 0;
  int timeout = -1, searchTimeout = -1, authnTimeout = -1, sizeLimit = 0;
  int userSize = -1, groupSize = -1, userExpire = -1, groupExpire = -1;
  char const* st = "ldap";
  ZStzFileItem_6_0 items[] = {
      {st, "host", stz_text, 1, &host, 0},
      {st, "port", stz_integer, 0, &port, 0},
      {st, "ssl-port", stz_integer, 0, &sslPort, 0},
      {st, "ssl-enabled", stz_boolean, 0, &sslEnabled, 0},
      {st, "start-tls", stz_boolean, 0, &startTls, 0},
      {st, "ssl-keyfile", stz_text, 0, &keyFile, 0},
      {st, "replica", stz_list, 0, &replicas, 0},
      {st, "bind-dn", stz_text, 0, &bindDn, 0},
      {st, "bind-pwd", stz_text, 0, &bindPwd, 0},
      {st, "user-suffix", stz_text, 0, &userSuffix, 0},
      {st, "group-suffix", stz_text, 0, &groupSuffix, 0},
      {st, "timeout", stz_integer, 0, &timeout, -1},
      {st, "search-timeout", stz_integer, 0, &searchTimeout, -1},
      {st, "authn-timeout", stz_integer, 0, &authnTimeout, -1},
      {st, "max-search-size", stz_integer, 0, &sizeLimit, 0},
      {st, "cache-enabled", stz_boolean, 0, &cacheEnabled, 0},
      {st, "cache-user-size", stz_integer, 0, &userSize, -1},
      {st, "cache-group-size", stz_integer, 0, &groupSize, -1},
      {st, "cache-user-expire-time", stz_integer, 0, &userExpire, -1},
      {st, "cache-group-expire-time", stz_integer, 0, &groupExpire, -1},
  };
  if (unsigned long status =
          config_item_load(path.c_str(), items, static_cast<int>(sizeof items / sizeof items[0]), 0, message))
    return status;
  bool ssl = sslEnabled != 0;
  int defaultPort = ssl ? (sslPort > 0 ? sslPort : LDAPS_PORT) : (port > 0 ? port : LDAP_PORT);
  LdapSettings settings;
  std::vector<std::string> texts{host.getChars()};
  for (unsigned i = 0; i < replicas.size(); ++i)
    if (auto const* r = dynamic_cast<ZUTF8String_6_0 const*>(replicas.get(i))) texts.push_back(r->getChars());
  for (auto const& t : texts) {
    std::string uri;
    if (!ldapServerUri(t, ssl, defaultPort, uri)) {
      message = path + ": '" + t + "' is not an LDAP server (give host, host:port, ldap://host:port or ldaps://host:port)";
      return udir_s_config_unreadable;
    }
    settings.servers.push_back(uri);
  }
  settings.startTls = startTls != 0;
  settings.caFile = keyFile.getChars();
  settings.bindDn = bindDn.getChars();
  settings.bindPassword = bindPwd.getChars();
  settings.userSuffix = userSuffix.getChars();
  settings.groupSuffix = groupSuffix.getChars();
  LdapOptions options;
  if (timeout >= 0) options.timeoutSeconds = timeout;
  options.searchTimeoutSeconds = searchTimeout;
  options.bindTimeoutSeconds = authnTimeout;
  options.sizeLimit = sizeLimit > 0 ? sizeLimit : 0;
  options.cacheEnabled = cacheEnabled != 0;
  if (userSize >= 0) options.userCacheSize = userSize;
  if (groupSize >= 0) options.groupCacheSize = groupSize;
  if (userExpire >= 0) options.userExpireSeconds = userExpire;
  if (groupExpire >= 0) options.groupExpireSeconds = groupExpire;
  unsigned long status = LdapRegistry::open(settings, options, std::move(logger), out, message);
  if (status != 0) message = path + ": " + message;
  return status;
}

}  // namespace gxreg
