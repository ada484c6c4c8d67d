// Replicas fed over HTTP: snapshots published with daPublishSnapshot into a
// folder that a real, throw-away nginx serves on a loopback port, fetched
// by daHttpReplicatedClient into a daLocalPolicy replica. Damaged, cut or
// missing snapshots, bad manifests and a server that is down or silent are
// refused with the previous replica still serving.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/remote/daDelta.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/remote/daSnapshot.h"
#include "outside/file_registry.h"
#include "outside/hxdigest.h"
#include "fault_injection.h"
#include "loopback.h"
#include "published_master.h"
#include "test_support.h"
#include "tools/common/estate.h"

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using gxtest::hasAcl;
using gxtest::readFile;
using gxtest::TempDir;
using gxtest::writeFile;

// A master database with version information and one ACL per name.
void makeMaster(std::string const& path, std::vector<std::string> const& acls) {
  gxtest::makePolicyDb(path, acls, daLocalPolicy::minimumDatabaseVersion, "hr");
}

using Nginx = gxtest::StaticNginx;
using gxtest::SilentServer;
daHttpReplicaOptions testOptions() { return gxtest::replicaOptions(); }

// The published master with a replica fed from its URL.
class HttpReplica : public gxtest::PublishedMaster {
 protected:
  void SetUp() override {
    PublishedMaster::SetUp();
    client_ = std::make_unique<daHttpReplicatedClient>(server_->url(), testOptions());
  }
  unsigned long publish(unsigned keep = 3) { return PublishedMaster::publish({keep, 10}); }
  unsigned long openReplica() { return PublishedMaster::openReplica(*client_); }
  // Publishes a master that moved (a new ACL "m2"), so that the replica
  // wants the new snapshot; returns its path in the served folder.
  std::string publishNewer() {
    gxtest::addAcls(master_, {"m2"}, "hr");
    EXPECT_EQ(publish(), 0u);
    return www_ + "/" + published_.file;
  }
  // The refused rebuild left the replica as it was and nothing beside it.
  void expectOldReplicaServing(unsigned long seqBefore) {
    EXPECT_EQ(replicaSeq(), seqBefore);
    EXPECT_TRUE(hasAcl(*replica_, "m1"));
    EXPECT_FALSE(hasAcl(*replica_, "m2"));
    EXPECT_FALSE(fs::exists(replicaPath_ + daLocalPolicy::tmpSuffix));
    EXPECT_FALSE(fs::exists(replicaPath_ + daLocalPolicy::tmpSuffix + std::string(".download")));
  }

  std::unique_ptr<daHttpReplicatedClient> client_;
};

TEST_F(HttpReplica, ReplicaBuiltFromAPublishedSnapshotAnswersLikeTheMaster) {
  ASSERT_EQ(publish(), 0u);
  ASSERT_EQ(openReplica(), 0u);
  EXPECT_TRUE(hasAcl(*replica_, "m0"));
  EXPECT_TRUE(hasAcl(*replica_, "m1"));
  EXPECT_FALSE(hasAcl(*replica_, "m2"));
  EXPECT_EQ(replicaSeq(), published_.sequence);
  EXPECT_EQ(fs::status(replicaPath_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  // The master moves; the next rebuild brings the replica along.
  publishNewer();
  EXPECT_EQ(rebuild(), 0u);
  EXPECT_TRUE(hasAcl(*replica_, "m2"));
  EXPECT_EQ(replicaSeq(), published_.sequence);
  EXPECT_EQ(rebuild(), daAbstractReplicatedClient::s_replica_current);
}

TEST_F(HttpReplica, SecondPollIsAnsweredByNotModifiedFromTheKeptManifest) {
  ASSERT_EQ(publish(), 0u);
  unsigned long seq = 0, st = 1;
  client_->getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  client_->getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(seq, published_.sequence);
  std::vector<std::string> log = server_->accessLog(2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("200 ", 0), 0u) << log[0];
  EXPECT_EQ(log[1], "304 0 \"GET /manifest.json HTTP/1.1\"");

  // A new manifest is fetched in full again.
  publishNewer();
  client_->getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(seq, published_.sequence);
  log = server_->accessLog(3);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log.back().rfind("200 ", 0), 0u) << log.back();
}

// Each damage is done to a newer snapshot or manifest than the replica's
// (the next case publishes over it); the rebuild is refused with the
// damage's status and the old replica goes on serving.
TEST_F(HttpReplica, DamagedSnapshotOrManifestIsRefused) {
  struct Case {
    char const* what;
    std::function<void(std::string const& snapshot)> damage;
    unsigned long status;
    char const* errorSays = "";
  } const cases[] = {
      {"flipped byte",
       [](std::string const& snapshot) {
         std::string bytes = readFile(snapshot);
         bytes[bytes.size() / 2] ^= 0x01;
         writeFile(snapshot, bytes);
       },
       da_s_snapshot_mismatch},
      {"cut in half",
       [](std::string const& snapshot) { fs::resize_file(snapshot, fs::file_size(snapshot) / 2); },
       da_s_snapshot_mismatch},
      {"manifest naming a missing file",
       [this](std::string const&) {
         daSnapshotManifest m = published_;
         m.sequence += 10;
         m.file = "snapshots/missing.gxdb.zst";
         writeFile(www_ + "/manifest.json", daSnapshotManifestToJson(m));
       },
       da_s_snapshot_http_error, "404"},
      {"manifest that is not JSON",
       [this](std::string const&) { writeFile(www_ + "/manifest.json", "<html>maintenance</html>\n"); },
       da_s_snapshot_bad_manifest},
  };
  ASSERT_EQ(publish(), 0u);
  ASSERT_EQ(openReplica(), 0u);
  unsigned long before = replicaSeq();
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage(publishNewer());
    EXPECT_EQ(rebuild(), c.status);
    expectOldReplicaServing(before);
    EXPECT_NE(client_->lastError().find(c.errorSays), std::string::npos) << client_->lastError();
  }
  // The manifest that is not JSON also fails a plain poll.
  unsigned long seq = 0, st = 0;
  client_->getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_bad_manifest);
  EXPECT_EQ(seq, daLocalStore::invalidSeqnum);
}

