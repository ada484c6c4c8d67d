#include "GxCore/remote/daSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "GxCore/db/daFileIo.h"
#include "GxCore/remote/daSnapshot.h"
#include "outside/hxdb.h"
#include "outside/hxfd.h"

namespace {

using hx_internal::FileDescriptor;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string sha256Hex(std::string_view bytes) {
  daSha256 hash;
  hash.update(bytes.data(), bytes.size());
  return hash.finish();
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<unsigned char const*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// Decodes standard padded base64; false on anything else.
bool unbase64(std::string const& text, std::string& out) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return false;
  for (char c : text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=')) return false;
  std::string bytes(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                          reinterpret_cast<unsigned char const*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : text.back() == '=' ? 1 : 0;
  bytes.resize(static_cast<size_t>(n) - pad);
  out = std::move(bytes);
  return true;
}

// Reads a small regular file whole (key files are a few hundred bytes),
// with its mode bits (taken from the descriptor read, not the path).
bool readSmallFile(std::string const& path, std::string& out, mode_t* mode = nullptr) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 16384) return false;
  if (mode) *mode = st.st_mode;
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  out = std::move(text);
  return true;
}

// Writes text to a new file path with mode; false (and nothing left) on failure.
bool writeNewFile(std::string const& path, std::string const& text, mode_t mode) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return false;
  if (!da_internal::writeAll(fd.get(), text.data(), text.size()) || ::fsync(fd.get()) != 0) {
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string daSignaturePathOf(std::string_view manifestBytes) {
  return "signatures/" + sha256Hex(manifestBytes) + ".sig";
}

daSigningKey::daSigningKey(evp_pkey_st* key, bool isPrivate) : key_(key), private_(isPrivate) {
  unsigned char raw[32];
  size_t len = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key_, raw, &len) == 1 && len == sizeof raw)
    keyId_ = sha256Hex(std::string_view(reinterpret_cast<char const*>(raw), len)).substr(0, 16);
}

daSigningKey::~daSigningKey() { EVP_PKEY_free(key_); }

std::shared_ptr<daSigningKey> daSigningKey::generate(unsigned long& status) {
  status = da_s_key_bad;
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (!key) return nullptr;
  std::shared_ptr<daSigningKey> made(new daSigningKey(key, true));
  if (made->keyId_.empty()) return nullptr;
  status = 0;
  return made;
}

std::shared_ptr<daSigningKey> daSigningKey::loadPrivate(std::string const& path, unsigned long& status) {
  status = da_s_key_bad;
  std::string pem;
  mode_t mode = 0;
  if (!readSmallFile(path, pem, &mode)) return nullptr;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!key) return nullptr;
  if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  // A private key others can read or replace is no longer the publisher's alone.
  if ((mode & 077) != 0) {
    EVP_PKEY_free(key);
    status = da_s_key_exposed;
    return nullptr;
  }
  std::shared_ptr<daSigningKey> loaded(new daSigningKey(key, true));
  if (loaded->keyId_.empty()) return nullptr;
  status = 0;
  return loaded;
}

std::shared_ptr<daSigningKey> daSigningKey::loadPublic(std::string const& path, unsigned long& status) {
  status = da_s_key_bad;
  std::string pem;
  if (!readSmallFile(path, pem)) return nullptr;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!key) return nullptr;
  if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  std::shared_ptr<daSigningKey> loaded(new daSigningKey(key, false));
  if (loaded->keyId_.empty()) return nullptr;
  status = 0;
  return loaded;
}

std::string daSigningKey::privatePem() const {
  if (!private_) return "";
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr) != 1) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : "";
}

std::string daSigningKey::publicPem() const {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_) != 1) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : "";
}

std::string daSigningKey::sign(std::string_view bytes) const {
  if (!private_) return "";
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::string sig(64, '\0');
  size_t len = sig.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                     reinterpret_cast<unsigned char const*>(bytes.data()), bytes.size()) != 1 ||
      len != 64)
    return "";
  return sig;
}

