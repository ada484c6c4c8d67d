// Signed manifests: a replica that trusts a publisher's public key accepts
// only the manifests that publisher signed, so that whoever controls the
// server the snapshots are fetched from cannot hand replicas a policy of
// their own.
//
// What is signed: the exact bytes of manifest.json. The manifest names the
// snapshot, the deltas and the registry with their sizes and SHA-256, so a
// valid signature over it covers every file a replica fetches.
//
// Where signatures live: beside the manifest, in a file named by the
// manifest's own digest,
//
//   DIR/signatures/<SHA-256 of manifest.json>.sig
//
// written before the manifest it signs is renamed into place, and kept as
// long as that manifest may still be read. Naming it by the digest means a
// reader never pairs a manifest with another manifest's signatures, however
// a publish interleaves with its two requests. The file is JSON:
//
//   {"manifestSha256": "<64 hex>",
//    "signatures": [{"keyId": "<16 hex>", "algorithm": "ed25519",
//                    "signature": "<base64 of 64 bytes>"}, ...]}
//
// with one entry per key the publisher signed with (several while keys are
// rotated). A key id is the first 16 hex digits of the SHA-256 of the raw
// 32-byte Ed25519 public key.
//
// Key files are PEM: the private key as PKCS#8 ("PRIVATE KEY", mode 0600),
// the public key as SubjectPublicKeyInfo ("PUBLIC KEY").
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The manifest carries no signature file, and the replica requires one.
constexpr unsigned long da_s_snapshot_unsigned = 0x14601040;
// No signature in the signature file is by a key the replica trusts.
constexpr unsigned long da_s_snapshot_unknown_key = 0x14601041;
// A signature by a trusted key does not verify, or the signature file is
// not valid (not JSON, too large, wrong digest, malformed entries).
constexpr unsigned long da_s_snapshot_bad_signature = 0x14601042;
// A key file cannot be read, is not PEM, or is not an Ed25519 key of the
// kind expected (private or public).
constexpr unsigned long da_s_key_bad = 0x14601043;
// A private key file can be read or written by users other than its owner.
constexpr unsigned long da_s_key_exposed = 0x14601044;

// A signature file larger than this is refused without being parsed.
constexpr size_t daMaxSignatureFileBytes = 64 * 1024;
// A signature file listing more entries than this is refused.
constexpr size_t daMaxSignatures = 16;

// The relative path of the signature file of the manifest with these bytes.
std::string daSignaturePathOf(std::string_view manifestBytes);

// An Ed25519 key (private, able to sign; or public only, able to verify).
// Immutable once loaded: may be shared between threads.
class daSigningKey {
 public:
  ~daSigningKey();
  daSigningKey(daSigningKey const&) = delete;
  daSigningKey& operator=(daSigningKey const&) = delete;

  // Makes a new private key. Null when OpenSSL cannot (status da_s_key_bad).
  static std::shared_ptr<daSigningKey> generate(unsigned long& status);
  // Loads the private key PEM at path. status 0; da_s_key_exposed when the
  // file holds a private key but is readable or writable by group or
  // others (the key is not used); da_s_key_bad (missing, not a regular
  // file, unreadable, not an Ed25519 private key). Null on failure.
  static std::shared_ptr<daSigningKey> loadPrivate(std::string const& path, unsigned long& status);
  // Loads the public key PEM at path (a private key file is refused: a
  // trust list names public keys only). status 0 or da_s_key_bad; null on
  // failure.
  static std::shared_ptr<daSigningKey> loadPublic(std::string const& path, unsigned long& status);

  bool isPrivate() const { return private_; }
  // The key id (16 lower-case hex digits).
  std::string const& keyId() const { return keyId_; }
  // PEM text of the private key (isPrivate() only; "" otherwise) and of the
  // public key.
  std::string privatePem() const;
  std::string publicPem() const;
  // The 64-byte Ed25519 signature of bytes; "" when not private or OpenSSL
  // fails.
  std::string sign(std::string_view bytes) const;
  // True when signature is a valid Ed25519 signature of bytes by this key.
  bool verify(std::string_view bytes, std::string_view signature) const;

 private:
  daSigningKey(struct evp_pkey_st* key, bool isPrivate);
  struct evp_pkey_st* key_;
  bool private_;
  std::string keyId_;
};

// Writes a new key pair: the private key to privatePath (created with mode
// 0600, O_EXCL: an existing file is never overwritten) and the public key
// to publicPath (0644, O_EXCL). status 0 with keyId filled; da_s_key_bad
// (OpenSSL failed); hx_db_s_io_error (a file exists or cannot be written;
// neither file is left behind).
void daGenerateKeyFiles(std::string const& privatePath, std::string const& publicPath, std::string& keyId,
                        unsigned long& status);

// The signature file (see above) for manifestBytes, signed by every key of
// signers (each must be private). "" when a key cannot sign.
std::string daSignManifest(std::string_view manifestBytes,
                           std::vector<std::shared_ptr<daSigningKey const>> const& signers);

// Checks signatureFile against manifestBytes and the trusted public keys.
// Accepted (status 0, signedBy the key id that verified) when at least one
// entry is by a trusted key and verifies; entries by other keys are passed
// over (a publisher signing with an old and a new key during a rotation).
// da_s_snapshot_bad_signature: the file is larger than
// daMaxSignatureFileBytes, not JSON of the shape above, names another
// manifest digest, lists more than daMaxSignatures entries, or a trusted
// key's signature does not verify (and none other does);
// da_s_snapshot_unknown_key: no entry is by a trusted key. why says which,
// in words, for a log line.
void daVerifyManifestSignature(std::string_view manifestBytes, std::string_view signatureFile,
                               std::vector<std::shared_ptr<daSigningKey const>> const& trusted,
                               std::string& signedBy, std::string& why, unsigned long& status);
