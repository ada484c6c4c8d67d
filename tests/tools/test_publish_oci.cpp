// gxpolicy publish to an OCI registry and gxpolicy replicate from it, run
// as a shell runs them, against Debian's docker-registry on loopback.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "oci_registry.h"
#include "test_support.h"

// gxpolicy itself is run: only in builds that make it.
#ifdef GXPOLICY_BINARY
namespace {

// gxpolicy with args, its output, and whether it exited 0.
std::pair<std::string, bool> gxpolicy(gxtest::TempDir& dir, std::string const& args) {
  std::string out, command = "GXCORE_LOCK_DIR=" + dir.file("locks") +
                             " GXCORE_OCI_USERNAME=gx GXCORE_OCI_PASSWORD=s3cret " + GXPOLICY_BINARY + " " + args +
                             " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int ws = pipe ? ::pclose(pipe) : -1;
  return {out, WIFEXITED(ws) && WEXITSTATUS(ws) == 0};
}

// A master published in parts of 1 KiB arrives whole at a replica that
// follows the tag, and the replica answers as the master does; a part size
// that is not a size is refused before anything is published.
TEST(PublishOci, AMasterPublishedInPartsIsReplicatedByTag) {
  gxtest::OciRegistry registry;
  ASSERT_TRUE(registry.running()) << registry.error();
  gxtest::TempDir dir;
  std::string const master = dir.file("master.db"), replica = dir.file("replica.db");
  std::string const url = registry.url("gx/policy:prod");
  for (std::string const& step : {"create " + master, "generate " + master + " --objects 400"}) {
    auto [out, ok] = gxpolicy(dir, step);
    ASSERT_TRUE(ok) << step << "\n" << out;
  }
  auto [refused, refusedOk] = gxpolicy(dir, "publish " + master + " " + url + " --oci-plain-http --oci-part-size -1");
  EXPECT_FALSE(refusedOk);
  EXPECT_NE(refused.find("--oci-part-size: expected a size"), std::string::npos) << refused;
  auto [published, publishedOk] =
      gxpolicy(dir, "publish " + master + " " + url + " --oci-plain-http --oci-part-size 1KiB");
  ASSERT_TRUE(publishedOk) << published;
  EXPECT_NE(registry.log().find("\"PATCH /v2/gx/policy/blobs/uploads/"), std::string::npos) << "no part was sent";
  auto [replicated, replicatedOk] = gxpolicy(dir, "replicate " + url + " " + replica + " --oci-plain-http");
  ASSERT_TRUE(replicatedOk) << replicated;
  auto [fromMaster, masterOk] = gxpolicy(dir, "export " + master);
  auto [fromReplica, replicaOk] = gxpolicy(dir, "export " + replica);
  ASSERT_TRUE(masterOk && replicaOk) << fromMaster << fromReplica;
  EXPECT_GT(fromMaster.size(), 10000u);
  EXPECT_EQ(fromReplica, fromMaster);
}

}  // namespace
#endif
