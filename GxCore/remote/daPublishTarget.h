// Where a publish lands when it is not a local folder: a store of named
// objects (S3-compatible object storage today) that a folder written by
// daPublishSnapshot is copied to, so that the manifest, delta and signature
// logic exists once. The publisher writes into a local staging folder
// first; daUploadPublished then puts what is new, the manifest last, and
// removes what the folder no longer holds, so a replica reading the store
// sees the old manifest or the new one, and every file the manifest it
// read names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <vector>

#include "GxCore/remote/daOci.h"
#include "GxCore/remote/daS3.h"

// One object store. Used by one thread at a time.
class daPublishTarget {
 public:
  virtual ~daPublishTarget() = default;
  // Stores the local file at path as name ("manifest.json",
  // "snapshots/3.gxdb.zst"; relative to the target's folder), replacing an
  // object of that name. 0, hx_db_s_open_failed (the file cannot be read),
  // da_s_snapshot_unreachable, da_s_snapshot_http_error, da_s_snapshot_tls,
  // da_s_s3_no_credentials; lastError() says more.
  virtual unsigned long putFile(std::string const& name, std::string const& path) = 0;
  // Removes the object name; one that is not there is not a failure.
  // 0 or a status as putFile's.
  virtual unsigned long remove(std::string const& name) = 0;
  // Called once every file is put, with every name the folder holds (the
  // manifest's and older ones still kept) and the folder: a target that
  // publishes them as one unit (an OCI tag) does so here. 0 or a status.
  virtual unsigned long finish(std::string const& stage, std::vector<std::string> const& names) {
    (void)stage;
    (void)names;
    return 0;
  }
  virtual std::string const& lastError() const = 0;
  // The target as the user named it (s3://bucket/prefix).
  virtual std::string const& describe() const = 0;
};

// How an object-store client talks to its server.
struct daObjectStoreOptions {
  long connectTimeoutMs = 10000;
  long requestTimeoutMs = 600000;     // for one request (a snapshot upload included)
  long metadataTimeoutMs = 2000;      // for finding credentials through instance metadata
  bool verifyTls = true;
  std::string caFile;                 // CA bundle ("" = the system's)
  // An OCI blob larger than this goes up in parts of this many bytes, one
  // request each (a registry behind a proxy that limits a request's body,
  // or a slow link against requestTimeoutMs); 0: every blob in one request.
  std::uint64_t ociChunkBytes = std::uint64_t{16} << 20;
};

// A target for where (daParseOciUrl): putFile pushes a blob (unless the
// registry has it; in parts when it is larger than options.ociChunkBytes,
// each answer checked to hold every byte sent so far), finish pushes the image manifest under the tag, remove
// does nothing (the registry collects blobs no tag names). credentials as
// daOciCredentialsOr. Never null.
std::unique_ptr<daPublishTarget> daMakeOciTarget(std::string url, daOciLocation where, daOciCredentials credentials,
                                                 daObjectStoreOptions options);

// A target for where (daParseS3Url). Credentials are found (daS3.h) at the
// first request. Never null.
std::unique_ptr<daPublishTarget> daMakeS3Target(std::string url, daS3Location where, daObjectStoreOptions options);

// What daUploadPublished did.
struct daUploadReport {
  unsigned uploaded = 0;   // objects put
  unsigned removed = 0;    // objects removed
  uint64_t bytes = 0;      // bytes put
};

// Makes target hold what the staging folder stage holds: every file under
// stage/snapshots and stage/signatures that is not at the target yet (or
// changed), then stage/manifest.json, then removes the objects that were
// uploaded before and are no longer in stage. What the target holds is
// remembered in stage/.uploaded.json (name and SHA-256 of each object put),
// so an unchanged file is not put again; finish is called before anything is removed; a record that is lost or wrong
// costs uploads, never a missing object. Dot files are never uploaded.
// status 0; the first failure of putFile or remove (the manifest is not put
// when a file it may name failed; a failed removal leaves an orphan object
// and is reported); hx_db_s_io_error when stage cannot be read.
void daUploadPublished(std::string const& stage, daPublishTarget& target, daUploadReport& report,
                       unsigned long& status);
