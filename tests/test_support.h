// Helpers shared by the tests: a message capture and temporary directories.
#pragma once

#include <gtest/gtest.h>
#include <lmdb.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "GxCore/GxAction.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/hxdb.h"
#include "outside/hxsvc.h"

namespace gxtest {

// An open database-file handle, closed at scope exit.
struct DbHandleCloser {
  void operator()(hx_db_handle* h) const {
    unsigned long st;
    hx_db_close(h, st);
  }
};
using DbHandle = std::unique_ptr<hx_db_handle, DbHandleCloser>;

// Captures every logged message while it lives (and keeps them off stderr).
class MessageCapture {
 public:
  MessageCapture() {
    previous_ = hx_svc_set_sink([this](hx_svc_record const& r) {
      if (r.isTrace) return;
      std::lock_guard<std::mutex> g(m_);
      records_.push_back(r);
    });
  }
  ~MessageCapture() { hx_svc_set_sink(previous_); }
  MessageCapture(MessageCapture const&) = delete;
  MessageCapture& operator=(MessageCapture const&) = delete;

  size_t count(unsigned long id) const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (auto const& r : records_) n += r.id == id;
    return n;
  }
  // The inserts of the last message with this id (empty when none).
  std::vector<std::string> inserts(unsigned long id) const {
    std::lock_guard<std::mutex> g(m_);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it)
      if (it->id == id) return it->inserts;
    return {};
  }
  std::vector<hx_svc_record> all() const {
    std::lock_guard<std::mutex> g(m_);
    return records_;
  }

 private:
  mutable std::mutex m_;
  std::vector<hx_svc_record> records_;
  hx_svc_sink previous_;
};

// A fresh directory removed with everything in it at scope end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "gxcore-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;
  std::string file(char const* name) const { return (path_ / name).string(); }
  std::filesystem::path const& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Creates a policy database at path as `gxpolicy create` leaves it: empty
// but for the default action catalogue.
inline void createPolicyDb(std::string const& path) {
  unsigned long st;
  daLocalStore creator("d", path.c_str());
  creator.createStore(st);
  ASSERT_EQ(st, 0u);
  creator.openStore(0, st);
  ASSERT_EQ(st, 0u);
  ASSERT_EQ(gxStoreDefaultActionCatalogue(creator), 0u);
}

// The names in the policy map stored under name, in stored order; empty
// when there is none.
inline std::vector<std::string> mapNames(daCachedStore& s, daStoreObjectName const& name) {
  Handle<daStoreObject> h;
  unsigned long st;
  s.getObject(name, h, st);
  std::vector<std::string> out;
  if (auto* m = dynamic_cast<daPolicyObjectMap*>(h.get()))
    for (unsigned int i = 0; i < m->count(); ++i) out.emplace_back(m->get(i));
  return out;
}

// Writes raw {key, value} pairs straight into a database file, behind the
// library's back (used to plant damaged values). No handle of this process
// may be open on the file. Returns 0 or the first LMDB error.
inline int putRawValues(std::string const& path, std::vector<std::pair<std::string, std::string>> const& values,
                        size_t mapSize = size_t{1} << 30) {
  MDB_env* e = nullptr;
  MDB_txn* t = nullptr;
  MDB_dbi dbi;
  if (int rc = mdb_env_create(&e)) return rc;
  std::unique_ptr<MDB_env, decltype(&mdb_env_close)> env(e, &mdb_env_close);
  int rc = mdb_env_set_mapsize(e, mapSize);
  if (rc == 0) rc = mdb_env_open(e, path.c_str(), MDB_NOSUBDIR, 0600);
  if (rc == 0) rc = mdb_txn_begin(e, nullptr, 0, &t);
  if (rc) return rc;
  std::unique_ptr<MDB_txn, decltype(&mdb_txn_abort)> txn(t, &mdb_txn_abort);
  rc = mdb_dbi_open(t, nullptr, 0, &dbi);
  for (size_t i = 0; rc == 0 && i < values.size(); ++i) {
    MDB_val k{values[i].first.size(), const_cast<char*>(values[i].first.data())};
    MDB_val v{values[i].second.size(), const_cast<char*>(values[i].second.data())};
    rc = mdb_put(t, dbi, &k, &v, 0);
  }
  return rc ? rc : mdb_txn_commit(txn.release());
}

}  // namespace gxtest
