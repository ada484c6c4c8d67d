#include "GxCore/remote/daPublishTarget.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <vector>

#include "GxCore/db/daFileIo.h"
#include "GxCore/remote/daSnapshot.h"
#include "outside/hxdb.h"
#include "outside/hxfd.h"

namespace {

using hx_internal::FileDescriptor;

// The SHA-256 of the file at path, streamed; "" when it cannot be read.
std::string fileSha256(std::string const& path, uint64_t& size) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return "";
  daSha256 hash;
  std::vector<char> buf(1 << 16);
  size = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "";
    if (n == 0) break;
    hash.update(buf.data(), static_cast<size_t>(n));
    size += static_cast<uint64_t>(n);
  }
  return hash.ok() ? hash.finish() : "";
}

// A stretch of an open file sent as a request's body (the whole file, or
// a part of an OCI upload), read where it lies (not from the descriptor's
// position): a part starts anywhere, and a file that shrank under the
// upload ends the request rather than sending fewer bytes than announced.
struct FileStretch {
  int fd = -1;
  uint64_t offset = 0, left = 0;
};
size_t readStretch(char* out, size_t one, size_t n, void* user) {
  auto* s = static_cast<FileStretch*>(user);
  size_t const want = static_cast<size_t>(std::min<uint64_t>(one * n, s->left));
  if (want == 0) return 0;
  for (;;) {
    ssize_t got = ::pread(s->fd, out, want, static_cast<off_t>(s->offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return CURL_READFUNC_ABORT;
    s->offset += static_cast<uint64_t>(got);
    s->left -= static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
  }
}

// Answers to uploads are short (an XML error, an empty body): more than
// 64 KiB ends the request (CURLE_WRITE_ERROR), an endless one included.
size_t keepSmall(char* data, size_t one, size_t n, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() + one * n > 64 * 1024) return 0;
  body->append(data, one * n);
  return one * n;
}

// The S3 error code in an XML error body ("" when there is none).
std::string s3ErrorCode(std::string const& body) {
  auto a = body.find("<Code>");
  auto b = body.find("</Code>");
  return a == std::string::npos || b == std::string::npos || b < a ? "" : body.substr(a + 6, b - a - 6);
}

std::string const kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class S3Target : public daPublishTarget {
 public:
  S3Target(std::string url, daS3Location where, daObjectStoreOptions options)
      : url_(std::move(url)), where_(std::move(where)), options_(std::move(options)) {}
  ~S3Target() override {
    if (curl_) curl_easy_cleanup(curl_);
  }

  unsigned long putFile(std::string const& name, std::string const& path) override {
    uint64_t size = 0;
    std::string sha = fileSha256(path, size);
    if (sha.empty()) {
      lastError_ = "cannot read " + path;
      return hx_db_s_open_failed;
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) {
      lastError_ = "cannot read " + path;
      return hx_db_s_open_failed;
    }
    FileStretch whole{fd.get(), 0, size};
    return request("PUT", name, sha, [&](CURL* c) {
      curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(c, CURLOPT_READFUNCTION, &readStretch);
      curl_easy_setopt(c, CURLOPT_READDATA, &whole);
      curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    });
  }

  unsigned long remove(std::string const& name) override {
    unsigned long st = request("DELETE", name, kEmptySha256, [](CURL* c) {
      curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "DELETE");
    });
    return st == da_s_snapshot_http_error && httpStatus_ == 404 ? 0 : st;
  }

  std::string const& lastError() const override { return lastError_; }
  std::string const& describe() const override { return url_; }

 private:
  template <class Setup>
  unsigned long request(char const* method, std::string const& name, std::string const& payloadSha, Setup setup) {
    if (!credentials_.valid()) {
      unsigned long st = 0;
      daResolveAwsCredentials(options_.metadataTimeoutMs, credentials_, lastError_, st);
      if (st != 0) return st;
    }
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!curl_ && !(curl_ = curl_easy_init())) {
      lastError_ = "the HTTP client cannot be set up";
      return da_s_snapshot_bad_url;
    }
    curl_easy_reset(curl_);
    std::string url = where_.baseUrl() + "/" + name;
    std::string body;
    char errorText[CURL_ERROR_SIZE] = "";
    curl_slist* headers = nullptr;
    std::unique_ptr<curl_slist*, void (*)(curl_slist**)> freeHeaders(&headers, [](curl_slist** h) {
      curl_slist_free_all(*h);
    });
    bool secure = where_.endpoint.rfind("https://", 0) == 0;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);  // a signed upload is never sent elsewhere
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, options_.requestTimeoutMs);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, options_.verifyTls ? 1L : 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, options_.verifyTls ? 2L : 0L);
    if (!options_.caFile.empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, options_.caFile.c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &keepSmall);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    setup(curl_);
    if (!daS3SignRequest(curl_, credentials_, where_.region, payloadSha, &headers)) return hx_db_s_io_error;
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, nullptr);
    httpStatus_ = 0;
    if (rc != CURLE_OK) {
      lastError_ = std::string(method) + " " + url + ": " + (errorText[0] ? errorText : curl_easy_strerror(rc));
      if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE) return da_s_snapshot_tls;
      return da_s_snapshot_unreachable;
    }
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &httpStatus_);
    if (httpStatus_ >= 200 && httpStatus_ < 300) return 0;
    std::string code = s3ErrorCode(body);
    lastError_ = std::string(method) + " " + url + ": HTTP status " + std::to_string(httpStatus_) +
                 (code.empty() ? "" : " (" + code + ")");
    return da_s_snapshot_http_error;
  }

  std::string url_;
  daS3Location where_;
  daObjectStoreOptions options_;
  daAwsCredentials credentials_;
  CURL* curl_ = nullptr;
  long httpStatus_ = 0;
  std::string lastError_;
};

