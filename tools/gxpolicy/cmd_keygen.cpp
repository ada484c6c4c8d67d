// gxpolicy keygen: makes the Ed25519 key pair a publisher signs manifests
// with (publish --sign KEY) and replicas trust (--trust KEY.pub).
#include <cstdio>
#include <memory>
#include <string>

#include "GxCore/remote/daSignature.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

void keygen(std::string const& key) {
  std::string keyId;
  unsigned long st = 0;
  daGenerateKeyFiles(key, key + ".pub", keyId, st);
  if (st != 0)
    throw CLI::RuntimeError(fail("cannot write the key pair " + key + " and " + key +
                                     ".pub (neither may exist yet; the folder must be writable)",
                                 st));
  std::printf("private key %s (mode 0600: keep it on the publishing host)\n", key.c_str());
  std::printf("public key %s.pub (give it to replicas with --trust)\n", key.c_str());
  std::printf("key id %s\n", keyId.c_str());
}

}  // namespace

void registerKeygenCommands(CLI::App& app) {
  auto key = std::make_shared<std::string>();
  auto* sub = app.add_subcommand(
      "keygen", "make a key pair for signed snapshots: KEY (private, for publish --sign) and KEY.pub (for --trust)");
  sub->add_option("KEY", *key, "private key file to create (KEY.pub is created beside it)")->required();
  sub->callback([key] { keygen(*key); });
}

}  // namespace gxpolicy
