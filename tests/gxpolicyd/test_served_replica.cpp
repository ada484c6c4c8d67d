// gxpolicyd's replica of a master published over HTTP (a folder a
// throw-away nginx serves on loopback), refreshed when the test asks: a
// change of the master reaches it as a delta (the log says so, the store
// answers from it), a delta tampered with on the server is refused, logged,
// and the full snapshot taken instead; a replica that trusts a key refuses
// an unsigned manifest, logs why, and keeps serving the last signed policy.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "GxCore/remote/daSignature.h"
#include "GxCore/remote/daSnapshot.h"
#include "static_nginx.h"
#include "test_support.h"
#include "tools/gxpolicyd/replica.h"

namespace {

bool eventually(std::function<bool()> const& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A master holding ACL "m0" in domain "d", published into www by
// publish() (with the signers given), served by nginx once started.
class ServedReplica : public ::testing::Test {
 protected:
  void SetUp() override { gxtest::makePolicyDb(master_, {"m0"}, 0x600, "d"); }
  void publish() {
    unsigned long st = 0;
    daPublishSnapshot(master_.c_str(), www_.c_str(), "d", publishOptions_, published_, st);
    ASSERT_EQ(st, 0u);
  }
  // Serves the published folder and opens gxpolicyd's replica of it.
  void serve(std::vector<std::shared_ptr<daSigningKey const>> trusted = {}) {
    nginx_ = std::make_unique<gxtest::StaticNginx>(www_);
    ASSERT_TRUE(nginx_->running()) << nginx_->error();
    gxpolicyd::ReplicaOptions ro;
    ro.db = dir_.file("replica.db");
    ro.master = nginx_->url();
    ro.domain = "d";
    ro.refreshSeconds = 3600;  // only when asked
    ro.http.trustedKeys = std::move(trusted);
    replica_ = std::make_unique<gxpolicyd::ServedReplica>(ro, lines_.log());
    std::string error;
    ASSERT_EQ(replica_->open(error), 0u) << error;
    replica_->start();
  }
  void TearDown() override {
    if (replica_) replica_->stop();
  }

  gxtest::TempDir dir_;
  std::string master_ = dir_.file("master.db"), www_ = dir_.file("www");
  daPublishOptions publishOptions_{3, 10};
  daSnapshotPublishResult published_;
  std::unique_ptr<gxtest::StaticNginx> nginx_;
  gxtest::LogLines lines_;
  std::unique_ptr<gxpolicyd::ServedReplica> replica_;
};

TEST_F(ServedReplica, ChangeArrivesAsADeltaAndATamperedOneFallsBackToTheSnapshot) {
  publish();
  serve();
  gxtest::addAcls(master_, {"m1"}, "d");
  publish();
  replica_->refreshNow();
  ASSERT_TRUE(eventually([&] { return lines_.has("applied 1 delta"); }));
  EXPECT_EQ(replica_->sequence(), published_.manifest.sequence);
  EXPECT_TRUE(gxtest::hasAcl(replica_->store(), "m1"));
  EXPECT_EQ(replica_->digest(), published_.manifest.digest);

  gxtest::addAcls(master_, {"m2"}, "d");
  publish();
  std::string link = www_ + "/" + published_.manifest.deltas.back().file;
  std::string bytes = gxtest::readFile(link);
  bytes[bytes.size() / 2] ^= 1;
  gxtest::writeFile(link, bytes);
  replica_->refreshNow();
  ASSERT_TRUE(eventually([&] { return lines_.has("rebuilt from"); }));
  EXPECT_TRUE(lines_.has("refused"));
  EXPECT_EQ(replica_->sequence(), published_.manifest.sequence);
  EXPECT_TRUE(gxtest::hasAcl(replica_->store(), "m2"));
}

TEST_F(ServedReplica, UnsignedManifestIsRefusedLoggedAndTheSignedPolicyKept) {
  std::string key = dir_.file("k"), keyId;
  unsigned long st = 0;
  daGenerateKeyFiles(key, key + ".pub", keyId, st);
  ASSERT_EQ(st, 0u);
  publishOptions_.signers = {daSigningKey::loadPrivate(key, st)};
  publish();
  serve({daSigningKey::loadPublic(key + ".pub", st)});
  unsigned long signedSeq = replica_->sequence();

  gxtest::addAcls(master_, {"m1"}, "d");
  publishOptions_.signers.clear();
  publish();
  replica_->refreshNow();
  EXPECT_TRUE(eventually([&] { return lines_.has("not signed"); }));
  EXPECT_EQ(replica_->sequence(), signedSeq);
  EXPECT_FALSE(gxtest::hasAcl(replica_->store(), "m1"));
}

}  // namespace