TEST_F(HttpReplica, SnapshotMatchingItsManifestButNotADatabaseIsRefused) {
  ASSERT_EQ(publish(), 0u);
  ASSERT_EQ(openReplica(), 0u);
  unsigned long before = replicaSeq();
  // A well-formed snapshot of a file that is no database: the digests
  // agree, so only the database check can refuse it.
  std::string junk = dir_.file("junk.db");
  writeFile(junk, std::string(16384, 'x'));
  std::string served = www_ + "/snapshots/junk.gxdb.zst";
  ASSERT_EQ(std::system(("zstd -q -f '" + junk + "' -o '" + served + "'").c_str()), 0) << "zstd is missing";
  daSnapshotManifest m = published_;
  m.sequence += 10;
  m.file = "snapshots/junk.gxdb.zst";
  m.size = fs::file_size(served);
  std::string sha;
  unsigned long st = 0;
  hx_file_sha256(served.c_str(), sha, st);
  ASSERT_EQ(st, 0u);
  m.sha256 = sha;
  m.rawSize = fs::file_size(junk);
  hx_file_sha256(junk.c_str(), m.rawSha256, st);
  writeFile(www_ + "/manifest.json", daSnapshotManifestToJson(m));
  EXPECT_EQ(rebuild(), hx_db_s_corrupt);
  expectOldReplicaServing(before);
}

TEST_F(HttpReplica, StoppedServerIsReportedAndTheReplicaKeepsItsCopy) {
  ASSERT_EQ(publish(), 0u);
  ASSERT_EQ(openReplica(), 0u);
  unsigned long before = replicaSeq();
  server_->stop();
  unsigned long seq = 0, st = 0;
  client_->getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_unreachable);
  EXPECT_EQ(rebuild(), da_s_snapshot_unreachable);
  expectOldReplicaServing(before);
  // Reopening with the server down keeps the old replica in use.
  unsigned long closeStatus = 0;
  replica_->closePolicy(closeStatus);
  replica_->openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_TRUE(hasAcl(*replica_, "m1"));
}

// A download with each write, sync, rename and map call under the
// replica's folder failing in turn (EIO, ENOSPC): the rebuild reports it,
// and the replica is the old one or the new snapshot's, sound, with nothing
// left beside it.
TEST_F(HttpReplica, DownloadWithAnyCallFailingKeepsTheOldReplicaOrInstallsTheNew) {
  gxtest::MessageCapture quiet;
  ASSERT_EQ(publish(), 0u);
  unsigned long oldSeq = published_.sequence;
  std::string folder = dir_.file("faulty"), saved = dir_.file("saved");
  std::string replica = folder + "/replica.db";
  auto fetch = [&] {
    daHttpReplicatedClient client(server_->url(), testOptions());
    daLocalPolicy policy("hr", replica.c_str(), 0, 0);
    policy.setReplicatedClient(&client);
    unsigned long st = 1;
    policy.openPolicy(1, st);
    return st != 0 ? st : policy.lastRebuildStatus();
  };
  fs::create_directories(folder);
  ASSERT_EQ(fetch(), 0u);
  fs::copy(folder, saved, fs::copy_options::recursive);
  publishNewer();
  unsigned long newSeq = published_.sequence;
  for (int err : {EIO, ENOSPC}) {
    gxtest::faults::failEachCall(
        folder, err,
        [&] {
          fs::remove_all(folder);
          fs::copy(saved, folder, fs::copy_options::recursive);
        },
        fetch,
        [&](unsigned long status) {
          daLocalStore store("hr", replica.c_str());
          unsigned long st = 1, seq = 0;
          store.openStore(1, st);
          store.getLocalSeqNum(seq);
          if (st != 0) return 1;
          if (status == 0 && seq != newSeq) return 2;
          if (seq != oldSeq && seq != newSeq) return 3;
          for (auto const& e : fs::directory_iterator(folder)) {
            std::string name = e.path().filename().string();
            if (name.find(".tmp") != std::string::npos || name.find(".download") != std::string::npos) return 4;
          }
          return 0;
        });
  }
}

TEST_F(HttpReplica, SnapshotOverTheSizeCapIsNotDownloaded) {
  ASSERT_EQ(publish(), 0u);
  daHttpReplicaOptions o = testOptions();
  o.maxSnapshotBytes = 100;
  daHttpReplicatedClient small(server_->url(), o);
  unsigned long seq = daLocalStore::invalidSeqnum, st = 0;
  std::string target = dir_.file("capped.db");
  small.replicateTo(seq, target.c_str(), st);
  EXPECT_EQ(st, da_s_snapshot_too_large);
  EXPECT_FALSE(fs::exists(target));
  for (auto const& line : server_->accessLog()) EXPECT_EQ(line.find("snapshots/"), std::string::npos) << line;
}

