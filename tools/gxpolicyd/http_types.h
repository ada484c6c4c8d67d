// What the HTTP transport hands to a handler and sends back: a request
// (method, path, headers, body and the transport's verdict on the body)
// and a response. The transport (http_server.h) and the decision service
// (service.h) both speak these, so neither needs the other's header.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gxpolicyd {

struct Request {
  std::string_view method;
  std::string_view path;  // without the query
  // The value of a request header (case-insensitive name), or null.
  std::function<char const*(char const* name)> header;
  // How many times the request carries a header (case-insensitive name);
  // null when the transport cannot tell (then a present header counts once).
  std::function<unsigned(char const* name)> headerCount;
  std::string_view body;
  bool bodyTooLarge = false;  // the transport stopped reading a body over the cap
  bool bodyOverBudget = false;  // the transport holds as many bodies as it may: 503
  bool bodyNoMemory = false;    // the transport could not allocate the body (left unread): 503
};

struct Response {
  int status = 200;
  char const* contentType = "application/json";  // static text (a literal): set per response, never copied
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

}  // namespace gxpolicyd
