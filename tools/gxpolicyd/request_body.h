// What every JSON endpoint of gxpolicyd shares: reading a request body
// into a document within bounds (nesting, numbers, memory), and the body
// of a refusal. The decision service and the review endpoints both use
// these, so a body is refused the same way whichever route it came to.
//
// No state; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/common/problem.h"
#include "tools/gxpolicyd/http_types.h"

namespace gxpolicyd {

// Arrays and objects may nest this deep in a body; deeper is refused
// before the parser sees it, so no body can exhaust the stack.
inline constexpr std::size_t kMaxBodyDepth = 32;

// Parses body into out. True on success. False with problem set (status 0;
// where: the key whose number overflowed, else "") for a body nested deeper
// than kMaxBodyDepth, text that is not JSON, or a number no double holds;
// out is then unspecified. Throws std::bad_alloc, before parsing, when a
// large body's document would not fit in the memory free now (a parse that
// ran out of memory could end the process: the document frees itself by
// allocating).
bool parseJsonBody(std::string_view body, nlohmann::json& out, gxpolicy::Problem& problem);

// A response of status with body as compact JSON (bytes that are not
// UTF-8 replaced), ending with a newline. Throws std::bad_alloc.
Response jsonResponse(int status, nlohmann::ordered_json const& body);

// The refusal body {"error", "field", "status", "status_text", "hint"}
// without the parts problem leaves empty (status: the status's code and
// words when not 0). Throws std::bad_alloc.
nlohmann::ordered_json problemJson(gxpolicy::Problem const& problem);

}  // namespace gxpolicyd
