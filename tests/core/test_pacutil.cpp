// Identity helpers: deep copies of privilege attributes and the thread
// clean-up routine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "GxCore/db/daLocalStore.h"
#include "GxCore/pacUtil.h"
#include "outside/hxdb.h"
#include "test_support.h"

namespace {

hx_uuid_t uuid(uint32_t n) {
  hx_uuid_t u{};
  u.time_low = n;
  return u;
}

TEST(SecId, CopiesAreIndependent) {
  sec_id_t groups[2] = {{uuid(10), strdup("g1")}, {uuid(11), nullptr}};
  sec_id_pa_t pa{{uuid(1), strdup("alice")}, 2, groups};
  sec_id_pa_t* copy = sec_id_dup_pa(&pa);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->principal.name, pa.principal.name);
  EXPECT_STREQ(copy->principal.name, "alice");
  ASSERT_EQ(copy->num_groups, 2);
  EXPECT_STREQ(copy->groups[0].name, "g1");
  EXPECT_EQ(copy->groups[1].name, nullptr);
  unsigned long st;
  EXPECT_TRUE(hx_uuid_equal(copy->groups[1].uuid, uuid(11), st));
  sec_id_free_pa(copy);
  EXPECT_STREQ(groups[0].name, "g1");  // the original is intact
  free(groups[0].name);
  free(pa.principal.name);

  sec_id_pa_t lone{{uuid(2), nullptr}, 0, nullptr};
  sec_id_pa_t* loneCopy = sec_id_dup_pa(&lone);
  ASSERT_NE(loneCopy, nullptr);
  EXPECT_EQ(loneCopy->groups, nullptr);
  sec_id_free_pa(loneCopy);
  EXPECT_EQ(sec_id_dup_pa(nullptr), nullptr);
  EXPECT_EQ(sec_id_dup_sec_id_list(0, groups), nullptr);
}

TEST(SecId, ThreadCleanupReleasesWhatItsFlagsName) {
  gxtest::TempDir dir;
  std::string path = dir.file("c.db");
  unsigned long st;
  hx_db_handle* db = hx_db_lock_open(path.c_str(), hx_db_mode_create, 2, createLock("cleanup"), st);
  ASSERT_EQ(st, 0u);
  hx_db_iter_start(db, st);
  ASSERT_EQ(st, 0u);
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&mutex);
  hx_lock_t lock = lock__create(__FILE__, __LINE__);
  lock__justwrite(lock, __FILE__, __LINE__);
  hx_thread_cleanup_t rec{hx_cleanup_iteration | hx_cleanup_db | hx_cleanup_buffer | hx_cleanup_mutex |
                              hx_cleanup_lock,
                          lock, db, &mutex, new char[64]};
  hx_thread_cleanup(&rec);
  hx_thread_cleanup(&rec);  // a second run finds nothing left
  hx_thread_cleanup(nullptr);
  EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
  pthread_mutex_unlock(&mutex);
  EXPECT_EQ(lock__justwrite(lock, __FILE__, __LINE__), 0);  // was released
  lock__unlock(lock, __FILE__, __LINE__);
  lock__delete(lock, __FILE__, __LINE__);

  // Flags select: a record without flag 4 leaves the database open.
  db = hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, createLock("cleanup"), st);
  ASSERT_EQ(st, 0u);
  hx_thread_cleanup_t keep{hx_cleanup_buffer, nullptr, db, nullptr, nullptr};
  hx_thread_cleanup(&keep);
  unsigned long count = 99;
  hx_db_inq_count(db, count, st);
  EXPECT_EQ(st, 0u);
  hx_db_close(db, st);
}

}  // namespace
