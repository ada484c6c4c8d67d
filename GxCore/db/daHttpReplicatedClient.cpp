#include "GxCore/db/daHttpReplicatedClient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/db/dbtrace.h"
#include "outside/hxdb.h"
#include "outside/hxdb_verify.h"
#include "outside/hxfd.h"

namespace {

using hx_internal::FileDescriptor;

// A manifest is a few hundred bytes; anything far larger is not one.
constexpr uint64_t kManifestCap = 64 * 1024;

CURL* handleOf(void* p) { return static_cast<CURL*>(p); }

// libcurl's global set-up, once per process, before the first handle.
void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where a response body goes: memory (the manifest) or a file descriptor
// (the snapshot, hashed as it arrives). More than cap bytes stops the
// transfer.
struct Sink {
  int fd = -1;
  std::string* body = nullptr;
  daSha256* hash = nullptr;
  uint64_t cap = 0;
  uint64_t written = 0;
  bool overCap = false;
  bool writeFailed = false;
};

size_t onBody(char* data, size_t one, size_t n, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t bytes = one * n;
  if (sink->written + bytes > sink->cap) {
    sink->overCap = true;
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  if (sink->fd >= 0) {
    char const* p = data;
    size_t left = bytes;
    while (left > 0) {
      ssize_t w = ::write(sink->fd, p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        sink->writeFailed = true;
        return 0;
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
    if (sink->hash) sink->hash->update(data, bytes);
  } else if (sink->body) {
    sink->body->append(data, bytes);
  }
  sink->written += bytes;
  return bytes;
}

// Keeps the ETag of the final response (a redirect's headers come first
// and are replaced).
size_t onHeader(char* data, size_t one, size_t n, void* user) {
  auto* etag = static_cast<std::string*>(user);
  size_t bytes = one * n;
  std::string line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) etag->clear();  // a new response begins
  auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == "etag") {
      std::string value = line.substr(colon + 1);
      auto first = value.find_first_not_of(" \t");
      auto last = value.find_last_not_of(" \t\r\n");
      *etag = first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
  }
  return bytes;
}

bool startsWith(std::string const& s, char const* prefix) { return s.rfind(prefix, 0) == 0; }

// Removes a file on scope exit unless kept.
class Removed {
 public:
  explicit Removed(std::string path) : path_(std::move(path)) {}
  ~Removed() {
    if (!keep_) ::unlink(path_.c_str());
  }
  Removed(Removed const&) = delete;
  Removed& operator=(Removed const&) = delete;
  void keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

}  // namespace

daHttpReplicatedClient::daHttpReplicatedClient(std::string baseUrl, daHttpReplicaOptions options)
    : baseUrl_(std::move(baseUrl)), options_(std::move(options)) {
  while (!baseUrl_.empty() && baseUrl_.back() == '/') baseUrl_.pop_back();
}

daHttpReplicatedClient::~daHttpReplicatedClient() {
  if (curl_) curl_easy_cleanup(handleOf(curl_));
}

unsigned long daHttpReplicatedClient::ensureHandle() {
  if (!startsWith(baseUrl_, "http://") && !startsWith(baseUrl_, "https://")) return da_s_snapshot_bad_url;
  if (curl_) return 0;
  globalInit();
  curl_ = curl_easy_init();
  return curl_ ? 0 : da_s_snapshot_bad_url;
}

unsigned long daHttpReplicatedClient::getOnce(std::string const& url, std::string const& ifNoneMatch, int fd,
                                              uint64_t cap, Response& response, std::string* sha256,
                                              uint64_t* size, bool& retryable) {
  retryable = false;
  CURL* c = handleOf(curl_);
  curl_easy_reset(c);  // options back to defaults; the connection cache stays
  response = Response{};
  daSha256 hash;
  Sink sink;
  sink.fd = fd;
  sink.body = fd < 0 ? &response.body : nullptr;
  sink.hash = fd >= 0 ? &hash : nullptr;
  sink.cap = cap;
  if (fd >= 0 && (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)) return hx_db_s_io_error;

  char errorText[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options_.totalTimeoutMs);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, options_.verifyTls ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, options_.verifyTls ? 2L : 0L);
  if (!options_.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.caFile.c_str());
  if (!options_.clientCert.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, options_.clientCert.c_str());
  if (!options_.clientKey.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, options_.clientKey.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &response.etag);

  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, &curl_slist_free_all);
  auto addHeader = [&](std::string const& h) {
    if (curl_slist* more = curl_slist_append(headers.get(), h.c_str())) {
      headers.release();
      headers.reset(more);
    }
  };
  if (!options_.bearerToken.empty()) addHeader("Authorization: Bearer " + options_.bearerToken);
  if (fd < 0) addHeader("Cache-Control: no-cache");  // caches revalidate the manifest with the origin
  if (!ifNoneMatch.empty()) addHeader("If-None-Match: " + ifNoneMatch);
  if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

  CURLcode rc = curl_easy_perform(c);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);  // the buffer goes out of scope
  lastError_ = errorText[0] ? errorText : (rc != CURLE_OK ? curl_easy_strerror(rc) : "");
  if (rc != CURLE_OK) {
    if (sink.writeFailed) return hx_db_s_io_error;
    if (sink.overCap) return da_s_snapshot_too_large;
    switch (rc) {
      case CURLE_UNSUPPORTED_PROTOCOL:
      case CURLE_URL_MALFORMAT:
        return da_s_snapshot_bad_url;
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_ISSUER_ERROR:
      case CURLE_SSL_CRL_BADFILE:
        return da_s_snapshot_tls;
      default:
        retryable = true;  // no answer, refused, reset, cut short, timed out
        return da_s_snapshot_unreachable;
    }
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.httpStatus);
  if (response.httpStatus == 200 || (response.httpStatus == 304 && !ifNoneMatch.empty())) {
    if (fd >= 0) {
      if (!hash.ok()) return hx_db_s_io_error;
      if (sha256) *sha256 = hash.finish();
      if (size) *size = sink.written;
    }
    return 0;
  }
  lastError_ = "HTTP status " + std::to_string(response.httpStatus) + " for " + url;
  retryable = response.httpStatus >= 500 || response.httpStatus == 408 || response.httpStatus == 429;
  return da_s_snapshot_http_error;
}

