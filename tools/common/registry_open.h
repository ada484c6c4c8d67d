// Which user registry a command or the decision service uses for a policy
// database: the one an option names (a stanza file with an [ldap] stanza
// opens the directory back end, any other file is a JSON file registry),
// else the file registry beside the database when it exists.
#pragma once

#include <memory>
#include <string>

#include "outside/ldap_registry.h"
#include "outside/registry.h"

namespace gxpolicy {

// Opens the registry for db as said above; option empty means "beside db".
// down (may be empty) hears of directory servers that do not answer.
// Returns the registry with status 0 (a JSON file registry follows its
// file: see gxreg::WatchedFileRegistry); null with status 0 when option is
// empty, there is no file beside db and watchMissing is false; with
// watchMissing an empty registry that picks the file up once it appears.
// Null with the back end's status and message (what was wrong, naming the
// file) when the registry cannot be read, is not a regular file, or the
// directory cannot be used. Never blocks on a FIFO.
std::unique_ptr<gxreg::Registry> openRegistryFor(std::string const& db, std::string const& option,
                                                 gxreg::LdapServerLogger down, unsigned long& status,
                                                 std::string& message, bool watchMissing = false);

// 0 when path is a regular file or does not exist; reg_s_unavailable with
// message naming the file when it is anything else (a FIFO, a device, a
// directory), which reading would block on or never finish.
unsigned long refuseIrregularFile(std::string const& path, std::string& message);

}  // namespace gxpolicy
