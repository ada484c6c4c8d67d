// gxpolicyd: authorization decisions over HTTP from a local read-only
// replica of a policy database, for services in any language and for web
// servers (nginx auth_request). See tools/gxpolicyd/service.h for the
// endpoints and README.md for running it behind nginx.
//
//   gxpolicyd --db REPLICA [--master FILE|URL] [--listen ADDR:PORT] [--threads N]
//             [--registry CONFIG] [--prefix /web] [--methods GET=r,POST=m,...]
//             [--front-secret-file FILE | --listen unix:PATH]
//             [--review-token-file FILE] [--authzen-base-url URL]
//             [--audit-file PATH [--audit-max-bytes N --audit-keep N] | --audit-syslog [--audit-syslog-socket PATH]]
//             [--audit-queue N] [--audit-full block|drop] [--audit-flush-ms N]
//             [--audit-strict] [--audit-fsync-ms N]
//             [--doorbell URL [--doorbell-wait S]] [--freshness-wait S] [--freshness-waiters N]
//             [--serve-snapshots DIR [--snapshots-listen ADDR:PORT] [--snapshots-held N]]
//   gxpolicyd --serve-snapshots DIR [--snapshots-listen ADDR:PORT]   (the publish directory alone)
//
// The replica follows its master (or, without one, the database file
// itself) every --refresh seconds, and the user registry file is checked
// every second. SIGHUP does both at once. SIGTERM and SIGINT stop
// accepting, let the requests being answered finish, give a question to
// the master a few seconds, write every audit record still queued, then
// exit 0 (also during start-up).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "outside/file_registry.h"
#include "outside/hxdb_verify.h"
#include "outside/ldap_registry.h"
#include "tools/gxpolicyd/admin.h"
#include "tools/gxpolicyd/admin_auth.h"
#include "tools/gxpolicyd/admin_publish.h"
#include "tools/gxpolicyd/console.h"
#include "tools/gxpolicyd/audit.h"
#include "tools/gxpolicyd/config_file.h"
#include "tools/gxpolicyd/http_server.h"
#include "tools/gxpolicyd/options.h"
#include "tools/gxpolicyd/registry_watch.h"
#include "tools/gxpolicyd/replica.h"
#include "tools/gxpolicyd/snapshot_server.h"
#include "tools/gxpolicyd/service.h"
#include "tools/gxpolicyd/systemd.h"
#include "tools/common/cli_docs.h"
#include "tools/common/audit_record.h"
#include "tools/common/command_line.h"
#include "tools/common/signing_keys.h"
#include "tools/common/private_file.h"
#include "tools/common/registry_open.h"
#include "tools/common/status_text.h"

