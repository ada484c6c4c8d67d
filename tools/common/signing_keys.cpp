#include "tools/common/signing_keys.h"

namespace gxpolicy {

std::optional<KeyList> loadKeyFiles(std::vector<std::string> const& paths, bool privateKeys, Problem& problem) {
  KeyList keys;
  for (auto const& path : paths) {
    unsigned long st = 0;
    auto key = privateKeys ? daSigningKey::loadPrivate(path, st) : daSigningKey::loadPublic(path, st);
    if (!key) {
      std::string hint = st == da_s_key_exposed ? "make it readable by its owner only: chmod 600 " + path
                         : privateKeys          ? "give a private key file written by gxpolicy keygen"
                                                : "give a public key file (KEY.pub) written by gxpolicy keygen";
      problem = Problem(std::string(privateKeys ? "cannot use the signing key " : "cannot use the trusted key ") + path,
                        st, hint);
      return std::nullopt;
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace gxpolicy
