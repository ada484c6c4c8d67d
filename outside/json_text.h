// The JSON parser's messages in plain words: what it says after its
// internal tag ("[json.exception.parse_error.101] "), which means nothing
// to a person reading an error. Header-only, for the registry file and
// the tools alike.
#pragma once

#include <cstddef>
#include <string_view>

// text without a leading "[…] " tag; text itself when it has none.
inline std::string_view withoutParserTag(std::string_view text) {
  if (!text.empty() && text.front() == '[') {
    if (std::size_t close = text.find("] "); close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  return text;
}
