// gxpolicy actions: the action catalogue (filled in with the action classes).
#include "tools/gxpolicy.h"

namespace gxpolicy {

void registerActionCommands(CLI::App&) {}

}  // namespace gxpolicy
