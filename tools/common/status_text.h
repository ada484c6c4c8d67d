// Statuses as the tools print them: "status 0x........ (<text>)", and the
// reason a replication client gave for a failed poll or rebuild. Nothing
// else in tools/ formats a status.
#pragma once

#include <string>

class daAbstractReplicatedClient;

namespace gxpolicy {

// The one place a status becomes text: "0x1005b1c9" (statusCode), the
// catalogue's words for it (statusWords) and both together,
// "status 0x1005b1c9 (<the words>)" (statusText).
std::string statusCode(unsigned long status);
std::string statusWords(unsigned long status);
std::string statusText(unsigned long status);
// statusText(status), then ": <what the HTTP client saw>" when client is an
// HTTP client that recorded an error.
std::string replicationFailure(daAbstractReplicatedClient const& client, unsigned long status);

}  // namespace gxpolicy
