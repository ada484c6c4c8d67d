// Bearer tokens of administrators: who an administration request comes
// from when it presents "Authorization: Bearer TOKEN".
//
// The file keeps one line per administrator, "NAME SHA256-HEX CREATED"
// (CREATED in seconds since 1970), never a token itself: a token is shown
// once, when it is made, and a copy of the file gives nobody a way in.
// Tokens are "gxt_" and 43 characters of base64url (32 random bytes from
// the operating system's generator), so the hash needs no salt or
// stretching: guessing one is guessing 256 bits.
//
// Caveats: the file must be a regular file that only its owner may read or
// write (mode 0600, like an ssh key); anything else is refused at load, so
// that a service never starts on tokens others could read or add to.
// Writes replace the file atomically (a temporary file renamed over it).
// A TokenFile is not thread-safe to change; lookups on a loaded one may run
// on any number of threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gxpolicy {

struct AdminToken {
  std::string name;          // the administrator, as the change log records it
  std::string sha256;        // lower-case hex of SHA-256(token)
  std::int64_t created = 0;  // seconds since 1970
};

class TokenFile {
 public:
  // Reads path into out. A missing file is an empty set when mayBeMissing
  // (for "token add" on a new file), else a problem. False with error set
  // when the file cannot be read, is not a regular file (a symbolic link
  // is followed), may be read or written by group or others, is over 1 MiB, or
  // holds a line that is not NAME HEX CREATED (naming the line), or a name
  // twice. Throws only std::bad_alloc.
  static bool load(std::string const& path, bool mayBeMissing, TokenFile& out, std::string& error);

  // Writes the tokens to path (0600, through a temporary file in the same
  // directory renamed over it). False with error set when it cannot be
  // written; the file is then as it was.
  bool save(std::string const& path, std::string& error) const;

  // Makes a token for name, returns it (shown once; only its hash is
  // kept). False with error set when name is not 1-64 characters of
  // letters, digits and ._@- or already has a token, or the system's random
  // generator fails.
  bool add(std::string const& name, std::string& token, std::string& error);

  // Forgets name's token; false when it had none.
  bool remove(std::string const& name);

  // The administrator whose token presented is, or nothing. Compares the
  // presented token's hash with every entry in constant time per entry, so
  // the time taken says nothing about how close a guess was.
  std::optional<std::string> who(std::string_view presented) const;

  std::vector<AdminToken> const& tokens() const { return tokens_; }

 private:
  std::vector<AdminToken> tokens_;
};

}  // namespace gxpolicy
