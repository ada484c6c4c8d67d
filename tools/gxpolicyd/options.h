// The options of gxpolicyd: one definition that parses the command line,
// reads the configuration file (each option is a key there, see
// config_file.h) and writes the manual pages and completion (cli_docs.h).
#pragma once

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace gxpolicyd {

// Every option's value, with its default.
struct Args {
  std::string config;     // --config FILE
  bool checkConfig = false;  // --check-config
  std::string db, master, listen = "127.0.0.1:8181", registry, prefix, methods, domain = "Default";
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  double refresh = 10;
  double masterTimeout = 120, connectTimeout = 10;
  double maxAge = 0;
  std::size_t maxBody = 1 << 20;
  std::size_t maxBatch = 1000;
  unsigned connections = 16384;
  unsigned idleTimeout = 60;
  unsigned callerTtl = 60;
  std::string caFile, tokenFile, reviewTokenFile, authzenBaseUrl;
  bool insecure = false;
  bool allowRollback = false;
  std::vector<std::string> trust;
  std::string s3Endpoint, s3Region;  // for an s3:// master
  bool ociPlainHttp = false;         // an oci:// master over plain http  // --trust KEY.pub...: manifests must be signed by one of these keys
  std::string frontSecretFile;
  bool trustAnyFrontEnd = false;
  std::string pathAllow;
  bool authDenialBody = false;
  std::vector<std::string> attributeHeaders;
  std::size_t maxNameLength = 256;
  std::size_t maxGroups = 1024;
  std::size_t callerCacheBytes = 16 << 20;
  std::size_t maxBodiesTotal = 64 << 20;
  std::string socketMode = "660";
  std::string auditFile;
  bool auditSyslog = false;
  std::string auditSyslogSocket = "/dev/log";
  std::uint64_t auditMaxBytes = 0;
  unsigned auditKeep = 5;
  std::size_t auditQueue = 65536;
  std::string auditFull = "block";
  unsigned auditFlushMs = 5;
  bool auditStrict = false;
  unsigned auditFsyncMs = 1000;
  std::string auditLevel = "deny,error,warning";
  std::string doorbell;           // --doorbell URL
  unsigned doorbellWait = 30;     // --doorbell-wait SECONDS
  double freshnessWait = 1;       // --freshness-wait SECONDS
  unsigned freshnessWaiters = 64;  // --freshness-waiters N
  std::string serveSnapshots;     // --serve-snapshots DIR
  std::string snapshotsListen = "127.0.0.1:8282";  // --snapshots-listen ADDR:PORT
  unsigned snapshotsHeld = 256;   // --snapshots-held N
  // The administration mode: --db is the master, opened writable.
  bool admin = false;
  std::string adminTokenFile;
  bool adminBasic = false;
  std::string adminManagement = "/management";
  std::string adminPublish;
  std::vector<std::string> adminPublishSign;
  double adminPublishDelay = 0.05;
  std::string adminAnnounce;  // --admin-announce nats://HOST:PORT/SUBJECT
  std::string tlsCert, tlsKey, tlsClientCa;
  std::string consoleDir;  // "": the installed console (GXPOLICYD_CONSOLE_DIR) when it is there
  bool noConsole = false;
  unsigned consoleIdle = 15 * 60;  // seconds a console session lives without a request
};

// Adds every option of the service to app, bound to a's members, and
// --config and --check-config. Does not parse.
void defineOptions(CLI::App& app, Args& a);

// Options that cannot be keys of the configuration file: the ones that name
// or check it, and --version, --help.
std::vector<std::string> const& optionsNotInConfig();

}  // namespace gxpolicyd
