#include "tools/gxpolicyd/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "tools/common/command_line.h"
#include "tools/common/private_file.h"

namespace gxpolicyd {
namespace {

constexpr std::size_t kMaxConfigBytes = 1 << 20;

struct Setting {
  int line = 0;
  std::vector<std::string> values;
};

std::string trim(std::string const& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The value after "=": quoted, or up to a '#' after white space. False with
// error set when a quote is not closed or text follows it.
bool parseValue(std::string const& raw, std::string& value, std::string& error) {
  std::string text = trim(raw);
  if (!text.empty() && text.front() == '"') {
    value.clear();
    std::size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) ++i;
      value += text[i];
    }
    if (i >= text.size()) {
      error = "the quoted value is not closed";
      return false;
    }
    std::string rest = trim(text.substr(i + 1));
    if (!rest.empty() && rest.front() != '#') {
      error = "text after the quoted value";
      return false;
    }
    return true;
  }
  for (std::size_t hash = text.find('#'); hash != std::string::npos; hash = text.find('#', hash + 1))
    if (hash == 0 || text[hash - 1] == ' ' || text[hash - 1] == '\t') {
      text = trim(text.substr(0, hash));
      break;
    }
  value = text;
  return true;
}

// A flag's value as CLI11 takes it, or "" when it is not one.
std::string flagValue(std::string const& v) {
  std::string l = v;
  std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (l == "true" || l == "yes" || l == "on" || l == "1") return "true";
  if (l == "false" || l == "no" || l == "off" || l == "0") return "false";
  return "";
}

std::vector<std::string> keysOf(CLI::App const& app, std::vector<std::string> const& refused) {
  std::vector<std::string> keys;
  for (CLI::Option const* o : app.get_options())
    for (std::string const& l : o->get_lnames())
      if (std::find(refused.begin(), refused.end(), l) == refused.end()) keys.push_back(l);
  return keys;
}

}  // namespace

std::string applyConfigFile(CLI::App& app, std::string const& path, std::vector<std::string> const& refused) {
  std::string error;
  std::string text;
  if (!gxpolicy::readPrivateFile(path, gxpolicy::FileTrust::writableByOwner, kMaxConfigBytes, text, error)) return error;
  auto at = [&path](int line, std::string const& what) { return path + ":" + std::to_string(line) + ": " + what; };

  // Every line first: a mistake anywhere sets nothing.
  std::map<std::string, Setting> settings;
  std::vector<std::string> order;
  std::istringstream in(text);
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    std::string content = trim(line);
    if (content.empty() || content.front() == '#') continue;
    std::size_t eq = content.find('=');
    if (eq == std::string::npos) return at(lineNumber, "not KEY = VALUE");
    std::string key = trim(content.substr(0, eq));
    if (key.rfind("--", 0) == 0) key = key.substr(2);
    if (key.empty()) return at(lineNumber, "no key before '='");
    if (std::find(refused.begin(), refused.end(), key) != refused.end())
      return at(lineNumber, "\"" + key + "\" cannot be set in a configuration file");
    CLI::Option* option = app.get_option_no_throw("--" + key);
    if (option == nullptr || option->get_group().empty()) {
      std::string near = gxpolicy::nearest(key, keysOf(app, refused));
      return at(lineNumber, "unknown key \"" + key + "\"" + (near.empty() ? "" : " (did you mean \"" + near + "\"?)"));
    }
    std::string value;
    if (!parseValue(content.substr(eq + 1), value, error)) return at(lineNumber, key + ": " + error);
    if (option->get_items_expected_max() == 0) {
      std::string flag = flagValue(value);
      if (flag.empty()) return at(lineNumber, key + ": \"" + value + "\" is not true or false");
      value = flag;
    }
    auto [it, fresh] = settings.try_emplace(key, Setting{lineNumber, {}});
    if (!fresh && option->get_items_expected_max() <= 1)
      return at(lineNumber, key + " is given twice (first on line " + std::to_string(it->second.line) + ")");
    if (fresh) order.push_back(key);
    it->second.values.push_back(value);
  }

  for (std::string const& key : order) {
    CLI::Option* option = app.get_option_no_throw("--" + key);
    if (option->count() > 0) continue;  // the command line said it
    Setting const& s = settings[key];
    try {
      if (option->get_items_expected_max() == 0) {
        if (s.values.front() == "false") continue;  // a flag not given is false
        option->add_result(std::string("true"));
      } else {
        option->add_result(s.values);
      }
      option->run_callback();
    } catch (CLI::Error const& e) {
      return at(s.line, key + ": " + e.what());
    }
  }
  return "";
}

}  // namespace gxpolicyd
