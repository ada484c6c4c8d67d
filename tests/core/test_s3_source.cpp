// Snapshots in S3-compatible object storage: published through a staging
// folder to a real S3-compatible server started on loopback (s3rver, from
// the npm registry; it checks access key ids but not Version 4 signatures),
// replicated from s3://bucket/prefix with conditional GETs. The request
// signing libcurl does is checked separately, request by request, against
// a reference signer pinned by the published AWS Signature Version 4
// vectors; credentials come from the environment, a credentials file and a
// fake instance metadata service.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/remote/daPublishTarget.h"
#include "GxCore/remote/daS3.h"
#include "GxCore/remote/daSnapshot.h"
#include "loopback.h"
#include "scripted_http.h"
#include "daemon_process.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using gxtest::ScriptedAnswer;
using gxtest::ScriptedHttpServer;
using gxtest::ScriptedRequest;
using gxtest::TempDir;

// Sets (or, with nullopt, unsets) environment variables for a scope.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<char const*, std::optional<std::string>>> vars) {
    for (auto const& [name, value] : vars) {
      char const* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      if (value) ::setenv(name, value->c_str(), 1);
      else ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    for (auto const& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// No credentials anywhere but where a test puts them.
ScopedEnv noAwsEnvironment(std::string const& home) {
  return ScopedEnv{{"AWS_ACCESS_KEY_ID", std::nullopt},       {"AWS_SECRET_ACCESS_KEY", std::nullopt},
                   {"AWS_SESSION_TOKEN", std::nullopt},       {"AWS_SHARED_CREDENTIALS_FILE", std::nullopt},
                   {"AWS_PROFILE", std::nullopt},             {"HOME", home},
                   {"AWS_EC2_METADATA_DISABLED", "true"},     {"AWS_EC2_METADATA_SERVICE_ENDPOINT", std::nullopt},
                   {"AWS_ENDPOINT_URL", std::nullopt},        {"AWS_ENDPOINT_URL_S3", std::nullopt},
                   {"AWS_REGION", std::nullopt},              {"AWS_DEFAULT_REGION", std::nullopt}};
}

// ---- a reference Version 4 signer, pinned by the published vectors ---------------------------

std::string hex(std::string const& bytes) {
  static char const* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}
std::string sha256Hex(std::string const& data) {
  daSha256 h;
  h.update(data.data(), data.size());
  return h.finish();
}
std::string sha256Raw(std::string const& data) {
  std::string h = sha256Hex(data), out;
  for (size_t i = 0; i < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}
// HMAC-SHA256 (RFC 2104), written out: keys here are shorter than a block.
std::string hmac(std::string const& key, std::string const& data) {
  std::string k = key.size() > 64 ? sha256Raw(key) : key;
  k.resize(64, '\0');
  std::string inner(64, '\0'), outer(64, '\0');
  for (size_t i = 0; i < 64; ++i) {
    inner[i] = static_cast<char>(k[i] ^ 0x36);
    outer[i] = static_cast<char>(k[i] ^ 0x5c);
  }
  return sha256Raw(outer + sha256Raw(inner + data));
}

struct SigningInput {
  std::string accessKey, secret, region, service, method, path, query;
  std::map<std::string, std::string> headers;  // every signed header, lower-case names
  std::string payloadSha256;
};
// The signature from the canonical request, the string to sign and the
// derived key, as the Version 4 process defines them.
std::string referenceSignature(SigningInput const& in) {
  std::string canonicalHeaders, signedHeaders;
  for (auto const& [name, value] : in.headers) {
    canonicalHeaders += name + ":" + value + "\n";
    signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
  }
  std::string canonical = in.method + "\n" + in.path + "\n" + in.query + "\n" + canonicalHeaders + "\n" +
                          signedHeaders + "\n" + in.payloadSha256;
  std::string date = in.headers.at("x-amz-date");
  std::string scope = date.substr(0, 8) + "/" + in.region + "/" + in.service + "/aws4_request";
  std::string toSign = "AWS4-HMAC-SHA256\n" + date + "\n" + scope + "\n" + sha256Hex(canonical);
  std::string key = "AWS4" + in.secret;
  for (auto const& part : {date.substr(0, 8), in.region, in.service, std::string("aws4_request")}) key = hmac(key, part);
  return hex(hmac(key, toSign));
}

std::vector<std::string> split(std::string const& s, char sep) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, sep);) out.push_back(part);
  if (!s.empty() && s.back() == sep) out.push_back("");
  return out;
}

