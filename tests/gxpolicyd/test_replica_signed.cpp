// gxpolicyd's replica of a master that signs its manifests: a manifest the
// trusted key did not sign is refused, the refusal is logged with its
// reason, and the policy served stays the last signed one.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/remote/daSignature.h"
#include "GxCore/remote/daSnapshot.h"
#include "static_nginx.h"
#include "test_support.h"
#include "tools/gxpolicyd/replica.h"

namespace {

TEST(ServedReplicaSigned, UnsignedManifestIsRefusedLoggedAndTheSignedPolicyKept) {
  gxtest::TempDir dir;
  std::string master = dir.file("master.db"), www = dir.file("www"), key = dir.file("k");
  std::string keyId;
  unsigned long st = 0;
  daGenerateKeyFiles(key, key + ".pub", keyId, st);
  ASSERT_EQ(st, 0u);
  auto signer = daSigningKey::loadPrivate(key, st);
  auto trusted = daSigningKey::loadPublic(key + ".pub", st);
  gxtest::makePolicyDb(master, {"m0"}, 0x600, "d");
  auto publish = [&](bool sign) {
    daPublishOptions o;
    if (sign) o.signers = {signer};
    daSnapshotPublishResult published;
    daPublishSnapshot(master.c_str(), www.c_str(), "d", o, published, st);
    ASSERT_EQ(st, 0u);
  };
  publish(true);
  gxtest::StaticNginx nginx(www);
  ASSERT_TRUE(nginx.running()) << nginx.error();

  gxpolicyd::ReplicaOptions ro;
  ro.db = dir.file("replica.db");
  ro.master = nginx.url();
  ro.domain = "d";
  ro.refreshSeconds = 3600;  // only when asked
  ro.http.trustedKeys = {trusted};
  gxtest::LogLines lines;
  gxpolicyd::ServedReplica replica(ro, lines.log());
  std::string error;
  ASSERT_EQ(replica.open(error), 0u) << error;
  replica.start();
  unsigned long signedSeq = replica.sequence();

  gxtest::addAcls(master, {"m1"}, "d");
  publish(false);
  replica.refreshNow();
  auto logged = [&] { return lines.has("not signed"); };
  for (int i = 0; i < 500 && !logged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(logged());
  EXPECT_EQ(replica.sequence(), signedSeq);
  EXPECT_FALSE(gxtest::hasAcl(replica.store(), "m1"));
  replica.stop();
}

}  // namespace
