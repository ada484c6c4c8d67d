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
#include <unistd.h>

#include <CLI/CLI.hpp>

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
#include "tools/gxpolicyd/audit.h"
#include "tools/gxpolicyd/http_server.h"
#include "tools/gxpolicyd/registry_watch.h"
#include "tools/gxpolicyd/replica.h"
#include "tools/gxpolicyd/service.h"
#include "tools/common/audit_record.h"
#include "tools/common/command_line.h"
#include "tools/common/registry_open.h"
#include "tools/common/status_text.h"

namespace {

std::mutex logLock;

// One line on stderr: UTC time with milliseconds, then the message.
void logLine(std::string const& message) {
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

struct Args {
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
};

// The audit trail the options ask for, or null when none is kept; quits
// with a clear message when the options or the file cannot be used.
std::shared_ptr<gxpolicyd::AuditTrail> openAuditTrail(Args const& a, gxpolicyd::AuditCounters& counters);

// The first line of a file that holds a secret. Like ssh with its keys,
// a file that group or others may read or write is refused, and so is
// anything but a regular file (a FIFO would block the start). False with
// error set when the file cannot be used or its first line is shorter
// than minLength.
bool readSecretFile(std::string const& path, std::size_t minLength, std::string& out, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool usable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0 && st.st_size < (1 << 16);
  std::string text;
  if (usable) {
    text.resize(static_cast<std::size_t>(st.st_size));
    usable = ::read(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  ::close(fd);
  if (!usable) {
    error = path + " must be a regular file of at most 64 KiB that only its owner may read (chmod 600)";
    return false;
  }
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
  logLine(message);
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

std::shared_ptr<gxpolicyd::AuditTrail> openAuditTrail(Args const& a, gxpolicyd::AuditCounters& counters) {
  if (a.auditFile.empty() && !a.auditSyslog) return nullptr;
  if (a.auditFull != "block" && a.auditFull != "drop") quit("--audit-full: \"" + a.auditFull + "\" is not block or drop");
  gxpolicyd::AuditOptions o;
  o.file = a.auditFile;
  o.syslog = a.auditSyslog;
  o.syslogSocket = a.auditSyslogSocket;
  o.maxBytes = a.auditMaxBytes;
  o.keep = a.auditKeep;
  o.queue = a.auditQueue;
  o.full = a.auditFull == "drop" ? gxpolicyd::AuditFull::drop : gxpolicyd::AuditFull::block;
  o.flush = std::chrono::milliseconds(a.auditFlushMs);
  o.strict = a.auditStrict;
  o.fsync = std::chrono::milliseconds(a.auditFsyncMs);
  std::string error;
  auto trail = gxpolicyd::AuditTrail::open(o, counters, logLine, error);
  if (!trail) quit("--audit-file: " + error);
  return trail;
}

int serve(Args const& a) {
  refuseIrregular(a.db, "the database");
  if (!a.master.empty() && a.master.find("://") == std::string::npos) refuseIrregular(a.master, "the master");
  gxpolicyd::ServiceOptions service;
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

  gxpolicyd::HttpOptions http;
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
  gxpolicyd::ReplicaOptions replicaOptions;
  replicaOptions.db = a.db;
  replicaOptions.master = a.master;
  replicaOptions.domain = a.domain;
  replicaOptions.refreshSeconds = a.refresh;
  replicaOptions.http.totalTimeoutMs = static_cast<long>(a.masterTimeout * 1000);
  replicaOptions.http.connectTimeoutMs = static_cast<long>(a.connectTimeout * 1000);
  replicaOptions.http.verifyTls = !a.insecure;
  replicaOptions.allowRollback = a.allowRollback;
  replicaOptions.http.caFile = a.caFile;
  if (!a.tokenFile.empty() && !readSecretFile(a.tokenFile, 1, replicaOptions.http.bearerToken, error))
    quit("--token-file: " + error + "; give a file whose first line is the token");
  if (a.master.empty()) {
    hx_db_verify_report report;
    unsigned long st = 0;
    hx_db_verify_file(a.db.c_str(), report, st);
    if (st != 0) quit("the database " + a.db + " is damaged or not a database: " + report.problem);
  }

  // The store keeps the audit trail alive as long as it may record into it.
  gxpolicyd::Metrics metrics;
  if (!gxpolicy::parseAuditLevel(a.auditLevel, replicaOptions.auditLevel, error)) quit("--audit-level: " + error);
  std::shared_ptr<gxpolicyd::AuditTrail> audit = openAuditTrail(a, metrics.audit());
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
  replica.start();
  watch->start();
  logLine("listening on " + (http.socketPath.empty() ? http.address + ":" + std::to_string(http.port) : "unix:" + http.socketPath) + " with " + std::to_string(http.threads) +
          " threads; replica " + a.db + " at sequence " + std::to_string(replica.sequence()) +
          (a.master.empty() ? std::string() : ", master " + a.master) +
          "; user registry " + registryName);

  // Signals are taken here, in this thread alone (all are blocked in the
  // others, which inherited the mask from main).
  sigset_t waited = waitedSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&waited, &sig) != 0) continue;
    if (sig == SIGHUP) {
      logLine(a.master.empty() ? "SIGHUP: re-reading the database and the user registry now"
                               : "SIGHUP: asking the master and re-reading the user registry now");
      replica.refreshNow();
      watch->poke();
      continue;
    }
    logLine(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + ": finishing the requests in flight");
    server.stop();
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
  app.add_option("--db", a.db, "The replica's database file (read only)")->required();
  app.add_option("--master", a.master,
                 "Keep the replica current from this database file or http(s):// URL of published snapshots");
  app.add_option("--listen", a.listen,
                 "ADDR:PORT to listen on, or unix:PATH for a unix-domain socket (whoever may open it is believed "
                 "on who the caller is)")
      ->capture_default_str();
  app.add_option("--socket-mode", a.socketMode, "Mode of the unix:PATH socket file, octal")->capture_default_str();
  app.add_option("--threads", a.threads, "Threads answering requests")->capture_default_str()->check(CLI::Range(1u, 1024u));
  app.add_option("--registry", a.registry,
                 "User registry: a JSON registry file or a stanza file with an [ldap] stanza "
                 "(default: DB.registry.json when it exists)");
  app.add_option("--prefix", a.prefix, "Prepended to request paths to name objects for /v1/auth, e.g. /web");
  app.add_option("--methods", a.methods, "HTTP method to actions for /v1/auth")
      ->default_str("GET=r,HEAD=r,POST=m,PUT=m,PATCH=m,DELETE=d");
  app.add_option("--domain", a.domain, "Policy domain")->capture_default_str();
  app.add_option("--refresh", a.refresh,
                 "Seconds between questions to the master (without one: between looks at the database's sequence number)")
      ->capture_default_str()->check(CLI::Range(0.05, 86400.0));
  app.add_option("--master-timeout", a.masterTimeout,
                 "Seconds one request to an http(s) master may take, the download included")
      ->capture_default_str()->check(CLI::Range(0.1, 86400.0));
  app.add_option("--connect-timeout", a.connectTimeout, "Seconds to connect to an http(s) master")
      ->capture_default_str()->check(CLI::Range(0.1, 3600.0));
  app.add_option("--max-age", a.maxAge,
                 "/readyz fails when the replica was last known current longer ago than this (seconds; 0: no limit)")
      ->capture_default_str();
  app.add_option("--max-body", a.maxBody, "Largest request body in bytes (larger: 413)")->capture_default_str();
  app.add_option("--max-batch", a.maxBatch, "Most checks in one /v1/check/batch (more: 413)")->capture_default_str();
  app.add_option("--connections", a.connections, "Open connections at once")->capture_default_str();
  app.add_option("--idle-timeout", a.idleTimeout, "Seconds before an idle connection is closed")->capture_default_str();
  app.add_option("--caller-ttl", a.callerTtl, "Seconds a caller resolved through the registry is remembered")
      ->capture_default_str();
  app.add_option("--ca-file", a.caFile, "CA bundle for an https:// master");
  app.add_option("--token-file", a.tokenFile, "File whose first line is a bearer token for the master");
  app.add_flag("--insecure", a.insecure, "Do not verify the master's TLS certificate");
  app.add_flag("--allow-rollback", a.allowRollback,
               "Take a master whose sequence number is below the replica's (restoring an older master); "
               "without it such a master is refused");
  app.add_option("--front-secret-file", a.frontSecretFile,
                 "/v1/auth believes who the caller is only from a front end that sends this file's first line "
                 "(at least 16 characters; mode 600) in X-Gx-Front-Secret");
  app.add_option("--review-token-file", a.reviewTokenFile,
                 "Serve /v1/who-can, /v1/what-can and the AuthZEN searches to askers that send this file's first "
                 "line (at least 16 characters; mode 600) as Authorization: Bearer TOKEN (without it they are off)");
  app.add_option("--authzen-base-url", a.authzenBaseUrl,
                 "Publish AuthZEN metadata at /.well-known/authzen-configuration naming the endpoints under this "
                 "https:// URL (the one clients reach gxpolicyd at, e.g. through a TLS front end)");
  app.add_flag("--trust-any-front-end", a.trustAnyFrontEnd,
               "Development only: /v1/auth believes identity headers from any client (without this or "
               "--front-secret-file they are refused)");
  app.add_option("--attr-header", a.attributeHeaders,
                 "NAME=HEADER: /v1/auth gives rules the attribute NAME from request header HEADER, set by the front "
                 "end and believed as identity headers are (repeatable), e.g. department=X-Gx-Attr-Department");
  app.add_option("--path-allow", a.pathAllow,
                 "Characters among ; \\ % and space that request paths may hold (refused by default)");
  app.add_flag("--auth-denial-body", a.authDenialBody,
               "/v1/auth's 403 answers carry \"CAUSE: REASON\" as their body too, for a front end that shows it "
               "(nginx's auth_request does not, and reopens its connection after every answer with a body)");
  app.add_option("--max-name", a.maxNameLength, "Longest user or group name or uuid in a request, bytes (longer: 400)")
      ->capture_default_str();
  app.add_option("--max-groups", a.maxGroups, "Most groups one request names (more: 400)")->capture_default_str();
  app.add_option("--caller-cache-bytes", a.callerCacheBytes, "Memory for remembered callers, bytes")
      ->capture_default_str();
  app.add_option("--max-bodies-total", a.maxBodiesTotal,
                 "Request bodies held at once across all connections, bytes (over it: 503)")
      ->capture_default_str();
  app.add_option("--audit-file", a.auditFile,
                 "Write an audit record (a JSON line) for every decision the audit levels select to this file "
                 "(created mode 600; a symbolic link or a file others may read is refused)");
  app.add_flag("--audit-syslog", a.auditSyslog, "Send audit records to syslog (facility authpriv)");
  app.add_option("--audit-syslog-socket", a.auditSyslogSocket,
                 "The local syslog daemon's datagram socket for --audit-syslog")
      ->capture_default_str();
  app.add_option("--audit-max-bytes", a.auditMaxBytes, "Rotate the audit file before it grows past this; 0: never")
      ->capture_default_str();
  app.add_option("--audit-keep", a.auditKeep, "Rotated audit files kept (FILE.1 newest .. FILE.N)")
      ->capture_default_str()->check(CLI::Range(1u, 1000u));
  app.add_option("--audit-queue", a.auditQueue, "Audit records queued at most")
      ->capture_default_str()->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24));
  app.add_option("--audit-full", a.auditFull,
                 "With the audit queue full: block (the decision waits) or drop (the record is counted in /metrics)")
      ->capture_default_str();
  app.add_option("--audit-flush-ms", a.auditFlushMs,
                 "Milliseconds between two writes of queued audit records (what a SIGKILL can lose)")
      ->capture_default_str()->check(CLI::Range(1u, 60000u));
  app.add_flag("--audit-strict", a.auditStrict,
               "An answer leaves only after its audit record is written (group commit): a SIGKILL loses none");
  app.add_option("--audit-fsync-ms", a.auditFsyncMs,
                 "Milliseconds between two fsyncs of the audit file (what a power loss can lose); 0: every write")
      ->capture_default_str()->check(CLI::Range(0u, 3600000u));
  app.add_option("--audit-level", a.auditLevel,
                 "Decisions recorded at objects without a POP in force (a POP's own audit level governs its "
                 "objects), and failed decisions: permit, deny, error, warning, all or none, comma-separated")
      ->capture_default_str();
  gxpolicy::addVersionFlag(app, "gxpolicyd");
  if (std::optional<int> status = gxpolicy::parseCommandLine(app, "gxpolicyd", argc, argv)) return *status;
  // Memory that runs out while starting (a huge registry, a replica too
  // large to map) ends the start with a message, not an abort; once
  // serving, every request and every thread answers it for itself. The
  // reserve, let go when memory runs out, is taken again by the next
  // request that finds the memory.
  try {
    gxpolicy::MemoryReserve reserve;
    return serve(a);
  } catch (std::bad_alloc const&) {
    std::fputs("gxpolicyd: out of memory while starting (see ulimit -v and the size of the registry and database); "
               "stopped\n",
               stderr);
    return gxpolicy::kExitError;
  }
}
