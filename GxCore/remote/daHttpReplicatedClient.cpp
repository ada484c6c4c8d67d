#include "GxCore/remote/daHttpReplicatedClient.h"

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
#include "GxCore/remote/daDelta.h"
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
struct HeaderSink {
  std::string* etag;
  std::string* challenge;
};

size_t onHeader(char* data, size_t one, size_t n, void* user) {
  auto* sink = static_cast<HeaderSink*>(user);
  auto* etag = sink->etag;
  size_t bytes = one * n;
  std::string line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) etag->clear();  // a new response begins
  auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == "www-authenticate") {
      std::string value = line.substr(colon + 1);
      auto first = value.find_first_not_of(" \t");
      auto last = value.find_last_not_of(" \t\r\n");
      *sink->challenge = first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
    if (name == "etag") {
      std::string value = line.substr(colon + 1);
      auto first = value.find_first_not_of(" \t");
      auto last = value.find_last_not_of(" \t\r\n");
      *etag = first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
  }
  return bytes;
}

// libcurl calls this about once a second and more often while bytes flow;
// a non-zero answer ends the transfer with CURLE_ABORTED_BY_CALLBACK.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::atomic<bool> const*>(user)->load() ? 1 : 0;
}

bool startsWith(std::string const& s, char const* prefix) { return s.rfind(prefix, 0) == 0; }

std::string sha256Of(std::string const& bytes) {
  daSha256 hash;
  hash.update(bytes.data(), bytes.size());
  return hash.finish();
}

long millisecondsUntil(std::chrono::steady_clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  return static_cast<long>(left.count());
}

struct HandleCloser {
  void operator()(hx_db_handle* h) const {
    unsigned long ignored = 0;
    hx_db_close(h, ignored);
  }
};

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
  givenUrl_ = baseUrl_;
  if (daIsS3Url(baseUrl_)) {
    s3_ = true;
    unsigned long st = 0;
    daParseS3Url(baseUrl_, options_.s3Endpoint, options_.s3Region, s3Where_, s3Problem_, st);
    if (st == 0) baseUrl_ = s3Where_.baseUrl();
  } else if (daIsOciUrl(baseUrl_)) {
    oci_ = true;
    unsigned long st = 0;
    daParseOciUrl(baseUrl_, options_.ociPlainHttp, ociWhere_, ociProblem_, st);
    if (st == 0) baseUrl_ = ociWhere_.apiBase();
    ociCredentials_ = daOciCredentialsOr({options_.ociUsername, options_.ociPassword});
  }
}

std::string daHttpReplicatedClient::urlOf(std::string const& name) const {
  if (!oci_) return baseUrl_ + "/" + name;
  auto it = ociLayers_.find(name);
  return it == ociLayers_.end() ? "" : baseUrl_ + "/blobs/" + it->second.digest;
}

daHttpReplicatedClient::~daHttpReplicatedClient() {
  if (curl_) curl_easy_cleanup(handleOf(curl_));
}

unsigned long daHttpReplicatedClient::ensureHandle() {
  if ((s3_ && !s3Problem_.empty()) || (oci_ && !ociProblem_.empty())) {
    lastError_ = s3_ ? s3Problem_ : ociProblem_;
    return da_s_snapshot_bad_url;
  }
  // Credentials from instance metadata expire: fetched again a minute before.
  if (s3_ && (!s3Credentials_.valid() ||
              s3Credentials_.expires - std::chrono::minutes(1) < std::chrono::system_clock::now())) {
    unsigned long st = 0;
    daResolveAwsCredentials(options_.metadataTimeoutMs, s3Credentials_, lastError_, st);
    if (st != 0) return st;
  }
  if (!startsWith(baseUrl_, "http://") && !startsWith(baseUrl_, "https://")) return da_s_snapshot_bad_url;
  if (curl_) return 0;
  globalInit();
  curl_ = curl_easy_init();
  return curl_ ? 0 : da_s_snapshot_bad_url;
}

void daHttpReplicatedClient::cancel() {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    cancelled_ = true;
  }
  pauseWake_.notify_all();
}

void daHttpReplicatedClient::resume() {
  std::lock_guard<std::mutex> lock(pauseMutex_);
  cancelled_ = false;
}

