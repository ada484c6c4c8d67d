#include "tools/common/json_string.h"

namespace gxpolicy {

std::size_t utf8Length(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
  auto tail = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
  unsigned b0 = byte(i);
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return tail(i + 1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    unsigned b1 = byte(i + 1);
    return tail(i + 1) && tail(i + 2) && !(b0 == 0xE0 && b1 < 0xA0) && !(b0 == 0xED && b1 >= 0xA0) ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    unsigned b1 = byte(i + 1);
    return tail(i + 1) && tail(i + 2) && tail(i + 3) && !(b0 == 0xF0 && b1 < 0x90) && !(b0 == 0xF4 && b1 >= 0x90) ? 4
                                                                                                                     : 0;
  }
  return 0;
}

void appendJsonString(std::string& out, std::string_view s) {
  static char const hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    std::size_t plain = i;
    while (plain < s.size()) {
      unsigned char p = static_cast<unsigned char>(s[plain]);
      if (p < 0x20 || p >= 0x7F || p == '"' || p == '\\') break;
      ++plain;
    }
    out.append(s.data() + i, plain - i);
    if ((i = plain) == s.size()) break;
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      std::size_t n = utf8Length(s, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(s.data() + i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:  // the other control characters and DEL
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    ++i;
  }
  out += '"';
}

}  // namespace gxpolicy
