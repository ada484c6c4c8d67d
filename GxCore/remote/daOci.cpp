#include "GxCore/remote/daOci.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "GxCore/remote/daSnapshot.h"

namespace {

std::string const kEmptyConfigDigest = "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";

bool repositoryOk(std::string const& r) {
  if (r.empty() || r.size() > 255 || r.front() == '/' || r.back() == '/') return false;
  char prev = '/';
  for (unsigned char c : r) {
    bool sep = c == '/' || c == '.' || c == '_' || c == '-';
    if (!(std::islower(c) || std::isdigit(c) || sep)) return false;
    if (sep && (prev == '/' || prev == '.' || prev == '_' || prev == '-') && !(prev == '_' && c == '_')) return false;
    prev = static_cast<char>(c);
  }
  return true;
}

bool tagOk(std::string const& t) {
  if (t.empty() || t.size() > 128 || !(std::isalnum(static_cast<unsigned char>(t[0])) || t[0] == '_')) return false;
  return std::all_of(t.begin(), t.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '.' || c == '-'; });
}

// A title as a published folder names its files: manifest.json, or
// snapshots/ or signatures/ followed by a plain name.
bool titleOk(std::string const& t) {
  if (t == "manifest.json") return true;
  for (std::string dir : {"snapshots/", "signatures/"}) {
    if (t.rfind(dir, 0) != 0) continue;
    std::string name = t.substr(dir.size());
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos && name.size() < 200;
  }
  return false;
}

bool digestOk(std::string const& d) {
  return d.size() == 71 && d.rfind("sha256:", 0) == 0 &&
         std::all_of(d.begin() + 7, d.end(), [](unsigned char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); });
}

size_t collect(char* data, size_t one, size_t n, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() + one * n > 64 * 1024) return 0;
  body->append(data, one * n);
  return one * n;
}

std::string urlEncode(std::string const& s) {
  std::string out;
  static char const* hex = "0123456789ABCDEF";
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') out += static_cast<char>(c);
    else out += {'%', hex[c >> 4], hex[c & 15]};
  }
  return out;
}

}  // namespace

bool daIsOciUrl(std::string const& url) { return url.rfind("oci://", 0) == 0; }

void daParseOciUrl(std::string const& url, bool plainHttp, daOciLocation& where, std::string& why,
                   unsigned long& status) {
  status = da_s_oci_bad_location;
  if (!daIsOciUrl(url)) {
    why = url + " is not an oci:// URL";
    return;
  }
  std::string rest = url.substr(6);
  auto slash = rest.find('/');
  if (slash == std::string::npos || slash == 0) {
    why = url + " names no repository (oci://registry/repository:tag)";
    return;
  }
  std::string host = rest.substr(0, slash), path = rest.substr(slash + 1);
  bool hostOk = std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
  });
  daOciLocation w;
  auto colon = path.rfind(':');
  w.repository = colon == std::string::npos ? path : path.substr(0, colon);
  w.tag = colon == std::string::npos ? "latest" : path.substr(colon + 1);
  if (!hostOk || !repositoryOk(w.repository) || !tagOk(w.tag)) {
    why = url + " is not a valid registry, repository (lower case, '/'-separated) and tag";
    return;
  }
  w.registry = (plainHttp ? "http://" : "https://") + host;
  where = std::move(w);
  status = 0;
}

daOciCredentials daOciCredentialsOr(daOciCredentials given) {
  if (!given.empty()) return given;
  char const* u = std::getenv("GXCORE_OCI_USERNAME");
  char const* p = std::getenv("GXCORE_OCI_PASSWORD");
  if (u && *u) {
    given.username = u;
    given.password = p ? p : "";
  }
  return given;
}

daOciChallenge daParseChallenge(std::string const& header) {
  daOciChallenge c;
  size_t i = header.find_first_not_of(" \t");
  if (i == std::string::npos) return c;
  size_t sp = header.find(' ', i);
  std::string scheme = header.substr(i, sp == std::string::npos ? std::string::npos : sp - i);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char ch) { return std::tolower(ch); });
  if (scheme != "basic" && scheme != "bearer") return c;
  c.scheme = scheme;
  // key="value" pairs, comma-separated; values may hold commas (scopes).
  for (size_t at = sp; at != std::string::npos && at < header.size();) {
    size_t keyStart = header.find_first_not_of(" ,\t", at);
    if (keyStart == std::string::npos) break;
    size_t eq = header.find('=', keyStart);
    if (eq == std::string::npos) break;
    std::string key = header.substr(keyStart, eq - keyStart);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char ch) { return std::tolower(ch); });
    std::string value;
    if (eq + 1 < header.size() && header[eq + 1] == '"') {
      size_t close = header.find('"', eq + 2);
      if (close == std::string::npos) break;
      value = header.substr(eq + 2, close - eq - 2);
      at = close + 1;
    } else {
      size_t comma = header.find(',', eq);
      value = header.substr(eq + 1, comma == std::string::npos ? std::string::npos : comma - eq - 1);
      at = comma;
    }
    if (key == "realm") c.realm = value;
    else if (key == "service") c.service = value;
    else if (key == "scope") c.scope = value;
  }
  return c;
}

