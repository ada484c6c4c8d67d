// Deltas between database files and the content digest that checks them:
// a delta made from two files turns the older into the newer exactly (the
// digest kept incrementally equals a full recompute), refuses to apply to
// any other file or when it was altered, and a process killed while
// applying one leaves the old or the new state, never a mixture.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/remote/daDelta.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using gxtest::TempDir;

struct HandleCloser {
  void operator()(hx_db_handle* h) const {
    unsigned long ignored = 0;
    hx_db_close(h, ignored);
  }
};
using HandlePtr = std::unique_ptr<hx_db_handle, HandleCloser>;

HandlePtr openDb(std::string const& path) {
  unsigned long st = 0;
  HandlePtr h(hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, createLock("d"), st));
  EXPECT_EQ(st, 0u) << path;
  return h;
}

daContentDigest digestOf(std::string const& path) {
  HandlePtr h = openDb(path);
  daContentDigest d;
  unsigned long st = 0;
  daDigestOfDatabase(h.get(), d, st);
  EXPECT_EQ(st, 0u);
  return d;
}

unsigned long sequenceOf(std::string const& path) {
  daLocalStore s("d", path.c_str());
  unsigned long st = 0, seq = daLocalStore::invalidSeqnum;
  s.openStore(1, st);
  s.getLocalSeqNum(seq);
  return seq;
}

void putDescribedAcl(std::string const& path, char const* name, char const* description) {
  daLocalStore s("d", path.c_str());
  unsigned long st = 0;
  s.openStore(0, st);
  GxACL acl;
  acl.description(description);
  gxtest::putObject(s, daAclName(name), std::move(acl));
}

void putRaw(std::string const& path, char const* key) {
  HandlePtr h = openDb(path);
  unsigned long st = 0;
  hx_db_store(h.get(), key, gxobj_t{nullptr, 7, 0, 0, nullptr}, st);
  EXPECT_EQ(st, 0u);
}

// An older and a newer database: the newer lost ACL "b", changed "c",
// gained "d" and change-log entries (which replicas never get).
class Delta : public ::testing::Test {
 protected:
  void SetUp() override {
    older_ = dir_.file("older.db");
    newer_ = dir_.file("newer.db");
    replica_ = dir_.file("replica.db");
    gxtest::makePolicyDb(older_, {"a", "b", "c"}, 0x600);
    putRaw(older_, "/auth/changelog/1");
    fs::copy_file(older_, newer_);
    {
      daLocalStore s("d", newer_.c_str());
      unsigned long st = 0, seq = 0;
      s.openStore(0, st);
      s.deleteObject(daAclName("b").getFullName(), 0, seq, st);
      ASSERT_EQ(st, 0u);
    }
    putDescribedAcl(newer_, "c", "changed");
    gxtest::addAcls(newer_, {"d"});
    putRaw(newer_, "/auth/changelog/2");
    diff();
    // The replica: the older file with its digest record.
    fs::copy_file(older_, replica_);
    HandlePtr h = openDb(replica_);
    unsigned long st = 0;
    daWriteDigestRecord(h.get(), delta_.from, digestOf(older_), st);
    ASSERT_EQ(st, 0u);
  }
  void diff() {
    HandlePtr a = openDb(older_), b = openDb(newer_);
    unsigned long st = 0;
    daDiffDatabases(a.get(), b.get(), uint64_t{1} << 30, true, delta_, st);
    ASSERT_EQ(st, 0u);
  }
  unsigned long apply(std::vector<daDelta> const& chain) {
    HandlePtr h = openDb(replica_);
    unsigned long st = 0;
    daApplyDeltas(h.get(), chain, st);
    return st;
  }

  TempDir dir_;
  std::string older_, newer_, replica_;
  daDelta delta_;
};

TEST(ContentDigest, IsIndependentOfOrderAndUndoneByRemove) {
  daContentDigest forward, backward, twoOnly;
  forward.add("/a", "1");
  forward.add("/b", "2");
  forward.add("/c", "3");
  backward.add("/c", "3");
  backward.add("/b", "2");
  backward.add("/a", "1");
  EXPECT_EQ(forward, backward);
  twoOnly.add("/a", "1");
  twoOnly.add("/c", "3");
  forward.remove("/b", "2");
  EXPECT_EQ(forward, twoOnly);
  // The key and the value are told apart: moving a byte between them
  // changes the term.
  daContentDigest split1, split2;
  split1.add("/ab", "c");
  split2.add("/a", "bc");
  EXPECT_NE(split1, split2);

  daContentDigest parsed;
  ASSERT_TRUE(daContentDigest::fromHex(twoOnly.hex(), parsed));
  EXPECT_EQ(parsed, twoOnly);
  EXPECT_FALSE(daContentDigest::fromHex(std::string(63, 'a'), parsed));
  EXPECT_FALSE(daContentDigest::fromHex(std::string(63, 'a') + "g", parsed));
}

