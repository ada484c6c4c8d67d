// What build a tool is: the project's version, the git commit the build
// was configured from and the CMake build type, fixed at configure time.
#pragma once

#include <string>

namespace gxpolicy {

// "<program> <version> (commit <hash>[-dirty], <build type>)"; the commit
// is "unknown" when the source was not a git checkout at configure time.
std::string versionLine(char const* program);

// The project's version alone, e.g. "0.1.0".
extern char const kVersion[];

}  // namespace gxpolicy
