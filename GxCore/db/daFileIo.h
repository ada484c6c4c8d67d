// Small file helpers shared by the replica's registry file and the snapshot
// publisher: whole writes and reads that retry on EINTR, a directory sync
// after a rename, and a temporary file removed on scope exit. Internal: not
// part of the installed interface a host uses.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include "outside/hxdb.h"
#include "outside/hxfd.h"

namespace da_internal {

// Writes all n bytes to fd. false on any write error (errno tells).
inline bool writeAll(int fd, void const* data, size_t n) {
  auto const* p = static_cast<char const*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads up to n bytes (fewer only at the end of the file); -1 on error.
inline ssize_t readSome(int fd, void* data, size_t n) {
  for (;;) {
    ssize_t r = ::read(fd, data, n);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

// Syncs the directory dir (best effort), so a rename in it is durable.
inline void syncDir(std::string const& dir) {
  hx_internal::FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Removes a file on scope exit unless kept (a database file through
// hx_db_remove_file, so its lock file goes with it).
class TempFile {
 public:
  explicit TempFile(std::string path, bool database = false) : path_(std::move(path)), database_(database) {}
  ~TempFile() {
    if (keep_) return;
    if (database_) hx_db_remove_file(path_.c_str());
    else ::unlink(path_.c_str());
  }
  TempFile(TempFile const&) = delete;
  TempFile& operator=(TempFile const&) = delete;
  std::string const& path() const { return path_; }
  void keep() { keep_ = true; }

 private:
  std::string path_;
  bool database_;
  bool keep_ = false;
};

}  // namespace da_internal