// An older manifest put back on the server (a stale CDN edge, a replayed
// answer) is refused, by this client and by a fresh one that knows only
// the replica's number; a manifest claiming a newer number for an older
// snapshot is refused always; an operator who restores an older master on
// purpose allows the rollback.
TEST_F(HttpReplica, OlderOrMislabelledManifestIsRefusedUnlessARollbackIsAllowed) {
  ASSERT_EQ(publish(), 0u);
  std::string olderManifest = readFile(www_ + "/manifest.json");
  daSnapshotManifest older = published_;
  ASSERT_EQ(openReplica(), 0u);
  publishNewer();
  ASSERT_EQ(rebuild(), 0u);
  unsigned long newer = replicaSeq();

  serveManifest(olderManifest);
  EXPECT_EQ(rebuild(), daAbstractReplicatedClient::s_replica_rollback);
  EXPECT_NE(client_->lastError().find("older than the replica"), std::string::npos) << client_->lastError();
  EXPECT_TRUE(hasAcl(*replica_, "m2"));
  daHttpReplicatedClient fresh(server_->url(), testOptions());
  unsigned long seq = newer, st = 0;
  fresh.replicateTo(seq, dir_.file("fresh.db").c_str(), st);
  EXPECT_EQ(st, daAbstractReplicatedClient::s_replica_rollback);

  daSnapshotManifest mislabelled = older;
  mislabelled.sequence = newer + 100;
  serveManifest(daSnapshotManifestToJson(mislabelled));
  EXPECT_EQ(rebuild(), da_s_snapshot_wrong_sequence);
  EXPECT_EQ(replicaSeq(), newer);
  EXPECT_FALSE(fs::exists(replicaPath_ + daLocalPolicy::tmpSuffix));

  serveManifest(olderManifest);
  daHttpReplicaOptions o = testOptions();
  o.allowRollback = true;
  daHttpReplicatedClient restoring(server_->url(), o);
  replica_->setReplicatedClient(&restoring);
  EXPECT_EQ(rebuild(), 0u);
  EXPECT_EQ(replicaSeq(), older.sequence);
  EXPECT_FALSE(hasAcl(*replica_, "m2"));
  replica_->setReplicatedClient(client_.get());
}

// The master's registry is published with the policy and installed beside
// the replica, where names resolve; a registry changed alone arrives too; a
// registry tampered with on the server is refused and the previous one kept.
TEST_F(HttpReplica, RegistryTravelsWithThePolicyAndATamperedOneIsRefused) {
  auto registry = [](std::string const& user) {
    return R"({"users": [{"name": ")" + user + R"(", "uuid": "6f1c2a3e-0b1d-4c2e-9f00-000000000001", )"
           R"("groups": ["hr"]}], "groups": [{"name": "hr", "uuid": "6f1c2a3e-0b1d-4c2e-9f00-000000000002"}]})";
  };
  writeFile(daRegistryPathOf(master_), registry("alice"));
  ASSERT_EQ(publish(), 0u);
  ASSERT_FALSE(published_.registryFile.empty());
  ASSERT_EQ(openReplica(), 0u);
  std::string beside = daRegistryPathOf(replicaPath_);
  std::unique_ptr<gxreg::FileRegistry> loaded;
  std::string message;
  ASSERT_EQ(gxreg::FileRegistry::load(beside, true, loaded, message), 0u) << message;
  hx_uuid_t uuid;
  EXPECT_EQ(loaded->userUuid("alice", uuid), 0u);
  EXPECT_EQ(fs::status(beside).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  // Only the registry changed: a new manifest, the same snapshot.
  unsigned long seq = published_.sequence;
  writeFile(daRegistryPathOf(master_), registry("alice2"));
  ASSERT_EQ(publish(), 0u);
  EXPECT_EQ(published_.sequence, seq);
  EXPECT_EQ(rebuild(), daAbstractReplicatedClient::s_replica_current);
  EXPECT_EQ(readFile(beside), registry("alice2"));

  // Tampered on the server: refused, the previous registry kept.
  writeFile(daRegistryPathOf(master_), registry("alice3"));
  ASSERT_EQ(publish(), 0u);
  writeFile(www_ + "/" + published_.registryFile, registry("mallory"));
  EXPECT_EQ(rebuild(), daAbstractReplicatedClient::s_replica_current);
  EXPECT_EQ(readFile(beside), registry("alice2"));
  unsigned long st = 0;
  client_->afterReplication(replicaPath_.c_str(), st);
  EXPECT_EQ(st, da_s_snapshot_bad_registry);
  EXPECT_NE(client_->lastError().find("kept"), std::string::npos) << client_->lastError();
}

// A master and the folder its snapshots are published into.
class SnapshotPublish : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = dir_.file("master.db");
    www_ = dir_.file("www");
    makeMaster(master_, {"m0"});
  }
  unsigned long publish(unsigned keep, daSnapshotPublishResult& result) { return publish({keep, 10}, result); }
  unsigned long publish(daPublishOptions const& options, daSnapshotPublishResult& result) {
    unsigned long st = 0;
    daPublishSnapshot(master_.c_str(), www_.c_str(), "hr", options, result, st);
    return st;
  }
  std::set<std::string> served() const {
    std::set<std::string> names;
    for (auto const& e : fs::directory_iterator(www_ + "/snapshots")) names.insert(e.path().filename().string());
    return names;
  }
  TempDir dir_;
  std::string master_, www_;
};

