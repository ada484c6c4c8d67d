// Identity copies and the thread clean-up routine.
#include "GxCore/pacUtil.h"

#include <cstdlib>
#include <cstring>

#include "outside/hxdb.h"

extern "C" {

sec_id_t* sec_id_dup_sec_id_list(int count, sec_id_t const* list) {
  if (count <= 0 || list == nullptr) return nullptr;
  auto* copy = static_cast<sec_id_t*>(std::calloc(static_cast<size_t>(count), sizeof(sec_id_t)));
  if (copy == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) {
    copy[i].uuid = list[i].uuid;
    if (list[i].name != nullptr && (copy[i].name = strdup(list[i].name)) == nullptr) {
      sec_id_free_sec_id_list(i, copy);  // the names made so far and the array
      return nullptr;
    }
  }
  return copy;
}

void sec_id_free_sec_id_list(int count, sec_id_t* list) {
  if (list == nullptr) return;
  for (int i = 0; i < count; ++i) std::free(list[i].name);
  std::free(list);
}

sec_id_pa_t* sec_id_dup_pa(sec_id_pa_t const* pa) {
  if (pa == nullptr) return nullptr;
  auto* copy = static_cast<sec_id_pa_t*>(std::calloc(1, sizeof(sec_id_pa_t)));
  if (copy == nullptr) return nullptr;
  copy->principal.uuid = pa->principal.uuid;
  copy->num_groups = pa->num_groups;
  bool ok = pa->principal.name == nullptr || (copy->principal.name = strdup(pa->principal.name)) != nullptr;
  if (ok && pa->num_groups != 0 && pa->groups != nullptr) {
    copy->groups = sec_id_dup_sec_id_list(pa->num_groups, pa->groups);
    ok = copy->groups != nullptr;
  }
  if (pa->groups == nullptr) copy->num_groups = 0;
  if (!ok) {
    copy->num_groups = 0;
    sec_id_free_pa(copy);
    return nullptr;
  }
  return copy;
}

void sec_id_free_pa(sec_id_pa_t* pa) {
  if (pa == nullptr) return;
  std::free(pa->principal.name);
  sec_id_free_sec_id_list(pa->groups != nullptr ? pa->num_groups : 0, pa->groups);
  std::free(pa);
}

void hx_thread_cleanup(void* arg) {
  auto* r = static_cast<hx_thread_cleanup_t*>(arg);
  if (r == nullptr) return;
  unsigned long status;
  if ((r->flags & hx_cleanup_iteration) && r->db != nullptr) hx_db_iter_done(r->db, status);
  if ((r->flags & hx_cleanup_db) && r->db != nullptr) {
    hx_db_close(r->db, status);
    r->db = nullptr;
  }
  if ((r->flags & hx_cleanup_buffer) && r->buffer != nullptr) {
    delete[] r->buffer;
    r->buffer = nullptr;
  }
  if ((r->flags & hx_cleanup_mutex) && r->mutex != nullptr) {
    pthread_mutex_unlock(r->mutex);
    r->mutex = nullptr;
  }
  if ((r->flags & hx_cleanup_lock) && r->lock != nullptr) {
    lock__unlock(r->lock, __FILE__, __LINE__);
    r->lock = nullptr;
  }
}

}  // extern "C"