TEST(S3Signing, ReferenceSignerReproducesThePublishedVectors) {
  std::ifstream in(std::string(GXCORE_SOURCE_DIR) + "/tests/data/sigv4_vectors.txt");
  ASSERT_TRUE(in);
  int checked = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    auto f = split(line, '|');
    ASSERT_EQ(f.size(), 11u) << line;
    SigningInput s{f[1], f[2], f[3], f[4], f[5], f[6], f[7], {}, f[9]};
    for (auto const& h : split(f[8], ';')) s.headers[h.substr(0, h.find(':'))] = h.substr(h.find(':') + 1);
    EXPECT_EQ(referenceSignature(s), f[10]) << f[0];
    ++checked;
  }
  EXPECT_EQ(checked, 4);
}

// libcurl signs what the replica client sends to an s3:// master: each
// captured request's signature is the reference signer's over the headers
// it names, with the session token signed too and the secret never sent.
TEST(S3Signing, RequestsTheClientSendsCarryTheReferenceSignature) {
  TempDir home;
  auto clean = noAwsEnvironment(home.path().string());
  ScopedEnv creds{{"AWS_ACCESS_KEY_ID", "AKIDEXAMPLE"},
                  {"AWS_SECRET_ACCESS_KEY", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY"},
                  {"AWS_SESSION_TOKEN", "session-token-example"}};
  ScriptedHttpServer server([](ScriptedRequest const&) { return ScriptedAnswer{404, "<Error><Code>NoSuchKey</Code></Error>"}; });
  daHttpReplicaOptions o;
  o.s3Endpoint = server.url();
  o.s3Region = "eu-west-3";
  o.retries = 0;
  daHttpReplicatedClient client("s3://policy-bucket/prod/east", o);
  unsigned long seq = 0, st = 0;
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_http_error);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  auto const& r = requests[0];
  EXPECT_EQ(r.path, "/policy-bucket/prod/east/manifest.json");
  std::string auth = r.headers.at("authorization");
  EXPECT_EQ(auth.find("wJalrXUtnFEMI"), std::string::npos);
  EXPECT_EQ(r.raw.find("wJalrXUtnFEMI"), std::string::npos);
  std::string credential = auth.substr(auth.find("Credential=") + 11);
  credential = credential.substr(0, credential.find(','));
  EXPECT_EQ(credential, "AKIDEXAMPLE/" + r.headers.at("x-amz-date").substr(0, 8) + "/eu-west-3/s3/aws4_request");
  std::string signedList = auth.substr(auth.find("SignedHeaders=") + 14);
  signedList = signedList.substr(0, signedList.find(','));
  EXPECT_NE(signedList.find("x-amz-security-token"), std::string::npos) << signedList;
  EXPECT_NE(signedList.find("x-amz-content-sha256"), std::string::npos) << signedList;
  SigningInput s{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "eu-west-3", "s3", r.method, r.path, "",
                 {}, r.headers.at("x-amz-content-sha256")};
  for (auto const& name : split(signedList, ';')) s.headers[name] = r.headers.at(name);
  EXPECT_EQ(auth.substr(auth.find("Signature=") + 10), referenceSignature(s));
}

// ---- credentials -----------------------------------------------------------------------------

