// Identity helpers for hosts: deep copies and release of the DCE-style
// identity structures that ACL evaluation takes (sec_id_t lists and
// sec_id_pa_t privilege attributes, GxCore/acleval.h), and hx_thread_cleanup,
// a routine a thread runs (e.g. as a cancellation clean-up handler) to let
// go of what it holds. Exported under bare names with C linkage; the library
// itself calls none of them.
//
// Every copy is malloc'ed: the arrays and structures with malloc, each name
// with strdup (a null name stays null). When the heap is exhausted a copy
// function frees what it had made and returns null.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "GxCore/acleval.h"
#include "outside/hxlock_fns.h"

struct hx_db_handle;

// What hx_thread_cleanup releases: each field is acted on only when its flag
// bit is set and the field is not null.
struct hx_thread_cleanup_t {
  uint32_t flags;
  hx_lock_t lock;          // hx_cleanup_lock: lock__unlock
  hx_db_handle* db;        // hx_cleanup_iteration: hx_db_iter_done; hx_cleanup_db: hx_db_close
  pthread_mutex_t* mutex;  // hx_cleanup_mutex: pthread_mutex_unlock
  char* buffer;            // hx_cleanup_buffer: delete[]
};

enum : uint32_t {
  hx_cleanup_lock = 1,
  hx_cleanup_iteration = 2,
  hx_cleanup_db = 4,
  hx_cleanup_mutex = 8,
  hx_cleanup_buffer = 16,
};

extern "C" {

// A new array of count deep copies of list; null when count <= 0, list is
// null or the heap is exhausted. Release with sec_id_free_sec_id_list.
sec_id_t* sec_id_dup_sec_id_list(int count, sec_id_t const* list);
// Frees the names of the count elements of list and the array; null is ignored.
void sec_id_free_sec_id_list(int count, sec_id_t* list);
// A new deep copy of pa (groups null when it has none); null for a null pa
// or when the heap is exhausted. Release with sec_id_free_pa.
sec_id_pa_t* sec_id_dup_pa(sec_id_pa_t const* pa);
// Frees the principal's name, every group name, the group array and the
// structure itself (as made by sec_id_dup_pa); null is ignored.
void sec_id_free_pa(sec_id_pa_t* pa);

// Runs the clean-up described by record (an hx_thread_cleanup_t*), in this
// order: end the iteration on db (flag 2), close db (4), delete[] buffer
// (16), unlock mutex (8), unlock lock (1). Statuses are ignored. Each field
// released is set to null (the iteration step leaves db for the close), so a
// second run does nothing twice. A null record does nothing. The signature
// fits pthread_cleanup_push.
void hx_thread_cleanup(void* record);

}  // extern "C"
