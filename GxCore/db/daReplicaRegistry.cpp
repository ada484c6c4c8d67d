#include "GxCore/db/daReplicaRegistry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "GxCore/db/daFileIo.h"
#include "outside/file_registry.h"
#include "outside/hxdb.h"
#include "outside/hxfd.h"

using da_internal::readSome;
using da_internal::syncDir;
using da_internal::TempFile;
using da_internal::writeAll;
using hx_internal::FileDescriptor;

std::string daRegistryPathOf(std::string const& db) { return db + ".registry.json"; }

void daReadRegistryFile(std::string const& path, uint64_t maxBytes, std::string& text, unsigned long& status) {
  status = hx_db_s_open_failed;
  FileDescriptor fd(hx_open_regular(path.c_str()));
  if (!fd.valid()) return;
  std::string bytes;
  std::vector<char> buf(64 * 1024);
  for (;;) {
    ssize_t n = readSome(fd.get(), buf.data(), buf.size());
    if (n < 0) {
      status = hx_db_s_io_error;
      return;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > maxBytes) {
      status = da_s_snapshot_bad_registry;
      return;
    }
    bytes.append(buf.data(), static_cast<size_t>(n));
  }
  std::unique_ptr<gxreg::FileRegistry> parsed;
  std::string message;
  if (gxreg::FileRegistry::parse(bytes, path, parsed, message) != 0) {
    status = da_s_snapshot_bad_registry;
    return;
  }
  text = std::move(bytes);
  status = 0;
}

void daInstallRegistry(std::string const& text, std::string const& path, unsigned long& status) {
  status = da_s_snapshot_bad_registry;
  std::unique_ptr<gxreg::FileRegistry> parsed;
  std::string message;
  if (gxreg::FileRegistry::parse(text, path, parsed, message) != 0) return;
  std::string present;
  unsigned long readStatus = 0;
  daReadRegistryFile(path, daMaxRegistryBytes, present, readStatus);
  status = 0;
  if (readStatus == 0 && present == text) return;
  status = hx_db_s_io_error;
  TempFile tmp(path + ".new");
  ::unlink(tmp.path().c_str());
  {
    FileDescriptor out(::open(tmp.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() || !writeAll(out.get(), text.data(), text.size()) || ::fsync(out.get()) != 0) return;
  }
  if (::rename(tmp.path().c_str(), path.c_str()) != 0) return;
  tmp.keep();
  auto slash = path.rfind('/');
  syncDir(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
  status = 0;
}