TEST(S3Credentials, EnvironmentThenCredentialsFileThenInstanceMetadata) {
  TempDir home;
  auto clean = noAwsEnvironment(home.path().string());
  daAwsCredentials c;
  std::string why;
  unsigned long st = 0;
  daResolveAwsCredentials(500, c, why, st);
  EXPECT_EQ(st, da_s_s3_no_credentials);
  EXPECT_NE(why.find("profile 'default'"), std::string::npos) << why;

  fs::create_directories(home.path() / ".aws");
  gxtest::writeFile((home.path() / ".aws/credentials").string(),
                    "[default]\naws_access_key_id = FILEKEY\naws_secret_access_key = FILESECRET\n"
                    "[ops]\naws_access_key_id=OPSKEY\naws_secret_access_key=OPSSECRET\naws_session_token=OPSTOKEN\n");
  daResolveAwsCredentials(500, c, why, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(c.accessKeyId, "FILEKEY");
  {
    ScopedEnv profile{{"AWS_PROFILE", "ops"}};
    daResolveAwsCredentials(500, c, why, st);
    EXPECT_EQ(c.accessKeyId, "OPSKEY");
    EXPECT_EQ(c.sessionToken, "OPSTOKEN");
  }
  {
    ScopedEnv fromEnv{{"AWS_ACCESS_KEY_ID", "ENVKEY"}, {"AWS_SECRET_ACCESS_KEY", "ENVSECRET"}};
    daResolveAwsCredentials(500, c, why, st);
    EXPECT_EQ(c.accessKeyId, "ENVKEY");
    EXPECT_EQ(c.source, "environment");
  }
}

// Version 2 of the metadata service: a token first, then the role and its
// credentials, each asked with the token (the fake refuses requests
// without it, as the real one does once v1 is switched off).
TEST(S3Credentials, InstanceMetadataV2IsAskedWithASessionToken) {
  TempDir home;
  auto clean = noAwsEnvironment(home.path().string());
  ScriptedHttpServer metadata([](ScriptedRequest const& r) -> ScriptedAnswer {
    if (r.method == "PUT" && r.path == "/latest/api/token")
      return r.headers.count("x-aws-ec2-metadata-token-ttl-seconds") ? ScriptedAnswer{200, "tok-123"}
                                                                     : ScriptedAnswer{400, ""};
    if (!r.headers.count("x-aws-ec2-metadata-token") || r.headers.at("x-aws-ec2-metadata-token") != "tok-123")
      return {401, ""};
    if (r.path == "/latest/meta-data/iam/security-credentials/") return {200, "gx-replica-role\n"};
    if (r.path == "/latest/meta-data/iam/security-credentials/gx-replica-role")
      return {200, R"({"Code":"Success","AccessKeyId":"ASIAMETA","SecretAccessKey":"metasecret",)"
                   R"("Token":"metatoken","Expiration":"2031-01-02T03:04:05Z"})"};
    return {404, ""};
  });
  ScopedEnv imds{{"AWS_EC2_METADATA_DISABLED", std::nullopt}, {"AWS_EC2_METADATA_SERVICE_ENDPOINT", metadata.url()}};
  daAwsCredentials c;
  std::string why;
  unsigned long st = 0;
  daResolveAwsCredentials(2000, c, why, st);
  ASSERT_EQ(st, 0u) << why;
  EXPECT_EQ(c.accessKeyId, "ASIAMETA");
  EXPECT_EQ(c.sessionToken, "metatoken");
  EXPECT_EQ(std::chrono::system_clock::to_time_t(c.expires), 1925089445);
  EXPECT_EQ(metadata.requests().size(), 3u);
}

// A metadata endpoint that is silent, or answers garbage, costs its
// time-out and gives no credentials.
TEST(S3Credentials, SilentOrLyingMetadataServiceGivesNoCredentials) {
  TempDir home;
  auto clean = noAwsEnvironment(home.path().string());
  gxtest::SilentServer silent;
  ScriptedHttpServer liar([](ScriptedRequest const& r) -> ScriptedAnswer {
    if (r.method == "PUT") return {200, "tok"};
    if (r.path.back() == '/') return {200, "../../etc\n"};
    return {200, std::string(100000, '{')};
  });
  for (std::string endpoint : {silent.url("http"), liar.url()}) {
    ScopedEnv imds{{"AWS_EC2_METADATA_DISABLED", std::nullopt}, {"AWS_EC2_METADATA_SERVICE_ENDPOINT", endpoint}};
    daAwsCredentials c;
    std::string why;
    unsigned long st = 0;
    auto start = std::chrono::steady_clock::now();
    daResolveAwsCredentials(800, c, why, st);
    EXPECT_EQ(st, da_s_s3_no_credentials) << endpoint;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(c.valid());
  }
}

TEST(S3Location, UrlsAreParsedAndUnsafeOnesRefused) {
  TempDir home;
  auto clean = noAwsEnvironment(home.path().string());
  daS3Location w;
  std::string why;
  unsigned long st = 0;
  daParseS3Url("s3://policy/prod/east/", "", "", w, why, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(w.baseUrl(), "https://s3.us-east-1.amazonaws.com/policy/prod/east");
  daParseS3Url("s3://policy", "http://127.0.0.1:9000/", "eu-west-3", w, why, st);
  EXPECT_EQ(w.baseUrl(), "http://127.0.0.1:9000/policy");
  EXPECT_EQ(w.region, "eu-west-3");
  for (std::string bad : {"s3://", "s3://ab", "s3://Policy/x", "s3://policy/../etc", "s3://policy/a//b",
                          "s3://policy/a?b", "https://policy/x"}) {
    daParseS3Url(bad, "", "", w, why, st);
    EXPECT_EQ(st, da_s_s3_bad_location) << bad;
  }
  daParseS3Url("s3://policy/x", "file:///etc", "", w, why, st);
  EXPECT_EQ(st, da_s_s3_bad_location);
}

// ---- against a real S3-compatible server -----------------------------------------------------

// s3rver on a loopback port with the bucket "policy".
class S3Server {
 public:
  S3Server() {
    std::string script = std::getenv("GXCORE_S3RVER") ? std::getenv("GXCORE_S3RVER")
                                                       : "/opt/gxcore-s3rver/node_modules/s3rver/bin/s3rver.js";
    if (::access(script.c_str(), R_OK) != 0 || ::access("/usr/bin/node", X_OK) != 0) {
      error_ = script + " or node is missing: run scripts/setup";
      return;
    }
    port_ = gxtest::freeLoopbackPort();
    std::string data = dir_.file("data"), port = std::to_string(port_);
    if (!server_.start({"/usr/bin/node", script, "-d", data, "-a", "127.0.0.1", "-p", port, "-s", "--configure-bucket",
                        "policy"},
                       dir_.file("s3rver.log"), std::chrono::seconds(10),
                       [this] { return gxtest::acceptsConnections(port_); }))
      error_ = "s3rver did not start: " + gxtest::readFile(dir_.file("s3rver.log"));
  }
  bool running() { return !server_.exited(); }
  std::string const& error() const { return error_; }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Whether the server holds the object bucket/name (s3rver's file layout).
  bool holds(std::string const& name) const { return fs::exists(dir_.file("data") + "/policy/" + name + "._S3rver_object"); }

 private:
  TempDir dir_;
  int port_ = -1;
  gxtest::DaemonProcess server_;
  std::string error_;
};

class S3Replica : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running()) << server_.error();
    master_ = dir_.file("master.db");
    stage_ = dir_.file("stage");
    gxtest::makePolicyDb(master_, {"m0", "m1"}, daLocalPolicy::minimumDatabaseVersion, "hr");
    daS3Location where;
    std::string why;
    unsigned long st = 0;
    daParseS3Url(kUrl, server_.endpoint(), "", where, why, st);
    ASSERT_EQ(st, 0u) << why;
    target_ = daMakeS3Target(kUrl, where, {});
  }
  // Publishes the master into the staging folder and uploads it.
  daUploadReport publish(unsigned keep = 3) {
    daSnapshotPublishResult result;
    unsigned long st = 0;
    daPublishSnapshot(master_.c_str(), stage_.c_str(), "hr", keep, result, st);
    EXPECT_TRUE(st == 0 || st == da_s_snapshot_unchanged) << st;
    published_ = result.manifest;
    daUploadReport report;
    daUploadPublished(stage_, *target_, report, st);
    EXPECT_EQ(st, 0u) << target_->lastError();
    return report;
  }
  daHttpReplicaOptions options() const {
    daHttpReplicaOptions o;
    o.s3Endpoint = server_.endpoint();
    o.domain = "hr";
    o.retries = 0;
    o.totalTimeoutMs = 10000;
    return o;
  }

  static constexpr char const* kUrl = "s3://policy/prod/east";
  TempDir home_;
  ScopedEnv env_ = noAwsEnvironment(home_.path().string());
  ScopedEnv creds_{{"AWS_ACCESS_KEY_ID", "S3RVER"}, {"AWS_SECRET_ACCESS_KEY", "S3RVER"}};
  S3Server server_;
  TempDir dir_;
  std::string master_, stage_;
  std::unique_ptr<daPublishTarget> target_;
  daSnapshotManifest published_;
};

