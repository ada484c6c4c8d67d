// The directory back end of the user registry: users and groups read from
// an LDAP directory server through the OpenLDAP client library (libldap).
//
// Schema read:
//   users   inetOrgPerson entries under the user suffix, named by "uid"
//           (a user's name is the uid value of its RDN, else its first uid);
//   groups  groupOfNames entries under the group suffix, named by "cn",
//           members listed by DN in "member";
//   uuids   the directory's own "entryUUID" operational attribute, asked
//           for by name; lookups by uuid search "(entryUUID=<text form>)".
// Names are matched by the directory's matching rules (uid and cn ignore
// case); special filter characters in names are escaped. An empty suffix
// means the first naming context the server announces.
//
// Connection: one LDAP connection, made at open and remade when needed,
// simple bind with a bind DN and password ("" and "" bind anonymously).
// Servers are tried in the order given; "ldaps://" servers use TLS from the
// start, "ldap://" servers are asked for StartTLS when startTls is set. A
// server that refuses the connection, drops it or does not answer within
// the time-out is reported to the logger as down (state 0) and the next one
// is tried; a server reported down that answers again later is reported up
// (state 1). A bind refused for its credentials is not retried elsewhere.
//
// An optional cache keeps answers by name, by uuid and a user's groups, for
// a time and up to a number of entries per kind; a cache that fills up is
// emptied. Unknown names and uuids are not cached.
//
// Threads: every operation may be called from any thread. One mutex guards
// the connection (LDAP calls are made one at a time); the cache has its own
// mutex, taken after the connection's when both are held, so answers from
// the cache do not wait for a directory request in progress.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "outside/registry.h"

struct ldap;

namespace gxreg {

// Where and as whom to connect; fixed for the life of a registry (servers
// may be added with addServer).
struct LdapSettings {
  std::vector<std::string> servers;  // LDAP URIs, "ldap://host:port" or "ldaps://host:port"
  bool startTls = false;             // ask ldap:// servers for StartTLS before binding
  std::string caFile;                // PEM file of the CAs that vouch for TLS servers; empty: system default
  std::string bindDn, bindPassword;
  std::string userSuffix, groupSuffix;  // empty: the server's first naming context
};

// Tunable at any time (setOptions).
struct LdapOptions {
  int timeoutSeconds = 30;        // connecting, StartTLS and other requests; <= 0: wait without end
  int bindTimeoutSeconds = -1;    // the bind; <= 0: timeoutSeconds
  int searchTimeoutSeconds = -1;  // each search, asked of the server too; <= 0: timeoutSeconds
  int sizeLimit = 0;              // most entries one search may return; 0: no limit
  bool cacheEnabled = false;
  long userCacheSize = 1000;     // entries per direction; 0 turns the user cache off
  long groupCacheSize = 1000;    // the same for groups and memberships
  long userExpireSeconds = 600;
  long groupExpireSeconds = 600;  // also for memberships
  bool cacheMemberships = true;   // keep a user's groups in the cache
  bool cacheUsers = true;         // keep user lookups in the cache
  // The clock the cache reads; empty: std::chrono::steady_clock. Tests set it.
  std::function<std::chrono::steady_clock::time_point()> clock;
};

// Told of servers going down (state 0) and coming back (state 1). Called
// with the connection mutex held: it must not call back into the registry.
using LdapServerLogger = std::function<void(int state, std::string const& server)>;

// "host", "host:port", "ldap://host[:port]" or "ldaps://host[:port]" as an
// LDAP URI; a bare host gets ldaps when ssl is set, and defaultPort when it
// has no port. False (uri untouched) when text is empty, has a bad port or
// a scheme other than ldap and ldaps.
bool ldapServerUri(std::string const& text, bool ssl, int defaultPort, std::string& uri);

class LdapRegistry final : public Registry {
 public:
  // Connects and binds to the first server that answers. On success (0) out
  // holds the registry; otherwise out is left alone, message says what went
  // wrong and the status is udir_s_config_unreadable (no servers, a server
  // text that is not an LDAP URI, no suffix to search), udir_s_bind_refused
  // (the bind DN and password were refused) or reg_s_unavailable (no server
  // answered). ldapResult (when given) receives the last LDAP result code.
  static unsigned long open(LdapSettings const& settings, LdapOptions const& options, LdapServerLogger logger,
                            std::unique_ptr<LdapRegistry>& out, std::string& message, int* ldapResult = nullptr);
  ~LdapRegistry() override;  // unbinds
  LdapRegistry(LdapRegistry const&) = delete;
  LdapRegistry& operator=(LdapRegistry const&) = delete;

  // Registry lookups (outside/registry.h). Besides the statuses there:
  // reg_s_bad_name for an empty, NUL-holding or non-UTF-8 name;
  // reg_s_ambiguous when several user (or group) entries have the name;
  // reg_s_unavailable when no server answers, when the directory answers
  // oddly (an entryUUID that is not a uuid, a failed search) or when a
  // user's groups exceed the size limit. A name that parses as a uuid is
  // not searched for: reg_s_no_such_user / reg_s_no_such_group.
  unsigned long userUuid(std::string const& name, hx_uuid_t& uuid) override;
  unsigned long groupUuid(std::string const& name, hx_uuid_t& uuid) override;
  unsigned long userName(hx_uuid_t const& uuid, std::string& name) override;
  unsigned long groupName(hx_uuid_t const& uuid, std::string& name) override;
  unsigned long userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) override;

  // The name of the user whose entry is at dn (0), reg_s_no_such_user when
  // dn names no user entry, or as the lookups above. Not cached.
  unsigned long userNameOfDn(std::string const& dn, std::string& name);

