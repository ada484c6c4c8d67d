#include "tools/common/json_fields.h"

#include <utility>

namespace gxpolicy {

namespace {

std::string quoted(std::string const& key) { return "\"" + key + "\""; }

bool holdsNul(std::string const& s) { return s.find('\0') != std::string::npos; }

}  // namespace

JsonFields::JsonFields(nlohmann::json const& value, std::string where) : value_(value), where_(std::move(where)) {}

void JsonFields::fail(std::string const& place, std::string message) const {
  throw Problem{std::move(message), 0, "", place};
}

std::string JsonFields::placeOf(std::string const& key) const { return where_.empty() ? key : where_ + "." + key; }

void JsonFields::requireObject(char const* what) const {
  if (!value_.is_object()) fail(where_, std::string(what) + " must be a JSON object");
}

void JsonFields::onlyKnown(std::initializer_list<char const*> known) const {
  for (auto it = value_.begin(); it != value_.end(); ++it) {
    bool ok = false;
    for (char const* k : known) ok = ok || it.key() == k;
    if (ok) continue;
    std::string list;
    for (char const* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
    fail(placeOf(it.key()), "unknown field " + quoted(it.key()) + " (known: " + list + ")");
  }
}

bool JsonFields::has(char const* key) const { return value_.is_object() && value_.contains(key); }

std::string JsonFields::string(char const* key, bool required) const {
  auto it = value_.find(key);
  if (it == value_.end()) {
    if (required) fail(placeOf(key), quoted(key) + " is missing");
    return {};
  }
  if (!it->is_string()) fail(placeOf(key), quoted(key) + " must be a string");
  std::string const& s = it->get_ref<std::string const&>();
  if (holdsNul(s)) fail(placeOf(key), quoted(key) + " holds a NUL character");
  return s;
}

std::vector<std::string> JsonFields::strings(char const* key, std::size_t most) const {
  auto it = value_.find(key);
  if (it == value_.end()) return {};
  if (!it->is_array()) fail(placeOf(key), quoted(key) + " must be an array of strings");
  if (it->size() > most) fail(placeOf(key), quoted(key) + " holds more than " + std::to_string(most) + " items");
  std::vector<std::string> out;
  out.reserve(it->size());
  for (std::size_t i = 0; i < it->size(); ++i) {
    nlohmann::json const& item = (*it)[i];
    std::string place = placeOf(key) + "[" + std::to_string(i) + "]";
    if (!item.is_string() || holdsNul(item.get_ref<std::string const&>()))
      fail(place, "an item of " + quoted(key) + " must be a string without NUL characters");
    out.push_back(item.get<std::string>());
  }
  return out;
}

std::optional<std::uint64_t> JsonFields::number(char const* key, std::uint64_t most) const {
  auto it = value_.find(key);
  if (it == value_.end()) return std::nullopt;
  if (!it->is_number_unsigned() || it->get<std::uint64_t>() > most)
    fail(placeOf(key), quoted(key) + " must be a whole number from 0 to " + std::to_string(most));
  return it->get<std::uint64_t>();
}

}  // namespace gxpolicy