namespace {

std::mutex logLock;

// One line on stderr: UTC time with milliseconds, then the message; under
// systemd, an entry of the journal with its priority instead (the journal
// keeps the time).
void logAt(int priority, std::string const& message) {
  if (gxpolicyd::journalOnStderr() && gxpolicyd::journalLine(priority, message)) return;
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char stamp[40];
  std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", static_cast<int>(ms % 1000));
  std::lock_guard<std::mutex> hold(logLock);
  std::fprintf(stderr, "%s gxpolicyd: %s\n", stamp, message.c_str());
  std::fflush(stderr);
}

void logLine(std::string const& message) { logAt(LOG_INFO, message); }


// The audit trail the options ask for, or null when none is kept; quits
// with a clear message when the options or the file cannot be used.
using gxpolicyd::Args;

// The first line of a file that holds a secret. Like ssh with its keys,
// a file that group or others may read or write is refused, and so is
// anything but a regular file (a FIFO would block the start). False with
// error set when the file cannot be used or its first line is shorter
// than minLength.
bool readSecretFile(std::string const& path, std::size_t minLength, std::string& out, std::string& error) {
  std::string text;
  if (!gxpolicy::readPrivateFile(path, gxpolicy::FileTrust::ownerOnly, 1 << 16, text, error)) return false;
  out = text.substr(0, text.find('\n'));
  if (!out.empty() && out.back() == '\r') out.pop_back();
  if (out.size() < minLength) {
    error = "the first line of " + path + " must hold at least " + std::to_string(minLength) + " characters";
    return false;
  }
  return true;
}

// "ADDR:PORT", "[V6]:PORT", ":PORT" or "PORT" (then 127.0.0.1).
bool parseListen(std::string const& text, std::string& address, unsigned short& port) {
  std::string host = "127.0.0.1", portText = text;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else if (std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (colon > 0) host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long p = std::stoul(portText);
  if (p == 0 || p > 65535) return false;
  address = host;
  port = static_cast<unsigned short>(p);
  return true;
}

// Many keep-alive clients need many descriptors: take what the hard limit allows.
void raiseDescriptorLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

[[noreturn]] void quit(std::string const& message) {
  logAt(LOG_ERR, message);
  std::exit(gxpolicy::kExitError);
}

// Opening a FIFO or a device would wait for a writer, or never end: the
// database and a master file must be regular files (or not exist yet).
void refuseIrregular(std::string const& path, char const* what) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
    quit(std::string(what) + " " + path + " is not a regular file");
}

// The signals this process takes in its main thread (blocked in all).
sigset_t waitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// Runs work on a thread of its own while this thread takes signals: a
// SIGTERM or SIGINT meanwhile ends the process at once (status 0), since
// start-up may wait on a master that does not answer. Throws
// std::bad_alloc, in this thread, when work ran out of memory.
void startInterruptibly(std::function<void()> const& work) {
  std::atomic<bool> done{false};
  bool outOfMemory = false;
  std::thread worker([&] {
    try {
      work();
    } catch (std::bad_alloc const&) {
      outOfMemory = true;
    }
    done.store(true);
  });
  sigset_t waited = waitedSignals();
  while (!done.load()) {
    timespec tick{0, 50 * 1000 * 1000};
    int sig = ::sigtimedwait(&waited, nullptr, &tick);
    if (sig == SIGTERM || sig == SIGINT) {
      logLine(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + " during start-up: stopped");
      std::_Exit(0);
    }
  }
  worker.join();
  if (outOfMemory) throw std::bad_alloc();
}

// The audit trail the options ask for -- a file, syslog, or under systemd
// the journal when neither is named -- or none; quits with a clear message
// when an option's value cannot be used.
std::optional<gxpolicyd::AuditOptions> auditOptions(Args const& a) {
  if (a.auditFull != "block" && a.auditFull != "drop") quit("--audit-full: \"" + a.auditFull + "\" is not block or drop");
  gxpolicyd::AuditOptions o;
  o.file = a.auditFile;
  o.syslog = a.auditSyslog;
  o.journal = a.auditFile.empty() && !a.auditSyslog && gxpolicyd::journalOnStderr();
  if (o.file.empty() && !o.syslog && !o.journal) return std::nullopt;
  o.syslogSocket = a.auditSyslogSocket;
  o.maxBytes = a.auditMaxBytes;
  o.keep = a.auditKeep;
  o.queue = a.auditQueue;
  o.full = a.auditFull == "drop" ? gxpolicyd::AuditFull::drop : gxpolicyd::AuditFull::block;
  o.flush = std::chrono::milliseconds(a.auditFlushMs);
  o.strict = a.auditStrict;
  o.fsync = std::chrono::milliseconds(a.auditFsyncMs);
  return o;
}

// What the options say, checked: every value and every file they name
// (secrets read, the database proved when it is served without a master),
// nothing started. Quits with a message naming the option at the first
// problem.
struct Settings {
  gxpolicyd::ServiceOptions service;
  gxpolicyd::HttpOptions http;
  gxpolicyd::ReplicaOptions replica;
  std::optional<gxpolicyd::AuditOptions> audit;
};

Settings settle(Args const& a) {
  Settings settled;
  gxpolicyd::ServiceOptions& service = settled.service;
  gxpolicyd::HttpOptions& http = settled.http;
  gxpolicyd::ReplicaOptions& replicaOptions = settled.replica;
  refuseIrregular(a.db, "the database");
  if (!a.master.empty() && a.master.find("://") == std::string::npos) refuseIrregular(a.master, "the master");
  service.prefix = a.prefix;
  if (!service.prefix.empty() && (service.prefix.front() != '/' || service.prefix.back() == '/'))
    quit("--prefix must start with / and not end with one, e.g. /web");
  std::string error;
  if (!a.methods.empty() && !gxpolicyd::parseMethods(a.methods, service.methods, error))
    quit("--methods: " + error);
  service.maxBody = a.maxBody;
  service.maxBatch = a.maxBatch;
  service.readyMaxAgeSeconds = a.maxAge;
  service.callerTtl = std::chrono::seconds(a.callerTtl);
  service.callerCacheBytes = a.callerCacheBytes;
  service.maxNameLength = a.maxNameLength;
  service.maxGroups = a.maxGroups;
  service.pathAllow = a.pathAllow;
  service.authDenialBody = a.authDenialBody;
  if (!a.reviewTokenFile.empty() && !readSecretFile(a.reviewTokenFile, 16, service.review.token, error))
    quit("--review-token-file: " + error);
  service.review.authzenBaseUrl = a.authzenBaseUrl;
  if (!a.authzenBaseUrl.empty() && (a.authzenBaseUrl.rfind("https://", 0) != 0 || a.authzenBaseUrl.back() == '/' ||
                                    a.authzenBaseUrl.find_first_of("?#") != std::string::npos))
    quit("--authzen-base-url must be an https:// URL without a query, a fragment or a trailing /");
  for (std::string const& item : a.attributeHeaders) {
    std::string name, header;
    if (!gxpolicyd::parseAttributeHeader(item, name, header, error)) quit("--attr-header " + item + ": " + error);
    service.attributeHeaders.emplace_back(name, header);
  }
  if (a.pathAllow.find_first_not_of(";\\% ") != std::string::npos)
    quit("--path-allow: only the characters ; \\ % and space can be allowed");
  if (!a.frontSecretFile.empty() && a.trustAnyFrontEnd)
    quit("give --front-secret-file or --trust-any-front-end, not both");
  if (!a.frontSecretFile.empty()) {
    if (!readSecretFile(a.frontSecretFile, 16, service.frontSecret, error)) quit("--front-secret-file: " + error);
    service.frontTrust = gxpolicyd::FrontTrust::secret;
  } else if (a.trustAnyFrontEnd) {
    service.frontTrust = gxpolicyd::FrontTrust::anyone;
    logLine("--trust-any-front-end: any client that reaches this port can claim any identity (development only)");
  }

  if (a.listen.rfind("unix:", 0) == 0) {
    http.socketPath = a.listen.substr(5);
    if (http.socketPath.empty() || http.socketPath.front() != '/')
      quit("--listen unix:PATH needs an absolute path, e.g. unix:/run/gxpolicyd/auth.sock");
    if (a.socketMode.empty() || a.socketMode.size() > 4 || a.socketMode.find_first_not_of("01234567") != std::string::npos)
      quit("--socket-mode: \"" + a.socketMode + "\" is not an octal mode such as 660");
    http.socketMode = static_cast<unsigned>(std::stoul(a.socketMode, nullptr, 8)) & 0777;
    // Who may open the socket is who may say who the caller is (a secret,
    // when given as well, is asked in addition).
    if (service.frontTrust == gxpolicyd::FrontTrust::none) service.frontTrust = gxpolicyd::FrontTrust::socket;
  } else if (!parseListen(a.listen, http.address, http.port)) {
    quit("--listen: \"" + a.listen + "\" is not ADDR:PORT (e.g. 127.0.0.1:8181 or [::1]:8181) or unix:PATH");
  }
  http.threads = a.threads;
  http.connectionLimit = a.connections;
  http.idleTimeoutSeconds = a.idleTimeout;
  http.maxBody = a.maxBody;
  http.maxBodiesTotal = a.maxBodiesTotal;

  // The replica: a master file is checked like every database file before
  // it is used; a replica file is proved by its recorded digest at open.
  replicaOptions.db = a.db;
  replicaOptions.master = a.master;
  replicaOptions.domain = a.domain;
  replicaOptions.refreshSeconds = a.refresh;
  replicaOptions.http.totalTimeoutMs = static_cast<long>(a.masterTimeout * 1000);
  replicaOptions.http.connectTimeoutMs = static_cast<long>(a.connectTimeout * 1000);
  replicaOptions.http.verifyTls = !a.insecure;
  replicaOptions.allowRollback = a.allowRollback;
  replicaOptions.http.caFile = a.caFile;
  gxpolicy::Problem keyProblem;
  auto trusted = gxpolicy::loadKeyFiles(a.trust, false, keyProblem);
  if (!trusted) quit("--trust: " + gxpolicy::describe(keyProblem));
  replicaOptions.http.trustedKeys = std::move(*trusted);
  replicaOptions.http.s3Endpoint = a.s3Endpoint;
  replicaOptions.http.s3Region = a.s3Region;
  replicaOptions.http.ociPlainHttp = a.ociPlainHttp;
  if (!a.doorbell.empty() && a.master.find("://") == std::string::npos)
    quit("--doorbell needs a --master URL (the doorbell only says when to ask it)");
  replicaOptions.doorbell = a.doorbell;
  replicaOptions.doorbellWaitSeconds = a.doorbellWait;
  service.freshnessWait = std::chrono::milliseconds(static_cast<long>(a.freshnessWait * 1000));
  service.maxFreshnessWaiters = a.freshnessWaiters;
  if (!a.tokenFile.empty() && !readSecretFile(a.tokenFile, 1, replicaOptions.http.bearerToken, error))
    quit("--token-file: " + error + "; give a file whose first line is the token");
  if (a.master.empty()) {
    hx_db_verify_report report;
    unsigned long st = 0;
    hx_db_verify_file(a.db.c_str(), report, st);
    if (st != 0) quit("the database " + a.db + " is damaged or not a database: " + report.problem);
  }

  if (!gxpolicy::parseAuditLevel(a.auditLevel, replicaOptions.auditLevel, error)) quit("--audit-level: " + error);
  settled.audit = auditOptions(a);
  return settled;
}

// --check-config: what serving would check before it starts, and the
// files it would open, without opening the audit trail or the registry's
// servers. Quits (status 2) at the first problem.
int checkConfiguration(Args const& a) {
  Settings settled = settle(a);
  if (settled.audit && !settled.audit->file.empty()) {
    std::string problem = gxpolicyd::checkAuditFile(settled.audit->file);
    if (!problem.empty()) quit("--audit-file: " + problem);
  }
  if (!a.registry.empty() && ::access(a.registry.c_str(), R_OK) != 0)
    quit("--registry: cannot read " + a.registry + ": " + std::strerror(errno));
  std::printf("gxpolicyd: the configuration is usable\n");
  return 0;
}

// The publish directory served to replicas (--serve-snapshots), or null.
// Quits when it cannot be served.
std::unique_ptr<gxpolicyd::SnapshotServer> startSnapshots(Args const& a) {
  if (a.serveSnapshots.empty()) return nullptr;
  gxpolicyd::SnapshotServerOptions o;
  o.dir = a.serveSnapshots;
  o.maxHeld = a.snapshotsHeld;
  o.connectionLimit = std::max(1024u, a.snapshotsHeld + 64);
  if (!parseListen(a.snapshotsListen, o.address, o.port))
    quit("--snapshots-listen: \"" + a.snapshotsListen + "\" is not ADDR:PORT (e.g. 0.0.0.0:8282)");
  auto server = std::make_unique<gxpolicyd::SnapshotServer>(o, logLine);
  std::string error;
  if (!server->start(error)) quit("--serve-snapshots: " + error);
  logLine("serving " + o.dir + " to replicas on " + o.address + ":" + std::to_string(server->port()) + "/snapshots/");
  return server;
}

// --serve-snapshots without --db: the publish directory alone, until
// SIGTERM or SIGINT.
int serveSnapshotsOnly(Args const& a) {
  std::unique_ptr<gxpolicyd::SnapshotServer> snapshots = startSnapshots(a);
  gxpolicyd::notify("READY=1\nSTATUS=serving snapshots");
  sigset_t waited = waitedSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&waited, &sig) != 0 || sig == SIGHUP) continue;
    gxpolicyd::notify("STOPPING=1");
    snapshots->stop();
    logLine("stopped");
    return 0;
  }
}

