#include "outside/ZObject.h"

#include <string>

namespace {
std::string where(std::string const& text, char const* file, int line) {
  return text + " (" + (file ? file : "?") + ":" + std::to_string(line) + ")";
}
}  // namespace

void ZException_6_0::throwException(char const* file, int line) {
  throw ZException_6_0(code(), where(what(), file, line));
}

void ZInvalidParameterException_6_0::throwException(char const* file, int line) {
  throw ZInvalidParameterException_6_0(where(what(), file, line));
}

void ZOutOfMemoryException_6_0::throwException(char const* file, int line) {
  throw ZOutOfMemoryException_6_0(where(what(), file, line));
}
