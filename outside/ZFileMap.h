// Foundation file mapping: a whole file mapped into memory, unmapped at
// scope end unless unmap() did it first.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>

class ZUnixFileMap_6_0 {
 public:
  ZUnixFileMap_6_0() = default;
  ~ZUnixFileMap_6_0() {
    if (addr_) ::munmap(addr_, size_);
  }
  ZUnixFileMap_6_0(ZUnixFileMap_6_0 const&) = delete;
  ZUnixFileMap_6_0& operator=(ZUnixFileMap_6_0 const&) = delete;

  // Maps size bytes of the open file fd, shared, with protection prot.
  // Returns 0 or the errno of mmap (nothing mapped).
  int map(int fd, std::size_t size, int prot) {
    void* a = ::mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    if (a == MAP_FAILED) return errno;
    addr_ = a;
    size_ = size;
    return 0;
  }
  // Returns 0 or the errno of munmap; the mapping is gone either way.
  int unmap() {
    void* a = addr_;
    addr_ = nullptr;
    return a && ::munmap(a, size_) != 0 ? errno : 0;
  }
  void* get() const { return addr_; }
  std::size_t size() const { return size_; }

 private:
  void* addr_ = nullptr;
  std::size_t size_ = 0;
};
