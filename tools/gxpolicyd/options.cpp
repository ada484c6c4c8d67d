#include "tools/gxpolicyd/options.h"

namespace gxpolicyd {

void defineOptions(CLI::App& app, Args& a) {
  app.add_option("--config", a.config,
                 "Read options from this file (KEY = VALUE lines, keys the long options without their dashes); "
                 "options on the command line override it");
  app.add_flag("--check-config", a.checkConfig,
               "Check the options and the configuration file, print what is wrong or that all is well, and exit "
               "(0 when usable, 2 when not) without serving");
  app.add_option("--db", a.db, "The replica's database file (read only); required, here or in the configuration file");
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
  app.add_option("--s3-endpoint", a.s3Endpoint,
                 "Server of an s3:// master, http(s)://host[:port] (default: AWS_ENDPOINT_URL, else AWS's)");
  app.add_option("--s3-region", a.s3Region, "Signing region of an s3:// master (default: AWS_REGION, else us-east-1)");
  app.add_flag("--oci-plain-http", a.ociPlainHttp,
               "An oci:// master's registry speaks plain http (loopback); credentials come from GXCORE_OCI_USERNAME "
               "and GXCORE_OCI_PASSWORD");
  app.add_option("--trust", a.trust,
                 "Public key (KEY.pub from gxpolicy keygen) a URL master's manifests must be signed by; repeatable. "
                 "Any given: unsigned manifests, unknown keys and bad signatures are refused and the policy kept")
      ->allow_extra_args(false);
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
  app.add_option("--doorbell", a.doorbell,
                 "Ask the master at once when this rings: the master's http(s):// snapshot URL (a long-poll on its "
                 "manifest) or nats://HOST:PORT/SUBJECT; polling every --refresh seconds stays as the fallback");
  app.add_option("--doorbell-wait", a.doorbellWait, "Seconds the master may hold one long-poll of the doorbell")
      ->capture_default_str()->check(CLI::Range(1u, 3600u));
  app.add_option("--freshness-wait", a.freshnessWait,
                 "Seconds a request naming a minimum sequence number (X-Gx-Min-Sequence, \"min_sequence\") waits "
                 "for the replica to reach it before 409")
      ->capture_default_str()->check(CLI::Range(0.0, 60.0));
  app.add_option("--freshness-waiters", a.freshnessWaiters,
                 "Requests waiting for a newer policy at once (each holds an answering thread); more get 503")
      ->capture_default_str()->check(CLI::Range(1u, 100000u));
  app.add_option("--serve-snapshots", a.serveSnapshots,
                 "Serve this publish directory to replicas (GET /snapshots/FILE, with a long-poll on "
                 "manifest.json?after=N&wait=S) on --snapshots-listen; without --db, serve only that");
  app.add_option("--snapshots-listen", a.snapshotsListen, "ADDR:PORT the publish directory is served on")
      ->capture_default_str();
  app.add_option("--snapshots-held", a.snapshotsHeld, "Long-polls of the manifest held at once (a thread each); more get 503")
      ->capture_default_str()->check(CLI::Range(1u, 100000u));
  app.add_flag("--admin", a.admin,
               "Serve the administration API (/admin/v1/...) on the master database --db, opened writable, instead "
               "of decisions from a replica; every request must authenticate (--admin-token-file, --admin-basic)");
  app.add_option("--admin-token-file", a.adminTokenFile,
                 "--admin: administrators' bearer tokens, the file gxpolicy token add writes (mode 600; a file others "
                 "may read is refused)");
  app.add_flag("--admin-basic", a.adminBasic,
               "--admin: take HTTP basic authentication, the password checked by a bind against the LDAP registry "
               "(--registry must name one)");
  app.add_option("--admin-management", a.adminManagement,
                 "--admin: the management object; changing policies attached nowhere and reading the whole change log "
                 "need the control permission (c) there")
      ->capture_default_str();
  app.add_option("--admin-publish", a.adminPublish,
                 "--admin: after each change, publish a snapshot into this folder (as gxpolicy publish does) for "
                 "replicas that follow it");
  app.add_option("--admin-publish-sign", a.adminPublishSign,
                 "--admin: sign each publication's manifest with this private key (gxpolicy keygen; mode 600; "
                 "repeatable while keys are rotated)");
  app.add_option("--admin-publish-delay", a.adminPublishDelay,
                 "--admin: seconds a publication waits for further changes to publish them together")
      ->capture_default_str()->check(CLI::Range(0.0, 60.0));
  app.add_option("--admin-announce", a.adminAnnounce,
                 "--admin: after each publication, ring the replicas' doorbell: nats://HOST:PORT/SUBJECT (as gxpolicy "
                 "publish --announce)");
  app.add_option("--tls-cert", a.tlsCert, "--admin: serve TLS with this certificate (PEM; with --tls-key)");
  app.add_option("--tls-key", a.tlsKey,
                 "--admin: the certificate's private key (PEM, mode 600: a key others may read is refused)");
  app.add_option("--tls-client-ca", a.tlsClientCa,
                 "--admin: ask clients for a certificate; one that verifies against these CAs (PEM) for a TLS client authenticates "
                 "the administrator its common name names");
  app.add_option("--console-dir", a.consoleDir,
                 "--admin: the web console's files, served under /console (default: the installed console, when "
                 "it is there)");
  app.add_flag("--no-console", a.noConsole, "--admin: serve no web console");
  app.add_option("--console-idle", a.consoleIdle,
                 "--admin: seconds a console session lives without a request (sessions end after 8 hours in any "
                 "case)")
      ->capture_default_str()->check(CLI::Range(1u, 8u * 60 * 60));
}

std::vector<std::string> const& optionsNotInConfig() {
  static std::vector<std::string> const names{"config", "check-config", "version", "help"};
  return names;
}

}  // namespace gxpolicyd