TEST_F(Delta, CarriesOnlyReplicatedChangesAndEncodesLosslessly) {
  std::vector<std::string> keys;
  for (auto const& c : delta_.changes) keys.push_back((c.remove ? "-" : "+") + c.key);
  // b removed, c changed, d added, the sequence number moved; no change log.
  EXPECT_EQ(keys.size(), 4u) << ::testing::PrintToString(keys);
  for (auto const& k : keys) EXPECT_EQ(k.find("changelog"), std::string::npos) << k;
  EXPECT_EQ(delta_.from, sequenceOf(older_));
  EXPECT_EQ(delta_.to, sequenceOf(newer_));
  EXPECT_EQ(delta_.toDigest, digestOf(newer_));
  EXPECT_EQ(delta_.fromDigest, digestOf(older_));

  std::string encoded = daDeltaEncode(delta_);
  daDelta back;
  ASSERT_TRUE(daDeltaDecode(encoded, back));
  EXPECT_EQ(daDeltaEncode(back), encoded);
  // Cut anywhere, or followed by anything, it is not a delta.
  for (size_t n = 0; n < encoded.size(); ++n) EXPECT_FALSE(daDeltaDecode(encoded.substr(0, n), back)) << n;
  EXPECT_FALSE(daDeltaDecode(encoded + "x", back));
}

TEST_F(Delta, ApplyingReproducesTheNewerDatabaseAndItsDigest) {
  ASSERT_EQ(apply({delta_}), 0u);
  EXPECT_EQ(sequenceOf(replica_), sequenceOf(newer_));
  // The digest kept incrementally is the one a full recompute gives, and
  // the replica's records are the newer file's (the change log aside).
  daContentDigest full = digestOf(replica_);
  EXPECT_EQ(full, digestOf(newer_));
  unsigned long recordedSeq = 0;
  daContentDigest recorded;
  HandlePtr h = openDb(replica_);
  ASSERT_TRUE(daReadDigestRecord(h.get(), recordedSeq, recorded));
  EXPECT_EQ(recorded, full);
  EXPECT_EQ(recordedSeq, delta_.to);
  unsigned long st = 0;
  hx_db_record gone(h.get(), daAclName("b").getFullName().getChars(), st);
  EXPECT_EQ(st, hx_db_s_not_found);
}

TEST_F(Delta, IsRefusedByAnyOtherFileOrWhenAltered) {
  daContentDigest before = digestOf(replica_);
  // Altered: another value under a changed key (the digest after no longer
  // holds), a remove of a key the file lacks, a to-digest of another file.
  daDelta value = delta_;
  for (auto& c : value.changes)
    if (!c.remove && c.value.size() > 17) c.value.back() ^= 1;
  daDelta removal = delta_;
  removal.changes.push_back(daDeltaChange{true, "/no/such/key", ""});
  daDelta digest = delta_;
  digest.toDigest = before;
  for (daDelta const* bad : {&value, &removal, &digest}) EXPECT_EQ(apply({*bad}), da_s_snapshot_mismatch);
  // A chain whose links do not follow each other.
  EXPECT_EQ(apply({delta_, delta_}), da_s_snapshot_mismatch);
  EXPECT_EQ(digestOf(replica_), before);
  EXPECT_EQ(sequenceOf(replica_), delta_.from);

  // Applied once, the same delta no longer applies; nor to a file without
  // a digest record.
  ASSERT_EQ(apply({delta_}), 0u);
  EXPECT_EQ(apply({delta_}), da_s_delta_unusable);
  HandlePtr h = openDb(older_);
  unsigned long st = 0;
  daApplyDeltas(h.get(), {delta_}, st);
  EXPECT_EQ(st, da_s_delta_unusable);
}

// A child applies a delta of thousands of records and is killed at a
// different moment each round: the file then holds the old sequence number
// with the old contents, or the new one with the new contents.
TEST_F(Delta, KilledWhileApplyingLeavesTheOldOrTheNewSequence) {
  {
    daLocalStore s("d", newer_.c_str());
    unsigned long st = 0, seq = 0;
    s.openStore(0, st);
    GxACL acl;
    gxobj_t rec{};
    acl.encode(rec, st);
    std::vector<GxObjectName> names;
    for (int i = 0; i < 6000; ++i) names.push_back(daAclName(("bulk" + std::to_string(i)).c_str()).getFullName());
    std::vector<daLocalStoreWrite> items(names.size());
    for (size_t i = 0; i < names.size(); ++i) items[i] = daLocalStoreWrite{&names[i], &rec};
    s.writeObjects(items.data(), items.size(), seq, st);
    hxAsnFreeObj(rec);
    ASSERT_EQ(st, 0u);
  }
  diff();
  ASSERT_GT(delta_.changes.size(), 6000u);
  std::string pristine = dir_.file("pristine.db");
  fs::copy_file(replica_, pristine);
  daContentDigest oldDigest = digestOf(replica_), newDigest = digestOf(newer_);
  std::set<unsigned long> seen;
  // The kill comes later each round (0, 1, 4, 9 ... ms), until both
  // outcomes were seen, however fast or busy the machine.
  for (int round = 0; round < 40 && (seen.size() < 2 || round < 8); ++round) {
    hx_db_remove_file(replica_.c_str());
    fs::copy_file(pristine, replica_);
    pid_t pid = ::fork();
    if (pid == 0) {
      unsigned long st = 0;
      hx_db_handle* h = hx_db_lock_open(replica_.c_str(), hx_db_mode_open, 2, nullptr, st);
      if (h) daApplyDeltas(h, {delta_}, st);
      ::_exit(st == 0 ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round * round));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    unsigned long seq = sequenceOf(replica_);
    daContentDigest now = digestOf(replica_);
    ASSERT_TRUE((seq == delta_.from && now == oldDigest) || (seq == delta_.to && now == newDigest))
        << "round " << round << ": sequence " << seq;
    seen.insert(seq);
  }
  // The rounds caught the child before and after its commit.
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
