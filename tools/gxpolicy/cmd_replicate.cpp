// gxpolicy replicate: brings a replica database file up to date from a
// master database file, or from snapshots published under an http:// or
// https:// URL (gxpolicy publish), as a server's local policy does when it
// opens; with --watch it keeps polling and rebuilds when the master moved.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/remote/daDelta.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "outside/hxsvc.h"
#include "tools/gxpolicy/gxpolicy.h"
#include "tools/common/signing_keys.h"
#include "tools/common/status_text.h"

namespace gxpolicy {
namespace {

struct ReplicateArgs {
  std::string master;
  std::string replica;
  std::string domain = "Default";
  double watch = 0;         // seconds between polls; 0: replicate once
  unsigned long polls = 0;  // with --watch: stop after this many polls (0: never)
  std::string caFile;
  std::string tokenFile;
  std::string clientCert;
  std::string clientKey;
  bool insecure = false;
  double connectTimeout = 10;
  double timeout = 600;
  unsigned retries = 2;
  bool allowRollback = false;
  std::vector<std::string> trust;  // public key files; any given: manifests must be signed by one
  std::string s3Endpoint, s3Region;
  bool ociPlainHttp = false;
};

bool isUrl(std::string const& s) {
  return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0 || s.rfind("s3://", 0) == 0 ||
         s.rfind("oci://", 0) == 0;
}

// The client for the master: a file, or snapshots under a URL.
std::unique_ptr<daAbstractReplicatedClient> makeClient(ReplicateArgs const& a) {
  if (!isUrl(a.master)) {
    auto file = std::make_unique<daFileReplicatedClient>(a.master.c_str(), a.domain.c_str());
    file->setAllowRollback(a.allowRollback);
    return file;
  }
  daHttpReplicaOptions o;
  o.connectTimeoutMs = static_cast<long>(a.connectTimeout * 1000);
  o.totalTimeoutMs = static_cast<long>(a.timeout * 1000);
  o.manifestTimeoutMs = std::min(o.manifestTimeoutMs, o.totalTimeoutMs);
  o.allowRollback = a.allowRollback;
  o.retries = a.retries;
  o.verifyTls = !a.insecure;
  o.caFile = a.caFile;
  o.clientCert = a.clientCert;
  o.clientKey = a.clientKey;
  o.domain = a.domain;
  o.s3Endpoint = a.s3Endpoint;
  o.s3Region = a.s3Region;
  o.ociPlainHttp = a.ociPlainHttp;
  Problem problem;
  auto trusted = loadKeyFiles(a.trust, false, problem);
  if (!trusted) {
    std::fprintf(stderr, "gxpolicy: %s\n", describe(problem).c_str());
    throw CLI::RuntimeError(kExitError);
  }
  o.trustedKeys = std::move(*trusted);
  if (!a.tokenFile.empty()) {
    std::ifstream in(a.tokenFile);
    if (!in || !std::getline(in, o.bearerToken) || o.bearerToken.empty()) {
      std::fprintf(stderr, "gxpolicy: cannot read a token from %s; give a file whose first line is the token\n",
                   a.tokenFile.c_str());
      throw CLI::RuntimeError(kExitError);
    }
  }
  return std::make_unique<daHttpReplicatedClient>(a.master, o);
}

// What to do about a failure to reach or use the published snapshots.
std::string hint(unsigned long status) {
  switch (status) {
    case da_s_snapshot_unreachable:
      return "check that the web server is up and reachable (proxies come from http_proxy/https_proxy)";
    case da_s_snapshot_http_error:
      return "check that the URL names the folder written by gxpolicy publish (it holds manifest.json) and that "
             "the server may serve it";
    case da_s_snapshot_bad_manifest:
      return "the URL does not serve a manifest written by gxpolicy publish; check the URL";
    case da_s_snapshot_mismatch:
    case da_s_snapshot_bad_compression:
    case hx_db_s_corrupt:
      return "the published snapshot is damaged or incomplete; run gxpolicy publish again on the master host";
    case da_s_snapshot_tls:
      return "check the server's certificate, or give the CA that signed it with --ca-file";
    case da_s_snapshot_too_large:
      return "the snapshot is larger than this client accepts";
    case da_s_snapshot_bad_url:
      return "give an http://, https://, s3://bucket/prefix or oci://registry/repository:tag URL";
    case da_s_oci_unauthorized:
      return "set GXCORE_OCI_USERNAME and GXCORE_OCI_PASSWORD to an account the registry accepts";
    case da_s_s3_no_credentials:
      return "set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, a profile in ~/.aws/credentials, or run where "
             "instance metadata gives a role";
    case da_s_replica_rollback:
      return "the master is older than this replica (a stale or replayed copy); if an older master was restored "
             "on purpose, run again with --allow-rollback";
    case da_s_snapshot_wrong_sequence:
      return "the manifest does not describe the snapshot it names; run gxpolicy publish again on the master host";
    case da_s_snapshot_insecure_redirect:
      return "the server sends https requests to plain http; fix the server's redirect";
    case da_s_snapshot_bad_registry:
      return "the published user registry is damaged; run gxpolicy publish again on the master host";
    case da_s_snapshot_unsigned:
    case da_s_snapshot_unknown_key:
    case da_s_snapshot_bad_signature:
      return "the replica keeps its policy; publish with --sign using a key whose .pub is given with --trust, "
             "or find out who else writes to the server";
    default:
      return "";
  }
}

// --timeout bounds a whole run (one poll with --watch): every request the
// run makes, retries included, ends by then.
void boundRun(ReplicateArgs const& a, daAbstractReplicatedClient& client) {
  if (auto* http = dynamic_cast<daHttpReplicatedClient*>(&client))
    http->setDeadline(std::chrono::steady_clock::now() +
                      std::chrono::milliseconds(static_cast<long long>(a.timeout * 1000)));
}

// "cannot ..." with the HTTP client's account of the failure and a hint.
std::string describeFailure(std::string what, ReplicateArgs const& a, daAbstractReplicatedClient& client,
                            unsigned long st) {
  if (auto* http = dynamic_cast<daHttpReplicatedClient*>(&client)) {
    what += " from " + a.master;
    if (!http->lastError().empty()) what += " (" + http->lastError() + ")";
  }
  if (!hint(st).empty()) what += "; " + hint(st);
  return what;
}

// UTC with milliseconds: watch lines are also how fan-out delays are measured.
std::string now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[40];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
  return buf;
}

// A replica a few changes behind a URL master takes the published deltas
// (daDelta.h) instead of a whole snapshot: true when they brought it to the
// manifest's sequence number, took then saying how. A chain that was
// refused is reported; the caller rebuilds the replica instead.
bool catchUp(ReplicateArgs const& a, daLocalPolicy& replica, daAbstractReplicatedClient& client, std::string& took) {
  auto* http = dynamic_cast<daHttpReplicatedClient*>(&client);
  if (!http || !replica.isStoreOpen()) return false;
  daCatchUpReport report;
  unsigned long st = 0;
  daCatchUpByDeltas(*http, replica, report, st);
  if (st == 0) {
    took = "applied " + std::to_string(report.links) + (report.links == 1 ? " delta" : " deltas") + ", " +
           std::to_string(report.bytesFetched) + " bytes";
    return true;
  }
  if (st != da_s_delta_unusable && st != daAbstractReplicatedClient::s_replica_current) {
    std::printf("%s %s: deltas from sequence %lu refused (%s): %s; rebuilding from the snapshot\n", now().c_str(),
                a.replica.c_str(), report.from, report.problem.c_str(), statusText(st).c_str());
    std::fflush(stdout);
  }
  return false;
}

// Opens an intact replica file without asking the master and, when the
// master is a URL whose manifest lists deltas from the replica's number,
// applies them; took says how. The store is left closed (for openPolicy to
// open, check and if need be rebuild) unless the deltas were applied.
bool openByDeltas(ReplicateArgs const& a, daLocalPolicy& replica, daAbstractReplicatedClient& client,
                  std::string& took) {
  auto* http = dynamic_cast<daHttpReplicatedClient*>(&client);
  struct stat info {};
  if (!http || ::stat(a.replica.c_str(), &info) != 0) return false;
  unsigned long st = 0;
  replica.checkReplicaFile(st);  // a damaged file is set aside: openPolicy rebuilds
  if (st != 0 || ::stat(a.replica.c_str(), &info) != 0) return false;
  replica.setReplicatedClient(nullptr);
  replica.openStore(1, st);
  replica.setReplicatedClient(&client);
  unsigned long master = daLocalStore::invalidSeqnum, masterStatus = 0;
  if (st == 0) client.getMasterSeqNum(master, masterStatus);
  if (st == 0 && masterStatus == 0 && catchUp(a, replica, client, took)) return true;
  unsigned long closeStatus = 0;
  replica.closeStore(closeStatus);
  return false;
}

// Polls every a.watch seconds; one line per change: a rebuild, a failure
// (printed when it starts, not on every poll) and the recovery from one.
void watch(ReplicateArgs const& a, daLocalPolicy& replica, daAbstractReplicatedClient& client) {
  unsigned long failing = 0;
  for (unsigned long poll = 0; a.polls == 0 || poll < a.polls; ++poll) {
    std::this_thread::sleep_for(std::chrono::duration<double>(a.watch));
    boundRun(a, client);
    unsigned long master = daLocalStore::invalidSeqnum, st = 0, local = daLocalStore::invalidSeqnum;
    replica.getLocalSeqNum(local);
    client.getMasterSeqNum(master, st);
    if (st == 0 && master != local) {
      std::string took = "rebuilt";
      if (!catchUp(a, replica, client, took)) replica.rebuildDatabase(st);
      if (st == daAbstractReplicatedClient::s_replica_current) st = 0;
      if (st == 0) {
        unsigned long after = daLocalStore::invalidSeqnum;
        replica.getLocalSeqNum(after);
        std::printf("%s %s: sequence %lu -> %lu: %s\n", now().c_str(), a.replica.c_str(), local, after,
                    took.c_str());
        std::fflush(stdout);
        failing = 0;
        continue;
      }
    }
    if (st != 0 && st != failing) {
      std::printf("%s %s: sequence %lu kept: %s\n", now().c_str(), a.replica.c_str(), local,
                  replicationFailure(client, st).c_str());
      std::fflush(stdout);
    } else if (st == 0 && failing != 0) {
      std::printf("%s %s: sequence %lu: the master answers again\n", now().c_str(), a.replica.c_str(), local);
      std::fflush(stdout);
    }
    failing = st;
  }
}

// The file's identity (0 when there is no file): a rebuild puts a new file
// in place, so a changed identity means the replica was rebuilt.
ino_t inodeOf(std::string const& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void replicate(ReplicateArgs const& a) {
  std::unique_ptr<daAbstractReplicatedClient> clientHolder = makeClient(a);
  daAbstractReplicatedClient& client = *clientHolder;
  // A tool has no domain manager: the rebuild locks this store itself.
  daLocalPolicy replica(a.domain.c_str(), a.replica.c_str(), 0, 0);
  replica.setReplicatedClient(&client);
  ino_t before = inodeOf(a.replica);
  unsigned long st = 0;
  boundRun(a, client);
  std::string took;
  bool updated = openByDeltas(a, replica, client, took);
  replica.openPolicy(1, st);
  if (st != 0) throw CLI::RuntimeError(fail(describeFailure("cannot open or rebuild " + a.replica, a, client, st), st));
  ino_t after = inodeOf(a.replica);

  unsigned long local = daLocalStore::invalidSeqnum;
  unsigned long master = daLocalStore::invalidSeqnum;
  unsigned long masterStatus = 0;
  replica.getLocalSeqNum(local);
  // The HTTP client's manifest was just read (or could not be: the run's
  // time is then spent, and asking again would only wait once more).
  auto* http = dynamic_cast<daHttpReplicatedClient*>(&client);
  if (http && http->haveManifest()) master = http->lastManifest().sequence;
  else if (!http) client.getMasterSeqNum(master, masterStatus);
  else masterStatus = replica.lastRebuildStatus() != 0 ? replica.lastRebuildStatus() : da_s_snapshot_unreachable;
  bool rebuilt = after != before;
  if (updated && !rebuilt) std::printf("%s: updated from the master: %s\n", a.replica.c_str(), took.c_str());
  else std::printf("%s: %s\n", a.replica.c_str(), rebuilt ? "rebuilt from the master" : "not rebuilt");
  std::printf("sequence number: replica %lu, master ", local);
  if (masterStatus == 0) std::printf("%lu\n", master);
  else std::printf("unknown: %s\n", replicationFailure(client, masterStatus).c_str());
  std::string backup = a.replica + daLocalPolicy::backupSuffix;
  if (inodeOf(backup) != 0) std::printf("backup: %s\n", backup.c_str());
  std::fflush(stdout);
  if (a.watch > 0) watch(a, replica, client);
  replica.closePolicy(st);
  if (a.watch > 0) return;
  // The previous database is still usable, but scripts must see that the
  // replication did not happen, and why.
  if (local != master || masterStatus != 0) {
    unsigned long why = replica.lastRebuildStatus() != 0 ? replica.lastRebuildStatus() : masterStatus;
    std::string what = a.replica + " is not current; the previous database stays in use";
    if (why == 0) {
      std::fprintf(stderr, "gxpolicy: %s\n", what.c_str());
      throw CLI::RuntimeError(kExitError);
    }
    throw CLI::RuntimeError(fail(describeFailure(what + ": cannot rebuild it", a, client, why), why));
  }
}

// A new database records its version, so that replicas accept it.
unsigned long storeDatabaseInfo(daLocalStore& store) {
  GxAuthznDBInfo info(gxauthzn_db_s_t{daLocalPolicy::minimumDatabaseVersion, 0, 0, 0, 0});
  gxobj_holder record;
  unsigned long st = 0;
  unsigned long seq = 0;
  info.encode(record.rec, st);
  if (st != 0) return st;
  store.setObject(daAuthDBInfoName().getFullName(), record.rec, seq, st);
  return st;
}

}  // namespace

void registerReplicateCommands(CLI::App& app) {
  addCreateStep(&storeDatabaseInfo);
  auto args = std::make_shared<ReplicateArgs>();
  auto* sub = app.add_subcommand("replicate", "bring a replica policy database up to date from a master");
  sub->add_option("MASTER", args->master,
                  "master policy database file, or the http://, https://, s3:// or oci:// URL of a folder written by gxpolicy publish")
      ->required();
  sub->add_option("REPLICA", args->replica, "replica policy database file (created when missing)")->required();
  sub->add_option("--domain", args->domain, "policy domain (names the inter-process lock)");
  sub->add_option("--watch", args->watch, "keep polling every SECONDS (fractions allowed) and follow the master when it moved")
      ->check(CLI::PositiveNumber);
  sub->add_option("--polls", args->polls, "with --watch: stop after this many polls (default: never)");
  sub->add_option("--ca-file", args->caFile, "https: CA bundle to verify the server against");
  sub->add_option("--token-file", args->tokenFile, "http(s): file whose first line is a bearer token to send");
  sub->add_option("--cert", args->clientCert, "https: PEM client certificate");
  sub->add_option("--key", args->clientKey, "https: PEM private key of the client certificate");
  sub->add_flag("--insecure", args->insecure, "https: do not verify the server's certificate (testing only)");
  sub->add_option("--connect-timeout", args->connectTimeout, "http(s): seconds to connect (default 10)")
      ->check(CLI::PositiveNumber);
  sub->add_option("--timeout", args->timeout,
                  "http(s): seconds for the whole run (each poll with --watch), retries included (default 600)")
      ->check(CLI::PositiveNumber);
  sub->add_flag("--allow-rollback", args->allowRollback,
                "accept a master older than the replica (to restore an older master on purpose)");
  sub->add_option("--s3-endpoint", args->s3Endpoint,
                  "s3:// master: the server, http(s)://host[:port] (default: AWS_ENDPOINT_URL, else AWS's)");
  sub->add_option("--s3-region", args->s3Region, "s3:// master: signing region (default: AWS_REGION, else us-east-1)");
  sub->add_flag("--oci-plain-http", args->ociPlainHttp,
                "oci:// master: the registry speaks plain http (loopback); credentials come from GXCORE_OCI_USERNAME "
                "and GXCORE_OCI_PASSWORD");
  sub->add_option("--trust", args->trust,
                  "http(s): public key (KEY.pub from gxpolicy keygen) a manifest must be signed by; repeatable; any "
                  "given: unsigned manifests, unknown keys and bad signatures are refused")
      ->allow_extra_args(false);
  sub->add_option("--retries", args->retries, "http(s): further tries after a failure that may pass (default 2)");
  sub->callback([args] { replicate(*args); });
}

}  // namespace gxpolicy
