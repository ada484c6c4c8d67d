// Snapshots in an OCI registry: published as an artifact to Debian's
// docker-registry started on loopback, with htpasswd authentication and
// with token authentication (401 with a Bearer challenge, a token from the
// realm, the retry) against a token issuer the test stands up, and
// replicated from oci://registry/repository:tag. What a hostile registry
// can answer is scripted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/remote/daOci.h"
#include "GxCore/remote/daPublishTarget.h"
#include "GxCore/remote/daSnapshot.h"
#include "loopback.h"
#include "scripted_http.h"
#include "daemon_process.h"
#include "oci_registry.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using gxtest::ScriptedAnswer;
using gxtest::ScriptedHttpServer;
using gxtest::ScriptedRequest;
using gxtest::TempDir;

std::string sha256Hex(std::string const& data) {
  daSha256 h;
  h.update(data.data(), data.size());
  return h.finish();
}

// The replica client's options for a registry on plain http.
daHttpReplicaOptions replicaOptions(std::string user = "gx", std::string password = "s3cret") {
  daHttpReplicaOptions o;
  o.ociPlainHttp = true;
  o.ociUsername = user;
  o.ociPassword = password;
  o.domain = "hr";
  o.retries = 0;
  o.totalTimeoutMs = 10000;
  return o;
}

// Publishes master through the staging folder and uploads it to url; the
// upload's status, with the manifest published and the target's last error.
unsigned long publishArtifact(std::string const& master, std::string const& stage, std::string const& url,
                              daOciCredentials const& credentials, daSnapshotManifest& published, std::string& error) {
  daSnapshotPublishResult result;
  unsigned long st = 0;
  daPublishSnapshot(master.c_str(), stage.c_str(), "hr", 3, result, st);
  EXPECT_TRUE(st == 0 || st == da_s_snapshot_unchanged) << st;
  published = result.manifest;
  daOciLocation where;
  std::string why;
  daParseOciUrl(url, true, where, why, st);
  daObjectStoreOptions o;
  o.ociChunkBytes = 512;  // the snapshots in parts, manifest.json in one request
  auto target = daMakeOciTarget(url, where, credentials, o);
  daUploadReport report;
  daUploadPublished(stage, *target, report, st);
  error = target->lastError();
  return st;
}

class OciReplica : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.running()) << registry_.error();
    master_ = dir_.file("master.db");
    stage_ = dir_.file("stage");
    gxtest::makePolicyDb(master_, {"m0", "m1"}, daLocalPolicy::minimumDatabaseVersion, "hr");
  }
  unsigned long publish(daOciCredentials credentials = {"gx", "s3cret"}) {
    return publishArtifact(master_, stage_, url_, credentials, published_, lastError_);
  }

  gxtest::OciRegistry registry_;
  TempDir dir_;
  std::string master_, stage_, lastError_;
  std::string url_ = registry_.url("gx/policy:prod");
  daSnapshotManifest published_;
};

// The artifact is pushed and pulled with the registry's Basic
// authentication; an unchanged tag costs a 304; a change moves the tag
// and arrives; refused credentials are reported as such, not retried.
TEST_F(OciReplica, PublishedAsAnArtifactAndReplicatedByTag) {
  ASSERT_EQ(publish({"gx", "wrong"}), da_s_oci_unauthorized) << lastError_;
  ASSERT_EQ(publish(), 0u) << lastError_;
  daHttpReplicatedClient client(url_, replicaOptions());
  unsigned long seq = daLocalStore::invalidSeqnum, st = 0;
  client.replicateTo(seq, dir_.file("replica.db").c_str(), st);
  ASSERT_EQ(st, 0u) << client.lastError();
  uint64_t fetched = client.bytesFetched();
  client.getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u) << client.lastError();
  EXPECT_EQ(seq, published_.sequence);
  EXPECT_EQ(client.bytesFetched(), fetched);  // 304

  gxtest::addAcls(master_, {"m2"}, "hr");
  ASSERT_EQ(publish(), 0u) << lastError_;
  client.getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(seq, published_.sequence);
  auto const& d = published_.deltas.back();
  std::string delta;
  client.fetchPublished(d.file, d.size, d.sha256, delta, st);
  EXPECT_EQ(st, 0u) << client.lastError();
  client.fetchPublished("snapshots/not-in-the-artifact", 1, std::string(64, '0'), delta, st);
  EXPECT_EQ(st, da_s_snapshot_http_error);

  for (auto [user, password] : {std::pair<std::string, std::string>{"gx", "wrong"}, {"", ""}}) {
    ::unsetenv("GXCORE_OCI_USERNAME");
    daHttpReplicatedClient refused(url_, replicaOptions(user, password));
    refused.getMasterSeqNum(seq, st);
    EXPECT_EQ(st, da_s_oci_unauthorized) << user;
    EXPECT_EQ(refused.lastError().find("wrong"), std::string::npos);
  }
}

