// RefCount: a shared/exclusive gate offered to callers of the library.
// Any number of shared holders may be inside together; an exclusive holder
// waits until every shared holder has left and keeps new shared holders out
// while it is inside. A waiting exclusive requester does not hold back new
// shared holders, so a steady stream of readers can delay a writer.
// The library itself does not use it.
#pragma once

#include <cstdint>

#include "outside/ZThread.h"

class RefCount : public ZCondition_6_0 {
 public:
  RefCount() = default;
  RefCount(RefCount const&) = delete;
  RefCount& operator=(RefCount const&) = delete;

  // Enters as a shared holder, waiting (untimed) while an exclusive holder
  // is inside. Takes the gate's own lock for the duration of the call.
  void sharedLock();
  // Leaves as a shared holder; the last one to leave wakes one waiter.
  // Without a shared holder, or while an exclusive holder is inside, the
  // counters stay as they are and ZInvalidParameterException_6_0 is thrown.
  // Takes the gate's own lock for the duration of the call.
  void sharedUnlock();
  // Enters as the exclusive holder, waiting (untimed) until there is neither
  // an exclusive nor a shared holder. Takes the gate's own lock.
  void exclusiveLock();
  // Leaves as the exclusive holder and wakes every waiter. Without an
  // exclusive holder, or while shared holders exist, the counters stay as
  // they are and ZInvalidParameterException_6_0 is thrown. Takes the gate's
  // own lock.
  void exclusiveUnlock();

  // Snapshots of the counters, read under the gate's lock.
  std::uint32_t getSharedCount();
  std::int32_t isExclusive();

 private:
  // Traces and throws the misuse exception; called with the gate's lock
  // held, which the caller's guard releases as the exception passes.
  [[noreturn]] static void misuse(int line);

  std::uint32_t sharedCount = 0;
  std::int32_t exclusive = 0;
};