bool daSigningKey::verify(std::string_view bytes, std::string_view signature) const {
  if (signature.size() != 64) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key_) == 1 &&
         EVP_DigestVerify(ctx.get(), reinterpret_cast<unsigned char const*>(signature.data()), signature.size(),
                          reinterpret_cast<unsigned char const*>(bytes.data()), bytes.size()) == 1;
}

void daGenerateKeyFiles(std::string const& privatePath, std::string const& publicPath, std::string& keyId,
                        unsigned long& status) {
  auto key = daSigningKey::generate(status);
  if (!key) return;
  std::string priv = key->privatePem(), pub = key->publicPem();
  if (priv.empty() || pub.empty()) {
    status = da_s_key_bad;
    return;
  }
  status = hx_db_s_io_error;
  if (!writeNewFile(privatePath, priv, 0600)) return;
  // The mode asked for passes through the umask; a private key must end 0600 whatever it is.
  if (::chmod(privatePath.c_str(), 0600) != 0 || !writeNewFile(publicPath, pub, 0644)) {
    ::unlink(privatePath.c_str());
    return;
  }
  keyId = key->keyId();
  status = 0;
}

std::string daSignManifest(std::string_view manifestBytes,
                           std::vector<std::shared_ptr<daSigningKey const>> const& signers) {
  nlohmann::json entries = nlohmann::json::array();
  for (auto const& key : signers) {
    std::string sig = key ? key->sign(manifestBytes) : "";
    if (sig.empty()) return "";
    entries.push_back({{"keyId", key->keyId()}, {"algorithm", "ed25519"}, {"signature", base64(sig)}});
  }
  nlohmann::json file = {{"manifestSha256", sha256Hex(manifestBytes)}, {"signatures", entries}};
  return file.dump(2) + "\n";
}

void daVerifyManifestSignature(std::string_view manifestBytes, std::string_view signatureFile,
                               std::vector<std::shared_ptr<daSigningKey const>> const& trusted,
                               std::string& signedBy, std::string& why, unsigned long& status) {
  status = da_s_snapshot_bad_signature;
  if (signatureFile.size() > daMaxSignatureFileBytes) {
    why = "the signature file is larger than " + std::to_string(daMaxSignatureFileBytes) + " bytes";
    return;
  }
  auto doc = nlohmann::json::parse(signatureFile.begin(), signatureFile.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("manifestSha256") ||
      !doc["manifestSha256"].is_string() || !doc.contains("signatures") || !doc["signatures"].is_array()) {
    why = "the signature file is not valid";
    return;
  }
  if (doc["manifestSha256"].get<std::string>() != sha256Hex(manifestBytes)) {
    why = "the signature file is for another manifest";
    return;
  }
  auto const& entries = doc["signatures"];
  if (entries.size() > daMaxSignatures) {
    why = "the signature file lists more than " + std::to_string(daMaxSignatures) + " signatures";
    return;
  }
  bool trustedKeySeen = false;
  std::string seen;
  for (auto const& e : entries) {
    if (!e.is_object() || !e.contains("keyId") || !e["keyId"].is_string() || !e.contains("algorithm") ||
        !e["algorithm"].is_string() || !e.contains("signature") || !e["signature"].is_string()) {
      why = "a signature entry is not valid";
      return;
    }
    std::string id = e["keyId"].get<std::string>();
    if (id.size() > 64) {
      why = "a signature entry is not valid";
      return;
    }
    seen += (seen.empty() ? "" : ", ") + id;
    if (e["algorithm"].get<std::string>() != "ed25519") continue;
    for (auto const& key : trusted) {
      if (!key || key->keyId() != id) continue;
      trustedKeySeen = true;
      std::string sig;
      if (unbase64(e["signature"].get<std::string>(), sig) && key->verify(manifestBytes, sig)) {
        signedBy = id;
        why.clear();
        status = 0;
        return;
      }
    }
  }
  if (trustedKeySeen) {
    why = "the signature by a trusted key does not verify: the manifest was altered after signing";
    return;
  }
  status = entries.empty() ? da_s_snapshot_unsigned : da_s_snapshot_unknown_key;
  why = entries.empty() ? "the signature file lists no signature"
                        : "the manifest is signed only by keys not trusted here (" + seen + ")";
}
