#include "GxCore/refCount.h"

#include <mutex>

#include "GxCore/coretrace.h"
#include "outside/ZObject.h"

void RefCount::misuse(int line) {
  hx_trace_exception(hx_ras_svc_handle, 0, "ZInvalidParameterException");
  ZInvalidParameterException_6_0().throwException("GxCore/refCount", line);
}

void RefCount::sharedLock() {
  std::lock_guard<ZCondition_6_0> guard(*this);
  while (exclusive == 1) wait();
  ++sharedCount;
}

void RefCount::sharedUnlock() {
  std::lock_guard<ZCondition_6_0> guard(*this);
  if (exclusive != 0 || sharedCount == 0) misuse(__LINE__);
  if (--sharedCount == 0) signal();
}

void RefCount::exclusiveLock() {
  std::lock_guard<ZCondition_6_0> guard(*this);
  while (exclusive != 0 || sharedCount != 0) wait();
  exclusive = 1;
}

void RefCount::exclusiveUnlock() {
  std::lock_guard<ZCondition_6_0> guard(*this);
  if (exclusive != 1 || sharedCount != 0) misuse(__LINE__);
  exclusive = 0;
  broadcast();
}

std::uint32_t RefCount::getSharedCount() {
  std::lock_guard<ZCondition_6_0> guard(*this);
  return sharedCount;
}

std::int32_t RefCount::isExclusive() {
  std::lock_guard<ZCondition_6_0> guard(*this);
  return exclusive;
}
