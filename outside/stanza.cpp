// The stanza file reader and config_item_load.
#include "outside/stanza.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <fstream>
#include <sstream>
#include <vector>

#include "outside/ZCollections.h"
#include "outside/ZString.h"
#include "outside/hxsvc.h"

namespace {

struct Line {
  std::string stanza, key, value;
  int number;
};

struct Failure {
  unsigned long status = 0;
  int line = 0;
  std::string what;
};

std::string trim(std::string const& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool sameName(std::string const& a, char const* b) { return b && strcasecmp(a.c_str(), b) == 0; }

// Reads and splits file; false with failure set when it cannot.
bool readStanzas(char const* file, std::vector<Line>& lines, std::vector<std::string>& stanzas, Failure& failure) {
  std::ifstream in(file ? file : "");
  if (!file || !*file || !in) {
    failure = {stz_s_file_unreadable, 0,
               std::string("cannot read the file: ") + (file && *file ? std::strerror(errno) : "no file named")};
    return false;
  }
  std::string text, current;
  bool inStanza = false;
  for (int number = 1; std::getline(in, text); ++number) {
    std::string t = trim(text);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t[0] == '[') {
      if (t.back() != ']' || trim(t.substr(1, t.size() - 2)).empty()) {
        failure = {stz_s_bad_line, number, "a stanza line must read [name]: " + t};
        return false;
      }
      current = trim(t.substr(1, t.size() - 2));
      stanzas.push_back(current);
      inStanza = true;
      continue;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos || trim(t.substr(0, eq)).empty()) {
      failure = {stz_s_bad_line, number, "not a key = value line: " + t};
      return false;
    }
    if (!inStanza) {
      failure = {stz_s_bad_line, number, "a key before the first [stanza]: " + t};
      return false;
    }
    lines.push_back(Line{current, trim(t.substr(0, eq)), trim(t.substr(eq + 1)), number});
  }
  if (in.bad()) {
    failure = {stz_s_file_unreadable, 0, std::string("cannot read the file: ") + std::strerror(errno)};
    return false;
  }
  return true;
}

bool parseBoolean(std::string const& v, int& out) {
  for (char const* yes : {"yes", "true", "on", "1"})
    if (sameName(v, yes)) return out = 1, true;
  for (char const* no : {"no", "false", "off", "0"})
    if (sameName(v, no)) return out = 0, true;
  return false;
}

bool parseInteger(std::string const& v, int& out) {
  if (v.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < INT_MIN || n > INT_MAX) return false;
  out = static_cast<int>(n);
  return true;
}

// What one item will get: checked for every item before anything is set.
struct Pending {
  bool present = false;
  int number = 0;
  std::string text;
  std::vector<std::string> list;
};

}  // namespace

unsigned long config_item_load(char const* file, ZStzFileItem_6_0* items, int count, int flags,
                               std::string& message) {
  (void)flags;
  message.clear();
  Failure failure;
  std::vector<Line> lines;
  std::vector<std::string> stanzas;
  std::vector<Pending> pending(count > 0 ? static_cast<size_t>(count) : 0);
  if (count < 0 || (count > 0 && !items)) {
    failure = {stz_s_bad_item, 0, "no items to load"};
  } else if (readStanzas(file, lines, stanzas, failure)) {
    for (int i = 0; i < count && failure.status == 0; ++i) {
      ZStzFileItem_6_0 const& item = items[i];
      if (!item.stanza || !item.key || !item.value || item.type < stz_boolean || item.type > stz_list) {
        failure = {stz_s_bad_item, 0, "configuration item " + std::to_string(i) + " is described wrongly"};
        break;
      }
      Pending& p = pending[static_cast<size_t>(i)];
      for (Line const& l : lines) {
        if (!sameName(l.stanza, item.stanza) || !sameName(l.key, item.key)) continue;
        p.present = true;
        bool ok = true;
        if (item.type == stz_boolean) ok = parseBoolean(l.value, p.number);
        else if (item.type == stz_integer) ok = parseInteger(l.value, p.number);
        else if (item.type == stz_text) p.text = l.value;
        else p.list.push_back(l.value);
        if (!ok) {
          failure = {stz_s_bad_value, l.number,
                     std::string("[") + item.stanza + "] " + item.key + " must be " +
                         (item.type == stz_boolean ? "yes or no" : "a whole number") + ", not '" + l.value + "'"};
          break;
        }
      }
      if (failure.status == 0 && !p.present && item.required)
        failure = {stz_s_missing_item, 0, std::string("[") + item.stanza + "] " + item.key + " is missing"};
    }
  }
  if (failure.status != 0) {
    std::string where = std::string(file ? file : "") + (failure.line ? ":" + std::to_string(failure.line) : "");
    message = where + ": " + failure.what;
    HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_warning, failure.status, "%s%d%s", file ? file : "", failure.line,
           failure.what.c_str());
    return failure.status;
  }
  for (int i = 0; i < count; ++i) {
    ZStzFileItem_6_0 const& item = items[i];
    Pending& p = pending[static_cast<size_t>(i)];
    switch (item.type) {
      case stz_boolean:
        if (p.present) *static_cast<int*>(item.value) = p.number;
        break;
      case stz_integer:
        *static_cast<int*>(item.value) = p.present ? p.number : item.absent;
        break;
      case stz_text:
        if (p.present) *static_cast<ZUTF8String_6_0*>(item.value) = ZUTF8String_6_0(p.text);
        break;
      case stz_list: {
        if (!p.present) break;
        auto* list = static_cast<ZArrayList_6_0*>(item.value);
        list->removeAll();
        for (auto const& v : p.list) list->add(ZUTF8String_6_0(v));
        break;
      }
    }
  }
  return 0;
}

unsigned long config_item_load(char const* file, ZStzFileItem_6_0* items, int count, int flags) {
  std::string message;
  return config_item_load(file, items, count, flags, message);
}

bool config_has_stanza(char const* file, char const* stanza) {
  std::vector<Line> lines;
  std::vector<std::string> stanzas;
  Failure failure;
  if (!readStanzas(file, lines, stanzas, failure)) return false;
  for (auto const& s : stanzas)
    if (sameName(s, stanza)) return true;
  return false;
}
