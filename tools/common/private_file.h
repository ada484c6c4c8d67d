// Small files whose contents decide what a program trusts -- secrets,
// tokens, configuration -- read only when nobody but their owner could
// have put that content there.
#pragma once

#include <cstddef>
#include <string>

namespace gxpolicy {

enum class FileTrust {
  ownerOnly,         // secrets: group and others may neither read nor write (mode 600 or stricter)
  writableByOwner,   // configuration: anyone may read, only the owner write
};

// Reads the regular file at path (symbolic links are followed: the file
// they lead to is checked) into text. False with error set -- "cannot open
// PATH: ...", "PATH is not a regular file", "PATH may be read or written by
// others than its owner (chmod 600)", "PATH may be written by group or
// others (chmod go-w)", "PATH is larger than N bytes", "cannot read PATH"
// -- when it cannot be read or trust refuses it. Opening never blocks (a
// FIFO is refused, not waited on). Throws only std::bad_alloc.
bool readPrivateFile(std::string const& path, FileTrust trust, std::size_t maxBytes, std::string& text,
                     std::string& error);

}  // namespace gxpolicy
