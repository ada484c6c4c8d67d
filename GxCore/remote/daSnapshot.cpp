#include "GxCore/remote/daSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daFileIo.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/remote/daDelta.h"
#include "GxCore/remote/daSignature.h"
#include "outside/hxdb.h"
#include "outside/hxdb_verify.h"
#include "outside/file_registry.h"
#include "outside/hxfd.h"

namespace {

using hx_internal::FileDescriptor;
using da_internal::readSome;
using da_internal::syncDir;
using da_internal::TempFile;
using da_internal::writeAll;

constexpr char kSnapshotDir[] = "snapshots";
constexpr char kSuffix[] = ".gxdb.zst";
constexpr char kRegistryPrefix[] = "registry-";
constexpr char kRegistrySuffix[] = ".json";
constexpr char kDeltaSuffix[] = ".delta.zst";
// The copy last published, kept (unserved: a dot file) to diff the next one against.
constexpr char kDeltaBase[] = ".delta-base.gxdb";

bool isHex64(std::string const& s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// "snapshots/<name>" with a plain name: no slash, no leading dot, only
// letters, digits, '.', '_' and '-'. A manifest cannot point a client
// elsewhere on the server (or, through "..", above DIR).
bool isSafeSnapshotPath(std::string const& f) {
  std::string prefix = std::string(kSnapshotDir) + "/";
  if (f.compare(0, prefix.size(), prefix) != 0) return false;
  std::string name = f.substr(prefix.size());
  if (name.empty() || name[0] == '.' || name.size() > 200) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

struct ZstdCStreamFree {
  void operator()(ZSTD_CStream* z) const { ZSTD_freeCStream(z); }
};
struct ZstdDStreamFree {
  void operator()(ZSTD_DStream* z) const { ZSTD_freeDStream(z); }
};

// Compresses from into a new file to (0644: it is published), synced, with
// the SHA-256 and size of the compressed bytes. 0 or a status.
unsigned long compressFile(std::string const& from, std::string const& to, std::string& sha256, uint64_t& size) {
  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return hx_db_s_open_failed;
  FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out.valid()) return hx_db_s_io_error;
  std::unique_ptr<ZSTD_CStream, ZstdCStreamFree> z(ZSTD_createCStream());
  if (!z) return hx_db_s_io_error;
  ZSTD_CCtx_setParameter(z.get(), ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(z.get(), ZSTD_c_checksumFlag, 1);
  std::vector<char> inBuf(ZSTD_CStreamInSize()), outBuf(ZSTD_CStreamOutSize());
  daSha256 hash;
  uint64_t written = 0;
  for (;;) {
    ssize_t n = readSome(in.get(), inBuf.data(), inBuf.size());
    if (n < 0) return hx_db_s_io_error;
    bool last = n == 0;
    ZSTD_inBuffer input{inBuf.data(), static_cast<size_t>(n), 0};
    ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
      ZSTD_outBuffer output{outBuf.data(), outBuf.size(), 0};
      size_t remaining = ZSTD_compressStream2(z.get(), &output, &input, mode);
      if (ZSTD_isError(remaining)) return hx_db_s_io_error;
      if (!writeAll(out.get(), outBuf.data(), output.pos)) return hx_db_s_io_error;
      hash.update(outBuf.data(), output.pos);
      written += output.pos;
      if (last ? remaining == 0 : input.pos == input.size) break;
    }
    if (last) break;
  }
  if (::fsync(out.get()) != 0 || !hash.ok()) return hx_db_s_io_error;
  sha256 = hash.finish();
  size = written;
  return 0;
}

// The version the open database records (0 when it records none).
uint32_t databaseVersion(hx_db_handle* h) {
  unsigned long status = 0;
  daAuthDBInfoName key;
  hx_db_record record(h, key.getFullName().getChars(), status);
  if (status != 0 || !record.get()) return 0;
  GxAuthznDBInfo* raw = nullptr;
  GxAuthznDBInfo::decode(*record.get(), &raw, status);
  std::unique_ptr<GxAuthznDBInfo> info(raw);
  return status == 0 && info ? info->version() : 0;
}

// The sequence numbers of the snapshots in dir/snapshots, newest first.
std::vector<unsigned long> listSnapshots(std::string const& snapDir) {
  std::vector<unsigned long> out;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(snapDir.c_str()), &::closedir);
  if (!d) return out;
  size_t suffixLen = sizeof kSuffix - 1;
  while (dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name.size() <= suffixLen || name.compare(name.size() - suffixLen, suffixLen, kSuffix) != 0) continue;
    std::string digits = name.substr(0, name.size() - suffixLen);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        digits.size() > 19)
      continue;
    out.push_back(std::stoul(digits));
  }
  std::sort(out.rbegin(), out.rend());
  return out;
}

