// The fields of a JSON object read the one way every reader in tools/
// reads them (cases files, request bodies): a field that is missing when
// required, of the wrong type, out of range or holding a NUL character is
// a Problem, thrown, whose where names the field's place.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/problem.h"

namespace gxpolicy {

class JsonFields {
 public:
  // value: the JSON value read (not copied: it must outlive this reader).
  // where: its place, prefixed to field names ("checks[3]" gives
  // "checks[3].object"; "" gives "object").
  JsonFields(nlohmann::json const& value, std::string where);

  // Throws unless the value is a JSON object ("<what> must be a JSON
  // object", where: the value's place).
  void requireObject(char const* what) const;
  // Throws for the first key not among known ("unknown field "k" (known:
  // a, b)", where: its place).
  void onlyKnown(std::initializer_list<char const*> known) const;
  bool has(char const* key) const;
  // The place of key: "<where>.<key>", or key when where is "".
  std::string placeOf(std::string const& key) const;

  // The string at key; "" when it is absent and not required. Throws when
  // it is absent and required, not a string, or holds a NUL.
  std::string string(char const* key, bool required) const;
  // The array of strings at key (empty when absent). Throws when it is not
  // an array, has more than most items, or an item is not a string or holds
  // a NUL (where: the item's place, key[i]).
  std::vector<std::string> strings(char const* key, std::size_t most) const;
  // The whole number at key, empty when absent. Throws when it is not a
  // whole number from 0 to most.
  std::optional<std::uint64_t> number(char const* key, std::uint64_t most) const;

 private:
  [[noreturn]] void fail(std::string const& place, std::string message) const;
  nlohmann::json const& value_;
  std::string where_;
};

}  // namespace gxpolicy
