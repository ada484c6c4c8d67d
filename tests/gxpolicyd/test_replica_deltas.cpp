// gxpolicyd's replica of a master published over HTTP: a change of the
// master reaches it as a delta (the log says so, the store answers from
// it), and a delta tampered with on the server is refused, logged, and the
// full snapshot taken instead.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

TEST(ServedReplicaDeltas, ChangeArrivesAsADeltaAndATamperedOneFallsBackToTheSnapshot) {
  gxtest::TempDir dir;
  std::string master = dir.file("master.db"), www = dir.file("www");
  gxtest::makePolicyDb(master, {"m0"}, 0x600, "d");
  daSnapshotPublishResult published;
  auto publish = [&] {
    unsigned long st = 0;
    daPublishSnapshot(master.c_str(), www.c_str(), "d", 3, published, st);
    ASSERT_EQ(st, 0u);
  };
  publish();
  gxtest::StaticNginx nginx(www);
  ASSERT_TRUE(nginx.running()) << nginx.error();

  gxpolicyd::ReplicaOptions ro;
  ro.db = dir.file("replica.db");
  ro.master = nginx.url();
  ro.domain = "d";
  ro.refreshSeconds = 3600;  // only when asked
  gxtest::LogLines lines;
  gxpolicyd::ServedReplica replica(ro, lines.log());
  std::string error;
  ASSERT_EQ(replica.open(error), 0u) << error;
  replica.start();

  gxtest::addAcls(master, {"m1"}, "d");
  publish();
  replica.refreshNow();
  ASSERT_TRUE(eventually([&] { return lines.has("applied 1 delta"); }));
  EXPECT_EQ(replica.sequence(), published.manifest.sequence);
  EXPECT_TRUE(gxtest::hasAcl(replica.store(), "m1"));
  EXPECT_EQ(replica.digest(), published.manifest.digest);

  gxtest::addAcls(master, {"m2"}, "d");
  publish();
  std::string link = www + "/" + published.manifest.deltas.back().file;
  std::string bytes = gxtest::readFile(link);
  bytes[bytes.size() / 2] ^= 1;
  gxtest::writeFile(link, bytes);
  replica.refreshNow();
  ASSERT_TRUE(eventually([&] { return lines.has("rebuilt from"); }));
  EXPECT_TRUE(lines.has("refused"));
  EXPECT_EQ(replica.sequence(), published.manifest.sequence);
  EXPECT_TRUE(gxtest::hasAcl(replica.store(), "m2"));
  replica.stop();
}

}  // namespace