std::string snapshotName(unsigned long seq) { return std::to_string(seq) + kSuffix; }
std::string deltaName(unsigned long from, unsigned long to) {
  return std::to_string(from) + "-" + std::to_string(to) + kDeltaSuffix;
}

}  // namespace

// ---- SHA-256 ---------------------------------------------------------------------------

daSha256::daSha256() : ctx_(EVP_MD_CTX_new()), ok_(false) {
  ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
}

daSha256::~daSha256() { EVP_MD_CTX_free(ctx_); }

void daSha256::update(void const* data, size_t n) {
  if (ok_ && n > 0) ok_ = EVP_DigestUpdate(ctx_, data, n) == 1;
}

std::string daSha256::finish() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ok_ || EVP_DigestFinal_ex(ctx_, md, &len) != 1) {
    ok_ = false;
    return "";
  }
  ok_ = false;  // finished: a second finish has nothing to give
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

// ---- manifest ---------------------------------------------------------------------------

std::string daSnapshotManifestToJson(daSnapshotManifest const& m) {
  nlohmann::ordered_json j;
  j["format"] = 1;
  j["sequence"] = m.sequence;
  j["file"] = m.file;
  j["size"] = m.size;
  j["sha256"] = m.sha256;
  j["database_size"] = m.rawSize;
  j["database_sha256"] = m.rawSha256;
  j["database_version"] = m.dbVersion;
  j["published"] = m.time;
  if (!m.registryFile.empty()) {
    j["registry"] = m.registryFile;
    j["registry_size"] = m.registrySize;
    j["registry_sha256"] = m.registrySha256;
  }
  if (!m.digest.empty()) j["digest"] = m.digest;
  if (!m.fileDigest.empty()) {
    j["file_sequence"] = m.fileSequence;
    j["file_digest"] = m.fileDigest;
  }
  if (!m.deltas.empty()) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (auto const& d : m.deltas) {
      nlohmann::ordered_json e;
      e["from"] = d.from;
      e["to"] = d.to;
      e["file"] = d.file;
      e["size"] = d.size;
      e["sha256"] = d.sha256;
      e["delta_size"] = d.rawSize;
      e["from_digest"] = d.fromDigest;
      e["digest"] = d.digest;
      list.push_back(std::move(e));
    }
    j["deltas"] = std::move(list);
  }
  return j.dump(2) + "\n";
}

