// Signed manifests: a replica that trusts a publisher's key takes only what
// that publisher signed. Snapshots are published with signers into a folder
// a throw-away nginx serves on loopback; every forgery an attacker holding
// the server can make is refused with the old policy still serving.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "published_master.h"

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using gxtest::hasAcl;
using gxtest::readFile;
using gxtest::TempDir;
using gxtest::writeFile;
using Keys = std::vector<std::shared_ptr<daSigningKey const>>;

std::shared_ptr<daSigningKey const> newKey() {
  unsigned long st = 0;
  auto key = daSigningKey::generate(st);
  EXPECT_EQ(st, 0u);
  return key;
}

class SignedReplica : public gxtest::PublishedMaster {
 protected:
  daHttpReplicaOptions trusting(Keys keys) {
    daHttpReplicaOptions o = gxtest::replicaOptions();
    o.retries = 0;
    for (auto const& k : keys) {
      // A replica holds public keys only: the trust list is loaded from the public PEM.
      std::string path = dir_.file(("trusted-" + k->keyId() + ".pub").c_str());
      writeFile(path, k->publicPem());
      unsigned long st = 0;
      o.trustedKeys.push_back(daSigningKey::loadPublic(path, st));
      EXPECT_EQ(st, 0u);
    }
    return o;
  }
  unsigned long publish(Keys signers) {
    daPublishOptions o;
    o.signers = std::move(signers);
    return PublishedMaster::publish(o);
  }
  void expectOldPolicy() {
    EXPECT_TRUE(hasAcl(*replica_, "m1"));
    EXPECT_FALSE(hasAcl(*replica_, "m2"));
  }
};

// Whoever holds the server can alter, re-sign, strip, swap and replay, and
// every such manifest is refused while the replica keeps its policy; the
// genuine signed manifest is then taken.
TEST_F(SignedReplica, ForgedManifestsAreRefusedAndTheOldPolicyKept) {
  auto publisher = newKey(), stranger = newKey();
  ASSERT_EQ(publish({publisher}), 0u);
  std::string oldManifest = readFile(www_ + "/manifest.json");
  std::string oldSignature = readFile(www_ + "/" + daSignaturePathOf(oldManifest));
  daHttpReplicatedClient client(server_->url(), trusting({publisher}));
  ASSERT_EQ(openReplica(client), 0u);
  EXPECT_EQ(client.manifestSignedBy(), publisher->keyId());

  gxtest::addAcls(master_, {"m2"}, "hr");
  ASSERT_EQ(publish({publisher}), 0u);
  std::string genuine = readFile(www_ + "/manifest.json");
  std::string genuineSignature = readFile(www_ + "/" + daSignaturePathOf(genuine));
  daSnapshotManifest m;
  unsigned long st = 0;
  daSnapshotManifestParse(genuine, m, st);
  ASSERT_EQ(st, 0u);

  // Altered after signing, the signature copied to the new name.
  daSnapshotManifest altered = m;
  altered.registrySha256 = std::string(64, 'a');
  altered.registryFile = "snapshots/registry-aaaaaaaaaaaaaaaa.json";
  std::string alteredText = daSnapshotManifestToJson(altered);
  writeFile(serveManifest(alteredText), genuineSignature);
  EXPECT_EQ(rebuild(), da_s_snapshot_bad_signature);
  // ... and with the signature file's digest rewritten to match.
  auto sig = nlohmann::json::parse(genuineSignature);
  sig["manifestSha256"] = daSignaturePathOf(alteredText).substr(11, 64);
  writeFile(serveManifest(alteredText), sig.dump());
  EXPECT_EQ(rebuild(), da_s_snapshot_bad_signature);
  EXPECT_NE(client.lastError().find("altered"), std::string::npos) << client.lastError();
  // Signed by a key the replica does not trust.
  writeFile(serveManifest(alteredText), daSignManifest(alteredText, {stranger}));
  EXPECT_EQ(rebuild(), da_s_snapshot_unknown_key);
  // No signature at all.
  serveManifest(alteredText + " ");
  EXPECT_EQ(rebuild(), da_s_snapshot_unsigned);
  expectOldPolicy();

  // The older signed manifest replayed: validly signed, but a rollback.
  serveManifest(genuine);
  ASSERT_EQ(rebuild(), 0u);
  EXPECT_TRUE(hasAcl(*replica_, "m2"));
  writeFile(serveManifest(oldManifest), oldSignature);
  EXPECT_EQ(rebuild(), daAbstractReplicatedClient::s_replica_rollback);
  EXPECT_TRUE(hasAcl(*replica_, "m2"));
}

// The snapshot swapped under a signed manifest: the manifest's digest, which
// the signature covers, no longer matches.
TEST_F(SignedReplica, SnapshotSwappedUnderASignedManifestIsRefused) {
  auto publisher = newKey();
  ASSERT_EQ(publish({publisher}), 0u);
  daHttpReplicatedClient client(server_->url(), trusting({publisher}));
  ASSERT_EQ(openReplica(client), 0u);
  std::string before = readFile(www_ + "/manifest.json");
  daSnapshotManifest first;
  unsigned long st = 0;
  daSnapshotManifestParse(before, first, st);
  gxtest::addAcls(master_, {"m2"}, "hr");
  ASSERT_EQ(publish({publisher}), 0u);
  daSnapshotManifest second;
  daSnapshotManifestParse(readFile(www_ + "/manifest.json"), second, st);
  fs::copy_file(www_ + "/" + first.file, www_ + "/" + second.file, fs::copy_options::overwrite_existing);
  EXPECT_EQ(rebuild(), da_s_snapshot_mismatch);
  expectOldPolicy();
}

