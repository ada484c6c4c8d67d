// I/O and sync errors on every writing path of the library: each write,
// sync, rename and map call the path makes fails in turn (EIO, ENOSPC or
// EDQUOT, through the fault injection of the test binary), and the path
// must answer with a status, never a signal, and leave its files as they
// were or complete.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/remote/daSnapshot.h"
#include "fault_injection.h"
#include "outside/file_registry.h"
#include "outside/hxdb.h"
#include "test_support.h"

namespace {

using gxtest::TempDir;
namespace faults = gxtest::faults;

// The sequence number of the file at path and whether it holds ACL name,
// read through a fresh environment.
struct FileState {
  unsigned long status = 1;
  unsigned long seq = daLocalStore::invalidSeqnum;
  bool hasAcl = false;
};
FileState stateOf(std::string const& path, char const* acl) {
  FileState out;
  daCachedStore s("io", path.c_str(), 0, 0);
  s.openStore(1, out.status);
  s.getLocalSeqNum(out.seq);
  if (out.status == 0) out.hasAcl = gxtest::hasAcl(s, acl);
  return out;
}

class IoFaults : public ::testing::TestWithParam<int> {
 protected:
  void reset() {
    hx_db_remove_file(db_.c_str());
    gxtest::makePolicyDb(db_, {"old"}, 0x600, "io");
    before_ = stateOf(db_, "old").seq;
  }
  TempDir dir_;
  std::string db_ = dir_.file("p.db");
  unsigned long before_ = 0;
};

// Stores an empty ACL under name through store; the store's status.
unsigned long storeAcl(daLocalStore& store, char const* name) {
  gxobj_t rec{};
  unsigned long st = 0, seq = 0;
  GxACL().encode(rec, st);
  if (st == 0) store.setObject(daAclName(name).getFullName(), rec, seq, st);
  hxAsnFreeObj(rec);
  return st;
}

// A commit: whatever call fails, the commit reports it and the file holds
// the change whole with the next sequence number, or not at all; a commit
// reported done is in the file. After a failed commit the same store never
// reads the lost change, and its next write either goes in or, when the
// engine could not make the commit durable, is refused with "reopen"
// (never written as if the lost commit were there).
TEST_P(IoFaults, CommitIsAllOrNothingAndALostCommitIsNeverSeen) {
  gxtest::MessageCapture quiet;
  unsigned long n = faults::failEachCall(
      dir_.path().string(), GetParam(), [&] { reset(); },
      [&] {
        daLocalStore store("io", db_.c_str());
        unsigned long st = 1;
        store.openStore(0, st);
        if (st != 0) return st;
        unsigned long committed = storeAcl(store, "new");
        if (committed == 0) return committed;
        gxobj_t back{};
        unsigned long seq = 0;
        store.getObject(daAclName("new").getFullName(), back, seq, st);
        hxAsnFreeObj(back);
        if (st != da_s_no_such_object && st != hx_db_s_reopen) return 0x7000ul;  // the lost commit is seen
        unsigned long next = storeAcl(store, "later");
        if (next != 0 && next != hx_db_s_reopen) return 0x7001ul;
        return committed;
      },
      [&](unsigned long status) {
        if (status == 0x7000 || status == 0x7001) return 4;
        FileState now = stateOf(db_, "new");
        if (now.status != 0) return 1;
        if (status == 0) return now.hasAcl && now.seq == before_ + 1 ? 0 : 2;
        // Failed: "new" is absent; "later" may have gone in after it.
        FileState later = stateOf(db_, "later");
        if (now.hasAcl) return 3;
        return later.seq == before_ + (later.hasAcl ? 1 : 0) ? 0 : 5;
      });
  EXPECT_GT(n, 3u);
}

// The same through the cache of a writing store: a change the file did not
// take is not read back from the cache either (this process would go on
// serving what no other process and no restart sees).
TEST_P(IoFaults, ACachedStoreNeverReadsBackAChangeTheFileDidNotTake) {
  gxtest::MessageCapture quiet;
  faults::failEachCall(
      dir_.path().string(), GetParam(), [&] { reset(); },
      [&] {
        daCachedStore store("io", db_.c_str(), 1, 0);
        unsigned long st = 1;
        store.openStore(0, st);
        if (st != 0) return st;
        store.setObject(daAclName("new"), new GxACL(), st);
        if (st != 0 && gxtest::hasAcl(store, "new")) return 0x7000ul;  // the lost change is read back
        return st;
      },
      [&](unsigned long status) {
        if (status == 0x7000) return 4;
        FileState now = stateOf(db_, "new");
        return now.status == 0 && now.hasAcl == (status == 0) ? 0 : 1;
      });
}

}  // namespace

