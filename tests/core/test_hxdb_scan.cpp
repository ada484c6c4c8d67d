// hx_db_scan_prefix(_records): the keys under a prefix, in order, from one
// snapshot, and with each the record's stored value; the keys before and after a point.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "outside/hxdb.h"
#include "test_support.h"

namespace {

struct Collected {
  std::vector<std::string> keys;
  size_t stopAfter = ~size_t{0};
};

bool collect(void* context, char const* key, size_t length) {
  auto& c = *static_cast<Collected*>(context);
  c.keys.emplace_back(key, length);
  return c.keys.size() < c.stopAfter;
}

TEST(HxDbScan, YieldsTheKeysUnderAPrefixInOrderAndStopsWhenAsked) {
  gxtest::TempDir dir;
  std::string path = dir.file("scan.db");
  unsigned long st;
  hx_db_handle* h = hx_db_lock_open(path.c_str(), hx_db_mode_create, 2, MrProcessLockFactory::newLock("gxcore-test-scan"), st);
  ASSERT_EQ(st, 0u);
  char byte = 1;
  gxobj_t record{};
  record.length = 1;
  record.data = reinterpret_cast<unsigned char*>(&byte);
  for (char const* key : {"/m", "/m/b", "/m/a", "/ma", "/l", "/n/m", "/m/a/deep"}) {
    hx_db_store(h, key, record, st);
    ASSERT_EQ(st, 0u) << key;
  }
  Collected all;
  hx_db_scan_prefix(h, "/m", collect, &all, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(all.keys, (std::vector<std::string>{"/m", "/m/a", "/m/a/deep", "/m/b", "/ma"}));

  Collected two;
  two.stopAfter = 2;
  hx_db_scan_prefix(h, "/m/", collect, &two, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(two.keys, (std::vector<std::string>{"/m/a", "/m/a/deep"}));

  Collected none;
  hx_db_scan_prefix(h, "/z", collect, &none, st);
  EXPECT_EQ(st, 0u);
  EXPECT_TRUE(none.keys.empty());
  for (char const* bad : {"", static_cast<char const*>(nullptr)}) {
    hx_db_scan_prefix(h, bad, collect, &none, st);
    EXPECT_EQ(st, hx_db_s_bad_argument);
  }
  hx_db_scan_prefix(h, "/m", nullptr, &none, st);
  EXPECT_EQ(st, hx_db_s_bad_argument);
  hx_db_scan_prefix(nullptr, "/m", collect, &none, st);
  EXPECT_EQ(st, hx_db_s_bad_argument);
  EXPECT_TRUE(none.keys.empty());

  // With values: the same keys, each with the stored value of its record.
  std::vector<std::pair<std::string, std::string>> records;
  hx_db_scan_prefix_records(
      h, "/m/a",
      [](void* context, std::string_view key, std::string_view value) {
        static_cast<decltype(records)*>(context)->emplace_back(key, value);
        return true;
      },
      &records, st);
  EXPECT_EQ(st, 0u);
  std::string const stored = hx_db_stored_value(record);
  EXPECT_EQ(records, (decltype(records){{"/m/a", stored}, {"/m/a/deep", stored}}));
  hx_db_scan_prefix_records(h, "/m", nullptr, &records, st);
  EXPECT_EQ(st, hx_db_s_bad_argument);

  // The key before a point, whether or not the point is a key.
  for (auto const& [point, before] : std::vector<std::pair<char const*, char const*>>{
           {"/m/a", "/m"}, {"/m/a/deep", "/m/a"}, {"/m/c", "/m/b"}, {"/zzz", "/n/m"}, {"/l", nullptr}, {"/", nullptr}}) {
    std::string found = "unchanged";
    EXPECT_EQ(hx_db_key_before(h, point, found, st), before != nullptr) << point;
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(found, before != nullptr ? before : "unchanged") << point;
  }
  std::string found;
  EXPECT_FALSE(hx_db_key_before(h, "", found, st));
  EXPECT_EQ(st, hx_db_s_bad_argument);
  EXPECT_TRUE(hx_db_key_after(h, "/m/a", found, st));
  EXPECT_EQ(found, "/m/a/deep");
  EXPECT_TRUE(hx_db_key_after(h, "", found, st));
  EXPECT_EQ(found, "/l");
  EXPECT_FALSE(hx_db_key_after(h, "/n/m", found, st));
  EXPECT_EQ(st, 0u);
  hx_db_close(h, st);
}

}  // namespace