// During a rotation the publisher signs with the old and the new key:
// replicas trusting either take the manifest. Adding a key to an unchanged
// master re-signs the current manifest; a replica trusting only a key that
// signs no more refuses the next one.
TEST_F(SignedReplica, RotationSignsWithBothKeysAndRetiresTheOld) {
  auto oldKey = newKey(), newKeyPair = newKey();
  ASSERT_EQ(publish({oldKey}), 0u);
  daHttpReplicatedClient onNew(server_->url(), trusting({newKeyPair}));
  unsigned long seq = 0, st = 0;
  onNew.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_unknown_key);

  EXPECT_EQ(publish({oldKey, newKeyPair}), da_s_snapshot_unchanged);
  daHttpReplicatedClient onNew2(server_->url(), trusting({newKeyPair}));
  daHttpReplicatedClient onOld(server_->url(), trusting({oldKey}));
  onNew2.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, 0u);
  onOld.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, 0u);

  gxtest::addAcls(master_, {"m2"}, "hr");
  ASSERT_EQ(publish({newKeyPair}), 0u);
  onNew2.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, 0u);
  onOld.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, da_s_snapshot_unknown_key);
  // Only the signature files of the current and previous manifests stay.
  EXPECT_EQ(std::distance(fs::directory_iterator(www_ + "/signatures"), fs::directory_iterator()), 2);
}

// A signature file an attacker made huge, malformed or crowded is refused
// without a crash, before any signature is checked where it can be.
TEST(ManifestSignature, MalformedHugeOrCrowdedSignatureFilesAreRefused) {
  auto key = newKey();
  std::string manifest = "{\"sequence\": 3}\n";
  std::string good = daSignManifest(manifest, {key});
  std::string by, why;
  unsigned long st = 0;
  daVerifyManifestSignature(manifest, good, {key}, by, why, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(by, key->keyId());

  auto entry = nlohmann::json::parse(good)["signatures"][0];
  auto with = [&](nlohmann::json entries) {
    nlohmann::json doc = nlohmann::json::parse(good);
    doc["signatures"] = std::move(entries);
    return doc.dump();
  };
  auto badBase64 = entry, shortSig = entry, wrongType = entry;
  badBase64["signature"] = "!!!!";
  shortSig["signature"] = "AAAA";
  wrongType["signature"] = 42;
  std::vector<std::string> hostile = {
      "",
      "not json",
      "[]",
      "{\"manifestSha256\": 1, \"signatures\": []}",
      good.substr(0, good.size() / 2),
      with({badBase64}),
      with({shortSig}),
      with({wrongType}),
      with(nlohmann::json::array({entry, entry, entry, entry, entry, entry, entry, entry, entry, entry, entry, entry,
                                  entry, entry, entry, entry, entry})),
      good + std::string(daMaxSignatureFileBytes, ' '),
  };
  for (auto const& text : hostile) {
    by.clear();
    daVerifyManifestSignature(manifest, text, {key}, by, why, st);
    EXPECT_EQ(st, da_s_snapshot_bad_signature) << text.substr(0, 80);
    EXPECT_TRUE(by.empty());
  }
}

// keygen's private key is its owner's alone, and a key file made readable
// by others, or of the wrong kind, is refused at use.
TEST(SigningKeyFiles, PrivateKeyIsOwnerOnlyAndWrongOrExposedKeysAreRefused) {
  TempDir dir;
  std::string priv = dir.file("k"), pub = dir.file("k.pub"), id;
  unsigned long st = 0;
  ::umask(022);
  daGenerateKeyFiles(priv, pub, id, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(fs::status(priv).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  daGenerateKeyFiles(priv, dir.file("other.pub"), id, st);
  EXPECT_EQ(st, hx_db_s_io_error);  // never overwrites a key
  EXPECT_FALSE(fs::exists(dir.file("other.pub")));

  auto signer = daSigningKey::loadPrivate(priv, st);
  ASSERT_EQ(st, 0u);
  auto verifier = daSigningKey::loadPublic(pub, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(signer->keyId(), id);
  EXPECT_EQ(verifier->keyId(), id);
  EXPECT_TRUE(verifier->verify("bytes", signer->sign("bytes")));
  EXPECT_FALSE(verifier->verify("bytez", signer->sign("bytes")));
  EXPECT_TRUE(verifier->sign("bytes").empty());

  EXPECT_FALSE(daSigningKey::loadPrivate(pub, st));
  EXPECT_EQ(st, da_s_key_bad);
  EXPECT_FALSE(daSigningKey::loadPublic(priv, st));
  EXPECT_EQ(st, da_s_key_bad);
  fs::permissions(priv, fs::perms::group_read, fs::perm_options::add);
  EXPECT_FALSE(daSigningKey::loadPrivate(priv, st));
  EXPECT_EQ(st, da_s_key_exposed);
}

}  // namespace
