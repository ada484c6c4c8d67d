// Lock functions over std::mutex.
#include "outside/hxlock_fns.h"

#include <mutex>
#include <new>

struct hx_lock_s {
  std::mutex m;
};

extern "C" {

hx_lock_t lock__create(char const*, int) { return new (std::nothrow) hx_lock_s; }

int lock__justwrite(hx_lock_t lock, char const*, int) {
  if (lock == nullptr) return -1;
  lock->m.lock();
  return 0;
}

int lock__unlock(hx_lock_t lock, char const*, int) {
  if (lock == nullptr) return -1;
  lock->m.unlock();
  return 0;
}

void lock__delete(hx_lock_t lock, char const*, int) { delete lock; }

}  // extern "C"