// Pushes to an OCI registry through the distribution API, answering the
// registry's 401 challenges (Basic, or a Bearer token from its realm).
class OciTarget : public daPublishTarget {
 public:
  OciTarget(std::string url, daOciLocation where, daOciCredentials credentials, daObjectStoreOptions options)
      : url_(std::move(url)),
        where_(std::move(where)),
        credentials_(daOciCredentialsOr(std::move(credentials))),
        options_(std::move(options)) {}
  ~OciTarget() override {
    if (curl_) curl_easy_cleanup(curl_);
  }

  unsigned long putFile(std::string const& name, std::string const& path) override {
    uint64_t size = 0;
    std::string sha = fileSha256(path, size);
    if (sha.empty()) {
      lastError_ = "cannot read " + path;
      return hx_db_s_open_failed;
    }
    unsigned long st = pushBlob(path, "", "sha256:" + sha, size);
    if (st == 0) pushed_[name] = daOciLayer{"sha256:" + sha, size};
    return st;
  }

  unsigned long remove(std::string const&) override { return 0; }

  unsigned long finish(std::string const& stage, std::vector<std::string> const& names) override {
    std::map<std::string, daOciLayer> layers;
    for (auto const& name : names) {
      auto it = pushed_.find(name);
      if (it != pushed_.end()) {
        layers[name] = it->second;
        continue;
      }
      // Put before this run: pushed again only when the registry lost it.
      uint64_t size = 0;
      std::string sha = fileSha256(stage + "/" + name, size);
      if (sha.empty()) return hx_db_s_io_error;
      if (unsigned long st = pushBlob(stage + "/" + name, "", "sha256:" + sha, size); st != 0) return st;
      layers[name] = daOciLayer{"sha256:" + sha, size};
    }
    if (unsigned long st = pushBlob("", "{}", "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",
                                    2);
        st != 0)
      return st;
    std::string manifest = daMakeOciManifest(layers);
    Answer a;
    unsigned long st = send("PUT", where_.apiBase() + "/manifests/" + where_.tag, "", &manifest,
                            {std::string("Content-Type: ") + kOciManifestType}, a);
    if (st == 0 && a.code != 201 && a.code != 200) st = failed("PUT the image manifest", a);
    return st;
  }

