#include "outside/hxdigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "outside/hxdb.h"
#include "outside/hxfd.h"

namespace {

using hx_internal::FileDescriptor;

struct DigestContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

constexpr size_t kChunk = size_t{1} << 20;
constexpr char kTag[] = "sha256 ";

bool isHex64(std::string const& s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

void hx_file_sha256(char const* path, std::string& hex, unsigned long& status) {
  status = hx_db_s_open_failed;
  if (!path) return;
  FileDescriptor fd(hx_open_regular(path));
  if (!fd.valid()) return;
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx(EVP_MD_CTX_new());
  status = hx_db_s_io_error;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return;
  std::vector<unsigned char> buf(kChunk);
  for (;;) {
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n)) != 1) return;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return;
  std::string out;
  char two[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(two, sizeof two, "%02x", md[i]);
    out += two;
  }
  hex = out;
  status = 0;
}

void hx_file_identify(char const* path, hx_file_identity& identity, unsigned long& status) {
  status = hx_db_s_open_failed;
  struct stat st;
  if (!path || ::stat(path, &st) != 0) return;
  identity.dev = static_cast<unsigned long long>(st.st_dev);
  identity.inode = static_cast<unsigned long long>(st.st_ino);
  identity.size = static_cast<unsigned long long>(st.st_size);
  identity.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  identity.ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  status = 0;
}

void hx_digest_write(char const* path, hx_digest_record const& record, unsigned long& status) {
  status = hx_db_s_io_error;
  if (!path || !isHex64(record.sha256)) return;
  std::string tmp = std::string(path) + ".new";
  ::unlink(tmp.c_str());
  {
    FileDescriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return;
    hx_file_identity const& f = record.file;
    std::string text = kTag + record.sha256 + " size " + std::to_string(f.size) + " inode " +
                       std::to_string(f.inode) + " dev " + std::to_string(f.dev) + " mtime " +
                       std::to_string(f.mtimeNs) + " ctime " + std::to_string(f.ctimeNs) + "\n";
    if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::fsync(fd.get()) != 0) {
      ::unlink(tmp.c_str());
      return;
    }
  }
  if (::rename(tmp.c_str(), path) != 0) {
    ::unlink(tmp.c_str());
    return;
  }
  status = 0;
}

void hx_digest_read(char const* path, hx_digest_record& record, unsigned long& status) {
  status = hx_digest_s_no_record;
  if (!path) return;
  FileDescriptor fd(hx_open_regular(path, true));
  if (!fd.valid()) return;
  char buf[256];
  ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return;
  buf[n] = '\0';
  char hex[65];
  hx_file_identity f;
  int fields = std::sscanf(buf, "sha256 %64s size %llu inode %llu dev %llu mtime %lld ctime %lld", hex, &f.size,
                           &f.inode, &f.dev, &f.mtimeNs, &f.ctimeNs);
  if ((fields != 3 && fields != 6) || !isHex64(hex)) return;
  if (fields == 3) f.mtimeNs = f.ctimeNs = -1;  // the older form: no file has these times
  record.sha256 = hex;
  record.file = f;
  status = 0;
}
