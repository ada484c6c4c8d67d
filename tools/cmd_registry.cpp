// gxpolicy user / group: the file user registry kept beside a database
// (users and groups by name, and memberships), and the registry lookup the
// other commands share.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "outside/file_registry.h"
#include "tools/gxpolicy.h"

namespace gxpolicy {

std::unique_ptr<gxreg::Registry> openRegistry(std::string const& db, std::string const& option) {
  bool named = !option.empty();
  std::string path = named ? option : gxreg::defaultRegistryPath(db);
  // Beside the database the file is optional: without it there is no registry.
  struct stat info;
  if (!named && ::stat(path.c_str(), &info) != 0 && errno == ENOENT) return nullptr;
  std::unique_ptr<gxreg::FileRegistry> reg;
  std::string message;
  unsigned long st = gxreg::FileRegistry::load(path, true, reg, message);
  if (st != 0) {
    std::fprintf(stderr, "gxpolicy: %s\n", message.c_str());
    throw CLI::RuntimeError(
        fail("cannot use the user registry " + path + " (fix the file, or name another with --registry)", st));
  }
  return reg;
}

}  // namespace gxpolicy