namespace {

// The field name of the JSON object j, when it is an unsigned number (a
// text); false otherwise.
bool unsignedField(nlohmann::json const& j, char const* name, uint64_t& out) {
  auto it = j.find(name);
  if (it == j.end() || !it->is_number_unsigned()) return false;
  out = it->get<uint64_t>();
  return true;
}
bool textField(nlohmann::json const& j, char const* name, std::string& out) {
  auto it = j.find(name);
  if (it == j.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

// The manifest's list of deltas; false when an entry lacks a field, has
// one of the wrong type, an unsafe file or a digest that is not 64 hex
// digits.
bool parseDeltas(nlohmann::json const& list, std::vector<daSnapshotDelta>& out) {
  if (!list.is_array()) return false;
  for (auto const& e : list) {
    if (!e.is_object()) return false;
    daSnapshotDelta d;
    auto number = [&](char const* name, uint64_t& v) { return unsignedField(e, name, v); };
    auto text = [&](char const* name, std::string& v) { return textField(e, name, v); };
    uint64_t from = 0, to = 0;
    if (!number("from", from) || !number("to", to) || !number("size", d.size) || !number("delta_size", d.rawSize) ||
        !text("file", d.file) || !text("sha256", d.sha256) || !text("from_digest", d.fromDigest) ||
        !text("digest", d.digest) || from > UINT32_MAX || to > UINT32_MAX || !isSafeSnapshotPath(d.file) ||
        !isHex64(d.sha256) || !isHex64(d.fromDigest) || !isHex64(d.digest))
      return false;
    d.from = static_cast<unsigned long>(from);
    d.to = static_cast<unsigned long>(to);
    out.push_back(std::move(d));
  }
  return true;
}

}  // namespace

void daSnapshotManifestParse(std::string const& text, daSnapshotManifest& m, unsigned long& status) {
  status = da_s_snapshot_bad_manifest;
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return;
  auto unsignedField = [&](char const* name, uint64_t& out) { return ::unsignedField(j, name, out); };
  auto textField = [&](char const* name, std::string& out) { return ::textField(j, name, out); };
  daSnapshotManifest parsed;
  uint64_t seq = 0, version = 0, format = 0;
  if (!unsignedField("format", format) || format != 1) return;
  if (!unsignedField("sequence", seq) || !unsignedField("size", parsed.size) ||
      !unsignedField("database_size", parsed.rawSize) || !unsignedField("database_version", version) ||
      !textField("file", parsed.file) || !textField("sha256", parsed.sha256) ||
      !textField("database_sha256", parsed.rawSha256))
    return;
  textField("published", parsed.time);  // informative only
  if (j.contains("registry") &&
      (!textField("registry", parsed.registryFile) || !unsignedField("registry_size", parsed.registrySize) ||
       !textField("registry_sha256", parsed.registrySha256) || !isSafeSnapshotPath(parsed.registryFile) ||
       !isHex64(parsed.registrySha256)))
    return;
  if (!isSafeSnapshotPath(parsed.file) || !isHex64(parsed.sha256) || !isHex64(parsed.rawSha256) ||
      version > UINT32_MAX || seq > ULONG_MAX)
    return;
  if (j.contains("digest") && (!textField("digest", parsed.digest) || !isHex64(parsed.digest))) return;
  if (j.contains("deltas") && !parseDeltas(j["deltas"], parsed.deltas)) return;
  uint64_t fileSeq = 0;
  if (j.contains("file_sequence") &&
      (!unsignedField("file_sequence", fileSeq) || fileSeq > UINT32_MAX || !textField("file_digest", parsed.fileDigest) ||
       !isHex64(parsed.fileDigest)))
    return;
  parsed.fileSequence = static_cast<unsigned long>(fileSeq);
  parsed.sequence = static_cast<unsigned long>(seq);
  parsed.dbVersion = static_cast<uint32_t>(version);
  m = std::move(parsed);
  status = 0;
}

// ---- publishing ------------------------------------------------------------------------

namespace {

std::string sha256Of(std::string const& bytes) {
  daSha256 hash;
  hash.update(bytes.data(), bytes.size());
  return hash.finish();
}

// The registry file's name in the published folder: named by its content,
// so that a replica holding an older manifest never fetches a newer file
// under the name it expects.
std::string registryFileName(std::string const& sha256) {
  return std::string(kRegistryPrefix) + sha256.substr(0, 16) + kRegistrySuffix;
}

struct HandleCloser {
  void operator()(hx_db_handle* h) const {
    unsigned long ignored = 0;
    hx_db_close(h, ignored);
  }
};
using HandlePtr = std::unique_ptr<hx_db_handle, HandleCloser>;

// Opens a database file this publisher alone writes (no inter-process lock).
HandlePtr openPrivate(std::string const& path, unsigned long& status) {
  return HandlePtr(hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, nullptr, status));
}

// Removes from the copy what replicas do not get: the master's change log
// and a digest record (a replica's file published as a master). 0 or a
// status.
unsigned long pruneUnreplicated(std::string const& copy) {
  unsigned long status = 0;
  HandlePtr h = openPrivate(copy, status);
  if (!h) return status;
  hx_db_op ops[2] = {{hx_db_op_kind::remove_prefix, daChangeLogPrefix}, {hx_db_op_kind::remove, daDigestKey}};
  unsigned long items[2] = {0, 0};
  hx_db_write_batch(h.get(), ops, 2, items, nullptr, status);
  if (status == 0 && items[0] != 0) status = items[0];
  if (status == 0 && items[1] != 0 && items[1] != hx_db_s_delete_not_found) status = items[1];
  return status;
}

// Writes bytes as the published file path (0644): through tmpPath,
// synced, then renamed. 0 or hx_db_s_io_error.
unsigned long writePublished(std::string const& path, std::string const& tmpPath, std::string const& bytes) {
  TempFile tmp(tmpPath);
  ::unlink(tmp.path().c_str());
  {
    FileDescriptor out(::open(tmp.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid() || !writeAll(out.get(), bytes.data(), bytes.size()) || ::fsync(out.get()) != 0)
      return hx_db_s_io_error;
  }
  if (::rename(tmp.path().c_str(), path.c_str()) != 0) return hx_db_s_io_error;
  tmp.keep();
  return 0;
}

// Writes the delta from the previous publish (the base kept then) to the
// copy just published and lists it in m, after the previous manifest's
// chain when that ends where it begins, keeping the newest deltas. Any
// doubt (no base, a base of another sequence number than the previous
// manifest's, a delta too large) leaves m without deltas: replicas then
// take the snapshot. (A base altered behind the publisher's back yields a
// delta whose result misses the manifest's digest: replicas refuse it.)
void writeDelta(std::string const& base, std::string const& tag, daSnapshotManifest const& current,
                std::string const& copy, uint64_t maxBytes, unsigned deltas, daSnapshotManifest& m) {
  std::string basePath = base + "/" + kDeltaBase;
  if (current.digest.empty() || ::access(basePath.c_str(), F_OK) != 0) return;
  daDelta d;
  unsigned long status = 0;
  {
    HandlePtr older = openPrivate(basePath, status);
    HandlePtr newer = older ? openPrivate(copy, status) : nullptr;
    if (!newer) return;
    // The digests are known: the previous manifest's (the base is the copy
    // published then, its sequence number says so) and the new copy's.
    daDiffDatabases(older.get(), newer.get(), maxBytes, false, d, status);
  }
  ::unlink(hx_db_lock_file(basePath.c_str()).c_str());
  if (status != 0 || d.from != current.sequence || d.to != m.sequence ||
      !daContentDigest::fromHex(current.digest, d.fromDigest) || !daContentDigest::fromHex(m.digest, d.toDigest))
    return;
  std::string encoded = daDeltaEncode(d);
  std::string packed = daZstdCompress(encoded);
  if (packed.empty()) return;
  daSnapshotDelta entry;
  entry.from = d.from;
  entry.to = d.to;
  entry.file = std::string(kSnapshotDir) + "/" + deltaName(d.from, d.to);
  entry.size = packed.size();
  entry.sha256 = sha256Of(packed);
  entry.rawSize = encoded.size();
  entry.fromDigest = current.digest;
  entry.digest = m.digest;
  if (writePublished(base + "/" + entry.file, base + "/" + kSnapshotDir + "/.publish-" + tag + kDeltaSuffix,
                     packed) != 0)
    return;
  if (!current.deltas.empty() && current.deltas.back().to == current.sequence) m.deltas = current.deltas;
  m.deltas.push_back(std::move(entry));
  if (m.deltas.size() > deltas) m.deltas.erase(m.deltas.begin(), m.deltas.end() - deltas);
}

// Removes the delta files that neither manifest lists.
void removeOldDeltas(std::string const& snapDir, daSnapshotManifest const& m, daSnapshotManifest const* previous) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(snapDir.c_str()), &::closedir);
  if (!d) return;
  auto listed = [](daSnapshotManifest const& in, std::string const& relative) {
    return std::any_of(in.deltas.begin(), in.deltas.end(), [&](auto const& e) { return e.file == relative; });
  };
  std::vector<std::string> doomed;
  std::string suffix = kDeltaSuffix;
  while (dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.' || name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::string relative = std::string(kSnapshotDir) + "/" + name;
    if (listed(m, relative) || (previous && listed(*previous, relative))) continue;
    doomed.push_back(snapDir + "/" + name);
  }
  for (auto const& path : doomed) ::unlink(path.c_str());
}

// Writes the master's compacted, checked copy as a compressed snapshot
// into snapDir and fills m's database fields. sameAsCurrent: the copy has
// the current manifest's sequence number (nothing was written). 0 or a status.
// Whether this publish may write the delta alone: fullEvery > 1, the
// delta was made, and the manifest's chain reaches back to the full
// snapshot the previous manifest names (under its own number's name) in
// fewer than fullEvery links.
bool deltaOnly(daSnapshotManifest const* current, daSnapshotManifest const& m, unsigned fullEvery) {
  if (!current || fullEvery <= 1 || m.deltas.empty() || m.deltas.back().to != m.sequence) return false;
  unsigned long const fileSeq = daSnapshotFileSequence(*current);
  // The snapshot must be the one its name says (a manifest edited by hand
  // could pair another number with it).
  if (current->file != std::string(kSnapshotDir) + "/" + snapshotName(fileSeq)) return false;
  unsigned long at = m.sequence;
  unsigned links = 0;
  for (auto it = m.deltas.rbegin(); it != m.deltas.rend() && it->to == at; ++it) {
    ++links;
    at = it->from;
    if (at == fileSeq) return links < fullEvery;
  }
  return false;
}

// Writes the copy as the full snapshot snapshots/<sequence>.gxdb.zst and
// fills m's file fields. 0 or a status.
unsigned long writeFullSnapshot(std::string const& base, std::string const& tag, std::string const& copy,
                                daSnapshotManifest& m) {
  {  // the database's own digest, for the replica's check after decompressing
    daSha256 hash;
    FileDescriptor in(::open(copy.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return hx_db_s_open_failed;
    std::vector<char> buf(size_t{1} << 20);
    uint64_t total = 0;
    for (;;) {
      ssize_t n = readSome(in.get(), buf.data(), buf.size());
      if (n < 0) return hx_db_s_io_error;
      if (n == 0) break;
      hash.update(buf.data(), static_cast<size_t>(n));
      total += static_cast<uint64_t>(n);
    }
    if (!hash.ok()) return hx_db_s_io_error;
    m.rawSha256 = hash.finish();
    m.rawSize = total;
  }
  std::string snapDir = base + "/" + kSnapshotDir;
  m.file = std::string(kSnapshotDir) + "/" + snapshotName(m.sequence);
  m.fileSequence = m.sequence;
  m.fileDigest.clear();
  TempFile packed(snapDir + "/.publish-" + tag + kSuffix);
  ::unlink(packed.path().c_str());
  unsigned long status = compressFile(copy, packed.path(), m.sha256, m.size);
  if (status != 0) return status;
  std::string finalPath = base + "/" + m.file;
  if (::rename(packed.path().c_str(), finalPath.c_str()) != 0) return hx_db_s_io_error;
  packed.keep();
  syncDir(snapDir);
  return 0;
}

unsigned long packSnapshot(char const* master, char const* domain, std::string const& base, std::string const& tag,
                           daSnapshotManifest const* current, daPublishOptions const& options, daSnapshotManifest& m,
                           bool& sameAsCurrent) {
  unsigned long status = 0;
  sameAsCurrent = false;
  std::string snapDir = base + "/" + kSnapshotDir;
  TempFile copy(snapDir + "/.publish-" + tag + ".gxdb", true);
  ::unlink(copy.path().c_str());
  {
    daLocalStore store(domain, master);
    store.openStore(1, status);
    if (status != 0) return status;
    unsigned long seq = daLocalStore::invalidSeqnum;
    store.getLocalSeqNum(seq);
    if (current && seq == current->sequence) {
      sameAsCurrent = true;
      return 0;
    }
    hx_db_copy(store.getDBHandle(), copy.path().c_str(), status);
    if (status != 0) return status;
  }  // the master is closed before the copy is opened
  status = pruneUnreplicated(copy.path());
  if (status != 0) return status;

  // The copy is what replicas get: it is checked as they will check it, and
  // its own sequence number (a writer may have committed since the master's
  // was read) names the snapshot.
  daFileReplicatedClient::verifyCopy(copy.path().c_str(), domain, status);
  if (status != 0) return status;
  {
    daLocalStore store(domain, copy.path().c_str());
    store.openStore(1, status);
    if (status != 0) return status;
    store.getLocalSeqNum(m.sequence);
    m.dbVersion = databaseVersion(store.getDBHandle());
    daContentDigest digest;
    daDigestOfDatabase(store.getDBHandle(), digest, status);
    if (status != 0) return status;
    m.digest = digest.hex();
  }
  ::unlink(hx_db_lock_file(copy.path().c_str()).c_str());
  if (current && m.sequence == current->sequence) {
    sameAsCurrent = true;
    return 0;
  }
  struct stat copied {};
  if (::stat(copy.path().c_str(), &copied) != 0) return hx_db_s_io_error;

  // The delta from the previous publish first: with it, the full snapshot
  // may wait (options.fullEvery).
  std::string basePath = base + "/" + kDeltaBase;
  if (options.deltas > 0 && current)
    writeDelta(base, tag, *current, copy.path(), static_cast<uint64_t>(copied.st_size) / 2, options.deltas, m);
  ::unlink(hx_db_lock_file(copy.path().c_str()).c_str());
  if (deltaOnly(current, m, options.fullEvery)) {
    m.file = current->file;
    m.size = current->size;
    m.sha256 = current->sha256;
    m.rawSize = current->rawSize;
    m.rawSha256 = current->rawSha256;
    m.fileSequence = daSnapshotFileSequence(*current);
    m.fileDigest = daSnapshotFileDigest(*current);
  } else {
    status = writeFullSnapshot(base, tag, copy.path(), m);
    if (status != 0) return status;
  }

  // The copy is kept as the base of the next delta.
  hx_db_remove_file(basePath.c_str());
  if (options.deltas > 0 && ::rename(copy.path().c_str(), basePath.c_str()) == 0) copy.keep();
  return 0;
}

// Writes the registry text as the file m names (0644: it is published),
// unless a complete one is there already. 0 or hx_db_s_io_error.
unsigned long publishRegistry(std::string const& base, std::string const& tag, std::string const& text,
                              daSnapshotManifest const& m) {
  std::string finalPath = base + "/" + m.registryFile;
  std::string present;
  unsigned long st = 0;
  daReadRegistryFile(finalPath, daMaxRegistryBytes, present, st);
  if (st == 0 && present == text) return 0;
  return writePublished(finalPath, base + "/" + kSnapshotDir + "/.publish-" + tag + kRegistrySuffix, text);
}

// Writes the signature file of the manifest text by signers into
// base/signatures (replacing one of the same name). 0, da_s_key_bad or
// hx_db_s_io_error.
unsigned long writeSignatures(std::string const& base, std::string const& tag, std::string const& text,
                              std::vector<std::shared_ptr<daSigningKey const>> const& signers) {
  if (signers.empty()) return 0;
  std::string signatures = daSignManifest(text, signers);
  if (signatures.empty()) return da_s_key_bad;
  std::string sigDir = base + "/signatures";
  if (::mkdir(sigDir.c_str(), 0755) != 0 && errno != EEXIST) return hx_db_s_io_error;
  return writePublished(base + "/" + daSignaturePathOf(text), sigDir + "/.publish-" + tag + ".sig", signatures);
}

// Removes the signature files named by neither manifest text.
void removeOldSignatures(std::string const& base, std::string const& text, std::string const& previousText) {
  std::string sigDir = base + "/signatures";
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(sigDir.c_str()), &::closedir);
  if (!d) return;
  std::string keepA = daSignaturePathOf(text), keepB = previousText.empty() ? "" : daSignaturePathOf(previousText);
  std::vector<std::string> doomed;
  while (dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".sig") != 0 || name[0] == '.') continue;
    std::string relative = "signatures/" + name;
    if (relative != keepA && relative != keepB) doomed.push_back(base + "/" + relative);
  }
  for (auto const& path : doomed) ::unlink(path.c_str());
}

