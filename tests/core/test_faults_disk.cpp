// A full file system and a read-only one, on a real small tmpfs: every
// writing path answers with a status, never a signal, and leaves its files
// as they were or complete; a database on a read-only file system still
// answers reads. The steps run in a child process where a signal is the
// fault being looked for.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/hxdb.h"
#include "small_fs.h"
#include "test_support.h"

namespace {

using gxtest::inChild;
using gxtest::SmallFileSystem;
using gxtest::TempDir;

constexpr size_t kFsBytes = size_t{1} << 20;
constexpr size_t kStep = 4096;

// Child exit codes: what a step answered (a signal gives 100 + its number).
constexpr int kDone = 0;
constexpr int kNoSpace = 1;
constexpr int kOtherStatus = 2;

int answer(unsigned long status) { return status == 0 ? kDone : status == hx_db_s_no_space ? kNoSpace : kOtherStatus; }

std::vector<std::string> aclNames(int n, char const* prefix) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

unsigned long seqOf(std::string const& path, unsigned long& status) {
  daLocalStore s("lp", path.c_str());
  unsigned long seq = daLocalStore::invalidSeqnum;
  s.openStore(1, status);
  s.getLocalSeqNum(seq);
  return seq;
}

// Every amount of free space from none up to enough: create answers 0 or
// "no space", never dies of SIGBUS (LMDB maps its lock file), and a create
// that failed leaves no file behind.
TEST(FullDisk, CreateAnswersNoSpaceAndLeavesNothingBehind) {
  SmallFileSystem fs(kFsBytes);
  std::string db = fs.file("new.db");
  bool failed = false, made = false;
  for (size_t leave = 0; leave <= 96 * 1024 && !made; leave += kStep) {
    hx_db_remove_file(db.c_str());
    fs.fillLeaving(leave);
    int code = inChild([&] {
      unsigned long st = 1;
      daLocalStore("d", db.c_str()).createStore(st);
      return answer(st);
    });
    ASSERT_LE(code, kNoSpace) << leave << " bytes free";
    if (code == kNoSpace) {
      failed = true;
      EXPECT_EQ(fs.listing(), "") << leave << " bytes free";
    } else {
      made = true;
      unsigned long st = 1;
      EXPECT_EQ(seqOf(db, st), 1u);
      EXPECT_EQ(st, 0u);
    }
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(made);
}

// Writes into a database whose file system fills up: the write that finds
// no room answers "no space" and nothing of it is in the file; once room
// is made the same handle writes again.
TEST(FullDisk, CommitThatFindsNoRoomIsRefusedWholeAndWritesResumeAfterwards) {
  SmallFileSystem fs(kFsBytes);
  std::string db = fs.file("p.db");
  gxtest::makePolicyDb(db, {}, 0x600, "lp");
  int code = inChild([&] {
    daLocalStore store("lp", db.c_str());
    unsigned long st = 1, seq = 0;
    store.openStore(0, st);
    if (st != 0) return 10;
    fs.fillLeaving(0);
    unsigned long before = 0;
    store.getSeqNum(before, st);
    GxObjectName key("/big/one");
    std::string bytes(64 * 1024, 'x');
    gxobj_t record{nullptr, 0, 0x501, static_cast<uint32_t>(bytes.size()),
                   reinterpret_cast<unsigned char*>(bytes.data())};
    store.setObject(key, record, seq, st);
    if (st != hx_db_s_no_space) return 11;
    gxobj_t back{};
    unsigned long readSeq = 0;
    store.getObject(key, back, readSeq, st);
    if (st != da_s_no_such_object || readSeq != before) return 12;
    ::unlink(fs.file("fill").c_str());
    store.setObject(key, record, seq, st);
    return st == 0 && seq == before + 1 ? 0 : 13;
  });
  EXPECT_EQ(code, 0);
}

// A replica rebuilt from a bigger master on a file system that fills up
// during the copy (or the backup copy): never a signal; the replica is the
// old one or the master's, and opens.
TEST(FullDisk, ReplicaRebuildKeepsTheOldReplicaOrInstallsTheNewOne) {
  TempDir dir;
  std::string master = dir.file("master.db");
  gxtest::makePolicyDb(master, aclNames(600, "m"), 0x600, "lp");
  unsigned long st = 1;
  unsigned long masterSeq = seqOf(master, st);
  ASSERT_EQ(st, 0u);
  SmallFileSystem fs(kFsBytes);
  std::string replica = fs.file("replica.db");
  bool failed = false, rebuilt = false;
  for (size_t leave = 0; leave <= kFsBytes && !rebuilt; leave += 4 * kStep) {
    ::unlink(fs.file("fill").c_str());
    for (auto const& e : std::filesystem::directory_iterator(fs.path())) std::filesystem::remove(e.path());
    gxtest::makePolicyDb(replica, {"old"}, 0x600, "lp");
    unsigned long oldSeq = seqOf(replica, st);
    fs.fillLeaving(leave);
    int code = inChild([&] {
      daFileReplicatedClient client(master.c_str(), "lp");
      daLocalPolicy policy("lp", replica.c_str(), 0, 0);
      policy.setReplicatedClient(&client);
      unsigned long status = 1;
      policy.openPolicy(1, status);
      return answer(status);
    });
    ASSERT_EQ(code, kDone) << leave << " bytes free";  // the old replica stays in use
    unsigned long now = seqOf(replica, st);
    ASSERT_EQ(st, 0u) << leave << " bytes free";
    ASSERT_TRUE(now == oldSeq || now == masterSeq) << leave << " bytes free";
    (now == masterSeq ? rebuilt : failed) = true;
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(rebuilt);
}

}  // namespace

// A database shipped on a read-only file system: it opens for reading (no
// lock file can be made there, none is), answers, and every write or a
// create there is refused with "read-only" and a message naming the path.
class ReadOnlyFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    gxtest::makePolicyDb(db_, {"a1", "a2"}, 0x600, "lp");
    gxtest::makePolicyDb(other_, {"b1"}, 0x600, "lp");
    ::unlink(hx_db_lock_file(db_.c_str()).c_str());
    fs_.remount(true);
  }
  SmallFileSystem fs_{kFsBytes};
  std::string db_ = fs_.file("p.db");
  std::string other_ = fs_.file("q.db");
};