int serve(Args const& a) {
  Settings settled = settle(a);
  gxpolicyd::ServiceOptions& service = settled.service;
  gxpolicyd::HttpOptions& http = settled.http;
  gxpolicyd::ReplicaOptions& replicaOptions = settled.replica;
  std::string error;

  // The store keeps the audit trail alive as long as it may record into it.
  gxpolicyd::Metrics metrics;
  std::shared_ptr<gxpolicyd::AuditTrail> audit;
  if (settled.audit) {
    audit = gxpolicyd::AuditTrail::open(*settled.audit, metrics.audit(), logLine, error);
    if (!audit) quit("the audit trail: " + error);
  }
  replicaOptions.audit = audit;

  // The registry file beside the database is watched even before it exists.
  std::string registryName = a.registry.empty() ? gxreg::defaultRegistryPath(a.db) : a.registry;
  std::unique_ptr<gxreg::Registry> registry;
  std::unique_ptr<gxpolicyd::RegistryWatch> watch;
  gxpolicyd::ServedReplica* served = nullptr;
  gxpolicyd::ServedReplica replica(replicaOptions, logLine, [&watch, &audit, &served] {
    if (watch) watch->poke();  // a new replica may come with a new registry beside it
    if (audit && served) audit->setDigest(static_cast<std::uint32_t>(served->sequence()), served->digest());
  });
  served = &replica;
  startInterruptibly([&] {
    unsigned long registryStatus = 0;
    registry = gxpolicy::openRegistryFor(
        a.db, a.registry,
        [](int state, std::string const& server) {
          if (state == 0) logLine("the LDAP server " + server + " does not answer; trying the next");
        },
        registryStatus, error, true);
    if (registryStatus != 0)
      quit("cannot use the user registry: " + error + " (" + gxpolicy::statusText(registryStatus) + ")");
    if (replica.open(error) != 0) quit(error);
  });
  watch = std::make_unique<gxpolicyd::RegistryWatch>(*registry, registryName, std::chrono::seconds(1), logLine);
  if (audit) audit->setDigest(static_cast<std::uint32_t>(replica.sequence()), replica.digest());

  gxpolicyd::DecisionService decisions(replica, registry.get(), service, metrics);
  gxpolicyd::HttpServer server(
      http,
      [&decisions](gxpolicyd::Request const& r) {
        gxpolicy::MemoryReserve::replenish();  // let go when memory last ran out
        return decisions.handle(r);
      },
      logLine);
  decisions.setInFlight([&server] { return server.inFlight(); });
  decisions.setConnectionsRefused([&server] { return server.refusedConnections(); });
  if (!server.start(error)) quit(error);
  std::unique_ptr<gxpolicyd::SnapshotServer> snapshots = startSnapshots(a);
  replica.start();
  watch->start();
  logLine("listening on " + (http.socketPath.empty() ? http.address + ":" + std::to_string(http.port) : "unix:" + http.socketPath) + " with " + std::to_string(http.threads) +
          " threads; replica " + a.db + " at sequence " + std::to_string(replica.sequence()) +
          (a.master.empty() ? std::string() : ", master " + a.master) +
          "; user registry " + registryName);
  gxpolicyd::notify("READY=1\nSTATUS=serving at sequence " + std::to_string(replica.sequence()));

  // Signals are taken here, in this thread alone (all are blocked in the
  // others, which inherited the mask from main).
  sigset_t waited = waitedSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&waited, &sig) != 0) continue;
    if (sig == SIGHUP) {
      logLine(a.master.empty() ? "SIGHUP: re-reading the database and the user registry now"
                               : "SIGHUP: asking the master and re-reading the user registry now");
      gxpolicyd::notify("RELOADING=1");
      replica.refreshNow();
      watch->poke();
      gxpolicyd::notify("READY=1");
      continue;
    }
    logLine(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + ": finishing the requests in flight");
    gxpolicyd::notify("STOPPING=1");
    server.stop();
    if (snapshots) snapshots->stop();
    watch->stop();
    if (audit) audit->stop();  // every decision answered is written before the exit
    // A question to a master that does not answer is not waited for.
    if (!replica.stop(std::chrono::seconds(3))) {
      logLine("stopped; the question to the master still waiting is abandoned");
      std::_Exit(0);
    }
    logLine("stopped");
    return 0;
  }
}

