// Helpers shared by the tests: a message capture, temporary directories,
// whole files, forked children, and policy databases made to order.
#pragma once

#include <gtest/gtest.h>
#include <lmdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCacheStateLock.h"
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

// The whole file at path, as bytes ("" when it cannot be read).
inline std::string readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
// Replaces the file at path with bytes.
inline void writeFile(std::string const& path, std::string const& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Runs child in a forked process and returns its exit code (100 + the
// signal when it died of one; a child that hangs gets SIGALRM after 20 s).
template <class F>
int inChild(F child) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    ::_exit(child());
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 100 + WTERMSIG(ws);
}

// Stores obj's database form under name, one transaction.
inline void putObject(daLocalStore& store, daStoreObjectName const& name, daStoreObject&& obj) {
  gxobj_t rec{};
  unsigned long st = 0, seq = 0;
  obj.encode(rec, st);
  ASSERT_EQ(st, 0u);
  store.setObject(name.getFullName(), rec, seq, st);
  hxAsnFreeObj(rec);
  ASSERT_EQ(st, 0u) << name.getFullName().getChars();
}
inline void putAcl(daLocalStore& store, std::string const& name) { putObject(store, daAclName(name.c_str()), GxACL()); }

// Creates a policy database at path: the default action catalogue, version
// information (none when version is 0) and one empty ACL per name.
inline void makePolicyDb(std::string const& path, std::vector<std::string> const& acls = {}, uint32_t version = 0,
                         char const* domain = "d") {
  unsigned long st;
  daLocalStore creator(domain, path.c_str());
  creator.createStore(st);
  ASSERT_EQ(st, 0u);
  creator.openStore(0, st);
  ASSERT_EQ(st, 0u);
  ASSERT_EQ(gxStoreDefaultActionCatalogue(creator), 0u);
  if (version) putObject(creator, daAuthDBInfoName(), GxAuthznDBInfo(gxauthzn_db_s_t{version, 0, 0, 0, 0}));
  for (auto const& a : acls) putAcl(creator, a);
}
// A policy database as `gxpolicy create` leaves it.
inline void createPolicyDb(std::string const& path) { makePolicyDb(path); }

// Opens the existing database at path for writing and adds one empty ACL
// per name, one transaction each.
inline void addAcls(std::string const& path, std::vector<std::string> const& acls, char const* domain = "d") {
  daLocalStore s(domain, path.c_str());
  unsigned long st = 0;
  s.openStore(0, st);
  ASSERT_EQ(st, 0u);
  for (auto const& a : acls) putAcl(s, a);
}

// Whether the store has the ACL name (read under the shared state lock).
inline bool hasAcl(daCachedStore& store, std::string const& name) {
  daCacheStateLock shared(store, daCachedStore::open);
  Handle<daStoreObject> h;
  unsigned long st = 0;
  store.getObject(daAclName(name.c_str()), h, st);
  return st == 0 && !h.isEmpty();
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

// The lines a component logs (its log callback: a copy of log()), kept
// for a test to look through; safe for the component's threads.
class LogLines {
 public:
  std::function<void(std::string const&)> log() {
    return [this](std::string const& line) {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back(line);
    };
  }
  // Whether a line holding words was logged.
  bool has(std::string const& words) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto const& l : lines_)
      if (l.find(words) != std::string::npos) return true;
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace gxtest
