#include "tools/common/status_text.h"

#include <cstdio>

#include "GxCore/remote/daHttpReplicatedClient.h"
#include "outside/hxsvc.h"

namespace gxpolicy {

std::string statusCode(unsigned long status) {
  char code[24];
  std::snprintf(code, sizeof code, "0x%8.8lx", status);
  return code;
}

std::string statusWords(unsigned long status) { return hx_svc_status_text(status); }

std::string statusText(unsigned long status) {
  return "status " + statusCode(status) + " (" + statusWords(status) + ")";
}

std::string replicationFailure(daAbstractReplicatedClient const& client, unsigned long status) {
  std::string out = statusText(status);
  if (auto const* http = dynamic_cast<daHttpReplicatedClient const*>(&client); http && !http->lastError().empty())
    out += ": " + http->lastError();
  return out;
}

}  // namespace gxpolicy
