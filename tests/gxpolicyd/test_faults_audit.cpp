// The audit trail with each write and sync of a record's way to the file
// failing in turn (fault_injection.h): the record is counted lost, never
// written, and the failure is logged; the trail writes the next record.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "fault_injection.h"
#include "test_support.h"
#include "tools/gxpolicyd/audit.h"

namespace {

namespace faults = gxtest::faults;

daAuditRecord decision(char const* object) {
  daAuditRecord r;
  r.object = object;
  r.actions = "r";
  r.sequence = 7;
  return r;
}

// Strict, synced on every batch: a decision goes on only once its record is
// on the disk, so any failing call on that way makes its record a loss
// (logged), and the other record still goes in. A record counted written
// is in the file.
TEST(AuditFaults, RecordWhoseWriteOrSyncFailsIsCountedLostAndTheTrailGoesOn) {
  gxtest::TempDir dir;
  std::string file = dir.file("audit.log");
  gxpolicyd::AuditOptions o;
  o.file = file;
  o.strict = true;
  o.fsync = std::chrono::milliseconds(0);
  constexpr unsigned long kFirstLost = 1, kSecondLost = 2, kSilent = 4, kFaulted = 8;
  for (int err : {EIO, ENOSPC}) {
    faults::failEachCall(
        dir.path().string(), err, [&] { ::unlink(file.c_str()); },
        [&] {
          gxpolicyd::AuditCounters counters;
          std::string log, error;
          auto trail = gxpolicyd::AuditTrail::open(o, counters, [&](std::string const& m) { log += m; }, error);
          if (!trail) return 0x100ul;
          trail->record(decision("/first"));
          unsigned long out = counters.lost.load() == 1 ? kFirstLost : 0;
          trail->record(decision("/second"));
          if (counters.lost.load() - (out ? 1 : 0) == 1) out |= kSecondLost;
          trail->stop();
          if (out != 0 && log.empty()) out |= kSilent;
          return out | (faults::fired() ? kFaulted : 0);
        },
        [&](unsigned long status) {
          std::string text = gxtest::readFile(file);
          if (!(status & kFirstLost) && text.find("/first") == std::string::npos) return 1;
          if (!(status & kSecondLost) && text.find("/second") == std::string::npos) return 2;
          // The clean run loses nothing; a run with one failing call loses one record, loudly.
          if (!(status & kFaulted)) return status == 0 ? 0 : 3;
          status &= ~kFaulted;
          return status == kFirstLost || status == kSecondLost ? 0 : 4;
        });
  }
}

}  // namespace
