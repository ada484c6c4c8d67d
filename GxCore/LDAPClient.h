// LDAPClient: reads a process's LDAP user-registry settings from its
// configuration files and hands them to the registry access functions
// (outside/rqa.h): the server and port, the bind identity, TLS, replicas,
// cache sizes and time-outs, then binds. It also gives out, on request, the
// bind identity as a registry user name with its password, for components
// that must authenticate as the administrator.
//
// Two files, both stanza files (outside/stanza.h) with an [ldap] stanza:
// the main configuration file names, under "ldap-server-config", the server
// file, which says whether the registry is "enabled" and where it is
// ("host", "port", "ssl-port", "replica" lines, "max-search-size"); the main
// file holds the rest: bind-dn, bind-pwd, ssl-enabled, ssl-keyfile (a PEM
// file of the certificate authorities that vouch for the server), cache
// and time-out settings.
//
// Registry state is process-wide: enabled_ and the bind identity are
// class-wide. init, cleanup and the destructor change them without a lock
// and run once, before and after the threads that call
// getServerNamePasswd, which may run on any thread.
#pragma once

#include "outside/ZCollections.h"
#include "outside/ZString.h"

// Statuses.
constexpr unsigned long ldc_s_settings_missing = 0x1354A0B4;  // port, bind DN or password missing
constexpr unsigned long ldc_s_registry_failed = 0x1354A0BA;   // the registry refused to start, or is off
constexpr unsigned long ldc_s_replica_text = 0x1354A0BB;      // a replica text is not a server
constexpr unsigned long ldc_s_replica_refused = 0x1354A0BD;   // a replica was refused otherwise
// Messages logged through gxcore_svc_handle.
constexpr unsigned long ldc_m_settings_missing = 0x1354A0B5;  // "%s%s%s%s%s%s": file, stanza, the four keys
constexpr unsigned long ldc_m_init_failed = 0x1354A0B6;       // "%s%d%s%d%d": host, port, bind DN, result, detail
constexpr unsigned long ldc_m_replica_text = 0x1354A0BC;      // "%s": the replica
constexpr unsigned long ldc_m_replica_refused = 0x1354A0BE;   // "%s%x": the replica, the result
constexpr unsigned long ldc_m_server_down = 0x1354A0C0;       // "%s": the server (state 0)
constexpr unsigned long ldc_m_server_up = 0x1354A0C1;         // "%s": the server (any other state)

class LDAPClient {
 public:
  // Nothing read: no host, ports 0, every switch off, no replicas.
  LDAPClient();
  // Turns the registry off (enabled_ = 0), frees the bind identity, the
  // host, the TLS texts and the replicas.
  virtual ~LDAPClient();
  LDAPClient(LDAPClient const&) = delete;
  LDAPClient& operator=(LDAPClient const&) = delete;

  // Reads the main file configFile and the server file it names, and, when
  // the server file enables the registry, binds and sets up replicas,
  // cache and options. status: 0 (also when the registry is not enabled:
  // then nothing else happens); the loader's status when a file cannot be
  // read or holds a bad line or value (the loader logs it);
  // ldc_s_settings_missing when the port in use ("port", or "ssl-port" with
  // TLS), bind-dn or bind-pwd is missing (logged as
  // ldc_m_settings_missing, which names host among the keys to set);
  // ldc_s_registry_failed when the bind fails (logged as
  // ldc_m_init_failed; enabled_ becomes 0) -- also for a missing or empty
  // "host": it reads as the empty text, which is passed on to the registry
  // and refused there; a replica status as addReplica.
  void init(ZUTF8String_6_0& configFile, unsigned long& status);
  // Adds every replica, in order, until one is refused. Returns 1 with
  // status 0 when all were accepted; else 0 with ldc_s_replica_text
  // (logged as ldc_m_replica_text) or ldc_s_replica_refused (logged as
  // ldc_m_replica_refused).
  int addReplica(unsigned long& status);
  // Unbinds the registry; status 0.
  void cleanup(unsigned long& status);

  // The bind DN as a registry user name (asked of the registry once per
  // process), a copy of the bind password and its length. Returns 0 with
  // name and password new malloc'ed copies the caller frees, or
  // ldc_s_registry_failed (the registry is off, or the DN names no user)
  // with both left alone. Takes the name's mutex.
  static unsigned long getServerNamePasswd(char*& name, char*& password, int& length);

  static int enabled() { return enabled_; }

 private:
  char* host_ = nullptr;
  int port_ = 0;
  int sslPort_ = 0;
  int sslEnabled_ = 0;
  int cacheEnabled_ = 0;
  int preferReadWrite_ = 0;
  char* sslKeyFile_ = nullptr;
  char* sslKeyFileDn_ = nullptr;
  char* sslKeyFilePwd_ = nullptr;
  int sameSuffix_ = 0;
  int policyOverride_ = 0;
  ZArrayList_6_0 replicas_{1, true};

  static int enabled_;
  static char* adminDn_;
  static char* adminPwd_;
};

// The server-state callback given to the registry: logs ldc_m_server_up
// when state is nonzero and ldc_m_server_down when it is 0 (attribute 48,
// the server as insert).
void ldap_down_logger(int state, char const* server);