// Servers of the next tests: one that wants a bearer token, one on https
// with a self-signed certificate for 127.0.0.1.
class HttpReplicaServerOptions : public SnapshotPublish {
 protected:
  void SetUp() override {
    SnapshotPublish::SetUp();
    daSnapshotPublishResult r;
    ASSERT_EQ(publish(3, r), 0u);
  }
  // Makes cert.pem and key.pem; false when openssl is missing.
  bool makeCertificate() {
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                      "-addext subjectAltName=IP:127.0.0.1 -keyout '" + dir_.file("key.pem") + "' -out '" +
                      dir_.file("cert.pem") + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
  static unsigned long poll(daHttpReplicatedClient& client) {
    unsigned long seq = 0, st = 0;
    client.getMasterSeqNum(seq, st);
    return st;
  }
};

TEST_F(HttpReplicaServerOptions, BearerTokenIsSentWhenGiven) {
  Nginx server(www_, {.token = "s3cret"});
  ASSERT_TRUE(server.running()) << "nginx could not be started: " << server.error();
  daHttpReplicatedClient without(server.url(), testOptions());
  EXPECT_EQ(poll(without), da_s_snapshot_http_error);
  EXPECT_NE(without.lastError().find("401"), std::string::npos) << without.lastError();
  daHttpReplicaOptions o = testOptions();
  o.bearerToken = "s3cret";
  daHttpReplicatedClient with(server.url(), o);
  EXPECT_EQ(poll(with), 0u);
}

TEST_F(HttpReplicaServerOptions, HttpsCertificateIsVerifiedByDefaultAndAcceptedWithItsCa) {
  ASSERT_TRUE(makeCertificate()) << "openssl could not make a certificate: run scripts/setup";
  Nginx server(www_, {.certFile = dir_.file("cert.pem"), .keyFile = dir_.file("key.pem")});
  ASSERT_TRUE(server.running()) << "nginx could not be started: " << server.error();
  ASSERT_EQ(server.url().rfind("https://", 0), 0u);

  daHttpReplicatedClient untrusting(server.url(), testOptions());
  EXPECT_EQ(poll(untrusting), da_s_snapshot_tls);

  daHttpReplicaOptions o = testOptions();
  o.caFile = dir_.file("cert.pem");
  daHttpReplicatedClient trusting(server.url(), o);
  unsigned long seq = daLocalStore::invalidSeqnum, st = 0;
  std::string target = dir_.file("replica.db");
  trusting.replicateTo(seq, target.c_str(), st);
  EXPECT_EQ(st, 0u);
  EXPECT_TRUE(fs::exists(target));
}

// An https master that sends the client to plain http: the redirect is not
// followed, so nothing is fetched over the plain-text leg.
TEST_F(HttpReplicaServerOptions, HttpsMasterRedirectingToHttpIsNotFollowed) {
  ASSERT_TRUE(makeCertificate()) << "openssl could not make a certificate: run scripts/setup";
  Nginx plain(www_);
  ASSERT_TRUE(plain.running()) << "nginx could not be started: " << plain.error();
  Nginx secure(www_, {.certFile = dir_.file("cert.pem"),
                      .keyFile = dir_.file("key.pem"),
                      .extra = "    location = /manifest.json { return 302 " + plain.url() + "manifest.json; }\n"});
  ASSERT_TRUE(secure.running()) << "nginx could not be started: " << secure.error();
  daHttpReplicaOptions o = testOptions();
  o.caFile = dir_.file("cert.pem");
  daHttpReplicatedClient client(secure.url(), o);
  EXPECT_EQ(poll(client), da_s_snapshot_insecure_redirect);
  EXPECT_FALSE(client.haveManifest());
  EXPECT_NE(client.lastError().find("not https"), std::string::npos) << client.lastError();
  EXPECT_TRUE(plain.accessLog().empty());
}

// The time-out bounds a whole call, retries and waits included, and a
// deadline bounds every call after it: a silent server costs the time-out
// once, not once per try or per call.
TEST(HttpReplicaClient, TimeOutBoundsTheWholeCallAndTheDeadlineEveryCall) {
  SilentServer silent;
  daHttpReplicaOptions o = testOptions();
  o.totalTimeoutMs = 400;
  o.retries = 5;
  daHttpReplicatedClient client(silent.url("http", "/"), o);
  unsigned long seq = 0, st = 0;
  auto started = std::chrono::steady_clock::now();
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_unreachable);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1200));

  o.totalTimeoutMs = 10000;
  daHttpReplicatedClient bounded(silent.url("http", "/"), o);
  started = std::chrono::steady_clock::now();
  bounded.setDeadline(started + std::chrono::milliseconds(400));
  TempDir dir;
  bounded.getMasterSeqNum(seq, st);
  bounded.replicateTo(seq, dir.file("r.db").c_str(), st);
  EXPECT_EQ(st, da_s_snapshot_unreachable);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1200));
}

// cancel() from another thread ends a request in flight within about a
// second and refuses later ones until resume().
TEST(HttpReplicaClient, CancelEndsARequestInFlightPromptly) {
  SilentServer silent;
  daHttpReplicaOptions o = testOptions();
  o.totalTimeoutMs = 30000;
  o.manifestTimeoutMs = 30000;
  daHttpReplicatedClient client(silent.url("http", "/"), o);
  unsigned long seq = 0, st = 0;
  auto started = std::chrono::steady_clock::now();
  std::thread asking([&] { client.getMasterSeqNum(seq, st); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  client.cancel();
  asking.join();
  EXPECT_EQ(st, da_s_snapshot_cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_cancelled);
  client.resume();
  client.setDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_unreachable);
}

TEST(HttpReplicaClient, UrlThatIsNotHttpIsRefused) {
  TempDir dir;
  daHttpReplicatedClient client("file:///etc/");
  unsigned long seq = 0, st = 0;
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_bad_url);
  client.replicateTo(seq, dir.file("r.db").c_str(), st);
  EXPECT_EQ(st, da_s_snapshot_bad_url);
  EXPECT_FALSE(fs::exists(dir.file("r.db")));
}

