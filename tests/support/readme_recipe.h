// README.md's recipes, for the tests that run them as written: the code
// block between the markers "<!-- gxpolicyd NAME: begin -->" and
// "<!-- gxpolicyd NAME: end -->", with only its ports and paths changed.
#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace gxtest {

using Replacements = std::vector<std::pair<std::string, std::string>>;

// text with every occurrence of each key replaced by its value.
inline std::string replaceAll(std::string text, Replacements const& values) {
  for (auto const& [key, value] : values)
    for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
      text.replace(at, key.size(), value);
  return text;
}

// The block named name, its lines unindented (four spaces), with each of
// values replaced; "" when the block or one of the keys is not found (the
// README changed under the test).
inline std::string readmeRecipe(std::string const& name, Replacements const& values = {}) {
  std::string const readme = readFile(std::string(GXCORE_SOURCE_DIR) + "/README.md");
  std::string const begin = "<!-- gxpolicyd " + name + ": begin -->\n";
  std::size_t from = readme.find(begin), to = readme.find("<!-- gxpolicyd " + name + ": end -->");
  if (from == std::string::npos || to == std::string::npos || to < from) return "";
  std::istringstream lines(readme.substr(from + begin.size(), to - from - begin.size()));
  std::string out;
  for (std::string line; std::getline(lines, line);) out += (line.rfind("    ", 0) == 0 ? line.substr(4) : line) + "\n";
  for (auto const& [key, value] : values)
    if (out.find(key) == std::string::npos) return "";
  return replaceAll(std::move(out), values);
}

}  // namespace gxtest