// Writes m as the manifest (temporary file, synced, renamed), its
// signature file first when there are signers. 0, da_s_key_bad or
// hx_db_s_io_error.
unsigned long writeManifest(std::string const& base, std::string const& tag, daSnapshotManifest const& m,
                            std::vector<std::shared_ptr<daSigningKey const>> const& signers) {
  std::string manifestPath = base + "/manifest.json";
  std::string text = daSnapshotManifestToJson(m);
  if (unsigned long st = writeSignatures(base, tag, text, signers); st != 0) return st;
  TempFile manifestTmp(base + "/.manifest-" + tag + ".json");
  ::unlink(manifestTmp.path().c_str());
  {
    FileDescriptor out(
        ::open(manifestTmp.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid() || !writeAll(out.get(), text.data(), text.size())) return hx_db_s_io_error;
    // Static web servers derive the validators a replica polls with (ETag,
    // Last-Modified) from the file's modification time in whole seconds and
    // its size; a manifest of the same size published within the same
    // second as the previous one would be answered "not modified". Its time
    // is therefore made later than the previous manifest's, whole seconds.
    struct stat previous {};
    if (::stat(manifestPath.c_str(), &previous) == 0) {
      struct timespec times[2];
      ::clock_gettime(CLOCK_REALTIME, &times[0]);
      times[0].tv_nsec = 0;
      if (times[0].tv_sec <= previous.st_mtim.tv_sec) times[0].tv_sec = previous.st_mtim.tv_sec + 1;
      times[1] = times[0];
      if (::futimens(out.get(), times) != 0) return hx_db_s_io_error;
    }
    if (::fsync(out.get()) != 0) return hx_db_s_io_error;
  }
  if (::rename(manifestTmp.path().c_str(), manifestPath.c_str()) != 0) return hx_db_s_io_error;
  manifestTmp.keep();
  syncDir(base);
  return 0;
}

// Removes the registry files that neither manifest names.
void removeOldRegistries(std::string const& snapDir, daSnapshotManifest const& m, daSnapshotManifest const* previous) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(snapDir.c_str()), &::closedir);
  if (!d) return;
  std::vector<std::string> doomed;
  std::string prefix = kRegistryPrefix, suffix = kRegistrySuffix;
  while (dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::string relative = std::string(kSnapshotDir) + "/" + name;
    if (relative == m.registryFile || (previous && relative == previous->registryFile)) continue;
    doomed.push_back(snapDir + "/" + name);
  }
  for (auto const& path : doomed) ::unlink(path.c_str());
}

}  // namespace