namespace {

// A replica rebuilt from its master with each call under the replica's
// folder failing in turn: the replica is the old file or the master's,
// sound, and opens again with its client (the digest record, when it was
// written, matches the file in place); no temporary file is left.
TEST_P(IoFaults, ReplicaRebuildKeepsTheOldReplicaOrInstallsTheNewOne) {
  gxtest::MessageCapture quiet;
  TempDir masterDir;
  std::string master = masterDir.file("master.db");
  gxtest::makePolicyDb(master, {"m1", "m2"}, 0x600, "io");
  unsigned long masterSeq = stateOf(master, "m1").seq;
  faults::failEachCall(
      dir_.path().string(), GetParam(),
      [&] {
        std::filesystem::remove_all(dir_.path());
        std::filesystem::create_directory(dir_.path());
        reset();
      },
      [&] {
        daFileReplicatedClient client(master.c_str(), "io");
        daLocalPolicy policy("io", db_.c_str(), 0, 0);
        policy.setReplicatedClient(&client);
        unsigned long st = 1;
        policy.openPolicy(1, st);
        return policy.lastRebuildStatus();
      },
      [&](unsigned long status) {
        FileState now = stateOf(db_, "m1");
        if (now.status != 0) return 1;
        if (status == 0 && now.seq != masterSeq) return 2;
        if (now.seq != masterSeq && now.seq != before_) return 3;
        if (std::filesystem::exists(db_ + ".tmp")) return 4;
        daFileReplicatedClient client(master.c_str(), "io");
        daLocalPolicy again("io", db_.c_str(), 0, 0);
        again.setReplicatedClient(&client);
        unsigned long st = 1;
        again.openPolicy(1, st);
        return st == 0 && stateOf(db_, "m1").seq == masterSeq ? 0 : 5;
      });
}

// A user registry saved with each call failing in turn: save reports it,
// and the file holds the old registry or the new one, whole.
TEST_P(IoFaults, RegistrySaveLeavesTheOldFileOrTheNewOne) {
  std::string path = dir_.file("users.json");
  auto load = [&](size_t& users) {
    std::unique_ptr<gxreg::FileRegistry> reg;
    std::string message;
    unsigned long st = gxreg::FileRegistry::load(path, true, reg, message);
    users = st == 0 ? reg->users().size() : 0;
    return st;
  };
  faults::failEachCall(
      dir_.path().string(), GetParam(),
      [&] {
        ::unlink(path.c_str());
        gxreg::FileRegistry reg(path);
        ASSERT_EQ(reg.addGroup("g", nullptr), 0u);
        ASSERT_EQ(reg.addUser("old", nullptr, {"g"}), 0u);
        std::string message;
        ASSERT_EQ(reg.save(message), 0u) << message;
      },
      [&] {
        std::unique_ptr<gxreg::FileRegistry> reg;
        std::string message;
        unsigned long st = gxreg::FileRegistry::load(path, true, reg, message);
        if (st == 0) st = reg->addUser("new", nullptr, {"g"});
        if (st == 0) st = reg->save(message);
        return st;
      },
      [&](unsigned long status) {
        size_t users = 0;
        if (load(users) != 0) return 1;
        if (status == 0) return users == 2 ? 0 : 2;
        return users == 1 || users == 2 ? 0 : 3;
      });
}

// A snapshot published with each call under the publish folder failing in
// turn: the publish reports it, and the manifest is the previous one or
// the new one, naming a snapshot file that is there with its size.
TEST_P(IoFaults, PublishLeavesTheFolderAsBeforeOrComplete) {
  gxtest::MessageCapture quiet;
  TempDir masterDir;
  std::string master = masterDir.file("master.db");
  std::string out = dir_.file("pub");
  faults::failEachCall(
      dir_.path().string(), GetParam(),
      [&] {
        std::filesystem::remove_all(out);
        hx_db_remove_file(master.c_str());
        gxtest::makePolicyDb(master, {"m1"}, 0x600, "io");
        daSnapshotPublishResult first;
        unsigned long st = 1;
        daPublishSnapshot(master.c_str(), out.c_str(), "io", 2, first, st);
        ASSERT_EQ(st, 0u);
        gxtest::addAcls(master, {"m2"}, "io");
      },
      [&] {
        daSnapshotPublishResult result;
        unsigned long st = 1;
        daPublishSnapshot(master.c_str(), out.c_str(), "io", 2, result, st);
        return st;
      },
      [&](unsigned long status) {
        daSnapshotManifest m;
        unsigned long st = 1;
        daSnapshotManifestParse(gxtest::readFile(out + "/manifest.json"), m, st);
        if (st != 0) return 1;
        if (status == 0 && m.sequence != stateOf(master, "m1").seq) return 2;
        std::error_code ec;
        return std::filesystem::file_size(out + "/" + m.file, ec) == m.size && !ec ? 0 : 3;
      });
}

// A quota used up answers as a full disk does.
TEST(IoFaultsQuota, WriteOverQuotaAnswersNoSpace) {
  gxtest::MessageCapture quiet;
  TempDir dir;
  std::string db = dir.file("q.db");
  gxtest::makePolicyDb(db, {}, 0x600, "io");
  daLocalStore store("io", db.c_str());
  unsigned long st = 1;
  store.openStore(0, st);
  ASSERT_EQ(st, 0u);
  faults::Armed armed;
  faults::failNth(dir.path().string(), 1, EDQUOT);
  EXPECT_EQ(storeAcl(store, "new"), hx_db_s_no_space);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Errors, IoFaults, ::testing::Values(EIO, ENOSPC),
                         [](auto const& info) { return std::string(strerrorname_np(info.param)); });