// Waits for SIGTERM or SIGINT (SIGHUP: hup, then on waiting).
void waitForStop(std::function<void()> const& hup) {
  sigset_t waited = waitedSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&waited, &sig) != 0) continue;
    if (sig == SIGHUP) {
      hup();
      continue;
    }
    logLine(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + ": finishing the requests in flight");
    return;
  }
}

// How administrators prove who they are, from the options; quits when a
// file cannot be used or no way is configured.
gxpolicyd::AdminAuthOptions adminAuthOptions(Args const& a, gxreg::Registry* registry) {
  gxpolicyd::AdminAuthOptions auth;
  std::string error;
  if (!a.adminTokenFile.empty()) {
    gxpolicy::TokenFile tokens;
    if (!gxpolicy::TokenFile::load(a.adminTokenFile, false, tokens, error)) quit("--admin-token-file: " + error);
    if (tokens.tokens().empty())
      quit("--admin-token-file: " + a.adminTokenFile + " holds no token; add one with gxpolicy token add");
    auth.tokens = std::move(tokens);
  }
  if (a.adminBasic) {
    auto* ldap = dynamic_cast<gxreg::LdapRegistry*>(registry);
    if (ldap == nullptr) quit("--admin-basic: passwords are checked against an LDAP registry; --registry names none");
    auth.checkPassword = [ldap](std::string const& user, std::string const& password) {
      return ldap->checkPassword(user, password);
    };
  }
  auth.clientCertificates = !a.tlsClientCa.empty();
  if (!a.adminTokenFile.empty() || a.adminBasic || auth.clientCertificates) return auth;
  quit("--admin: give --admin-token-file, --admin-basic or --tls-client-ca: every administration request must "
       "authenticate");
}

