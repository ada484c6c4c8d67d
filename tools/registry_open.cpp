#include "tools/registry_open.h"

#include <sys/stat.h>

#include <cerrno>

#include "outside/file_registry.h"
#include "outside/stanza.h"

namespace gxpolicy {

std::unique_ptr<gxreg::Registry> openRegistryFor(std::string const& db, std::string const& option,
                                                 gxreg::LdapServerLogger down, unsigned long& status,
                                                 std::string& message) {
  status = 0;
  message.clear();
  bool named = !option.empty();
  std::string path = named ? option : gxreg::defaultRegistryPath(db);
  // Beside the database the file is optional: without it there is no registry.
  struct stat info;
  if (!named && ::stat(path.c_str(), &info) != 0 && errno == ENOENT) return nullptr;
  if (named && config_has_stanza(path.c_str(), "ldap")) {
    std::unique_ptr<gxreg::LdapRegistry> ldap;
    status = gxreg::openLdapRegistryFile(path, std::move(down), ldap, message);
    if (status != 0) return nullptr;
    return ldap;
  }
  std::unique_ptr<gxreg::FileRegistry> reg;
  status = gxreg::FileRegistry::load(path, true, reg, message);
  if (status != 0) return nullptr;
  return reg;
}

}  // namespace gxpolicy