// A replica is built from the bucket, an unchanged manifest costs a 304,
// a change arrives as a delta, and what the staging folder dropped leaves
// the bucket only after the new manifest is up.
TEST_F(S3Replica, PublishedToTheBucketAndReplicatedByDeltaWithConditionalGets) {
  daUploadReport first = publish(1);
  EXPECT_EQ(first.uploaded, 2u);  // the snapshot, then the manifest
  EXPECT_EQ(publish(1).uploaded, 0u);  // nothing new: nothing put again

  daHttpReplicatedClient client(kUrl, options());
  unsigned long seq = daLocalStore::invalidSeqnum, st = 0;
  std::string replica = dir_.file("replica.db");
  client.replicateTo(seq, replica.c_str(), st);
  ASSERT_EQ(st, 0u) << client.lastError();
  EXPECT_TRUE(fs::exists(replica));
  uint64_t fetched = client.bytesFetched();
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(seq, published_.sequence);
  EXPECT_EQ(client.bytesFetched(), fetched);  // 304: no body

  std::string firstSnapshot = published_.file;
  gxtest::addAcls(master_, {"m2"}, "hr");
  daUploadReport second = publish(1);
  EXPECT_EQ(second.removed, 1u);
  EXPECT_FALSE(server_.holds("prod/east/" + firstSnapshot));
  EXPECT_TRUE(server_.holds("prod/east/" + published_.file));
  ASSERT_FALSE(published_.deltas.empty());
  std::string delta;
  client.getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(seq, published_.sequence);
  client.fetchPublished(published_.deltas.back().file, published_.deltas.back().size, published_.deltas.back().sha256,
                        delta, st);
  EXPECT_EQ(st, 0u) << client.lastError();
}

// Wrong or missing credentials are refused by the server or found missing
// before a request; neither is retried as if the server were down.
TEST_F(S3Replica, UnknownAccessKeyOrNoCredentialsAreReported) {
  publish();
  {
    ScopedEnv wrong{{"AWS_ACCESS_KEY_ID", "NOBODY"}};
    daHttpReplicatedClient client(kUrl, options());
    unsigned long seq = 0, st = 0;
    client.getMasterSeqNum(seq, st);
    EXPECT_EQ(st, da_s_snapshot_http_error);
    EXPECT_NE(client.lastError().find("403"), std::string::npos) << client.lastError();
  }
  ScopedEnv none{{"AWS_ACCESS_KEY_ID", std::nullopt}, {"AWS_SECRET_ACCESS_KEY", std::nullopt}};
  daHttpReplicatedClient client(kUrl, options());
  unsigned long seq = 0, st = 0;
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_s3_no_credentials);
  EXPECT_NE(client.lastError().find("AWS_ACCESS_KEY_ID"), std::string::npos);
}

}  // namespace