// The TLS files the options name, read into http; quits when one is
// missing, unreadable, not PEM, or (the key) readable by others.
void adminTls(Args const& a, gxpolicyd::HttpOptions& http) {
  if (a.tlsCert.empty() != a.tlsKey.empty()) quit("--tls-cert and --tls-key go together");
  if (!a.tlsClientCa.empty() && a.tlsCert.empty()) quit("--tls-client-ca needs --tls-cert and --tls-key");
  if (a.tlsCert.empty()) return;
  std::string error;
  auto read = [&](std::string const& path, gxpolicy::FileTrust trust, char const* option, char const* what,
                  std::string& out) {
    if (!gxpolicy::readPrivateFile(path, trust, 1 << 20, out, error)) quit(std::string(option) + ": " + error);
    if (out.find("-----BEGIN ") == std::string::npos) quit(std::string(option) + ": " + path + " holds no PEM " + what);
  };
  read(a.tlsCert, gxpolicy::FileTrust::writableByOwner, "--tls-cert", "certificate", http.tlsCertPem);
  read(a.tlsKey, gxpolicy::FileTrust::ownerOnly, "--tls-key", "private key", http.tlsKeyPem);
  if (!a.tlsClientCa.empty())
    read(a.tlsClientCa, gxpolicy::FileTrust::writableByOwner, "--tls-client-ca", "certificate", http.clientCaPem);
}

