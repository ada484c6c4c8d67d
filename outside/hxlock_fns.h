// The lock service's plain functions: an exclusive lock handed around as an
// opaque pointer (for example in a thread clean-up record), each call given
// the caller's source file and line. A thin layer over std::mutex; not
// recursive, and only the thread that took a lock may release it.
#pragma once

struct hx_lock_s;
using hx_lock_t = hx_lock_s*;

extern "C" {

// A new unlocked lock, or null when the heap is exhausted. The caller owns
// it and releases it with lock__delete.
hx_lock_t lock__create(char const* file, int line);
// Takes the lock exclusively, waiting for it. Returns 0, or -1 for a null lock.
int lock__justwrite(hx_lock_t lock, char const* file, int line);
// Releases a lock the calling thread holds. Returns 0, or -1 for a null lock.
int lock__unlock(hx_lock_t lock, char const* file, int line);
// Destroys an unlocked lock; a null lock is ignored.
void lock__delete(hx_lock_t lock, char const* file, int line);

}  // extern "C"
