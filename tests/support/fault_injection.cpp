// The calls the fault injection stands in for (see fault_injection.h).
// Each forwards to the next definition (the C library's, or a sanitizer's
// interceptor) found with dlsym(RTLD_NEXT). Nothing here allocates while a
// call is being checked: the paths are compared in buffers on the stack.
#include "fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<bool> g_armed{false};
std::atomic<unsigned long> g_calls{0};
std::atomic<unsigned long> g_failAt{0};  // 0: fail none
std::atomic<bool> g_fired{false};
int g_errno = 0;
char g_dir[PATH_MAX];  // canonical, no trailing slash; set before g_armed
size_t g_dirLength = 0;

template <class F>
F next(char const* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

bool underDir(char const* path) {
  return path && std::strncmp(path, g_dir, g_dirLength) == 0 && (path[g_dirLength] == '/' || path[g_dirLength] == 0);
}

bool pathUnderDir(char const* path) {
  if (!path) return false;
  if (path[0] == '/') return underDir(path);
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return false;
  char full[PATH_MAX * 2];
  std::snprintf(full, sizeof full, "%s/%s", cwd, path);
  return underDir(full);
}

bool fdUnderDir(int fd) {
  if (fd < 0) return false;
  char link[64], target[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = 0;
  return underDir(target);
}

// True when this call must fail (errno is then set); counts it when it
// concerns the folder.
bool failHere(bool concerned) {
  if (!concerned) return false;
  unsigned long n = g_calls.fetch_add(1) + 1;
  if (n != g_failAt.load()) return false;
  g_fired = true;
  errno = g_errno;
  return true;
}

bool failFd(int fd) { return g_armed.load(std::memory_order_acquire) && failHere(fdUnderDir(fd)); }

void arm(std::string const& dir, unsigned long n, int err) {
  g_armed = false;
  char* canonical = ::realpath(dir.c_str(), nullptr);
  std::snprintf(g_dir, sizeof g_dir, "%s", canonical ? canonical : dir.c_str());
  std::free(canonical);
  g_dirLength = std::strlen(g_dir);
  g_calls = 0;
  g_failAt = n;
  g_errno = err;
  g_fired = false;
  g_armed.store(true, std::memory_order_release);
}

}  // namespace

namespace gxtest::faults {

void count(std::string const& dir) { arm(dir, 0, 0); }
void failNth(std::string const& dir, unsigned long n, int err) { arm(dir, n, err); }
unsigned long calls() { return g_calls.load(); }
bool fired() { return g_fired.load(); }
void off() { g_armed = false; }

}  // namespace gxtest::faults

// ThreadSanitizer maps memory before the program can find the C library's
// calls (its own mmap runs from its start-up, and dlsym allocates), so its
// builds leave the calls alone: there the seam counts nothing and fails
// nothing. The fault tests are not run under it (only the Concurrency
// suites are).
#ifndef GXTEST_NO_FAULT_SEAM
extern "C" {

ssize_t write(int fd, void const* buf, size_t n) {
  static auto real = next<ssize_t (*)(int, void const*, size_t)>("write");
  if (failFd(fd)) return -1;
  return real(fd, buf, n);
}

ssize_t pwrite(int fd, void const* buf, size_t n, off_t offset) {
  static auto real = next<ssize_t (*)(int, void const*, size_t, off_t)>("pwrite");
  if (failFd(fd)) return -1;
  return real(fd, buf, n, offset);
}

ssize_t writev(int fd, struct iovec const* iov, int count) {
  static auto real = next<ssize_t (*)(int, struct iovec const*, int)>("writev");
  if (failFd(fd)) return -1;
  return real(fd, iov, count);
}

int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  if (failFd(fd)) return -1;
  return real(fd);
}

int fdatasync(int fd) {
  static auto real = next<int (*)(int)>("fdatasync");
  if (failFd(fd)) return -1;
  return real(fd);
}

int rename(char const* from, char const* to) {
  static auto real = next<int (*)(char const*, char const*)>("rename");
  if (g_armed.load(std::memory_order_acquire) && failHere(pathUnderDir(from) || pathUnderDir(to))) return -1;
  return real(from, to);
}

void* mmap(void* address, size_t length, int prot, int flags, int fd, off_t offset) {
  static auto real = next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
  if ((flags & MAP_ANONYMOUS) == 0 && failFd(fd)) return MAP_FAILED;
  return real(address, length, prot, flags, fd, offset);
}

int posix_fallocate(int fd, off_t offset, off_t length) {
  static auto real = next<int (*)(int, off_t, off_t)>("posix_fallocate");
  if (failFd(fd)) return errno;
  return real(fd, offset, length);
}

}  // extern "C"
#endif  // GXTEST_NO_FAULT_SEAM