// gxpolicyd --admin: the administration API on the master itself.
int serveAdmin(Args const& a) {
  refuseIrregular(a.db, "the database");
  if (!a.master.empty()) quit("--admin serves the master itself (--db); --master is for replicas");
  gxpolicyd::HttpOptions http;
  if (a.listen.rfind("unix:", 0) == 0) {
    http.socketPath = a.listen.substr(5);
    if (http.socketPath.empty() || http.socketPath.front() != '/') quit("--listen unix:PATH needs an absolute path");
  } else if (!parseListen(a.listen, http.address, http.port)) {
    quit("--listen: \"" + a.listen + "\" is not ADDR:PORT (e.g. 127.0.0.1:8182) or unix:PATH");
  }
  http.threads = a.threads;
  http.connectionLimit = a.connections;
  http.idleTimeoutSeconds = a.idleTimeout;
  http.maxBody = a.maxBody;
  http.maxBodiesTotal = a.maxBodiesTotal;
  std::string error;
  adminTls(a, http);
  unsigned long registryStatus = 0;
  std::unique_ptr<gxreg::Registry> registry = gxpolicy::openRegistryFor(
      a.db, a.registry,
      [](int state, std::string const& server) {
        if (state == 0) logLine("the LDAP server " + server + " does not answer; trying the next");
      },
      registryStatus, error, true);
  if (registryStatus != 0)
    quit("cannot use the user registry: " + error + " (" + gxpolicy::statusText(registryStatus) + ")");
  std::string registryName = a.registry.empty() ? gxreg::defaultRegistryPath(a.db) : a.registry;
  gxpolicyd::RegistryWatch watch(*registry, registryName, std::chrono::seconds(1), logLine);
  // The console's sessions stand for administrators too; the console is
  // made once the authenticator it signs people in with exists.
  std::unique_ptr<gxpolicyd::ConsoleService> console;
  gxpolicyd::AdminAuthOptions authOptions = adminAuthOptions(a, registry.get());
  authOptions.session = [&console](gxpolicyd::Request const& r) -> std::optional<std::string> {
    return console ? console->sessionOf(r) : std::nullopt;
  };
  gxpolicyd::AdminAuthenticator authenticator(std::move(authOptions));
  // A console named by --console-dir must be there; the installed one is
  // served when it is (a build run from its tree has none).
  std::string consoleDir = a.consoleDir;
  if (!a.noConsole && consoleDir.empty() && ::access(GXPOLICYD_CONSOLE_DIR "/console.html", R_OK) == 0)
    consoleDir = GXPOLICYD_CONSOLE_DIR;
  if (!a.noConsole && !consoleDir.empty()) {
    gxpolicyd::ConsoleOptions consoleOptions;
    consoleOptions.dir = consoleDir;
    consoleOptions.secureCookies = !a.tlsCert.empty();
    consoleOptions.idle = std::chrono::seconds(a.consoleIdle);
    try {
      console = std::make_unique<gxpolicyd::ConsoleService>(consoleOptions, authenticator);
    } catch (std::runtime_error const& e) {
      quit(std::string(e.what()) + " (--console-dir; --no-console serves none)");
    }
  }
  gxpolicyd::AdminOptions options;
  options.db = a.db;
  options.domain = a.domain;
  options.management = a.adminManagement;
  options.maxBody = a.maxBody;
  std::unique_ptr<gxpolicyd::AdminService> admin;
  try {
    admin = std::make_unique<gxpolicyd::AdminService>(options, registry.get(), authenticator);
  } catch (std::runtime_error const& e) {
    quit(e.what());
  }
  std::unique_ptr<gxpolicyd::AdminPublisher> publisher;
  if (!a.adminPublish.empty()) {
    gxpolicy::PublishRequest publish;
    publish.master = a.db;
    publish.destination = a.adminPublish;
    publish.domain = a.domain;
    publish.signKeyFiles = a.adminPublishSign;
    for (std::string const& key : a.adminPublishSign) {  // checked now, not at the first publication
      std::string text;
      if (!gxpolicy::readPrivateFile(key, gxpolicy::FileTrust::ownerOnly, 1 << 16, text, error))
        quit("--admin-publish-sign: " + error);
    }
    publisher = std::make_unique<gxpolicyd::AdminPublisher>(
        publish, std::chrono::milliseconds(static_cast<long>(a.adminPublishDelay * 1000)), logLine);
    publisher->announceTo(a.adminAnnounce);
    publisher->start();
    admin->onCommit([&publisher](unsigned long) { publisher->ring(); });
  }
  gxpolicyd::HttpServer server(
      http,
      [&admin, &console](gxpolicyd::Request const& r) {
        gxpolicy::MemoryReserve::replenish();
        if (r.path == "/healthz") {
          gxpolicyd::Response ok;
          ok.contentType = "text/plain";
          ok.body = "ok\n";
          return ok;
        }
        if (console && (r.path == gxpolicyd::kConsolePrefix || r.path.starts_with("/console/")))
          return console->handle(r);
        return admin->handle(r);
      },
      logLine);
  if (!server.start(error)) quit(error);
  watch.start();
  logLine("administering " + a.db + " on " + (a.tlsCert.empty() ? "" : "TLS, ") +
          (http.socketPath.empty() ? http.address + ":" + std::to_string(http.port) : "unix:" + http.socketPath) +
          "; management object " + a.adminManagement + "; user registry " + registryName +
          (a.adminPublish.empty() ? std::string() : "; publishing into " + a.adminPublish) +
          (console ? "; console at /console from " + consoleDir : "; no console"));
  gxpolicyd::notify("READY=1\nSTATUS=administering " + a.db);
  waitForStop([&watch] { watch.poke(); });
  gxpolicyd::notify("STOPPING=1");
  server.stop();
  watch.stop();
  if (publisher) publisher->stop();  // what the last changes left waiting is published
  logLine("stopped");
  return 0;
}