bool daHttpReplicatedClient::pause(long ms) {
  std::unique_lock<std::mutex> lock(pauseMutex_);
  return !pauseWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return cancelled_.load(); });
}

daHttpReplicatedClient::Clock::time_point daHttpReplicatedClient::callEnd() const {
  return std::min(Clock::now() + std::chrono::milliseconds(options_.totalTimeoutMs), deadline_);
}

daHttpReplicatedClient::Clock::time_point daHttpReplicatedClient::manifestEnd(Clock::time_point end) const {
  return std::min(Clock::now() + std::chrono::milliseconds(options_.manifestTimeoutMs), end);
}

unsigned long daHttpReplicatedClient::getOnce(std::string const& url, std::string const& ifNoneMatch, int fd,
                                              uint64_t cap, long timeoutMs, Response& response, std::string* sha256,
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

  // An https master is never left for plain http, not even by a redirect.
  bool secure = startsWith(baseUrl_, "https://");
  char const* protocols = secure ? "https" : "http,https";
  char errorText[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::min(options_.connectTimeoutMs, timeoutMs));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &cancelled_);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, options_.verifyTls ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, options_.verifyTls ? 2L : 0L);
  if (!options_.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.caFile.c_str());
  if (!options_.clientCert.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, options_.clientCert.c_str());
  if (!options_.clientKey.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, options_.clientKey.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader);
  HeaderSink headerSink{&response.etag, &response.challenge};
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &headerSink);

  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, &curl_slist_free_all);
  auto addHeader = [&](std::string const& h) {
    if (curl_slist* more = curl_slist_append(headers.get(), h.c_str())) {
      headers.release();
      headers.reset(more);
    }
  };
  if (s3_) {
    static char const kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    curl_slist* raw = headers.release();
    bool signedOk = daS3SignRequest(c, s3Credentials_, s3Where_.region, kEmptySha256, &raw);
    headers.reset(raw);
    if (!signedOk) return hx_db_s_io_error;
  } else if (oci_) {
    if (!ociToken_.empty()) {
      addHeader("Authorization: Bearer " + ociToken_);
    } else if (ociBasic_) {
      curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
      curl_easy_setopt(c, CURLOPT_USERNAME, ociCredentials_.username.c_str());
      curl_easy_setopt(c, CURLOPT_PASSWORD, ociCredentials_.password.c_str());
    }
    if (url.find("/manifests/") != std::string::npos) addHeader(std::string("Accept: ") + kOciManifestType);
  } else if (!options_.bearerToken.empty()) {
    addHeader("Authorization: Bearer " + options_.bearerToken);
  }
  if (fd < 0) addHeader("Cache-Control: no-cache");  // caches revalidate the manifest with the origin
  if (!ifNoneMatch.empty()) addHeader("If-None-Match: " + ifNoneMatch);
  if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

  CURLcode rc = curl_easy_perform(c);
  bytesFetched_ += sink.written;
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);  // the buffer goes out of scope
  lastError_ = errorText[0] ? errorText : (rc != CURLE_OK ? curl_easy_strerror(rc) : "");
  if (rc != CURLE_OK) {
    if (sink.writeFailed) return hx_db_s_io_error;
    if (sink.overCap) return da_s_snapshot_too_large;
    switch (rc) {
      case CURLE_ABORTED_BY_CALLBACK:
        lastError_ = "cancelled";
        return da_s_snapshot_cancelled;
      case CURLE_UNSUPPORTED_PROTOCOL:
        // The https base URL itself is allowed: only a redirect leads here.
        if (secure) {
          lastError_ = "the server redirected " + url + " to a URL that is not https; not followed (" + lastError_ + ")";
          return da_s_snapshot_insecure_redirect;
        }
        return da_s_snapshot_bad_url;
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
                                          uint64_t cap, Clock::time_point until, Response& response,
                                          std::string* sha256, uint64_t* size) {
  unsigned long status = ensureHandle();
  if (status != 0) return status;
  if (url.empty()) {  // an oci:// artifact that names no such file: as a web server's 404
    response = Response{};
    response.httpStatus = 404;
    lastError_ = "the artifact at " + givenUrl_ + " holds no such file";
    return da_s_snapshot_http_error;
  }
  long wait = options_.retryBackoffMs;
  bool answeredChallenge = false;
  for (unsigned attempt = 0;; ++attempt) {
    if (cancelled_.load()) {
      lastError_ = "cancelled";
      return da_s_snapshot_cancelled;
    }
    long left = millisecondsUntil(until);
    if (left <= 0) {
      // The failure that spent the time says more than its absence does.
      if (attempt == 0 && lastError_.empty()) lastError_ = "no time left to ask " + url;
      return attempt == 0 ? da_s_snapshot_unreachable : status;
    }
    bool retryable = false;
    status = getOnce(url, ifNoneMatch, fd, cap, left, response, sha256, size, retryable);
    // A registry asks for credentials with a 401: answered once, then asked again at once.
    if (oci_ && status == da_s_snapshot_http_error && response.httpStatus == 401 && !answeredChallenge) {
      answeredChallenge = true;
      status = answerChallenge(response.challenge, until);
      if (status != 0) return status;
      --attempt;
      continue;
    }
    if (oci_ && status == da_s_snapshot_http_error && (response.httpStatus == 401 || response.httpStatus == 403)) {
      lastError_ = "the registry refused " + std::string(ociCredentials_.empty() ? "a request without credentials"
                                                                                 : "the credentials") +
                   " (HTTP status " + std::to_string(response.httpStatus) + ")";
      return da_s_oci_unauthorized;
    }
    if (status == 0 || !retryable || attempt >= options_.retries) return status;
    // Another try only when it can start before the time is up.
    if (millisecondsUntil(until) <= std::max(wait, 0L)) return status;
    if (wait > 0 && !pause(wait)) {
      lastError_ = "cancelled";
      return da_s_snapshot_cancelled;
    }
    wait = wait > 0 ? std::min<long>(wait * 2, 60000) : 0;
  }
}

unsigned long daHttpReplicatedClient::fetchManifest(Clock::time_point until) {
  Response response;
  auto keptLayers = ociLayers_;
  unsigned long status = oci_ ? fetchOciManifest(until, response)
                              : get(baseUrl_ + "/manifest.json", haveManifest_ ? etag_ : std::string(), -1,
                                    kManifestCap, until, response, nullptr, nullptr);
  // The files of an artifact that is refused are not the ones to fetch.
  struct RestoreLayers {
    daHttpReplicatedClient* self;
    std::map<std::string, daOciLayer>& kept;
    bool accepted = false;
    ~RestoreLayers() {
      if (!accepted) self->ociLayers_ = std::move(kept);
    }
  } restore{this, keptLayers};
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_bad_manifest;
  if (status != 0) return status;
  if (response.httpStatus == 304) return 0;  // the manifest kept is current
  daSnapshotManifest parsed;
  daSnapshotManifestParse(response.body, parsed, status);
  if (status != 0) {
    lastError_ = "the manifest at " + baseUrl_ + "/manifest.json is not valid";
    return status;
  }
  std::string signedBy;
  if (!options_.trustedKeys.empty() && (status = checkSignature(response.body, until, signedBy)) != 0) return status;
  manifest_ = std::move(parsed);
  haveManifest_ = true;
  etag_ = response.etag;
  signedBy_ = std::move(signedBy);
  restore.accepted = true;
  return 0;
}

unsigned long daHttpReplicatedClient::fetchOciManifest(Clock::time_point until, Response& response) {
  unsigned long status = get(baseUrl_ + "/manifests/" + ociWhere_.tag, haveManifest_ ? etag_ : std::string(), -1,
                             kManifestCap, until, response, nullptr, nullptr);
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_bad_manifest;
  if (status != 0 || response.httpStatus == 304) return status;
  std::map<std::string, daOciLayer> layers;
  daParseOciManifest(response.body, layers, status);
  if (status != 0) {
    lastError_ = "the artifact at " + givenUrl_ + " is not a publish of policy snapshots";
    return status;
  }
  std::string etag = response.etag;
  ociLayers_ = std::move(layers);
  daOciLayer const& m = ociLayers_.at("manifest.json");
  if (m.size > kManifestCap) {
    lastError_ = "the manifest in the artifact at " + givenUrl_ + " is larger than allowed";
    return da_s_snapshot_bad_manifest;
  }
  status = get(urlOf("manifest.json"), "", -1, m.size, until, response, nullptr, nullptr);
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_bad_manifest;
  if (status == 0 && "sha256:" + sha256Of(response.body) != m.digest) {
    lastError_ = "the manifest blob in the artifact at " + givenUrl_ + " does not match its digest";
    status = da_s_snapshot_bad_manifest;
  }
  response.etag = etag;
  return status;
}

unsigned long daHttpReplicatedClient::answerChallenge(std::string const& header, Clock::time_point until) {
  daOciChallenge c = daParseChallenge(header);
  if (c.scheme == "basic" && !ociCredentials_.empty()) {
    ociBasic_ = true;
    return 0;
  }
  if (c.scheme == "bearer") {
    std::string why;
    unsigned long status = 0;
    daOciFetchToken(c, ociCredentials_, startsWith(baseUrl_, "https://"), options_.caFile, options_.verifyTls,
                    std::max(millisecondsUntil(until), 1L), ociToken_, why, status);
    if (status != 0) lastError_ = why;
    return status;
  }
  lastError_ = ociCredentials_.empty() ? "the registry asks for credentials and none were given"
                                       : "the registry asks for an authentication this client does not know";
  return da_s_oci_unauthorized;
}

unsigned long daHttpReplicatedClient::checkSignature(std::string const& text, Clock::time_point until,
                                                     std::string& signedBy) {
  std::string const name = daSignaturePathOf(text);
  std::string const where = oci_ ? givenUrl_ + " (" + name + ")" : baseUrl_ + "/" + name;
  Response response;
  unsigned long status = get(urlOf(name), "", -1, daMaxSignatureFileBytes, until, response, nullptr, nullptr);
  // Object storage answers 403 for a missing object the reader may not list.
  if (status == da_s_snapshot_http_error && (response.httpStatus == 404 || (s3_ && response.httpStatus == 403))) {
    lastError_ = "the manifest is not signed (no " + where + "); a signature is required, the manifest is refused";
    return da_s_snapshot_unsigned;
  }
  if (status == da_s_snapshot_too_large) {
    lastError_ = "the signature file " + where + " is larger than allowed; the manifest is refused";
    return da_s_snapshot_bad_signature;
  }
  if (status != 0) return status;
  std::string why;
  daVerifyManifestSignature(text, response.body, options_.trustedKeys, signedBy, why, status);
  if (status != 0) lastError_ = why + "; the manifest is refused";
  return status;
}

void daHttpReplicatedClient::getMasterSeqNum(unsigned long& seq, unsigned long& status) {
  status = 0;
  DBTrace trace("daHttpReplicatedClient::getMasterSeqNum", status, __FILE__, __LINE__);
  seq = daLocalStore::invalidSeqnum;
  status = fetchManifest(manifestEnd(callEnd()));
  if (status == 0) seq = manifest_.sequence;
}

void daHttpReplicatedClient::replicateTo(unsigned long& seq, char const* path, unsigned long& status) {
  status = 0;
  DBTrace trace("daHttpReplicatedClient::replicateTo", status, __FILE__, __LINE__);
  if (!path || !*path) {
    status = hx_db_s_bad_argument;
    return;
  }
  Clock::time_point end = callEnd();
  status = fetchManifest(manifestEnd(end));
  if (status != 0) return;
  // The newest number the replica is known to have had: its own, or what
  // this client handed over last (a replica whose file was set aside has no
  // number of its own).
  unsigned long floor = seq;
  if (floor == daLocalStore::invalidSeqnum || isOlderSequence(floor, newestHandedOver_)) floor = newestHandedOver_;
  // A snapshot removed between reading the manifest and fetching the file
  // (the publisher moved on) is fetched again from the newer manifest, once.
  for (int round = 0;; ++round) {
    daSnapshotManifest wanted = manifest_;
    if (wanted.sequence == seq) {
      status = s_replica_current;
      return;
    }
    if (!options_.allowRollback && isOlderSequence(wanted.sequence, floor)) {
      lastError_ = "the manifest names sequence " + std::to_string(wanted.sequence) + ", older than the replica's " +
                   std::to_string(floor);
      status = s_replica_rollback;
      return;
    }
    if (wanted.size > options_.maxSnapshotBytes || wanted.rawSize > options_.maxSnapshotBytes) {
      lastError_ = "the snapshot is larger than the client's cap";
      status = da_s_snapshot_too_large;
      return;
    }
    bool vanished = false;
    status = fetchSnapshot(wanted, path, end, vanished);
    if (vanished && round == 0) {
      std::string notFound = lastError_;
      unsigned long again = fetchManifest(manifestEnd(end));
      if (again == 0 && manifest_.sequence != wanted.sequence) continue;
      lastError_ = notFound;
    }
    if (status == 0) {
      newestHandedOver_ = wanted.sequence;
      lastError_.clear();
    }
    return;
  }
}

unsigned long daHttpReplicatedClient::fetchSnapshot(daSnapshotManifest const& wanted, std::string const& path,
                                                    Clock::time_point until, bool& vanished) {
  vanished = false;
  unsigned long status = 0;
  std::string download = path + ".download";
  ::unlink(download.c_str());  // left by a download that was killed
  Removed downloadGuard(download);
  {
    FileDescriptor fd(::open(download.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return hx_db_s_io_error;
    Response response;
    std::string sha;
    uint64_t size = 0;
    status = get(urlOf(wanted.file), "", fd.get(), wanted.size, until, response, &sha, &size);
    if (status == da_s_snapshot_too_large) status = da_s_snapshot_mismatch;  // more bytes than the manifest says
    vanished = status == da_s_snapshot_http_error && response.httpStatus == 404;
    if (status != 0) return status;
    if (size != wanted.size || sha != wanted.sha256) {
      lastError_ = "the snapshot " + wanted.file + " does not match the manifest";
      return da_s_snapshot_mismatch;
    }
  }
  std::string rawSha;
  uint64_t rawSize = 0;
  daSnapshotDecompress(download.c_str(), path.c_str(), wanted.rawSize, rawSha, rawSize, status);
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_mismatch;
  if (status == 0 && (rawSize != wanted.rawSize || rawSha != wanted.rawSha256)) {
    hx_db_remove_file(path.c_str());
    status = da_s_snapshot_mismatch;
  }
  if (status != 0) {
    lastError_ = "the snapshot " + wanted.file + " does not decompress to the database the manifest names";
    return status;
  }
  // The same checks as a copy from a master file, and the number the
  // manifest claims must be the database's own: a manifest naming another
  // (older) snapshot under a newer number is a rollback in disguise.
  hx_db_verify_report report;
  unsigned long recorded = daLocalStore::invalidSeqnum;
  hx_db_verify_file(path.c_str(), report, status);
  if (status == 0)
    daFileReplicatedClient::verifyCopy(path.c_str(), options_.domain.empty() ? nullptr : options_.domain.c_str(),
                                       status, &recorded);
  if (status != 0) {
    lastError_ = "the snapshot " + wanted.file + " is not a usable policy database";
    hx_db_remove_file(path.c_str());
    return status;
  }
  unsigned long const fileSeq = daSnapshotFileSequence(wanted);
  if (recorded != fileSeq) {
    lastError_ = "the snapshot " + wanted.file + " holds sequence " + std::to_string(recorded) +
                 ", not the manifest's " + std::to_string(fileSeq);
    hx_db_remove_file(path.c_str());
    return da_s_snapshot_wrong_sequence;
  }
  status = recordContentDigest(wanted, path);
  // A manifest between two full snapshots: the deltas after the snapshot
  // bring the copy to the manifest's number before it is handed over.
  if (status == 0 && fileSeq != wanted.sequence) status = applyChainToCopy(wanted, path);
  // The check opened the copy; its lock file must not follow it into place.
  ::unlink(hx_db_lock_file(path.c_str()).c_str());
  if (status != 0) hx_db_remove_file(path.c_str());
  return status;
}

unsigned long daHttpReplicatedClient::recordContentDigest(daSnapshotManifest const& wanted, std::string const& path) {
  unsigned long status = 0;
  char const* domain = options_.domain.empty() ? nullptr : options_.domain.c_str();
  std::unique_ptr<hx_db_handle, HandleCloser> h(
      hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, createLock(domain), status));
  if (!h) return status;
  daContentDigest digest;
  daDigestOfDatabase(h.get(), digest, status);
  if (status != 0) return status;
  std::string const& expected = daSnapshotFileDigest(wanted);
  if (!expected.empty() && digest.hex() != expected) {
    lastError_ = "the snapshot " + wanted.file + " holds other records than the manifest's digest says";
    return da_s_snapshot_mismatch;
  }
  daWriteDigestRecord(h.get(), daSnapshotFileSequence(wanted), digest, status);
  return status;
}

unsigned long daHttpReplicatedClient::applyChainToCopy(daSnapshotManifest const& wanted, std::string const& path) {
  std::vector<daDelta> chain;
  daCatchUpReport report;
  unsigned long status = 0;
  daFetchChain(*this, wanted, daSnapshotFileSequence(wanted), daSnapshotFileDigest(wanted), false, chain, report,
               status);
  if (status == 0) {
    char const* domain = options_.domain.empty() ? nullptr : options_.domain.c_str();
    std::unique_ptr<hx_db_handle, HandleCloser> h(
        hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, createLock(domain), status));
    if (h) daApplyDeltas(h.get(), chain, status);
  }
  if (status != 0) {
    lastError_ = "the deltas after the snapshot " + wanted.file + " do not lead to the manifest's sequence " +
                 std::to_string(wanted.sequence) + (report.problem.empty() ? "" : " (" + report.problem + ")");
    if (status == da_s_delta_unusable) status = da_s_snapshot_mismatch;
  }
  return status;
}

void daHttpReplicatedClient::fetchPublished(std::string const& relative, uint64_t size, std::string const& sha256,
                                            std::string& body, unsigned long& status) {
  status = 0;
  DBTrace trace("daHttpReplicatedClient::fetchPublished", status, __FILE__, __LINE__);
  Response response;
  status = get(urlOf(relative), "", -1, size, callEnd(), response, nullptr, nullptr);
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_mismatch;  // more bytes than the manifest says
  if (status == 0 && (response.body.size() != size || sha256Of(response.body) != sha256)) {
    lastError_ = "the file " + relative + " does not match the manifest";
    status = da_s_snapshot_mismatch;
  }
  if (status == 0) body = std::move(response.body);
}

void daHttpReplicatedClient::afterReplication(char const* replicaPath, unsigned long& status) {
  status = 0;
  DBTrace trace("daHttpReplicatedClient::afterReplication", status, __FILE__, __LINE__);
  if (!replicaPath || !haveManifest_ || manifest_.registryFile.empty()) return;
  daSnapshotManifest const wanted = manifest_;
  std::string target = daRegistryPathOf(replicaPath);
  std::string present;
  unsigned long readStatus = 0;
  daReadRegistryFile(target, daMaxRegistryBytes, present, readStatus);
  if (readStatus == 0 && sha256Of(present) == wanted.registrySha256) return;
  std::string refused = "the registry " + wanted.registryFile + " ";
  std::string kept = "; the registry beside the replica is kept";
  if (wanted.registrySize > daMaxRegistryBytes) {
    lastError_ = refused + "is larger than allowed" + kept;
    status = da_s_snapshot_bad_registry;
    return;
  }
  Response response;
  status = get(urlOf(wanted.registryFile), "", -1, wanted.registrySize, callEnd(), response, nullptr,
               nullptr);
  if (status == da_s_snapshot_too_large) status = da_s_snapshot_bad_registry;  // more bytes than the manifest says
  if (status == 0 && (response.body.size() != wanted.registrySize || sha256Of(response.body) != wanted.registrySha256))
    status = da_s_snapshot_bad_registry;
  if (status == 0) daInstallRegistry(response.body, target, status);
  if (status == da_s_snapshot_bad_registry)
    lastError_ = refused + "does not match the manifest or is not a valid registry" + kept;
  else if (status != 0)
    lastError_ = refused + "could not be fetched or installed (" + lastError_ + ")" + kept;
}
