#include "GxCore/remote/daS3.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

std::string env(char const* name) {
  char const* v = std::getenv(name);
  return v ? v : "";
}

std::string trim(std::string s) {
  auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

// A bucket name as S3 allows it: 3-63 of lower-case letters, digits, '.'
// and '-' (a little wider than AWS for other servers: '_' too).
bool validBucket(std::string const& b) {
  if (b.size() < 3 || b.size() > 63) return false;
  return std::all_of(b.begin(), b.end(), [](unsigned char c) {
    return std::islower(c) || std::isdigit(c) || c == '.' || c == '-' || c == '_';
  });
}

// The profile's keys from an INI-style shared credentials file.
bool readCredentialsFile(std::string const& path, std::string const& profile, daAwsCredentials& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line, section;
  daAwsCredentials found;
  for (int lines = 0; std::getline(in, line) && lines < 10000; ++lines) {
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = trim(line.substr(1, line.size() - 2));
      continue;
    }
    if (section != profile) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "aws_access_key_id") found.accessKeyId = value;
    else if (key == "aws_secret_access_key") found.secretAccessKey = value;
    else if (key == "aws_session_token") found.sessionToken = value;
  }
  if (!found.valid()) return false;
  found.source = "credentials file " + path;
  out = std::move(found);
  return true;
}

size_t collect(char* data, size_t one, size_t n, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() + one * n > 64 * 1024) return 0;  // an answer this large is not the metadata service's
  body->append(data, one * n);
  return one * n;
}

// One request to the metadata service: 200 and its body, or false.
bool metadataRequest(std::string const& url, char const* method, std::string const& header, long timeoutMs,
                     std::string& body) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> c(curl_easy_init(), &curl_easy_cleanup);
  if (!c || timeoutMs <= 0) return false;
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(curl_slist_append(nullptr, header.c_str()),
                                                                       &curl_slist_free_all);
  body.clear();
  curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c.get(), CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c.get(), CURLOPT_NOPROXY, "*");  // the metadata service is never behind a proxy
  curl_easy_setopt(c.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c.get(), CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, 1000L));
  curl_easy_setopt(c.get(), CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(c.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(c.get()) != CURLE_OK) return false;
  long code = 0;
  curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &code);
  return code == 200;
}

// Instance metadata, version 2: a session token, the role, its credentials.
bool readInstanceMetadata(long timeoutMs, daAwsCredentials& out, std::string& why) {
  std::string base = env("AWS_EC2_METADATA_SERVICE_ENDPOINT");
  if (base.empty()) base = "http://169.254.169.254";
  while (!base.empty() && base.back() == '/') base.pop_back();
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto left = [&] {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
  };
  std::string token, role, doc;
  if (!metadataRequest(base + "/latest/api/token", "PUT", "X-aws-ec2-metadata-token-ttl-seconds: 300", left(), token)) {
    why = "no instance metadata service answered at " + base;
    return false;
  }
  std::string auth = "X-aws-ec2-metadata-token: " + trim(token);
  std::string const credsPath = base + "/latest/meta-data/iam/security-credentials/";
  if (!metadataRequest(credsPath, "GET", auth, left(), role) || trim(role).empty()) {
    why = "the instance metadata service names no role";
    return false;
  }
  role = trim(role.substr(0, role.find('\n')));
  if (role.find('/') != std::string::npos || role.find("..") != std::string::npos) {
    why = "the instance metadata service names an invalid role";
    return false;
  }
  if (!metadataRequest(credsPath + role, "GET", auth, left(), doc)) {
    why = "the instance metadata service gave no credentials for the role " + role;
    return false;
  }
  auto j = nlohmann::json::parse(doc, nullptr, false);
  auto text = [&](char const* k) {
    return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
  };
  daAwsCredentials found;
  found.accessKeyId = text("AccessKeyId");
  found.secretAccessKey = text("SecretAccessKey");
  found.sessionToken = text("Token");
  if (!found.valid()) {
    why = "the instance metadata service's credentials for the role " + role + " are not valid";
    return false;
  }
  std::tm tm{};
  std::istringstream exp(text("Expiration"));
  exp >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
  if (!exp.fail()) found.expires = std::chrono::system_clock::from_time_t(timegm(&tm));
  found.source = "instance metadata (role " + role + ")";
  out = std::move(found);
  return true;
}

}  // namespace

