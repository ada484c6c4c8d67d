// What the HTTP transport hands to a handler and sends back: a request
// (method, path, headers, body and the transport's verdict on the body)
// and a response. The transport (http_server.h) and the decision service
// (service.h) both speak these, so neither needs the other's header.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sockaddr;

namespace gxpolicyd {

// A request header as received. value ends with a NUL (the transport's
// values do, and so must a test's).
struct HeaderField {
  std::string_view name;
  char const* value;
};

struct Request {
  std::string_view method;
  std::string_view path;  // without the query
  // The headers in the order received; a name may come more than once.
  // The transport collects them once per request, so that a handler asking
  // for a dozen names reads one short list rather than the connection's.
  std::span<HeaderField const> headers;
  // The query's arguments ("?a=1&b=2"), each decoded once, in the order
  // sent; a name may come more than once, one without "=" is left out.
  // Names compare exactly. queryHasNul: an argument decoded to a NUL byte
  // (its value would end there), which no handler may take as given.
  std::span<HeaderField const> query;
  bool queryHasNul = false;
  std::string_view body;
  bool bodyTooLarge = false;  // the transport stopped reading a body over the cap
  bool bodyOverBudget = false;  // the transport holds as many bodies as it may: 503
  bool bodyNoMemory = false;    // the transport could not allocate the body (left unread): 503
  // The client's socket address as the transport accepted it (null: not
  // known, e.g. a test's request); valid during the handler's call.
  sockaddr const* peer = nullptr;
  // Over TLS with client CAs configured: the common name of the client's
  // certificate when it verified against them for a TLS client and its
  // subject holds exactly one; "" otherwise.
  std::string_view clientName;

  // The value of the first header called name (case-insensitive), or null.
  char const* header(std::string_view name) const {
    for (HeaderField const& h : headers)
      if (sameName(h.name, name)) return h.value;
    return nullptr;
  }
  // How many times the request carries a header called name.
  unsigned headerCount(std::string_view name) const {
    unsigned n = 0;
    for (HeaderField const& h : headers) n += sameName(h.name, name) ? 1 : 0;
    return n;
  }
  // Header names compare without regard to ASCII case.
  static bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
      if (x != y && (x | 0x20) != (y | 0x20)) return false;
      if (x != y && !((x | 0x20) >= 'a' && (x | 0x20) <= 'z')) return false;
    }
    return true;
  }
};

struct Response {
  int status = 200;
  char const* contentType = "application/json";  // static text (a literal): set per response, never copied
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

}  // namespace gxpolicyd
