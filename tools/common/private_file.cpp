#include "tools/common/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gxpolicy {

bool readPrivateFile(std::string const& path, FileTrust trust, std::size_t maxBytes, std::string& text,
                     std::string& error) {
  error.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  mode_t const refused = trust == FileTrust::ownerOnly ? 077 : 022;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
  } else if ((st.st_mode & refused) != 0) {
    error = trust == FileTrust::ownerOnly ? path + " may be read or written by others than its owner (chmod 600)"
                                          : path + " may be written by group or others (chmod go-w)";
  } else if (static_cast<std::size_t>(st.st_size) > maxBytes) {
    error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
  } else {
    text.resize(static_cast<std::size_t>(st.st_size));
    if (::read(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) error = "cannot read " + path;
  }
  ::close(fd);
  return error.empty();
}

}  // namespace gxpolicy
