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
// Returns the registry with status 0; null with status 0 when option is
// empty and there is no file beside db; null with the back end's status
// and message (what was wrong, naming the file) when the registry cannot
// be read or the directory cannot be used.
std::unique_ptr<gxreg::Registry> openRegistryFor(std::string const& db, std::string const& option,
                                                 gxreg::LdapServerLogger down, unsigned long& status,
                                                 std::string& message);

}  // namespace gxpolicy