TEST_F(ReadOnlyFileSystem, DatabaseOpensForReadingAndRefusesWrites) {
  gxtest::MessageCapture messages;
  daCachedStore store("lp", db_.c_str(), 1, 0);
  daCachedStore second("lp", other_.c_str(), 1, 0);
  unsigned long st = 1, seq = 0;
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  second.openStore(1, st);  // two files without lock files at once
  ASSERT_EQ(st, 0u);
  EXPECT_TRUE(gxtest::hasAcl(store, "a2"));
  EXPECT_TRUE(gxtest::hasAcl(second, "b1"));
  EXPECT_EQ(fs_.listing(), "p.db q.db q.db-lock");

  gxobj_t record{nullptr, 0, 0x501, 1, reinterpret_cast<unsigned char*>(const_cast<char*>("x"))};
  store.daLocalStore::setObject(GxObjectName("/x"), record, seq, st);
  EXPECT_EQ(st, hx_db_s_read_only);
  store.beginWriteGroup(0, st);
  EXPECT_NE(st, 0u);

  daLocalStore writer("lp", db_.c_str());
  writer.openStore(0, st);
  EXPECT_EQ(st, hx_db_s_read_only);
  EXPECT_FALSE(writer.isStoreOpen());
  EXPECT_EQ(messages.inserts(da_m_open_failed).at(0), db_);

  daLocalStore created("lp", fs_.file("new.db").c_str());
  created.createStore(st);
  EXPECT_EQ(st, hx_db_s_read_only);
  EXPECT_EQ(fs_.listing(), "p.db q.db q.db-lock");
}

// A server's replica on a read-only volume: opened with its replication
// client, the rebuild it cannot make leaves the shipped file in use.
TEST_F(ReadOnlyFileSystem, ReplicaIsServedWhenItCannotBeRebuilt) {
  gxtest::MessageCapture messages;
  TempDir dir;
  std::string master = dir.file("master.db");
  gxtest::makePolicyDb(master, {"m1"}, 0x600, "lp");
  gxtest::addAcls(master, {"m2"}, "lp");
  daFileReplicatedClient client(master.c_str(), "lp");
  daLocalPolicy policy("lp", db_.c_str(), 1, 0);
  policy.setReplicatedClient(&client);
  unsigned long st = 1;
  policy.openPolicy(1, st);
  ASSERT_EQ(st, 0u);
  EXPECT_TRUE(gxtest::hasAcl(policy, "a1"));
  EXPECT_FALSE(gxtest::hasAcl(policy, "m1"));
  EXPECT_EQ(fs_.listing(), "p.db q.db q.db-lock");
  policy.closePolicy(st);
}