  std::string const& lastError() const override { return lastError_; }
  std::string const& describe() const override { return url_; }

 private:
  struct Answer {
    long code = 0;
    std::string location, challenge, range, body;
  };

  unsigned long failed(std::string const& what, Answer const& a) {
    lastError_ = what + " at " + url_ + ": HTTP status " + std::to_string(a.code);
    return a.code == 401 || a.code == 403 ? da_s_oci_unauthorized : da_s_snapshot_http_error;
  }

  // The blob from the file at path, or the bytes inline when path is "".
  unsigned long pushBlob(std::string const& path, std::string const& inline_, std::string const& digest,
                         uint64_t size) {
    Answer a;
    unsigned long st = send("HEAD", where_.apiBase() + "/blobs/" + digest, "", nullptr, {}, a);
    if (st != 0) return st;
    if (a.code == 200) return 0;
    st = send("POST", where_.apiBase() + "/blobs/uploads/", "", &kNothing, {}, a);
    if (st != 0) return st;
    if (a.code != 202 || a.location.empty()) return failed("start a blob upload", a);
    std::string location;
    if ((st = uploadLocation(a.location, location)) != 0) return st;
    bool const inParts = !path.empty() && options_.ociChunkBytes > 0 && size > options_.ociChunkBytes;
    if (inParts && (st = pushParts(path, size, location)) != 0) return st;
    location += (location.find('?') == std::string::npos ? "?" : "&") + std::string("digest=") + digest;
    if (inParts)  // the bytes are there: the PUT only names their digest
      st = send("PUT", location, "", &kNothing, {"Content-Type: application/octet-stream"}, a);
    else
      st = send("PUT", location, path, path.empty() ? &inline_ : nullptr, {"Content-Type: application/octet-stream"},
                a, size);
    if (st == 0 && a.code != 201) st = failed("upload the blob " + digest, a);
    return st;
  }

  // Where the registry said an upload goes on (Location, absolute or from
  // the server's root) into out; only to the registry itself: a registry
  // that sends an upload to another server is refused.
  unsigned long uploadLocation(std::string const& given, std::string& out) {
    out = given[0] == '/' ? where_.registry + given : given;
    if (out.rfind(where_.registry + "/", 0) == 0) return 0;
    lastError_ = "the registry sent the upload to another server (" + out + "); refused";
    return da_s_snapshot_http_error;
  }

  // The file at path (size bytes) into the upload at location, in parts of
  // ociChunkBytes, one PATCH each whose Content-Range follows the last;
  // each answer must say the registry holds every byte sent so far (Range)
  // and where the upload goes on (location is set to it).
  unsigned long pushParts(std::string const& path, uint64_t size, std::string& location) {
    for (uint64_t at = 0; at < size;) {
      uint64_t const n = std::min(options_.ociChunkBytes, size - at);
      std::string const last = std::to_string(at + n - 1);
      Answer a;
      std::vector<std::string> const headers = {"Content-Type: application/octet-stream",
                                                "Content-Range: " + std::to_string(at) + "-" + last};
      unsigned long st = send("PATCH", location, path, nullptr, headers, a, n, at);
      if (st != 0) return st;
      if (a.code != 202 || a.location.empty()) return failed("upload part of a blob", a);
      std::string_view held = a.range;
      if (held.rfind("bytes=", 0) == 0) held.remove_prefix(6);
      if (held != "0-" + last) {
        lastError_ =
            "the registry holds bytes " + a.range + " of an upload after bytes 0-" + last + " were sent; refused";
        return da_s_snapshot_http_error;
      }
      if ((st = uploadLocation(a.location, location)) != 0) return st;
      at += n;
    }
    return 0;
  }

