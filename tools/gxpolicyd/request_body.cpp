#include "tools/gxpolicyd/request_body.h"

#include <cstdlib>
#include <exception>
#include <new>

#include "outside/json_text.h"
#include "tools/common/status_text.h"

namespace gxpolicyd {

using json = nlohmann::json;

namespace {

// True when nesting (counted outside strings) goes deeper than kMaxBodyDepth.
bool tooDeep(std::string_view body) {
  std::size_t depth = 0;
  bool inString = false, escaped = false;
  for (char c : body) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    else if (c == '[' || c == '{') {
      if (++depth > kMaxBodyDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

// The parser's message without its "[json.exception.…] " tag.
std::string parserMessage(std::exception const& e) { return std::string(withoutParserTag(e.what())); }

// The key whose value the parser could not hold (a number out of range):
// the body is parsed again, remembering the last key read.
std::string keyOfOverflow(std::string_view body) {
  std::string last;
  try {
    json parsed = json::parse(body.begin(), body.end(), [&last](int, json::parse_event_t event, json& value) {
      if (event == json::parse_event_t::key) last = value.get<std::string>();
      return true;
    });
  } catch (std::exception const&) {
  }
  return last;
}

// Whether bytes can be allocated now (the pointer goes through a volatile
// so the probe is made).
bool memoryFor(std::size_t bytes) noexcept {
  void* volatile probe = std::malloc(bytes);
  std::free(probe);
  return probe != nullptr;
}

}  // namespace

bool parseJsonBody(std::string_view body, json& out, gxpolicy::Problem& problem) {
  // A document holds some ten times its text.
  if (body.size() > (std::size_t{64} << 10) && !memoryFor(body.size() * 10)) throw std::bad_alloc();
  if (tooDeep(body)) {
    problem = {"the body nests arrays or objects deeper than " + std::to_string(kMaxBodyDepth) + " levels", 0, "", ""};
    return false;
  }
  try {
    out = json::parse(body.begin(), body.end());
    return true;
  } catch (json::parse_error const& e) {
    problem = {"the body is not JSON: " + parserMessage(e), 0, "", ""};
  } catch (json::out_of_range const& e) {
    problem = {"a number is out of range: " + parserMessage(e), 0, "", keyOfOverflow(body)};
  }
  return false;
}

Response jsonResponse(int status, nlohmann::ordered_json const& body) {
  Response r;
  r.status = status;
  r.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  r.body += '\n';
  return r;
}

nlohmann::ordered_json problemJson(gxpolicy::Problem const& p) {
  nlohmann::ordered_json j = {{"error", p.message}};
  if (!p.where.empty()) j["field"] = p.where;
  if (p.status != 0) {
    j["status"] = gxpolicy::statusCode(p.status);
    j["status_text"] = gxpolicy::statusWords(p.status);
  }
  if (!p.hint.empty()) j["hint"] = p.hint;
  return j;
}

}  // namespace gxpolicyd
