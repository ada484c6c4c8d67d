// A master database whose snapshots are published into a folder that a
// throw-away nginx serves on loopback, and a replica fed from it over HTTP:
// the set-up the tests of HTTP replicas, deltas and signed manifests share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/remote/daSignature.h"
#include "GxCore/remote/daSnapshot.h"
#include "static_nginx.h"
#include "test_support.h"

namespace gxtest {

// Options for a replica of domain "hr": short time-outs, one retry.
inline daHttpReplicaOptions replicaOptions() {
  daHttpReplicaOptions o;
  o.connectTimeoutMs = 2000;
  o.totalTimeoutMs = 10000;
  o.retries = 1;
  o.retryBackoffMs = 10;
  o.domain = "hr";
  return o;
}

// The master (ACLs "m0" and "m1", domain "hr", a version replicas accept),
// its published folder served by nginx, and on openReplica a read-only
// replica without cache fed by the client given.
class PublishedMaster : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = dir_.file("master.db");
    www_ = dir_.file("www");
    replicaPath_ = dir_.file("replica.db");
    makePolicyDb(master_, {"m0", "m1"}, daLocalPolicy::minimumDatabaseVersion, "hr");
    std::filesystem::create_directories(www_);
    server_ = std::make_unique<StaticNginx>(www_);
    ASSERT_TRUE(server_->running()) << "nginx could not be started: " << server_->error();
  }
  void TearDown() override {
    unsigned long st = 0;
    if (replica_) replica_->closePolicy(st);
  }

  // Publishes the master; the manifest written is kept in published_.
  unsigned long publish(daPublishOptions const& options) {
    daSnapshotPublishResult result;
    unsigned long st = 0;
    daPublishSnapshot(master_.c_str(), www_.c_str(), "hr", options, result, st);
    published_ = result.manifest;
    return st;
  }
  unsigned long openReplica(daAbstractReplicatedClient& client, int cacheEnabled = 0) {
    replica_ = std::make_unique<daLocalPolicy>("hr", replicaPath_.c_str(), cacheEnabled, 0);
    replica_->setReplicatedClient(&client);
    unsigned long st = 0;
    replica_->openPolicy(1, st);
    return st;
  }
  unsigned long rebuild() {
    unsigned long st = 0;
    replica_->rebuildDatabase(st);
    return st;
  }
  unsigned long replicaSeq() const {
    unsigned long seq = daLocalStore::invalidSeqnum;
    replica_->getLocalSeqNum(seq);
    return seq;
  }
  // Serves text as the manifest with a modification time of its own, so
  // that nginx's validator (time and size) differs from every earlier one's;
  // returns the path its signature file would have.
  std::string serveManifest(std::string const& text) {
    static int step = 0;
    writeFile(www_ + "/manifest.json", text);
    std::filesystem::last_write_time(
        www_ + "/manifest.json",
        std::filesystem::file_time_type::clock::now() + std::chrono::seconds(10 + 2 * ++step));
    return www_ + "/" + daSignaturePathOf(text);
  }

  TempDir dir_;
  std::string master_, www_, replicaPath_;
  std::unique_ptr<StaticNginx> server_;
  std::unique_ptr<daLocalPolicy> replica_;
  daSnapshotManifest published_;
};

}  // namespace gxtest
