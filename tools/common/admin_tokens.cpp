#include "tools/common/admin_tokens.h"
#include "tools/common/private_file.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

namespace gxpolicy {
namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;

std::string sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  static char const hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

std::string base64url(unsigned char const* bytes, std::size_t n) {
  static char const alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < n; ++i) {
    bits = (bits << 8) | bytes[i];
    held += 8;
    while (held >= 6) {
      held -= 6;
      out += alphabet[(bits >> held) & 63];
    }
  }
  if (held > 0) out += alphabet[(bits << (6 - held)) & 63];
  return out;
}

bool validName(std::string const& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '_' || c == '@' || c == '-';
  });
}

bool validHash(std::string const& h) {
  return h.size() == 64 && h.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

bool TokenFile::load(std::string const& path, bool mayBeMissing, TokenFile& out, std::string& error) {
  out.tokens_.clear();
  error.clear();
  std::string text;
  struct stat st {};
  if (mayBeMissing && ::stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
  if (!readPrivateFile(path, FileTrust::ownerOnly, kMaxFileBytes, text, error)) return false;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    AdminToken t;
    std::string rest;
    if (!(fields >> t.name >> t.sha256 >> t.created) || (fields >> rest) || !validName(t.name) || !validHash(t.sha256)) {
      error = path + ":" + std::to_string(number) + ": not NAME SHA256-HEX CREATED";
      return false;
    }
    if (std::any_of(out.tokens_.begin(), out.tokens_.end(), [&](AdminToken const& o) { return o.name == t.name; })) {
      error = path + ":" + std::to_string(number) + ": " + t.name + " has a token already";
      return false;
    }
    out.tokens_.push_back(std::move(t));
  }
  return true;
}

bool TokenFile::save(std::string const& path, std::string& error) const {
  std::string text = "# administrators' bearer tokens: NAME SHA256(TOKEN) CREATED (gxpolicy token add|rm|ls)\n";
  for (AdminToken const& t : tokens_) text += t.name + " " + t.sha256 + " " + std::to_string(t.created) + "\n";
  std::string temporary = path + ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 &&
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  int e = errno;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  e = ok ? errno : e;
  ::unlink(temporary.c_str());
  error = "cannot write " + path + ": " + std::strerror(e);
  return false;
}

bool TokenFile::add(std::string const& name, std::string& token, std::string& error) {
  if (!validName(name)) {
    error = "\"" + name + "\" is not a name of 1 to 64 letters, digits and . _ @ -";
    return false;
  }
  if (std::any_of(tokens_.begin(), tokens_.end(), [&](AdminToken const& t) { return t.name == name; })) {
    error = name + " has a token already (remove it first to make a new one)";
    return false;
  }
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    error = "the system's random generator failed";
    return false;
  }
  token = "gxt_" + base64url(bytes, sizeof bytes);
  OPENSSL_cleanse(bytes, sizeof bytes);
  tokens_.push_back({name, sha256Hex(token), static_cast<std::int64_t>(std::time(nullptr))});
  return true;
}

bool TokenFile::remove(std::string const& name) {
  auto it = std::find_if(tokens_.begin(), tokens_.end(), [&](AdminToken const& t) { return t.name == name; });
  if (it == tokens_.end()) return false;
  tokens_.erase(it);
  return true;
}

std::optional<std::string> TokenFile::who(std::string_view presented) const {
  std::string hash = sha256Hex(presented);
  std::optional<std::string> found;
  for (AdminToken const& t : tokens_)
    if (CRYPTO_memcmp(hash.data(), t.sha256.data(), hash.size()) == 0) found = t.name;
  return found;
}

}  // namespace gxpolicy