// "gxpolicyd --write-docs DIR" (run by the build): the manual pages of the
// daemon and of its configuration file, and the completion script.
std::optional<int> writeDocs(CLI::App const& app, int argc, char** argv) {
  gxpolicy::ManPageInfo daemon;
  daemon.name = "gxpolicyd";
  daemon.section = 8;
  daemon.description =
      "gxpolicyd answers authorization questions over HTTP from a local read-only replica of a policy database, "
      "for services in any language and for web servers (nginx auth_request). It keeps the replica current from "
      "its master (a database file or the URL of published snapshots) and re-reads the user registry when it "
      "changes.\n\n"
      "Every option can also be set in a configuration file given with --config (see gxpolicyd.conf(5)); the "
      "command line overrides it. Under systemd the daemon reports readiness (Type=notify) once the replica is "
      "open and it listens, and logs to the journal.";
  daemon.extraSections = {
      {"Administration mode",
       "With --admin, gxpolicyd serves the administration API under /admin/v1 on the master database --db, opened "
       "writable, instead of decisions: ACLs, POPs, rules, protected objects and attachments (GET, PUT, DELETE), "
       "changes documents as gxpolicy apply takes them (POST /admin/v1/changes, ?dry-run=true for the effect on "
       "decisions without writing) and the change log (GET /admin/v1/log). Every request authenticates: bearer "
       "tokens (--admin-token-file), HTTP basic checked against the LDAP registry (--admin-basic), or TLS client "
       "certificates (--tls-cert, --tls-key, --tls-client-ca). What an administrator may change is decided by the "
       "policy: the control permission (c) on the objects concerned, or on the management object "
       "(--admin-management) for policies attached nowhere. If-Match: SEQ refuses a write (412) when the master has "
       "moved. With --admin-publish DIR every change is published into DIR for replicas."},
      {"Signals", "SIGHUP asks the master (or looks at the database) and re-reads the user registry now. SIGTERM and "
                  "SIGINT stop accepting, finish the requests in flight, write the audit records still queued and "
                  "exit 0."},
      {"Exit status", "0 after a stop by signal, or when --check-config finds the configuration usable; 2 when the "
                      "options, the configuration file or a file they name cannot be used (the reason is logged)."}};
  daemon.seeAlso = {"gxpolicyd.conf(5)", "gxpolicy(1)"};
  gxpolicy::ManPageInfo conf;
  conf.name = "gxpolicyd.conf";
  conf.section = 5;
  conf.summary = "configuration file of gxpolicyd";
  conf.description =
      "gxpolicyd reads this file when started with --config FILE (the packaged service: /etc/gxcore/gxpolicyd.conf). "
      "Each line is KEY = VALUE, the key being a long option of gxpolicyd without its dashes; blank lines and lines "
      "starting with # are ignored, and a # after white space starts a comment. A value in double quotes is taken "
      "as written (\\\" and \\\\ inside). Options that may be repeated take one line each; flags take true or "
      "false (yes/no, on/off, 1/0). Options given on the command line override the file.\n\n"
      "An unknown key, a key given twice, or a value its option refuses stops the start with the file's name and "
      "the line; gxpolicyd --check-config --config FILE checks a file without serving. The file must not be "
      "writable by group or others. Secrets are never values of this file: the keys that take them "
      "(token-file, front-secret-file) name files readable by the service alone.";
  conf.extraSections = {{"Example", "db = /var/lib/gxpolicyd/replica.db\nmaster = https://policy.example.com/policy/\n"
                                    "listen = 127.0.0.1:8181\nprefix = /web\nfront-secret-file = "
                                    "/etc/gxcore/front-secret"}};
  conf.seeAlso = {"gxpolicyd(8)"};
  return gxpolicy::writeDocsIfAsked(app, daemon, {{"gxpolicyd.conf.5", gxpolicy::configManPage(app, conf, gxpolicyd::optionsNotInConfig())}},
                                    argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the mask.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();

  CLI::App app{"gxpolicyd: authorization decisions over HTTP from a policy database replica"};
  app.footer(
      "Example (--master is the URL of the folder \"gxpolicy publish DB DIR\" writes, served as is:\n"
      "DIR/manifest.json must answer at URL/manifest.json):\n"
      "  gxpolicyd --db /var/lib/gx/replica.db --master https://policy.example.com/policy/ \\\n"
      "            --listen 127.0.0.1:8181 --prefix /web\n"
      "  curl -s localhost:8181/v1/check -d '{\"object\":\"/web/docs\",\"actions\":\"r\",\"user\":\"alice\"}'\n"
      "Endpoints: POST /v1/check, POST /v1/check/batch, GET /v1/auth (nginx auth_request),\n"
      "POST /v1/who-can and /v1/what-can, POST /access/v1/... (AuthZEN),\n"
      "GET /healthz, /readyz, /metrics. SIGHUP checks the master (or the database) and the user registry now;\n"
      "SIGTERM stops gracefully.");
  Args a;
  gxpolicyd::defineOptions(app, a);
  gxpolicy::addVersionFlag(app, "gxpolicyd");
  if (std::optional<int> status = writeDocs(app, argc, argv)) return *status;
  if (std::optional<int> status = gxpolicy::parseCommandLine(app, "gxpolicyd", argc, argv)) return *status;
  if (!a.config.empty()) {
    std::string problem = gxpolicyd::applyConfigFile(app, a.config, gxpolicyd::optionsNotInConfig());
    if (!problem.empty()) {
      logAt(LOG_ERR, problem);
      return gxpolicy::kExitError;
    }
  }
  if (a.db.empty() && !a.serveSnapshots.empty() && !a.checkConfig) return serveSnapshotsOnly(a);
  if (a.db.empty()) {
    logAt(LOG_ERR, "--db is required (on the command line or as \"db = FILE\" in the configuration file)");
    return gxpolicy::kExitError;
  }
  // Memory that runs out while starting (a huge registry, a replica too
  // large to map) ends the start with a message, not an abort; once
  // serving, every request and every thread answers it for itself. The
  // reserve, let go when memory runs out, is taken again by the next
  // request that finds the memory.
  try {
    gxpolicy::MemoryReserve reserve;
    if (a.admin && !a.checkConfig) return serveAdmin(a);
    return a.checkConfig ? checkConfiguration(a) : serve(a);
  } catch (std::bad_alloc const&) {
    std::fputs("gxpolicyd: out of memory while starting (see ulimit -v and the size of the registry and database); "
               "stopped\n",
               stderr);
    return gxpolicy::kExitError;
  }
}
