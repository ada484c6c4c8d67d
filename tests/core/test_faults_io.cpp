// I/O and sync errors on every writing path of the library: each write,
// sync, rename and map call the path makes fails in turn (EIO, ENOSPC or
// EDQUOT, through the fault injection of the test binary), and the path
// must answer with a status, never a signal, and leave its files as they
// were or complete.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalStore.h"
#include "fault_injection.h"
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

INSTANTIATE_TEST_SUITE_P(Errors, IoFaults, ::testing::Values(EIO, ENOSPC, EDQUOT),
                         [](auto const& info) { return std::string(strerrorname_np(info.param)); });

}  // namespace