// ---- the registry's token flow with a real token issuer -------------------------------------

std::string run(std::string const& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

std::string base64url(std::string const& bytes) {
  static char const* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += {table[v >> 18], table[(v >> 12) & 63]};
  } else if (i + 2 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63]};
  }
  return out;
}

std::string urlDecode(std::string const& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  return out;
}

// A token issuer as the registry's token authentication expects one: it
// checks the Basic credentials and answers an RS256 JWT granting the
// actions asked for in the scope, with its certificate in the x5c header
// (made and signed with the openssl command).
class TokenIssuer {
 public:
  TokenIssuer()
      : server_([this](ScriptedRequest const& r) { return answer(r); }) {
    std::string d = dir_.path().string();
    run("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + d + "/key.pem' -out '" + d +
        "/cert.pem' -days 2 -subj /CN=gx-token-issuer 2>/dev/null");
    certDer_ = run("openssl x509 -in '" + d + "/cert.pem' -outform DER");
  }
  bool ready() const { return !certDer_.empty(); }
  std::string certFile() const { return dir_.file("cert.pem"); }
  std::string realm() const { return server_.url() + "/token"; }
  int issued() const { return issued_; }

 private:
  ScriptedAnswer answer(ScriptedRequest const& r) {
    if (!r.headers.count("authorization") || r.headers.at("authorization") != "Basic Z3g6czNjcmV0")  // gx:s3cret
      return {401, "{}"};
    std::string scope;
    auto at = r.path.find("scope=");
    if (at != std::string::npos) scope = urlDecode(r.path.substr(at + 6, r.path.find('&', at) - at - 6));
    nlohmann::json access = nlohmann::json::array();
    if (!scope.empty()) {  // repository:NAME:ACTIONS
      auto first = scope.find(':'), last = scope.rfind(':');
      nlohmann::json actions = nlohmann::json::array();
      std::stringstream list(scope.substr(last + 1));
      for (std::string a; std::getline(list, a, ',');) actions.push_back(a);
      access.push_back({{"type", "repository"}, {"name", scope.substr(first + 1, last - first - 1)}, {"actions", actions}});
    }
    long now = static_cast<long>(std::time(nullptr));
    nlohmann::json header = {{"alg", "RS256"}, {"typ", "JWT"}, {"x5c", {base64(certDer_)}}};
    nlohmann::json claims = {{"iss", "gx-issuer"}, {"sub", "gx"},         {"aud", "gx-registry"},
                             {"exp", now + 300},   {"nbf", now - 10},     {"iat", now},
                             {"jti", std::to_string(++issued_)},          {"access", access}};
    std::string input = base64url(header.dump()) + "." + base64url(claims.dump());
    std::string file = dir_.file("input");
    gxtest::writeFile(file, input);
    std::string signature = run("openssl dgst -sha256 -sign '" + dir_.file("key.pem") + "' '" + file + "'");
    return {200, nlohmann::json{{"token", input + "." + base64url(signature)}}.dump()};
  }
  static std::string base64(std::string const& bytes) {
    std::string s = base64url(bytes);
    for (char& c : s) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (s.size() % 4) s += '=';
    return s;
  }

  TempDir dir_;
  std::string certDer_;
  std::atomic<int> issued_{0};
  ScriptedHttpServer server_;
};

// The registry trusts the issuer's tokens only: the publisher and the
// replica are sent to the realm by a Bearer challenge, get a token for
// the scope asked, and push and pull with it.
TEST(OciTokenIssuer, RegistryWithTokenAuthenticationIsPushedToAndPulledFrom) {
  TokenIssuer issuer;
  ASSERT_TRUE(issuer.ready()) << "openssl could not make the issuer's certificate";
  gxtest::OciRegistry registry("  token:\n    realm: " + issuer.realm() + "\n    service: gx-registry\n    issuer: gx-issuer\n"
                    "    rootcertbundle: " + issuer.certFile() + "\n");
  ASSERT_TRUE(registry.running()) << registry.error();
  TempDir dir;
  std::string master = dir.file("master.db"), url = registry.url("gx/policy:prod"), error;
  gxtest::makePolicyDb(master, {"m0"}, daLocalPolicy::minimumDatabaseVersion, "hr");
  daSnapshotManifest published;
  ASSERT_EQ(publishArtifact(master, dir.file("stage"), url, {"gx", "s3cret"}, published, error), 0u) << error;

  daHttpReplicatedClient client(url, replicaOptions());
  unsigned long seq = daLocalStore::invalidSeqnum, st = 0;
  client.replicateTo(seq, dir.file("replica.db").c_str(), st);
  EXPECT_EQ(st, 0u) << client.lastError();
  EXPECT_GE(issuer.issued(), 2);

  daHttpReplicatedClient refused(url, replicaOptions("gx", "wrong"));
  refused.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_oci_unauthorized);
}