  // One request, answering a 401 once with the credentials or a token;
  // with file, its size bytes from offset on are the body.
  unsigned long send(char const* method, std::string const& url, std::string const& file, std::string const* body,
                     std::vector<std::string> const& headers, Answer& a, uint64_t size = 0, uint64_t offset = 0) {
    for (int round = 0; round < 2; ++round) {
      unsigned long st = once(method, url, file, body, headers, a, size, offset);
      if (st != 0 || a.code != 401 || round == 1) return st;
      daOciChallenge c = daParseChallenge(a.challenge);
      if (c.scheme == "basic" && !credentials_.empty() && !basic_) {
        basic_ = true;
        continue;
      }
      if (c.scheme == "bearer") {
        std::string why;
        daOciFetchToken(c, credentials_, where_.registry.rfind("https://", 0) == 0, options_.caFile,
                        options_.verifyTls, options_.requestTimeoutMs, token_, why, st);
        if (st != 0) {
          lastError_ = why;
          return st;
        }
        continue;
      }
      return failed(credentials_.empty() ? "no credentials for the registry" : "the registry refused the credentials",
                    a);
    }
    return 0;
  }

  unsigned long once(char const* method, std::string const& url, std::string const& file, std::string const* body,
                     std::vector<std::string> const& headers, Answer& a, uint64_t size, uint64_t offset) {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!curl_ && !(curl_ = curl_easy_init())) return da_s_snapshot_bad_url;
    curl_easy_reset(curl_);
    a = Answer{};
    bool secure = where_.registry.rfind("https://", 0) == 0;
    char errorText[CURL_ERROR_SIZE] = "";
    curl_slist* list = nullptr;
    std::unique_ptr<curl_slist*, void (*)(curl_slist**)> freeList(&list, [](curl_slist** l) { curl_slist_free_all(*l); });
    for (auto const& h : headers) list = curl_slist_append(list, h.c_str());
    if (!token_.empty()) list = curl_slist_append(list, ("Authorization: Bearer " + token_).c_str());
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, options_.requestTimeoutMs);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, options_.verifyTls ? 1L : 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, options_.verifyTls ? 2L : 0L);
    if (!options_.caFile.empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, options_.caFile.c_str());
    if (basic_ && token_.empty()) {
      curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
      curl_easy_setopt(curl_, CURLOPT_USERNAME, credentials_.username.c_str());
      curl_easy_setopt(curl_, CURLOPT_PASSWORD, credentials_.password.c_str());
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &keepSmall);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &a.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &a);
    std::optional<FileDescriptor> fd;
    FileStretch stretch;
    if (std::string(method) == "HEAD") {
      curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    } else if (!file.empty()) {
      fd.emplace(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (!fd->valid()) return hx_db_s_open_failed;
      stretch = FileStretch{fd->get(), offset, size};
      curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &readStretch);
      curl_easy_setopt(curl_, CURLOPT_READDATA, &stretch);
      curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
      if (std::string(method) != "PUT") curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method);
    } else if (body) {
      curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body->data());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    if (std::string(method) == "PUT" && file.empty()) curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "PUT");
    CURLcode rc = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, nullptr);
    if (rc != CURLE_OK) {
      lastError_ = std::string(method) + " " + url + ": " + (errorText[0] ? errorText : curl_easy_strerror(rc));
      return rc == CURLE_PEER_FAILED_VERIFICATION ? da_s_snapshot_tls : da_s_snapshot_unreachable;
    }
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &a.code);
    return 0;
  }

  static size_t onHeader(char* data, size_t one, size_t n, void* user) {
    auto* a = static_cast<Answer*>(user);
    std::string line(data, one * n);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      std::string value = line.substr(colon + 1);
      auto first = value.find_first_not_of(" \t");
      auto last = value.find_last_not_of(" \t\r\n");
      value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
      if (name == "location") a->location = value;
      if (name == "www-authenticate") a->challenge = value;
      if (name == "range") a->range = value;
    }
    return one * n;
  }

  static inline std::string const kNothing;
  std::string url_;
  daOciLocation where_;
  daOciCredentials credentials_;
  daObjectStoreOptions options_;
  CURL* curl_ = nullptr;
  bool basic_ = false;
  std::string token_;
  std::map<std::string, daOciLayer> pushed_;
  std::string lastError_;
};