  // Whether password is user's: the user's entry is found by name as
  // userUuid finds it, then bound to as that entry, with the password, on a
  // connection of its own to the server in use (TLS as configured), closed
  // at once. 0 when the directory accepts the bind; udir_s_bind_refused when
  // it refuses it, when the password is empty (an empty simple bind is an
  // unauthenticated one and proves nothing) or when no such user exists
  // (the caller cannot tell which); reg_s_bad_name, reg_s_ambiguous or
  // reg_s_unavailable as userUuid. Nothing is cached: a changed or locked
  // password takes effect at once. Thread-safe; the search takes the
  // registry's lock, the bind does not.
  unsigned long checkPassword(std::string const& user, std::string const& password);

  // Appends a server to try after the others. 0, or udir_s_config_unreadable
  // when text is not a server (see ldapServerUri; bare hosts get ssl and
  // defaultPort).
  unsigned long addServer(std::string const& text, bool ssl, int defaultPort);
  // Replaces the options; a change of cache settings empties the cache.
  void setOptions(LdapOptions const& options);
  LdapOptions options() const;
  // Replaces the server logger (empty: none).
  void setLogger(LdapServerLogger logger);
  // The servers in the order they are tried, and the one in use ("" when
  // not connected).
  std::vector<std::string> servers() const;
  std::string currentServer() const;
  std::string userSuffix() const;
  std::string groupSuffix() const;
  void clearCache();

 private:
  struct LdapDeleter {
    void operator()(ldap* ld) const;
  };
  using LdapPtr = std::unique_ptr<ldap, LdapDeleter>;
  struct Found {
    std::string dn;
    std::vector<std::string> values;
  };
  struct Cached {
    std::string text;                 // a name, or a uuid in text form
    std::vector<hx_uuid_t> uuids;     // memberships
    std::chrono::steady_clock::time_point expires;
  };
  using CacheMap = std::unordered_map<std::string, Cached>;
  enum class Kind { user, group };

  explicit LdapRegistry(LdapSettings settings);

  // All with mu_ held.
  unsigned long connectLocked(size_t first, std::string& message, int& ldapResult);
  unsigned long tryServerLocked(size_t index, std::string& message, int& ldapResult);
  // A connection to uri with this registry's options and TLS settings, not
  // yet bound: 0, udir_s_config_unreadable (uri unusable) or
  // reg_s_unavailable (TLS could not start).
  unsigned long openConnection(std::string const& uri, LdapPtr& out, std::string& message, int& ldapResult) const;
  // A simple bind as dn, waited for within the bind timeout: the LDAP result.
  int simpleBind(ldap* ld, std::string const& dn, std::string const& password) const;
  void reportLocked(size_t index, bool down);
  unsigned long findSuffixLocked(std::string& message);
  // One search (scope an LDAP_SCOPE_* value) with failover: 0 (found may be
  // empty: an absent base finds nothing), or reg_s_unavailable.
  unsigned long searchLocked(std::string const& base, int scope, std::string const& filter, char const* attr,
                             int sizeLimit, std::vector<Found>& found, bool& truncated);
  unsigned long searchOnce(std::string const& base, int scope, std::string const& filter, char const* attr,
                           int sizeLimit, std::vector<Found>& found, bool& truncated, int& rc);

  unsigned long nameToUuid(Kind kind, std::string const& name, hx_uuid_t& uuid);
  unsigned long uuidToName(Kind kind, hx_uuid_t const& uuid, std::string& name);
  std::string const& suffixOf(Kind kind) const;

  // The cached answer under key, unless the cache is off or it expired.
  bool cacheGet(CacheMap& map, std::string const& key, Cached& out);
  // Keeps value under key for the expire time of its kind (nothing when
  // the cache, or this use of it, is off); a map holding its kind's size
  // of entries is emptied first.
  void cachePut(CacheMap& map, std::string const& key, Cached value);
  std::chrono::steady_clock::time_point cacheNow() const;  // cacheMu_ held

  mutable std::mutex mu_;  // the connection, servers, options, logger
  LdapSettings settings_;
  LdapOptions options_;
  LdapServerLogger logger_;
  std::vector<bool> down_;  // per server: reported down and not yet up again
  LdapPtr ld_;
  size_t current_ = 0;  // index of the connected server

  mutable std::mutex cacheMu_;  // the maps and cacheOptions_
  LdapOptions cacheOptions_;    // a copy of options_ for the cache
  CacheMap userByName_, userByUuid_, groupByName_, groupByUuid_, membersOf_;
};

// Opens the LDAP registry an [ldap] stanza of the stanza file at path
// describes (outside/stanza.h), for tools:
//   host = dir.example.com        (required; also host:port or an LDAP URI)
//   port = 389                    ssl-port = 636    ssl-enabled = no
//   start-tls = no                ssl-keyfile = /etc/ssl/certs/dir-ca.pem
//   replica = dir2.example.com    (one line per server tried after host)
//   bind-dn = uid=reader,ou=people,dc=example,dc=com     bind-pwd = secret
//   user-suffix = ou=people,dc=example,dc=com   group-suffix = ou=groups,...
//   timeout = 30   search-timeout = 10   authn-timeout = 10   max-search-size = 0
//   cache-enabled = no   cache-user-size   cache-group-size
//   cache-user-expire-time   cache-group-expire-time
// Returns 0 with out set, a config_item_load status (stz_s_*: the file,
// line and what is wrong in message), udir_s_config_unreadable (no host,
// a bad server text) or a status of LdapRegistry::open; message says what
// was wrong.
unsigned long openLdapRegistryFile(std::string const& path, LdapServerLogger logger,
                                   std::unique_ptr<LdapRegistry>& out, std::string& message);

}  // namespace gxreg
