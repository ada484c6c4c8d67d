// OCI registries as a place snapshots are published to and replicated
// from: oci://registry[:port]/repository:tag names one artifact, an OCI
// image manifest whose artifact type is kOciArtifactType and whose layers
// are the files of a published folder (manifest.json, snapshots/...,
// signatures/...), each a blob named by its annotation
// "org.opencontainers.image.title". A publish pushes the blobs that are new
// (monolithic upload: POST, then PUT with the digest) and then the image
// manifest under the tag, so moving the tag is the one step that switches
// replicas to the new publish; a replica fetches the image manifest by tag
// (If-None-Match with its ETag, so an unchanged tag costs a 304) and every
// file as a blob by digest, checked against that digest.
//
// Authentication is what the registry asks for: a 401 with
// "WWW-Authenticate: Basic" is answered with the credentials, one with
// "Bearer realm=...,service=...,scope=..." by a token request to the realm
// (with the credentials as Basic, when there are any) and a retry with the
// token. Credentials come from the options, else GXCORE_OCI_USERNAME and
// GXCORE_OCI_PASSWORD; they are never part of a message.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The oci:// URL is malformed, or the registry's answer is not an artifact
// of this kind (da_s_snapshot_bad_manifest is used for a damaged one).
constexpr unsigned long da_s_oci_bad_location = 0x1460104A;
// The registry refused the credentials, or its token service gave no token.
constexpr unsigned long da_s_oci_unauthorized = 0x1460104B;

constexpr char const* kOciArtifactType = "application/vnd.gxcore.policy.publish.v1";
constexpr char const* kOciManifestType = "application/vnd.oci.image.manifest.v1+json";
constexpr char const* kOciLayerType = "application/vnd.gxcore.policy.file.v1";

struct daOciLocation {
  std::string registry;    // scheme://host[:port]
  std::string repository;  // path components, lower case
  std::string tag;
  // registry/v2/repository
  std::string apiBase() const { return registry + "/v2/" + repository; }
};

// True when url starts with "oci://".
bool daIsOciUrl(std::string const& url);

// Parses "oci://host[:port]/repository[:tag]" (tag default "latest") into
// where, with https, or http when plainHttp. status 0; da_s_oci_bad_location
// with why (not oci://, no repository, a repository or tag the distribution
// API does not allow).
void daParseOciUrl(std::string const& url, bool plainHttp, daOciLocation& where, std::string& why,
                   unsigned long& status);

struct daOciCredentials {
  std::string username, password;
  bool empty() const { return username.empty(); }
};
// The credentials given, else from GXCORE_OCI_USERNAME / GXCORE_OCI_PASSWORD.
daOciCredentials daOciCredentialsOr(daOciCredentials given);

// A WWW-Authenticate challenge.
struct daOciChallenge {
  std::string scheme;  // "basic" or "bearer" (lower case); "" when none could be read
  std::string realm, service, scope;
};
daOciChallenge daParseChallenge(std::string const& header);

// Asks the token service of challenge (bearer) for a token, with
// credentials as Basic when not empty. realm must be https when secure
// (an https registry), else http or https. Answers are capped at 64 KiB.
// status 0 with token; da_s_oci_unauthorized (refused, or no token in the
// answer) or da_s_snapshot_unreachable with why.
void daOciFetchToken(daOciChallenge const& challenge, daOciCredentials const& credentials, bool secure,
                     std::string const& caFile, bool verifyTls, long timeoutMs, std::string& token, std::string& why,
                     unsigned long& status);

// One file of a published artifact.
struct daOciLayer {
  std::string digest;  // "sha256:<64 hex>"
  uint64_t size = 0;
};
// Reads an image manifest of this kind: the layers by title. status 0;
// da_s_snapshot_bad_manifest (not JSON, another artifact type, a layer
// without a sha256 digest or a safe title).
void daParseOciManifest(std::string const& text, std::map<std::string, daOciLayer>& layers, unsigned long& status);
// The image manifest for the files (title -> layer).
std::string daMakeOciManifest(std::map<std::string, daOciLayer> const& layers);