// The regular, non-dot files directly under stage/sub, as "sub/name".
std::vector<std::string> listPublished(std::string const& stage, char const* sub) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir((stage + "/" + sub).c_str()), &::closedir);
  if (!d) return names;
  while (dirent* e = ::readdir(d.get())) {
    if (e->d_name[0] == '.') continue;
    std::string name = std::string(sub) + "/" + e->d_name;
    struct stat st {};
    if (::lstat((stage + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> readRecord(std::string const& path) {
  std::map<std::string, std::string> record;
  std::ifstream in(path);
  if (!in) return record;
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object()) return record;
  for (auto const& [name, sha] : j.items())
    if (sha.is_string()) record[name] = sha.get<std::string>();
  return record;
}

unsigned long writeRecord(std::string const& stage, std::map<std::string, std::string> const& record) {
  nlohmann::json j(record);
  std::string text = j.dump(1) + "\n", tmp = stage + "/.uploaded.json.tmp";
  FileDescriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid() || !da_internal::writeAll(fd.get(), text.data(), text.size()) || ::fsync(fd.get()) != 0)
    return hx_db_s_io_error;
  return ::rename(tmp.c_str(), (stage + "/.uploaded.json").c_str()) == 0 ? 0 : hx_db_s_io_error;
}

}  // namespace

std::unique_ptr<daPublishTarget> daMakeOciTarget(std::string url, daOciLocation where, daOciCredentials credentials,
                                                 daObjectStoreOptions options) {
  return std::make_unique<OciTarget>(std::move(url), std::move(where), std::move(credentials), std::move(options));
}

std::unique_ptr<daPublishTarget> daMakeS3Target(std::string url, daS3Location where, daObjectStoreOptions options) {
  return std::make_unique<S3Target>(std::move(url), std::move(where), std::move(options));
}

void daUploadPublished(std::string const& stage, daPublishTarget& target, daUploadReport& report,
                       unsigned long& status) {
  status = 0;
  report = daUploadReport{};
  std::string const recordPath = stage + "/.uploaded.json";
  auto record = readRecord(recordPath);
  std::vector<std::string> files = listPublished(stage, "snapshots");
  for (auto const& s : listPublished(stage, "signatures")) files.push_back(s);
  files.push_back("manifest.json");  // last: it names the others
  std::map<std::string, std::string> present;
  for (auto const& name : files) {
    uint64_t size = 0;
    std::string sha = fileSha256(stage + "/" + name, size);
    if (sha.empty()) {
      status = hx_db_s_io_error;
      return;
    }
    present[name] = sha;
    auto it = record.find(name);
    if (it != record.end() && it->second == sha) continue;
    status = target.putFile(name, stage + "/" + name);
    if (status != 0) {
      writeRecord(stage, record);
      return;
    }
    record[name] = sha;
    ++report.uploaded;
    report.bytes += size;
  }
  std::vector<std::string> names;
  for (auto const& [name, sha] : present) names.push_back(name);
  if ((status = target.finish(stage, names)) != 0) {
    writeRecord(stage, record);
    return;
  }
  // Objects the folder no longer holds go only once the new manifest is up.
  std::vector<std::string> doomed;
  for (auto const& [name, sha] : record)
    if (!present.count(name)) doomed.push_back(name);
  for (auto const& name : doomed) {
    status = target.remove(name);
    if (status != 0) break;
    record.erase(name);
    ++report.removed;
  }
  unsigned long recorded = writeRecord(stage, record);
  if (status == 0) status = recorded;
}