std::string daS3Location::baseUrl() const {
  return endpoint + "/" + bucket + (prefix.empty() ? "" : "/" + prefix);
}

bool daIsS3Url(std::string const& url) { return url.rfind("s3://", 0) == 0; }

void daParseS3Url(std::string const& url, std::string const& endpoint, std::string const& region,
                  daS3Location& where, std::string& why, unsigned long& status) {
  status = da_s_s3_bad_location;
  if (!daIsS3Url(url)) {
    why = url + " is not an s3:// URL";
    return;
  }
  std::string rest = url.substr(5);
  auto slash = rest.find('/');
  daS3Location w;
  w.bucket = rest.substr(0, slash);
  std::string prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (!validBucket(w.bucket)) {
    why = "the bucket name '" + w.bucket + "' is not valid";
    return;
  }
  std::stringstream segments(prefix);
  for (std::string seg; std::getline(segments, seg, '/');) {
    bool plain = std::all_of(seg.begin(), seg.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '-' || c == '_' || c == '.';
    });
    if (seg.empty() || seg == "." || seg == ".." || !plain) {
      why = "the prefix '" + prefix + "' is not a plain folder path (letters, digits, '-', '_', '.')";
      return;
    }
  }
  w.prefix = prefix;
  w.region = !region.empty() ? region : !env("AWS_REGION").empty() ? env("AWS_REGION") : env("AWS_DEFAULT_REGION");
  if (w.region.empty()) w.region = "us-east-1";
  w.endpoint = !endpoint.empty() ? endpoint : env("AWS_ENDPOINT_URL_S3");
  if (w.endpoint.empty()) w.endpoint = env("AWS_ENDPOINT_URL");
  if (w.endpoint.empty()) w.endpoint = "https://s3." + w.region + ".amazonaws.com";
  while (!w.endpoint.empty() && w.endpoint.back() == '/') w.endpoint.pop_back();
  if (w.endpoint.rfind("http://", 0) != 0 && w.endpoint.rfind("https://", 0) != 0) {
    why = "the S3 endpoint '" + w.endpoint + "' is not an http:// or https:// URL";
    return;
  }
  where = std::move(w);
  status = 0;
}

void daResolveAwsCredentials(long metadataTimeoutMs, daAwsCredentials& credentials, std::string& why,
                             unsigned long& status) {
  status = 0;
  daAwsCredentials found;
  found.accessKeyId = env("AWS_ACCESS_KEY_ID");
  found.secretAccessKey = env("AWS_SECRET_ACCESS_KEY");
  found.sessionToken = env("AWS_SESSION_TOKEN");
  if (found.valid()) {
    found.source = "environment";
    credentials = std::move(found);
    return;
  }
  std::string file = env("AWS_SHARED_CREDENTIALS_FILE");
  if (file.empty() && !env("HOME").empty()) file = env("HOME") + "/.aws/credentials";
  std::string profile = env("AWS_PROFILE").empty() ? "default" : env("AWS_PROFILE");
  if (!file.empty() && readCredentialsFile(file, profile, credentials)) return;
  std::string metadataWhy;
  if (env("AWS_EC2_METADATA_DISABLED") != "true" && readInstanceMetadata(metadataTimeoutMs, credentials, metadataWhy))
    return;
  why = "no S3 credentials: none in the environment (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY), none for profile '" +
        profile + "' in " + (file.empty() ? "a credentials file" : file) + ", and " +
        (metadataWhy.empty() ? "the instance metadata service is disabled" : metadataWhy);
  status = da_s_s3_no_credentials;
}

bool daS3SignRequest(void* curl, daAwsCredentials const& credentials, std::string const& region,
                     std::string const& payloadSha256, void* headers) {
  CURL* c = static_cast<CURL*>(curl);
  auto** list = static_cast<curl_slist**>(headers);
  std::string sigv4 = "aws:amz:" + region + ":s3";
  curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(c, CURLOPT_USERNAME, credentials.accessKeyId.c_str());
  curl_easy_setopt(c, CURLOPT_PASSWORD, credentials.secretAccessKey.c_str());
  auto add = [&](std::string const& h) {
    curl_slist* more = curl_slist_append(*list, h.c_str());
    if (!more) return false;
    *list = more;
    return true;
  };
  if (!add("x-amz-content-sha256: " + payloadSha256)) return false;
  return credentials.sessionToken.empty() || add("x-amz-security-token: " + credentials.sessionToken);
}