unsigned long daHttpReplicatedClient::get(std::string const& url, std::string const& ifNoneMatch, int fd,
                                          uint64_t cap, Response& response, std::string* sha256, uint64_t* size) {
  unsigned long status = ensureHandle();
  if (status != 0) return status;
  long wait = options_.retryBackoffMs;
  for (unsigned attempt = 0;; ++attempt) {
    bool retryable = false;
    status = getOnce(url, ifNoneMatch, fd, cap, response, sha256, size, retryable);
    if (status == 0 || !retryable || attempt >= options_.retries) return status;
    if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    wait = wait > 0 ? std::min<long>(wait * 2, 60000) : 0;
  }
}

unsigned long daHttpReplicatedClient::fetchManifest() {
  Response response;
  unsigned long status =
      get(baseUrl_ + "/manifest.json", haveManifest_ ? etag_ : std::string(), -1, kManifestCap, response, nullptr,
          nullptr);
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_bad_manifest;
  if (status != 0) return status;
  if (response.httpStatus == 304) return 0;  // the manifest kept is current
  daSnapshotManifest parsed;
  daSnapshotManifestParse(response.body, parsed, status);
  if (status != 0) {
    lastError_ = "the manifest at " + baseUrl_ + "/manifest.json is not valid";
    return status;
  }
  manifest_ = std::move(parsed);
  haveManifest_ = true;
  etag_ = response.etag;
  return 0;
}

void daHttpReplicatedClient::getMasterSeqNum(unsigned long& seq, unsigned long& status) {
  status = 0;
  DBTrace trace("daHttpReplicatedClient::getMasterSeqNum", status, __FILE__, __LINE__);
  seq = daLocalStore::invalidSeqnum;
  status = fetchManifest();
  if (status == 0) seq = manifest_.sequence;
}

void daHttpReplicatedClient::replicateTo(unsigned long& seq, char const* path, unsigned long& status) {
  status = 0;
  DBTrace trace("daHttpReplicatedClient::replicateTo", status, __FILE__, __LINE__);
  if (!path || !*path) {
    status = hx_db_s_bad_argument;
    return;
  }
  status = fetchManifest();
  if (status != 0) return;
  // A snapshot removed between reading the manifest and fetching the file
  // (the publisher moved on) is fetched again from the newer manifest, once.
  for (int round = 0;; ++round) {
    daSnapshotManifest wanted = manifest_;
    if (wanted.sequence == seq) {
      status = s_replica_current;
      return;
    }
    if (wanted.size > options_.maxSnapshotBytes || wanted.rawSize > options_.maxSnapshotBytes) {
      lastError_ = "the snapshot is larger than the client's cap";
      status = da_s_snapshot_too_large;
      return;
    }
    std::string download = std::string(path) + ".download";
    ::unlink(download.c_str());  // left by a download that was killed
    Removed downloadGuard(download);
    {
      FileDescriptor fd(
          ::open(download.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!fd.valid()) {
        status = hx_db_s_io_error;
        return;
      }
      Response response;
      std::string sha;
      uint64_t size = 0;
      status = get(baseUrl_ + "/" + wanted.file, "", fd.get(), wanted.size, response, &sha, &size);
      if (status == da_s_snapshot_too_large) status = da_s_snapshot_mismatch;  // more bytes than the manifest says
      if (status == da_s_snapshot_http_error && round == 0 && response.httpStatus == 404) {
        std::string notFound = lastError_;
        unsigned long again = fetchManifest();
        if (again == 0 && manifest_.sequence != wanted.sequence) continue;
        lastError_ = notFound;
      }
      if (status != 0) return;
      if (size != wanted.size || sha != wanted.sha256) {
        lastError_ = "the snapshot " + wanted.file + " does not match the manifest";
        status = da_s_snapshot_mismatch;
        return;
      }
    }
    std::string rawSha;
    uint64_t rawSize = 0;
    daSnapshotDecompress(download.c_str(), path, wanted.rawSize, rawSha, rawSize, status);
    if (status == da_s_snapshot_too_large) status = da_s_snapshot_mismatch;
    if (status == 0 && (rawSize != wanted.rawSize || rawSha != wanted.rawSha256)) {
      hx_db_remove_file(path);
      status = da_s_snapshot_mismatch;
    }
    if (status != 0) {
      lastError_ = "the snapshot " + wanted.file + " does not decompress to the database the manifest names";
      return;
    }
    // The same checks as a copy from a master file.
    hx_db_verify_report report;
    hx_db_verify_file(path, report, status);
    if (status == 0)
      daFileReplicatedClient::verifyCopy(path, options_.domain.empty() ? nullptr : options_.domain.c_str(), status);
    if (status != 0) {
      lastError_ = "the snapshot " + wanted.file + " is not a usable policy database";
      hx_db_remove_file(path);
      return;
    }
    // The check opened the copy; its lock file must not follow it into place.
    ::unlink(hx_db_lock_file(path).c_str());
    lastError_.clear();
    return;
  }
}