void daOciFetchToken(daOciChallenge const& challenge, daOciCredentials const& credentials, bool secure,
                     std::string const& caFile, bool verifyTls, long timeoutMs, std::string& token, std::string& why,
                     unsigned long& status) {
  status = da_s_oci_unauthorized;
  bool realmHttps = challenge.realm.rfind("https://", 0) == 0;
  if (!realmHttps && (secure || challenge.realm.rfind("http://", 0) != 0)) {
    why = "the registry's token service '" + challenge.realm + "' is not " + (secure ? "https" : "http(s)");
    return;
  }
  std::string url = challenge.realm;
  std::string query;
  if (!challenge.service.empty()) query += "service=" + urlEncode(challenge.service);
  if (!challenge.scope.empty()) query += std::string(query.empty() ? "" : "&") + "scope=" + urlEncode(challenge.scope);
  if (!query.empty()) url += (url.find('?') == std::string::npos ? "?" : "&") + query;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> c(curl_easy_init(), &curl_easy_cleanup);
  if (!c) return;
  std::string body;
  curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(c.get(), CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c.get(), CURLOPT_TIMEOUT_MS, std::max(timeoutMs, 1L));
  curl_easy_setopt(c.get(), CURLOPT_SSL_VERIFYPEER, verifyTls ? 1L : 0L);
  curl_easy_setopt(c.get(), CURLOPT_SSL_VERIFYHOST, verifyTls ? 2L : 0L);
  if (!caFile.empty()) curl_easy_setopt(c.get(), CURLOPT_CAINFO, caFile.c_str());
  if (!credentials.empty()) {
    curl_easy_setopt(c.get(), CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c.get(), CURLOPT_USERNAME, credentials.username.c_str());
    curl_easy_setopt(c.get(), CURLOPT_PASSWORD, credentials.password.c_str());
  }
  curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(c.get()) != CURLE_OK) {
    why = "the registry's token service at " + challenge.realm + " did not answer";
    status = da_s_snapshot_unreachable;
    return;
  }
  long code = 0;
  curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &code);
  auto j = nlohmann::json::parse(body, nullptr, false);
  std::string found;
  for (char const* k : {"token", "access_token"})
    if (found.empty() && j.is_object() && j.contains(k) && j[k].is_string()) found = j[k].get<std::string>();
  bool printable = !found.empty() && found.size() < 16384 &&
                   std::all_of(found.begin(), found.end(), [](unsigned char ch) { return ch > 32 && ch < 127; });
  if (code != 200 || !printable) {
    why = "the registry's token service refused the credentials (HTTP status " + std::to_string(code) + ")";
    return;
  }
  token = found;
  status = 0;
}

void daParseOciManifest(std::string const& text, std::map<std::string, daOciLayer>& layers, unsigned long& status) {
  status = da_s_snapshot_bad_manifest;
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("layers") || !j["layers"].is_array() || j["layers"].size() > 1000) return;
  std::string type;
  if (j.contains("artifactType") && j["artifactType"].is_string()) type = j["artifactType"].get<std::string>();
  else if (j.contains("config") && j["config"].is_object() && j["config"].contains("mediaType") &&
           j["config"]["mediaType"].is_string())
    type = j["config"]["mediaType"].get<std::string>();
  if (type != kOciArtifactType) return;
  std::map<std::string, daOciLayer> found;
  for (auto const& l : j["layers"]) {
    if (!l.is_object() || !l.contains("digest") || !l["digest"].is_string() || !l.contains("size") ||
        !l["size"].is_number_unsigned() || !l.contains("annotations") || !l["annotations"].is_object())
      return;
    auto const& a = l["annotations"];
    if (!a.contains("org.opencontainers.image.title") || !a["org.opencontainers.image.title"].is_string()) return;
    std::string title = a["org.opencontainers.image.title"].get<std::string>();
    daOciLayer layer{l["digest"].get<std::string>(), l["size"].get<uint64_t>()};
    if (!titleOk(title) || !digestOk(layer.digest) || found.count(title)) return;
    found[title] = layer;
  }
  if (!found.count("manifest.json")) return;
  layers = std::move(found);
  status = 0;
}

std::string daMakeOciManifest(std::map<std::string, daOciLayer> const& layers) {
  nlohmann::json list = nlohmann::json::array();
  for (auto const& [title, layer] : layers)
    list.push_back({{"mediaType", kOciLayerType},
                    {"digest", layer.digest},
                    {"size", layer.size},
                    {"annotations", {{"org.opencontainers.image.title", title}}}});
  nlohmann::json m = {{"schemaVersion", 2},
                      {"mediaType", kOciManifestType},
                      {"artifactType", kOciArtifactType},
                      {"config", {{"mediaType", kOciArtifactType}, {"digest", kEmptyConfigDigest}, {"size", 2}}},
                      {"layers", list}};
  return m.dump();
}
