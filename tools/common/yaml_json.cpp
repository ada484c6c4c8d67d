#include "tools/common/yaml_json.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdlib>

namespace gxpolicy {
namespace {

struct NotRepresentable {
  std::string message;
};

nlohmann::json scalar(YAML::Node const& node) {
  std::string const& text = node.Scalar();
  if (node.Tag() == "!") return text;  // quoted: a string whatever it reads as
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  if (text == "~" || text == "null" || text == "Null" || text == "NULL" || text.empty()) return nullptr;
  char const* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  if (text[0] != '-' && text[0] != '+') {
    unsigned long long u = std::strtoull(begin, &end, 10);
    if (errno == 0 && end != begin && *end == '\0') return u;
  }
  errno = 0;
  long long i = std::strtoll(begin, &end, 10);
  if (errno == 0 && end != begin && *end == '\0') return i;
  errno = 0;
  double d = std::strtod(begin, &end);
  if (errno == 0 && end != begin && *end == '\0') return d;
  return text;
}

nlohmann::json convert(YAML::Node const& node) {
  switch (node.Type()) {
    case YAML::NodeType::Null:
    case YAML::NodeType::Undefined:
      return nullptr;
    case YAML::NodeType::Scalar:
      return scalar(node);
    case YAML::NodeType::Sequence: {
      nlohmann::json a = nlohmann::json::array();
      for (auto const& item : node) a.push_back(convert(item));
      return a;
    }
    case YAML::NodeType::Map: {
      nlohmann::json o = nlohmann::json::object();
      for (auto const& kv : node) {
        if (!kv.first.IsScalar())
          throw NotRepresentable{"line " + std::to_string(kv.first.Mark().line + 1) + ": a mapping key must be a text"};
        o[kv.first.Scalar()] = convert(kv.second);
      }
      return o;
    }
  }
  return nullptr;
}

}  // namespace

bool yamlToJson(std::string const& text, nlohmann::json& out, std::string& error) {
  try {
    out = convert(YAML::Load(text));
    return true;
  } catch (YAML::Exception const& e) {
    error = "not valid YAML: line " + std::to_string(e.mark.line + 1) + ", column " + std::to_string(e.mark.column + 1) +
            ": " + e.msg;
  } catch (NotRepresentable const& e) {
    error = e.message;
  }
  return false;
}

bool isYamlPath(std::string const& path) {
  auto endsWith = [&](char const* s) {
    std::string suffix(s);
    return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  return endsWith(".yaml") || endsWith(".yml");
}

}  // namespace gxpolicy
