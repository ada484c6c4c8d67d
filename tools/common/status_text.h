// Statuses as the tools print them: "status 0x........ (<text>)", and the
// reason a replication client gave for a failed poll or rebuild.
#pragma once

#include <string>

class daAbstractReplicatedClient;

namespace gxpolicy {

// "status 0x1005b1c9 (<the status's text>)".
std::string statusText(unsigned long status);
// statusText(status), then ": <what the HTTP client saw>" when client is an
// HTTP client that recorded an error.
std::string replicationFailure(daAbstractReplicatedClient const& client, unsigned long status);

}  // namespace gxpolicy
