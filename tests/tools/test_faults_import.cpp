// An import with each write, sync, rename and map call it makes failing in
// turn (fault_injection.h): the import reports the failure and the
// database holds the whole document or none of it.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "GxCore/db/daCachedStore.h"
#include "fault_injection.h"
#include "outside/hxdb.h"
#include "test_support.h"
#include "tools/common/policy_import.h"

namespace {

namespace faults = gxtest::faults;

constexpr char const* kDocument = R"({
  "acls": {"a1": {"entries": [{"type": "any-other", "actions": "Tr"}]},
           "a2": {"entries": [{"type": "unauthenticated", "actions": "T"}]}},
  "objects": {"/web": {"acl": "a1"}, "/web/docs": {"acl": "a2"}, "/ftp": {"acl": "a1"}}
})";

class ImportFaults : public ::testing::TestWithParam<int> {};

TEST_P(ImportFaults, ImportWritesTheWholeDocumentOrNothing) {
  gxtest::MessageCapture quiet;
  gxtest::TempDir dir;
  std::string db = dir.file("p.db");
  unsigned long before = 0;
  auto state = [&](unsigned long& seq) {
    daCachedStore s("d", db.c_str(), 0, 0);
    unsigned long st = 1;
    s.openStore(1, st);
    s.getLocalSeqNum(seq);
    int acls = gxtest::hasAcl(s, "a1") + gxtest::hasAcl(s, "a2");
    return st == 0 ? acls : -1;
  };
  faults::failEachCall(
      dir.path().string(), GetParam(),
      [&] {
        hx_db_remove_file(db.c_str());
        gxtest::createPolicyDb(db);
        state(before);
      },
      [&] {
        daCachedStore s("d", db.c_str(), 1, 0);
        unsigned long st = 1;
        s.openStore(0, st);
        if (st != 0) return st;
        gxpolicy::ImportCounts counts;
        gxpolicy::Problem problem;
        if (gxpolicy::importPolicyText(s, kDocument, counts, problem)) return 0ul;
        return problem.status != 0 ? problem.status : 1ul;
      },
      [&](unsigned long status) {
        unsigned long seq = 0;
        int acls = state(seq);
        if (acls < 0) return 1;
        if (status == 0) return acls == 2 && seq > before ? 0 : 2;
        return (acls == 0 && seq == before) || (acls == 2 && seq > before) ? 0 : 3;
      });
}

INSTANTIATE_TEST_SUITE_P(Errors, ImportFaults, ::testing::Values(EIO, ENOSPC),
                         [](auto const& info) { return std::string(strerrorname_np(info.param)); });

}  // namespace
