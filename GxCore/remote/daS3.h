// S3-compatible object storage as a place snapshots are published to and
// replicated from: s3://bucket/prefix names the folder `gxpolicy publish`
// would write, as objects "prefix/manifest.json", "prefix/snapshots/...".
//
// Requests are path-style (ENDPOINT/bucket/prefix/name), so any
// S3-compatible server works; the endpoint is AWS's regional one unless
// given. They are signed with AWS Signature Version 4 by libcurl
// (CURLOPT_AWS_SIGV4, service "s3"), with the payload's SHA-256 in
// x-amz-content-sha256 and a session token, when there is one, in
// x-amz-security-token.
//
// Credentials come from, in this order: the environment
// (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN); the
// shared credentials file (AWS_SHARED_CREDENTIALS_FILE, else
// ~/.aws/credentials; the profile AWS_PROFILE, else "default"); the
// instance metadata service, version 2 (a PUT for a session token, then the
// role's credentials; its address is http://169.254.169.254 unless
// AWS_EC2_METADATA_SERVICE_ENDPOINT names another). Credentials never
// appear in an error text.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The s3:// URL is malformed, or no credentials could be found.
constexpr unsigned long da_s_s3_bad_location = 0x14601048;
constexpr unsigned long da_s_s3_no_credentials = 0x14601049;

// Where the objects are.
struct daS3Location {
  std::string bucket;    // the bucket
  std::string prefix;    // the folder inside it, without leading or trailing slashes ("" = the bucket's root)
  std::string endpoint;  // scheme://host[:port] of the server, no trailing slash
  std::string region;    // the signing region
  // ENDPOINT/bucket[/prefix] (path-style): the base URL of the published folder.
  std::string baseUrl() const;
};

// True when url starts with "s3://".
bool daIsS3Url(std::string const& url);

// Parses "s3://bucket[/prefix]" into where. endpoint: the server ("" = the
// environment's AWS_ENDPOINT_URL_S3 or AWS_ENDPOINT_URL, else
// https://s3.REGION.amazonaws.com); region: "" = AWS_REGION or
// AWS_DEFAULT_REGION, else "us-east-1". status 0; da_s_s3_bad_location (not
// s3://, an empty or invalid bucket name, a prefix with "." or ".."
// segments, an endpoint that is not http:// or https://) with why filled.
void daParseS3Url(std::string const& url, std::string const& endpoint, std::string const& region,
                  daS3Location& where, std::string& why, unsigned long& status);

struct daAwsCredentials {
  std::string accessKeyId, secretAccessKey, sessionToken;
  // When they stop working (instance metadata); max() for the others.
  std::chrono::system_clock::time_point expires = std::chrono::system_clock::time_point::max();
  // Where they came from ("environment", "credentials file PATH", "instance
  // metadata"): for messages; never the secret.
  std::string source;
  bool valid() const { return !accessKeyId.empty() && !secretAccessKey.empty(); }
};

// Finds credentials as above. metadataTimeoutMs bounds the whole
// instance-metadata exchange (its answers are capped at 64 KiB). status 0;
// da_s_s3_no_credentials with why saying where it looked. Thread-safe
// (reads the environment and files only).
void daResolveAwsCredentials(long metadataTimeoutMs, daAwsCredentials& credentials, std::string& why,
                             unsigned long& status);

// Signs the request on the libcurl handle curl (a CURL*, set up for the URL
// already) for service s3: sets CURLOPT_AWS_SIGV4 and the credentials, and
// appends "x-amz-content-sha256: payloadSha256" (the SHA-256 of the body,
// that of "" for a GET) and the session token to headers (a curl_slist**).
// Returns false when a header could not be added.
bool daS3SignRequest(void* curl, daAwsCredentials const& credentials, std::string const& region,
                     std::string const& payloadSha256, void* headers);
