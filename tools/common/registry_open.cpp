#include "tools/common/registry_open.h"

#include <sys/stat.h>

#include <cerrno>

#include "outside/file_registry.h"
#include "outside/stanza.h"

namespace gxpolicy {

unsigned long refuseIrregularFile(std::string const& path, std::string& message) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return 0;
  message = "the user registry " + path + " is not a regular file";
  return reg_s_unavailable;
}

std::unique_ptr<gxreg::Registry> openRegistryFor(std::string const& db, std::string const& option,
                                                 gxreg::LdapServerLogger down, unsigned long& status,
                                                 std::string& message, bool watchMissing) {
  status = 0;
  message.clear();
  bool named = !option.empty();
  std::string path = named ? option : gxreg::defaultRegistryPath(db);
  // Beside the database the file is optional: without it there is no registry.
  struct stat info;
  if (!named && !watchMissing && ::stat(path.c_str(), &info) != 0 && errno == ENOENT) return nullptr;
  // Reading a FIFO for its stanzas would wait for a writer.
  if ((status = refuseIrregularFile(path, message)) != 0) return nullptr;
  if (named && config_has_stanza(path.c_str(), "ldap")) {
    std::unique_ptr<gxreg::LdapRegistry> ldap;
    status = gxreg::openLdapRegistryFile(path, std::move(down), ldap, message);
    if (status != 0) return nullptr;
    return ldap;
  }
  std::unique_ptr<gxreg::WatchedFileRegistry> reg;
  status = gxreg::WatchedFileRegistry::open(path, named, reg, message);
  if (status != 0) return nullptr;
  return reg;
}

}  // namespace gxpolicy
