// Errors of the JSON parser as gxpolicy shows them: where the text goes
// wrong as a line and a column, and what the parser found there in plain
// words, without the parser's internal tag ("[json.exception.…]").
// Header-only: both gxpolicy and the decision service (which reads cases
// files through tools/common/decide) use it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <istream>
#include <sstream>
#include <string>
#include <string_view>

#include "outside/json_text.h"

namespace gxpolicy {

// What the parser says went wrong, without its tag and without its own
// position prefix ("parse error at line 1, column 5: "), e.g. "syntax
// error while parsing value - invalid literal; last read: 'tru'". Cut to
// 200 bytes (a quoted token may be long), marked with "...".
inline std::string jsonErrorCause(nlohmann::json::exception const& e) {
  std::string_view text = withoutParserTag(e.what());
  constexpr std::string_view kParseError = "parse error";
  if (text.substr(0, kParseError.size()) == kParseError) {
    if (std::size_t colon = text.find(": "); colon != std::string_view::npos) text.remove_prefix(colon + 2);
  }
  constexpr std::size_t kMax = 200;
  if (text.size() <= kMax) return std::string(text);
  return std::string(text.substr(0, kMax)) + "...";
}

// "line L, column C" of the place where the parser stopped after reading
// `consumed` bytes of in (from its current position): L counts from 1, C is
// the number of bytes read on that line, as the parser counts them.
inline std::string jsonErrorPlace(std::istream& in, std::size_t consumed) {
  std::size_t line = 1, column = 0;
  char buffer[65536];
  while (consumed > 0 && in) {
    in.read(buffer, static_cast<std::streamsize>(consumed < sizeof buffer ? consumed : sizeof buffer));
    std::size_t const got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    for (std::size_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    consumed -= got;
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// An event handler for the parser that builds nothing: parsing with it
// checks the syntax only, and tells how far the parser got when it stopped
// at an error (stoppedAt: the bytes it had read).
struct JsonSyntaxCheck : nlohmann::json_sax<nlohmann::json> {
  std::size_t stoppedAt = 0;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, string_t const&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, std::string const&, nlohmann::json::exception const&) override {
    stoppedAt = position;
    return false;
  }
};

// "line L, column C: cause" for an error e that parsing text raised. The
// text is read again with JsonSyntaxCheck, which reports how far the parser
// got also for errors whose message carries no position (a number too
// large, for instance).
inline std::string jsonErrorIn(std::string const& text, nlohmann::json::exception const& e) {
  JsonSyntaxCheck check;
  nlohmann::json::sax_parse(text, &check);
  std::istringstream in(text);
  return jsonErrorPlace(in, check.stoppedAt) + ": " + jsonErrorCause(e);
}

}  // namespace gxpolicy