// A scripted registry that wants a Bearer token from its realm, which
// wants the credentials; it serves one artifact as it is told to.
class TokenRegistry {
 public:
  explicit TokenRegistry(std::map<std::string, std::string> blobs, std::string imageManifest)
      : blobs_(std::move(blobs)), manifest_(std::move(imageManifest)), server_([this](ScriptedRequest const& r) {
          return answer(r);
        }) {}
  std::string url() const { return "oci://" + server_.url().substr(7) + "/gx/policy:prod"; }
  std::vector<ScriptedRequest> requests() { return server_.requests(); }
  std::string realm;  // "" = the server's own /token

 private:
  ScriptedAnswer answer(ScriptedRequest const& r) {
    if (r.path.rfind("/token", 0) == 0) {
      // "Basic base64(gx:pw)"
      bool ok = r.headers.count("authorization") && r.headers.at("authorization") == "Basic Z3g6cHc=" &&
                r.path.find("scope=repository%3Agx%2Fpolicy%3Apull") != std::string::npos;
      return ok ? ScriptedAnswer{200, R"({"token":"tok-1"})"} : ScriptedAnswer{401, "{}"};
    }
    if (!r.headers.count("authorization") || r.headers.at("authorization") != "Bearer tok-1") {
      std::string where = realm.empty() ? server_.url() + "/token" : realm;
      return {401, "{}", {"WWW-Authenticate: Bearer realm=\"" + where +
                          "\",service=\"gx-registry\",scope=\"repository:gx/policy:pull\""}};
    }
    if (r.path == "/v2/gx/policy/manifests/prod")
      return {200, manifest_, {"ETag: \"sha256:" + sha256Hex(manifest_) + "\"",
                               std::string("Content-Type: ") + kOciManifestType}};
    auto digest = r.path.substr(r.path.rfind('/') + 1);
    auto it = blobs_.find(digest);
    return it == blobs_.end() ? ScriptedAnswer{404, "{}"} : ScriptedAnswer{200, it->second};
  }

  std::map<std::string, std::string> blobs_;
  std::string manifest_;
  ScriptedHttpServer server_;
};

// The artifact a scripted registry holds: manifest.json only.
std::pair<std::map<std::string, std::string>, std::string> artifact(std::string const& manifestJson,
                                                                     std::string const& servedBytes) {
  std::string digest = "sha256:" + sha256Hex(manifestJson);
  std::string image = daMakeOciManifest({{"manifest.json", daOciLayer{digest, manifestJson.size()}}});
  return {{{digest, servedBytes}}, image};
}

// A scripted registry taking one upload in parts; tamper: 0 answers
// honestly, 1 says it holds a byte less than was sent, 2 sends the next
// part to another server.
class PartsRegistry {
 public:
  explicit PartsRegistry(int tamper)
      : tamper_(tamper), server_([this](ScriptedRequest const& r) { return answer(r); }) {}
  std::string url() const { return "oci://" + server_.url().substr(7) + "/gx/policy:prod"; }
  std::vector<ScriptedRequest> requests() { return server_.requests(); }

 private:
  ScriptedAnswer answer(ScriptedRequest const& r) {
    std::string const uploads = "/v2/gx/policy/blobs/uploads/";
    if (r.method == "POST" && r.path == uploads) return {202, "", {"Location: " + uploads + "u1?state=0"}};
    if (r.method == "PATCH" && r.path.rfind(uploads + "u1", 0) == 0) {
      held_ += r.body.size();
      std::string next = (tamper_ == 2 ? "http://127.0.0.2:1" : "") + uploads + "u1?state=" + std::to_string(held_);
      return {202, "", {"Location: " + next, "Range: 0-" + std::to_string(held_ - (tamper_ == 1 ? 2 : 1))}};
    }
    if (r.method == "PUT" && r.path.rfind(uploads + "u1", 0) == 0) return {201, ""};
    return {404, ""};
  }
  int tamper_;
  size_t held_ = 0;  // the server's thread alone
  ScriptedHttpServer server_;
};

