// Fault injection for the tests of I/O and sync errors. A test binary that
// links fault_injection.cpp defines write, pwrite, writev, fsync,
// fdatasync, rename, mmap and posix_fallocate itself: being the program,
// its definitions come before the C library's for every library the
// program loads (the database engine's own writes included, which an
// in-library hook could not reach), and under the sanitizers too, whose
// interceptors they call on to. Disarmed, each forwards at once.
//
// Armed on a folder, the calls on files under it are counted (a
// descriptor's file is read from /proc/self/fd; a rename counts when
// either name is under it), so the framework's output and other files are
// never touched, and the n-th counted call can be made to fail with a
// chosen errno without doing anything. One arming at a time, per process;
// arm and disarm while no other thread of the test does I/O on the folder.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace gxtest::faults {

// Counts the calls on files under dir from now on and fails none.
void count(std::string const& dir);
// Counts as count does and fails the n-th counted call (1-based) with err;
// the calls after it run as usual.
void failNth(std::string const& dir, unsigned long n, int err);
// The calls counted since the last count or failNth.
unsigned long calls();
// Whether the armed failure has happened.
bool fired();
// Disarms: every call forwards again.
void off();

// Disarms at scope end.
class Armed {
 public:
  Armed() = default;
  ~Armed() { off(); }
  Armed(Armed const&) = delete;
  Armed& operator=(Armed const&) = delete;
};

// Every call of a writing path failing in turn: reset() makes the starting
// state, and a clean run of op() (in this process) counts the calls on
// files under dir. Then, for each of them, reset() runs again and a child
// process runs op() with that call failing with err; check(status of op)
// then runs in the child with the faults off and answers 0 when the files
// are as they must be. A child that dies of a signal, or whose check fails,
// fails the test with the call's number. Returns the number of calls.
template <class Reset, class Op, class Check>
unsigned long failEachCall(std::string const& dir, int err, Reset reset, Op op, Check check) {
  reset();
  count(dir);
  unsigned long clean = op();
  unsigned long n = calls();
  off();
  EXPECT_EQ(clean, 0u) << "the clean run failed";
  EXPECT_EQ(check(clean), 0) << "the clean run left the wrong files";
  EXPECT_GT(n, 0u) << "nothing was written under " << dir;
  for (unsigned long call = 1; call <= n; ++call) {
    reset();
    int code = inChild([&] {
      failNth(dir, call, err);
      unsigned long status = op();
      bool hit = fired();
      off();
      if (!hit) return 90;  // the run made fewer calls than the clean one
      return check(status);
    });
    EXPECT_EQ(code, 0) << "with call " << call << " of " << n << " failing (" << std::strerror(err) << ")";
  }
  return n;
}

}  // namespace gxtest::faults
