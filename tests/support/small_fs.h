// A real, small file system for the tests of a full disk and a read-only
// file system: a tmpfs mounted on a fresh directory, unmounted (lazily, so
// a file a failed test left open does not keep it) and removed at scope
// end. Mounting needs CAP_SYS_ADMIN: a test that cannot mount fails rather
// than skips, since the faults it covers would go untested.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace gxtest {

class SmallFileSystem {
 public:
  // A tmpfs of bytes (rounded up to pages by the kernel).
  explicit SmallFileSystem(size_t bytes) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "gxcore-smallfs-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      int err = errno;
      ::rmdir(path_.c_str());
      throw std::runtime_error("cannot mount a tmpfs on " + path_ + ": " + std::strerror(err) +
                               " (the fault tests need CAP_SYS_ADMIN)");
    }
  }
  ~SmallFileSystem() {
    ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
  }
  SmallFileSystem(SmallFileSystem const&) = delete;
  SmallFileSystem& operator=(SmallFileSystem const&) = delete;

  std::string file(char const* name) const { return path_ + "/" + name; }
  std::string const& path() const { return path_; }

  size_t freeBytes() const {
    struct statvfs vfs {};
    ::statvfs(path_.c_str(), &vfs);
    return static_cast<size_t>(vfs.f_bavail) * vfs.f_frsize;
  }
  // Takes all but leave bytes of the free space with an allocated file
  // ("fill"; replaced by each call).
  void fillLeaving(size_t leave) {
    std::string fill = file("fill");
    ::unlink(fill.c_str());
    size_t free = freeBytes();
    if (free <= leave) return;
    int fd = ::open(fill.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(free - leave)), 0);
    ::close(fd);
  }
  // Remounts read-only (readOnly) or writable again.
  void remount(bool readOnly) {
    unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    ASSERT_EQ(::mount("tmpfs", path_.c_str(), "tmpfs", flags, nullptr), 0) << std::strerror(errno);
  }
  // The names in the folder, sorted, without the fill file.
  std::string listing() const {
    std::vector<std::string> names;
    for (auto const& e : std::filesystem::directory_iterator(path_))
      if (e.path().filename() != "fill") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string out;
    for (auto const& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
  }

 private:
  std::string path_;
};

}  // namespace gxtest