TEST(SnapshotManifest, RoundTripsAndRefusesUnsafeOrIncompleteManifests) {
  daSnapshotManifest m;
  m.sequence = 42;
  m.file = "snapshots/42.gxdb.zst";
  m.size = 100;
  m.sha256 = std::string(64, 'a');
  m.rawSize = 4096;
  m.rawSha256 = std::string(64, 'b');
  m.dbVersion = 0x600;
  m.time = "2026-01-01T00:00:00Z";
  m.digest = std::string(64, 'c');
  m.deltas.push_back(daSnapshotDelta{41, 42, "snapshots/41-42.delta.zst", 90, std::string(64, 'd'), 200,
                                     std::string(64, 'e'), m.digest});
  m.fileSequence = 41;
  m.fileDigest = std::string(64, 'e');
  daSnapshotManifest back;
  unsigned long st = 1;
  daSnapshotManifestParse(daSnapshotManifestToJson(m), back, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(back.sequence, 42u);
  EXPECT_EQ(back.file, m.file);
  EXPECT_EQ(back.rawSha256, m.rawSha256);
  EXPECT_EQ(back.dbVersion, 0x600u);
  EXPECT_EQ(back.digest, m.digest);
  ASSERT_EQ(back.deltas.size(), 1u);
  EXPECT_EQ(back.deltas[0].from, 41u);
  EXPECT_EQ(back.deltas[0].fromDigest, m.deltas[0].fromDigest);
  EXPECT_EQ(back.deltas[0].rawSize, 200u);
  EXPECT_EQ(daSnapshotFileSequence(back), 41u);
  EXPECT_EQ(daSnapshotFileDigest(back), m.fileDigest);

  for (char const* file : {"../master.db", "snapshots/../../etc/passwd", "/etc/passwd", "snapshots/.hidden",
                           "snapshots/a/b.zst", "snapshots/"}) {
    daSnapshotManifest bad = m;
    bad.file = file;
    daSnapshotManifestParse(daSnapshotManifestToJson(bad), back, st);
    EXPECT_EQ(st, da_s_snapshot_bad_manifest) << file;
  }
  daSnapshotManifest shortDigest = m, unsafeDelta = m, shortDeltaDigest = m;
  shortDigest.sha256 = "abc";
  unsafeDelta.deltas[0].file = "../master.db";
  shortDeltaDigest.deltas[0].digest = "abc";
  for (auto const* bad : {&shortDigest, &unsafeDelta, &shortDeltaDigest}) {
    daSnapshotManifestParse(daSnapshotManifestToJson(*bad), back, st);
    EXPECT_EQ(st, da_s_snapshot_bad_manifest);
  }
  daSnapshotManifestParse("{\"format\": 1, \"sequence\": 3}", back, st);
  EXPECT_EQ(st, da_s_snapshot_bad_manifest);
  daSnapshotManifestParse("[1, 2]", back, st);
  EXPECT_EQ(st, da_s_snapshot_bad_manifest);
  EXPECT_EQ(back.sequence, 42u);  // left as it was
}

TEST_F(SnapshotPublish, UnchangedMasterPublishesNothingAndOnlyTheNewestAreKept) {
  daSnapshotPublishResult r;
  daPublishOptions two{2, 2};
  ASSERT_EQ(publish(two, r), 0u);
  unsigned long first = r.manifest.sequence;
  std::string manifest = readFile(www_ + "/manifest.json");
  EXPECT_EQ(publish(two, r), da_s_snapshot_unchanged);
  EXPECT_EQ(r.manifest.sequence, first);
  EXPECT_EQ(readFile(www_ + "/manifest.json"), manifest);

  std::vector<unsigned long> seqs{first};
  for (int i = 1; i <= 3; ++i) {
    gxtest::addAcls(master_, {"n" + std::to_string(i)}, "hr");
    ASSERT_EQ(publish(two, r), 0u);
    seqs.push_back(r.manifest.sequence);
  }
  // The manifest names the newest; one older snapshot is kept beside it,
  // with the two newest deltas it lists and the one more the previous
  // manifest listed (a replica may be reading that one); no temporary file
  // is left.
  auto delta = [&](int i) { return std::to_string(seqs[i - 1]) + "-" + std::to_string(seqs[i]) + ".delta.zst"; };
  std::set<std::string> expected{std::to_string(seqs[3]) + ".gxdb.zst", std::to_string(seqs[2]) + ".gxdb.zst",
                                 delta(1), delta(2), delta(3)};
  EXPECT_EQ(served(), expected);
  EXPECT_EQ(r.manifest.file, "snapshots/" + std::to_string(seqs[3]) + ".gxdb.zst");
  ASSERT_EQ(r.manifest.deltas.size(), 2u);
  EXPECT_EQ(r.manifest.deltas[0].from, seqs[1]);
  EXPECT_EQ(r.manifest.deltas[1].to, seqs[3]);
  EXPECT_EQ(r.manifest.deltas[1].digest, r.manifest.digest);
  EXPECT_EQ(r.manifest.dbVersion, daLocalPolicy::minimumDatabaseVersion);
  for (auto const& e : fs::directory_iterator(www_))
    EXPECT_TRUE(e.path().filename() == "manifest.json" || e.path().filename() == "snapshots" ||
                e.path().filename().string()[0] == '.')
        << e.path();
}

// The master's change log stays on the master: neither a snapshot nor a
// delta carries it, and it is no part of the published digest.
TEST_F(SnapshotPublish, ChangeLogIsLeftOutOfSnapshotsAndDeltas) {
  auto logEntry = [&](char const* key) {
    daLocalStore s("hr", master_.c_str());
    unsigned long st = 0;
    s.openStore(0, st);
    hx_db_store(s.getDBHandle(), key, gxobj_t{nullptr, 1, 0, 0, nullptr}, st);
    ASSERT_EQ(st, 0u);
  };
  logEntry("/auth/changelog/1");
  daSnapshotPublishResult r;
  ASSERT_EQ(publish(3, r), 0u);
  std::string db = dir_.file("copy.db"), digest;
  uint64_t size = 0;
  unsigned long st = 0;
  daSnapshotDecompress((www_ + "/" + r.manifest.file).c_str(), db.c_str(), uint64_t{1} << 30, digest, size, st);
  ASSERT_EQ(st, 0u);
  {
    daLocalStore copy("hr", db.c_str());
    copy.openStore(1, st);
    ASSERT_EQ(st, 0u);
    hx_db_record entry(copy.getDBHandle(), "/auth/changelog/1", st);
    EXPECT_EQ(st, hx_db_s_not_found);
    daContentDigest full;
    daDigestOfDatabase(copy.getDBHandle(), full, st);
    EXPECT_EQ(full.hex(), r.manifest.digest);
  }

  logEntry("/auth/changelog/2");
  gxtest::addAcls(master_, {"n1"}, "hr");
  ASSERT_EQ(publish(3, r), 0u);
  ASSERT_EQ(r.manifest.deltas.size(), 1u);
  std::string raw;
  daZstdDecompress(readFile(www_ + "/" + r.manifest.deltas[0].file), 1 << 20, raw, st);
  daDelta d;
  ASSERT_TRUE(daDeltaDecode(raw, d));
  ASSERT_FALSE(d.changes.empty());
  for (auto const& c : d.changes) EXPECT_EQ(c.key.find("changelog"), std::string::npos) << c.key;
}

TEST_F(SnapshotPublish, DamagedMasterIsNotPublished) {
  daSnapshotPublishResult r;
  ASSERT_EQ(publish(3, r), 0u);
  std::string manifest = readFile(www_ + "/manifest.json");
  std::string bytes = readFile(master_);
  for (size_t i = 0; i < 64; ++i) bytes[16 + i] = static_cast<char>(0xA5);  // the first meta page
  for (size_t i = 0; i < 64; ++i) bytes[4096 + 16 + i] = static_cast<char>(0xA5);  // and the second
  writeFile(master_, bytes);
  EXPECT_EQ(publish(3, r), hx_db_s_corrupt);
  EXPECT_EQ(readFile(www_ + "/manifest.json"), manifest);
}

// A writer commits ACLs w0, w1, ... one per transaction while snapshots are
// published: each snapshot holds exactly the ACLs committed up to its own
// sequence number (a prefix w0..wk-1), never a half-written state.
TEST_F(SnapshotPublish, PublishingWhileAWriterCommitsYieldsConsistentSnapshots) {
  unsigned long base = daLocalStore::invalidSeqnum;
  {
    daLocalStore s("hr", master_.c_str());
    unsigned long st = 0;
    s.openStore(1, st);
    ASSERT_EQ(st, 0u);
    s.getLocalSeqNum(base);
  }
  // The writer goes on until five snapshots were taken (or it wrote them all).
  constexpr int kWrites = 5000;
  std::atomic<bool> enough{false}, done{false};
  std::thread writer([&] {
    daLocalStore s("hr", master_.c_str());
    unsigned long st = 0;
    s.openStore(0, st);
    for (int i = 0; st == 0 && i < kWrites && !enough.load(); ++i) gxtest::putAcl(s, "w" + std::to_string(i));
    done = true;
  });
  std::vector<daSnapshotManifest> snapshots;
  while (!done.load() && snapshots.size() < 5) {
    daSnapshotPublishResult r;
    unsigned long st = publish(100, r);
    EXPECT_TRUE(st == 0 || st == da_s_snapshot_unchanged) << std::hex << st;
    if (st == 0) snapshots.push_back(r.manifest);
    if (st != 0 && st != da_s_snapshot_unchanged) break;
  }
  enough = true;
  writer.join();
  ASSERT_FALSE(snapshots.empty());

  for (auto const& m : snapshots) {
    std::string db = dir_.file(("check-" + std::to_string(m.sequence) + ".db").c_str());
    std::string sha;
    uint64_t size = 0;
    unsigned long st = 0;
    daSnapshotDecompress((www_ + "/" + m.file).c_str(), db.c_str(), m.rawSize, sha, size, st);
    ASSERT_EQ(st, 0u);
    EXPECT_EQ(sha, m.rawSha256);
    daCachedStore copy("hr", db.c_str(), 0, 0);
    copy.openStore(1, st);
    ASSERT_EQ(st, 0u);
    unsigned long seq = 0;
    copy.getLocalSeqNum(seq);
    EXPECT_EQ(seq, m.sequence);
    int present = 0;
    while (present < kWrites && hasAcl(copy, "w" + std::to_string(present))) ++present;
    EXPECT_EQ(seq - base, static_cast<unsigned long>(present)) << "snapshot " << m.sequence;
    if (present < kWrites) EXPECT_FALSE(hasAcl(copy, "w" + std::to_string(present + 1)));
  }
}

// ---- deltas ---------------------------------------------------------------------------

// A replica (cache on: decisions use the cache and the memo) that follows
// its master by the deltas published beside each snapshot.
class HttpDelta : public HttpReplica {
 protected:
  unsigned long openCachedReplica() { return PublishedMaster::openReplica(*client_, 1); }
  unsigned long catchUp(daCatchUpReport& report) {
    unsigned long seq = 0, st = 0;
    client_->getMasterSeqNum(seq, st);
    if (st == 0) daCatchUpByDeltas(*client_, *replica_, report, st);
    return st;
  }
  unsigned long catchUp() {
    daCatchUpReport report;
    return catchUp(report);
  }
  // On the master: ACL "door", attached at /door, gives unauthenticated
  // callers (and any other) actions.
  void setDoor(char const* actions) {
    daCachedStore writer("hr", master_.c_str(), 1, 0);
    unsigned long st = 0;
    writer.openStore(0, st);
    ASSERT_EQ(st, 0u);
    auto* acl = new GxACL;
    GxACLPermset p;
    writer.mapAction(actions, p, st);
    ASSERT_EQ(st, 0u);
    acl->addCellEntry(p);  // an unauthenticated caller gets what both entries give
    acl->addUnauthEntry(p);
    writer.setObject(daAclName("door"), acl, st);
    ASSERT_EQ(st, 0u);
    auto* map = new GxMapPObjectToACL;
    map->add("door");
    writer.setObject(daPObjName("/door").getPObjToAclMapName(), map, st);
    ASSERT_EQ(st, 0u);
  }
  bool doorOpens() {
    daDecision d;
    unsigned long st = 0;
    replica_->decide("/door", nullptr, "r", nullptr, d, st);
    EXPECT_EQ(st, 0u);
    if (!d.granted()) why_ = daDecisionCauseText(d.cause()) + std::string(": ") + d.reason();
    return st == 0 && d.granted();
  }
  std::string why_;
  // Two more changes of the master, each published: the manifest then
  // lists a chain of two deltas from the replica's number.
  void publishTwoChanges(std::string const& tag) {
    for (char const* step : {"a", "b"}) {
      gxtest::addAcls(master_, {tag + step}, "hr");
      ASSERT_EQ(publish(), 0u);
    }
  }
  nlohmann::json manifest() const { return nlohmann::json::parse(readFile(www_ + "/manifest.json")); }
};

TEST_F(HttpDelta, OneEntryChangeTravelsAsASmallDeltaAndDecisionsSeeIt) {
  {
    daCachedStore writer("hr", master_.c_str(), 1, 0);
    unsigned long st = 0;
    writer.openStore(0, st);
    gxestate::Options o;
    o.objects = 20000;
    gxestate::Estate estate;
    gxestate::generate(writer, o, estate, st);
    ASSERT_EQ(st, 0u);
  }
  setDoor("r");
  ASSERT_EQ(publish(), 0u);
  ASSERT_EQ(openCachedReplica(), 0u);
  EXPECT_TRUE(doorOpens()) << why_;
  EXPECT_TRUE(doorOpens());  // now from the memo
  EXPECT_GT(published_.size, 64u * 1024);

  setDoor("T");
  ASSERT_EQ(publish(), 0u);
  uint64_t before = client_->bytesFetched();
  daCatchUpReport report;
  ASSERT_EQ(catchUp(report), 0u) << report.problem;
  EXPECT_EQ(report.links, 1u);
  EXPECT_LE(client_->bytesFetched() - before, 16u * 1024) << "manifest and delta";
  EXPECT_EQ(replicaSeq(), published_.sequence);
  EXPECT_FALSE(doorOpens());
  // The file is the whole new state for any other reader too.
  daCachedStore other("hr", replicaPath_.c_str(), 0, 0);
  unsigned long st = 0, seq = 0;
  other.openStore(1, st);
  other.getLocalSeqNum(seq);
  EXPECT_EQ(seq, published_.sequence);
  daDecision d;
  other.decide("/door", nullptr, "r", nullptr, d, st);
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(d.granted());
}

TEST_F(HttpDelta, ChainOfThreeIsAppliedAtOnceAndMatchesAFullRecompute) {
  ASSERT_EQ(publish(), 0u);
  ASSERT_EQ(openCachedReplica(), 0u);
  size_t requestsBefore = server_->accessLog(2).size();
  for (char const* acl : {"c1", "c2", "c3"}) {
    gxtest::addAcls(master_, {acl}, "hr");
    ASSERT_EQ(publish(), 0u);
  }
  ASSERT_EQ(published_.deltas.size(), 3u);
  daCatchUpReport report;
  ASSERT_EQ(catchUp(report), 0u) << report.problem;
  EXPECT_EQ(report.links, 3u);
  EXPECT_TRUE(hasAcl(*replica_, "c3"));
  EXPECT_EQ(replicaSeq(), published_.sequence);
  // Only the manifest and the three deltas were fetched, no snapshot.
  std::vector<std::string> log = server_->accessLog(requestsBefore + 4);
  ASSERT_EQ(log.size(), requestsBefore + 4);
  for (size_t i = requestsBefore; i < log.size(); ++i) EXPECT_EQ(log[i].find(".gxdb.zst"), std::string::npos) << log[i];

  daContentDigest full, recorded;
  unsigned long st = 0, recordedSeq = 0;
  daDigestOfDatabase(replica_->getDBHandle(), full, st);
  ASSERT_EQ(st, 0u);
  ASSERT_TRUE(daReadDigestRecord(replica_->getDBHandle(), recordedSeq, recorded));
  EXPECT_EQ(full.hex(), published_.digest);
  EXPECT_EQ(recorded, full);
  EXPECT_EQ(recordedSeq, published_.sequence);
  EXPECT_EQ(catchUp(), daAbstractReplicatedClient::s_replica_current);
}

// With a full snapshot at every third publish, the publishes between write
// the delta alone: a replica that has the snapshot follows by deltas, a
// fresh one takes the snapshot and the deltas after it, and a client that
// knows no deltas refuses such a manifest rather than take an old policy.
TEST_F(HttpDelta, BetweenFullSnapshotsAFreshReplicaTakesTheLastOneAndTheDeltasAfterIt) {
  daPublishOptions everyThird{3, 10, 3};
  auto publishEveryThird = [&] {
    daSnapshotPublishResult r;
    unsigned long st = 0;
    daPublishSnapshot(master_.c_str(), www_.c_str(), "hr", everyThird, r, st);
    published_ = r.manifest;
    return st;
  };
  ASSERT_EQ(publishEveryThird(), 0u);
  unsigned long full = published_.sequence;
  ASSERT_EQ(openCachedReplica(), 0u);
  for (char const* acl : {"e1", "e2"}) {
    gxtest::addAcls(master_, {acl}, "hr");
    ASSERT_EQ(publishEveryThird(), 0u);
    EXPECT_EQ(daSnapshotFileSequence(published_), full);
  }
  EXPECT_FALSE(fs::exists(www_ + "/snapshots/" + std::to_string(published_.sequence) + ".gxdb.zst"));
  EXPECT_EQ(catchUp(), 0u);
  EXPECT_TRUE(hasAcl(*replica_, "e2"));

  daHttpReplicatedClient freshClient(server_->url(), testOptions());
  daLocalPolicy fresh("hr", dir_.file("fresh.db").c_str(), 0, 0);
  fresh.setReplicatedClient(&freshClient);
  unsigned long st = 0, seq = 0, recordedSeq = 0;
  fresh.openPolicy(1, st);
  ASSERT_EQ(st, 0u) << freshClient.lastError();
  fresh.getLocalSeqNum(seq);
  EXPECT_EQ(seq, published_.sequence);
  EXPECT_TRUE(hasAcl(fresh, "e2"));
  daContentDigest recorded;
  ASSERT_TRUE(daReadDigestRecord(fresh.getDBHandle(), recordedSeq, recorded));
  EXPECT_EQ(recorded.hex(), published_.digest);
  fresh.closePolicy(st);

  // What a client without deltas reads of the manifest: it names the
  // newest number and a file that holds an older one.
  nlohmann::json m = manifest();
  m.erase("file_sequence");
  m.erase("file_digest");
  serveManifest(m.dump());
  daHttpReplicatedClient unaware(server_->url(), testOptions());
  unsigned long none = daLocalStore::invalidSeqnum;
  unaware.replicateTo(none, dir_.file("unaware.db").c_str(), st);
  EXPECT_EQ(st, da_s_snapshot_wrong_sequence);
  EXPECT_FALSE(fs::exists(dir_.file("unaware.db")));

  // The third publish writes the full snapshot again (here also because
  // the served manifest no longer says which number its snapshot holds).
  gxtest::addAcls(master_, {"e3"}, "hr");
  ASSERT_EQ(publishEveryThird(), 0u);
  EXPECT_EQ(daSnapshotFileSequence(published_), published_.sequence);
  EXPECT_TRUE(fs::exists(www_ + "/" + published_.file));
}

// Each case breaks a chain of two deltas on the server; the chain is
// refused as a whole (nothing of it applied, the old policy serving), and
// the full snapshot then brings the replica to the master.
TEST_F(HttpDelta, BrokenChainIsRefusedAndTheSnapshotServesInstead) {
  ASSERT_EQ(publish(), 0u);
  std::string firstManifest = readFile(www_ + "/manifest.json");
  ASSERT_EQ(openCachedReplica(), 0u);
  // The last two links of the manifest's chain: the ones from the replica.
  auto link = [](nlohmann::json& m, int i) -> nlohmann::json& { return m["deltas"][m["deltas"].size() - 2 + i]; };
  auto linkPath = [&](nlohmann::json& m, int i) { return www_ + "/" + link(m, i)["file"].get<std::string>(); };
  struct Case {
    char const* what;
    std::function<void(nlohmann::json& m)> breakIt;
    unsigned long status;
  } const cases[] = {
      {"missing link", [&](nlohmann::json& m) { fs::remove(linkPath(m, 0)); }, da_s_snapshot_http_error},
      {"link cut short",
       [&](nlohmann::json& m) { fs::resize_file(linkPath(m, 1), fs::file_size(linkPath(m, 1)) / 2); },
       da_s_snapshot_mismatch},
      {"flipped byte",
       [&](nlohmann::json& m) {
         std::string bytes = readFile(linkPath(m, 0));
         bytes[bytes.size() / 2] ^= 1;
         writeFile(linkPath(m, 0), bytes);
       },
       da_s_snapshot_mismatch},
      {"links swapped",
       [&](nlohmann::json& m) {
         for (char const* field : {"file", "size", "sha256", "delta_size"})
           std::swap(link(m, 0)[field], link(m, 1)[field]);
       },
       da_s_snapshot_mismatch},
      {"gap", [&](nlohmann::json& m) { m["deltas"].erase(m["deltas"].size() - 2); }, da_s_delta_unusable},
      {"link claiming a terabyte", [&](nlohmann::json& m) { link(m, 1)["delta_size"] = uint64_t{1} << 40; },
       da_s_delta_unusable},
      {"record altered, hashes made to match",
       [&](nlohmann::json& m) {
         std::string raw;
         unsigned long st = 0;
         daZstdDecompress(readFile(linkPath(m, 1)), 1 << 20, raw, st);
         daDelta d;
         ASSERT_TRUE(daDeltaDecode(raw, d));
         for (auto& c : d.changes)
           if (!c.remove && c.key.find("acl") != std::string::npos) c.value.back() ^= 1;
         raw = daDeltaEncode(d);
         std::string packed = daZstdCompress(raw);
         writeFile(linkPath(m, 1), packed);
         daSha256 hash;
         hash.update(packed.data(), packed.size());
         link(m, 1)["size"] = packed.size();
         link(m, 1)["sha256"] = hash.finish();
         link(m, 1)["delta_size"] = raw.size();
       },
       da_s_snapshot_mismatch},
      {"backward link",
       [&](nlohmann::json& m) {
         // The link that led to the replica's number, turned round: from
         // the replica back to the number before (the only link from it).
         nlohmann::json back = m["deltas"][m["deltas"].size() - 3];
         std::swap(back["from"], back["to"]);
         std::swap(back["from_digest"], back["digest"]);
         m["deltas"].erase(m["deltas"].size() - 2);
         m["deltas"].push_back(back);
       },
       da_s_delta_unusable},
  };
  int n = 0;
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    std::string tag = "k" + std::to_string(++n);
    unsigned long before = replicaSeq();
    publishTwoChanges(tag);
    nlohmann::json m = manifest();
    c.breakIt(m);
    serveManifest(m.dump());
    daCatchUpReport report;
    EXPECT_EQ(catchUp(report), c.status) << report.problem;
    EXPECT_EQ(replicaSeq(), before);
    EXPECT_FALSE(hasAcl(*replica_, tag + "a"));
    EXPECT_EQ(rebuild(), 0u);
    EXPECT_EQ(replicaSeq(), published_.sequence);
    EXPECT_TRUE(hasAcl(*replica_, tag + "b"));
  }
  // A manifest older than the replica offers no way back.
  serveManifest(firstManifest);
  EXPECT_EQ(catchUp(), da_s_delta_unusable);
  EXPECT_EQ(rebuild(), daAbstractReplicatedClient::s_replica_rollback);
  EXPECT_EQ(replicaSeq(), published_.sequence);
}

}  // namespace
