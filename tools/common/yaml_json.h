// YAML documents read as the JSON they stand for, so that a file of
// decision cases may be written in either: mappings become objects,
// sequences arrays, and plain scalars true/false, null (~), integers and
// numbers when they read as one; quoted scalars stay strings.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace gxpolicy {

// True with out set; false with error saying where the YAML is malformed
// (line and column) or what cannot be represented (anchors are resolved;
// a mapping key that is not a scalar is refused).
bool yamlToJson(std::string const& text, nlohmann::json& out, std::string& error);

// Whether path names a YAML file (".yaml" or ".yml").
bool isYamlPath(std::string const& path);

}  // namespace gxpolicy
