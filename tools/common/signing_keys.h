// Key files named on a command line: the private keys a publisher signs
// manifests with (publish --sign) and the public keys a replica trusts
// (--trust). GxCore/remote/daSignature.h says what is signed and where the
// signatures live.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "GxCore/remote/daSignature.h"
#include "tools/common/problem.h"

namespace gxpolicy {

using KeyList = std::vector<std::shared_ptr<daSigningKey const>>;

// Loads every file of paths as a private key (privateKeys) or a public key.
// Returns the keys in order (empty for empty paths), or nothing with
// problem filled for the first file that fails: message "cannot use the
// signing key <path>" or "cannot use the trusted key <path>", status
// da_s_key_exposed (a private key readable by others: not read) or
// da_s_key_bad, and a hint. Never throws but std::bad_alloc.
std::optional<KeyList> loadKeyFiles(std::vector<std::string> const& paths, bool privateKeys, Problem& problem);

}  // namespace gxpolicy