// A blob larger than a part goes up as PATCHes whose ranges follow one
// another, then a PUT naming its digest; a registry that holds less than
// was sent, or sends the next part to another server, fails the upload.
TEST(OciPush, ABlobLargerThanAPartGoesUpInPartsThatFollowOneAnother) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; i < 10000; ++i) bytes += static_cast<char>('a' + i * 7 % 26);
  gxtest::writeFile(dir.file("blob"), bytes);
  daObjectStoreOptions o;
  o.ociChunkBytes = 4096;
  for (int tamper : {0, 1, 2}) {
    PartsRegistry registry(tamper);
    daOciLocation where;
    std::string why;
    unsigned long st = 0;
    daParseOciUrl(registry.url(), true, where, why, st);
    ASSERT_EQ(st, 0u) << why;
    auto target = daMakeOciTarget(registry.url(), where, {}, o);
    st = target->putFile("snapshots/1.gxdb.zst", dir.file("blob"));
    if (tamper != 0) {
      EXPECT_EQ(st, da_s_snapshot_http_error) << tamper;
      EXPECT_NE(target->lastError().find("refused"), std::string::npos) << target->lastError();
      continue;
    }
    ASSERT_EQ(st, 0u) << target->lastError();
    std::string held, put;
    std::vector<std::string> ranges;
    for (ScriptedRequest const& r : registry.requests()) {
      if (r.method == "PATCH") ranges.push_back(r.headers.at("content-range"));
      if (r.method == "PATCH") held += r.body;
      if (r.method == "PUT") put = r.path;
    }
    EXPECT_EQ(ranges, (std::vector<std::string>{"0-4095", "4096-8191", "8192-9999"}));
    EXPECT_EQ(held, bytes);
    EXPECT_NE(put.find("u1?state=10000&digest=sha256:" + sha256Hex(bytes)), std::string::npos) << put;
  }
}

// What a hostile registry can answer: another artifact type, a manifest
// blob that is not what the digest says, a token realm on another scheme
// than the registry's -- each refused.
TEST(OciToken, HostileRegistryAnswersAreRefused) {
  daSnapshotManifest m;
  m.sequence = 7;
  m.file = "snapshots/7.gxdb.zst";
  m.sha256 = m.rawSha256 = std::string(64, 'a');
  std::string text = daSnapshotManifestToJson(m);
  std::string lastError;
  auto poll = [&](TokenRegistry& registry) {
    daHttpReplicatedClient client(registry.url(), replicaOptions("gx", "pw"));
    unsigned long seq = 0, st = 0;
    client.getMasterSeqNum(seq, st);
    lastError = client.lastError();
    return st;
  };
  {
    auto [blobs, image] = artifact(text, text + " ");
    TokenRegistry swapped(blobs, image);
    EXPECT_EQ(poll(swapped), da_s_snapshot_bad_manifest);
  }
  {
    auto [blobs, image] = artifact(text, text);
    std::string other = image;
    other.replace(other.find(kOciArtifactType), std::string(kOciArtifactType).size(), "application/vnd.other");
    other.replace(other.find(kOciArtifactType), std::string(kOciArtifactType).size(), "application/vnd.other");
    TokenRegistry foreign(blobs, other);
    EXPECT_EQ(poll(foreign), da_s_snapshot_bad_manifest);
  }
  {
    auto [blobs, image] = artifact(text, text);
    TokenRegistry elsewhere(blobs, image);
    elsewhere.realm = "ftp://127.0.0.1/token";
    EXPECT_EQ(poll(elsewhere), da_s_oci_unauthorized);
    EXPECT_NE(lastError.find("token service"), std::string::npos) << lastError;
  }
  unsigned long st = 0;
  std::map<std::string, daOciLayer> layers;
  for (std::string bad : std::vector<std::string>{"", "[]", R"({"layers":[]})",
                          R"({"artifactType":"application/vnd.gxcore.policy.publish.v1","layers":[{"digest":"sha256:00",)"
                          R"("size":1,"annotations":{"org.opencontainers.image.title":"manifest.json"}}]})",
                          R"({"artifactType":"application/vnd.gxcore.policy.publish.v1","layers":[{"digest":"sha256:)" +
                              std::string(64, '0') +
                              R"(","size":1,"annotations":{"org.opencontainers.image.title":"../etc/passwd"}}]})"}) {
    daParseOciManifest(bad, layers, st);
    EXPECT_EQ(st, da_s_snapshot_bad_manifest) << bad;
  }
}

TEST(OciLocation, UrlsAreParsedAndInvalidOnesRefused) {
  daOciLocation w;
  std::string why;
  unsigned long st = 0;
  daParseOciUrl("oci://registry.example.com:5000/team/policy:v1", false, w, why, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(w.apiBase(), "https://registry.example.com:5000/v2/team/policy");
  EXPECT_EQ(w.tag, "v1");
  daParseOciUrl("oci://localhost/policy", true, w, why, st);
  EXPECT_EQ(w.apiBase(), "http://localhost/v2/policy");
  EXPECT_EQ(w.tag, "latest");
  for (std::string bad : {"oci://", "oci://host", "oci://host/", "oci://host/Policy", "oci://host/a//b",
                          "oci://host/a/../b", "oci://host/policy:bad/tag", "oci://user@host/p", "https://host/p"}) {
    daParseOciUrl(bad, false, w, why, st);
    EXPECT_EQ(st, da_s_oci_bad_location) << bad;
  }
}

}  // namespace
