// JSON strings written by hand, for answers and audit lines made without a
// JSON document (the hot paths of gxpolicyd and its audit trail).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gxpolicy {

// Length of the UTF-8 sequence at s[i] when it is well formed and in its
// shortest form (no overlong encodings, no surrogates, at most U+10FFFF);
// 0 otherwise. i must be below s.size().
std::size_t utf8Length(std::string_view s, std::size_t i);

// Appends s to out as a JSON string, quotes included: the quote, the
// backslash, control characters and DEL escaped; bytes that are not valid
// UTF-8 written as U+FFFD, so the text stays valid JSON (and one line)
// whatever a caller sent. Runs of plain characters are copied at once.
// Throws std::bad_alloc when out cannot grow.
void appendJsonString(std::string& out, std::string_view s);

}  // namespace gxpolicy