void daPublishSnapshot(char const* master, char const* dir, char const* domain, unsigned keep,
                       daSnapshotPublishResult& result, unsigned long& status) {
  daPublishOptions options;
  options.keep = keep;
  daPublishSnapshot(master, dir, domain, options, result, status);
}

void daPublishSnapshot(char const* master, char const* dir, char const* domain, daPublishOptions const& options,
                       daSnapshotPublishResult& result, unsigned long& status) {
  status = 0;
  unsigned keep = options.keep;
  if (!master || !*master || !dir || !*dir) {
    status = hx_db_s_bad_argument;
    return;
  }
  if (keep == 0) keep = 1;
  std::string base = dir;
  std::string snapDir = base + "/" + kSnapshotDir;
  std::string manifestPath = base + "/manifest.json";
  if ((::mkdir(base.c_str(), 0755) != 0 && errno != EEXIST) ||
      (::mkdir(snapDir.c_str(), 0755) != 0 && errno != EEXIST)) {
    status = hx_db_s_io_error;
    return;
  }
  FileDescriptor lock(::open((base + "/.publish.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid() || ::flock(lock.get(), LOCK_EX) != 0) {
    status = hx_db_s_io_error;
    return;
  }

  // The current manifest, when there is a valid one.
  daSnapshotManifest current;
  std::string currentText;
  bool haveCurrent = false;
  {
    std::ifstream in(manifestPath, std::ios::binary);
    if (in) {
      std::string text((std::istreambuf_iterator<char>(in)), {});
      unsigned long parseStatus = 0;
      daSnapshotManifestParse(text, current, parseStatus);
      currentText = std::move(text);
      haveCurrent = parseStatus == 0 && ::access((base + "/" + current.file).c_str(), F_OK) == 0;
    }
  }

  // The master's registry travels with it; a damaged one is not published.
  std::string registry;
  bool haveRegistry = false;
  daReadRegistryFile(daRegistryPathOf(master), daMaxRegistryBytes, registry, status);
  if (status != 0 && status != hx_db_s_open_failed) return;
  haveRegistry = status == 0;
  status = 0;

  // The master is read through plain reads before anything maps it.
  hx_db_verify_report report;
  hx_db_verify_file(master, report, status);
  if (status != 0) return;

  std::string tag = std::to_string(::getpid());
  daSnapshotManifest m;
  bool sameDatabase = false;
  daPublishOptions bounded = options;
  bounded.deltas = std::min(options.deltas, daPublishOptions::maxDeltas);
  status = packSnapshot(master, domain, base, tag, haveCurrent ? &current : nullptr, bounded, m, sameDatabase);
  if (status != 0) return;
  if (sameDatabase) {
    m = current;
    m.registryFile.clear();
    m.registrySize = 0;
    m.registrySha256.clear();
  }
  if (haveRegistry) {
    m.registrySha256 = sha256Of(registry);
    m.registrySize = registry.size();
    m.registryFile = std::string(kSnapshotDir) + "/" + registryFileName(m.registrySha256);
  }
  if (sameDatabase && m.registrySha256 == current.registrySha256 &&
      (!haveRegistry || ::access((base + "/" + m.registryFile).c_str(), F_OK) == 0)) {
    result.manifest = current;
    result.removed = 0;
    status = writeSignatures(base, tag, currentText, options.signers);
    if (status == 0) status = da_s_snapshot_unchanged;
    return;
  }
  if (haveRegistry && (status = publishRegistry(base, tag, registry, m)) != 0) return;

  // The manifest names the snapshot only once the snapshot is complete.
  m.time = utcNow();
  status = writeManifest(base, tag, m, options.signers);
  if (status != 0) return;

  // Older snapshots go only now: a replica that read the previous manifest
  // still finds the files it names.
  result.manifest = m;
  result.removed = 0;
  removeOldRegistries(snapDir, m, haveCurrent ? &current : nullptr);
  removeOldSignatures(base, daSnapshotManifestToJson(m), haveCurrent ? currentText : std::string());
  removeOldDeltas(snapDir, m, haveCurrent ? &current : nullptr);
  unsigned kept = 0;
  for (unsigned long seq : listSnapshots(snapDir)) {
    bool named = seq == daSnapshotFileSequence(m);
    if (named || kept + 1 < keep) {
      if (!named) ++kept;
      continue;
    }
    if (::unlink((snapDir + "/" + snapshotName(seq)).c_str()) == 0) ++result.removed;
  }
}

// ---- decompressing -----------------------------------------------------------------------

void daSnapshotDecompress(char const* from, char const* to, uint64_t maxBytes, std::string& sha256, uint64_t& size,
                          unsigned long& status) {
  status = hx_db_s_bad_argument;
  if (!from || !to || !*to) return;
  status = hx_db_s_open_failed;
  FileDescriptor in(::open(from, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return;
  FileDescriptor out(::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) {
    status = hx_db_s_io_error;
    return;
  }
  TempFile made(to);  // removed unless the whole stream was good
  std::unique_ptr<ZSTD_DStream, ZstdDStreamFree> z(ZSTD_createDStream());
  status = hx_db_s_io_error;
  if (!z || ZSTD_isError(ZSTD_initDStream(z.get()))) return;
  std::vector<char> inBuf(ZSTD_DStreamInSize()), outBuf(ZSTD_DStreamOutSize());
  daSha256 hash;
  uint64_t written = 0;
  size_t lastHint = 1;  // 0 once a frame has ended exactly
  bool any = false;
  // Counts, caps, writes and hashes what one decoding step produced; false
  // when the stream must stop (status says why: too large, or the I/O error
  // already set).
  auto emit = [&](size_t produced) {
    written += produced;
    if (written > maxBytes) {
      status = da_s_snapshot_too_large;
      return false;
    }
    if (!writeAll(out.get(), outBuf.data(), produced)) return false;
    hash.update(outBuf.data(), produced);
    return true;
  };
  for (;;) {
    ssize_t n = readSome(in.get(), inBuf.data(), inBuf.size());
    if (n < 0) return;
    if (n == 0) break;
    any = true;
    ZSTD_inBuffer input{inBuf.data(), static_cast<size_t>(n), 0};
    while (input.pos < input.size) {
      ZSTD_outBuffer output{outBuf.data(), outBuf.size(), 0};
      lastHint = ZSTD_decompressStream(z.get(), &output, &input);
      if (ZSTD_isError(lastHint)) {
        status = da_s_snapshot_bad_compression;
        return;
      }
      if (!emit(output.pos)) return;
    }
  }
  // Output the decoder still holds once all input is in.
  for (;;) {
    ZSTD_inBuffer input{nullptr, 0, 0};
    ZSTD_outBuffer output{outBuf.data(), outBuf.size(), 0};
    size_t hint = ZSTD_decompressStream(z.get(), &output, &input);
    if (ZSTD_isError(hint)) {
      status = da_s_snapshot_bad_compression;
      return;
    }
    if (output.pos == 0) break;
    lastHint = hint;
    if (!emit(output.pos)) return;
  }
  // A stream cut short leaves a frame unfinished.
  if (!any || lastHint != 0) {
    status = da_s_snapshot_bad_compression;
    return;
  }
  if (::fsync(out.get()) != 0 || !hash.ok()) return;
  sha256 = hash.finish();
  size = written;
  made.keep();
  status = 0;
}

// ---- in-memory zstd ------------------------------------------------------------------------

std::string daZstdCompress(std::string_view bytes) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> z(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  if (!z) return "";
  ZSTD_CCtx_setParameter(z.get(), ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(z.get(), ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  size_t n = ZSTD_compress2(z.get(), out.data(), out.size(), bytes.data(), bytes.size());
  if (ZSTD_isError(n)) return "";
  out.resize(n);
  return out;
}

void daZstdDecompress(std::string_view compressed, uint64_t maxBytes, std::string& out, unsigned long& status) {
  status = da_s_snapshot_bad_compression;
  std::unique_ptr<ZSTD_DStream, ZstdDStreamFree> z(ZSTD_createDStream());
  if (!z || ZSTD_isError(ZSTD_initDStream(z.get())) || compressed.empty()) return;
  std::string result;
  std::vector<char> buf(ZSTD_DStreamOutSize());
  ZSTD_inBuffer input{compressed.data(), compressed.size(), 0};
  size_t hint = 1;
  for (;;) {
    ZSTD_outBuffer output{buf.data(), buf.size(), 0};
    hint = ZSTD_decompressStream(z.get(), &output, &input);
    if (ZSTD_isError(hint)) return;
    if (result.size() + output.pos > maxBytes) {
      status = da_s_snapshot_too_large;
      return;
    }
    result.append(buf.data(), output.pos);
    if (hint == 0) break;  // the frame ended
    if (input.pos == input.size && output.pos < output.size) return;  // cut short
  }
  if (input.pos != input.size) return;  // more after the frame: not what was published
  out = std::move(result);
  status = 0;
}
