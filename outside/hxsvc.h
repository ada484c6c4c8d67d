// Message and trace service. Each subsystem logs through a component handle
// that keeps one debug level per sub-component. Catalogued messages (a
// 32-bit id, a severity attribute and typed inserts) and trace lines go to a
// sink: stderr by default, or a function the host or a test installs.
//
// Levels come from the environment variable GXCORE_TRACE, a comma-separated
// list of component[.sub]:level items, e.g. "gxdmd:8" (every sub-component of
// gxdmd at 8) or "gxcore.0:9,gxacl:1"; components are named without the
// "_svc_handle" suffix. Checking whether a trace line is enabled costs one
// relaxed atomic load, so a disabled trace costs a load and a branch.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

constexpr int hx_svc_max_subcomponents = 16;

struct hx_svc_handle_s {
  char const* component;
  std::atomic<int> levels[hx_svc_max_subcomponents];
  std::atomic<bool> filled;
};
using hx_svc_handle_t = hx_svc_handle_s*;

extern hx_svc_handle_t gxdmd_svc_handle;     // stores
extern hx_svc_handle_t gxcore_svc_handle;    // core classes, domains, replica
extern hx_svc_handle_t gxacl_svc_handle;     // ACL names, policy lookups
extern hx_svc_handle_t bas_svc_handle;       // base services (allocation)
extern hx_svc_handle_t hx_ras_svc_handle;    // tracing, reference counts
extern hx_svc_handle_t policysrv_svc_handle; // POP decoding, server records

// Code-set tag of hx_svc_printf_cs_withfile; only UTF-8 exists here.
constexpr int hx_svc_utf8_cs = 1;

// Message severity attributes.
constexpr int hx_svc_attr_info = 16;
constexpr int hx_svc_attr_warning = 32;
constexpr int hx_svc_attr_error = 48;
constexpr int hx_svc_attr_fatal = 64;

// (Re)loads the handle's levels from GXCORE_TRACE.
void hx_svc__debug_fillin2(hx_svc_handle_t handle, int sub);

inline bool hx_svc_trace_enabled(hx_svc_handle_t h, int sub, int level) {
  return h->levels[static_cast<unsigned>(sub) % hx_svc_max_subcomponents].load(std::memory_order_relaxed) >= level;
}
// Sets a sub-component's level (sub < 0: every sub-component).
void hx_svc_set_level(hx_svc_handle_t handle, int sub, int level);

// Writes a printf-style trace line when the level is enabled.
void hx_svc__debug_utf8_withfile(hx_svc_handle_t handle, char const* file, int line, int sub, int level,
                                 char const* format, ...) __attribute__((format(printf, 6, 7)));

// Logs catalogued message id. format only types the inserts that follow
// ("%s%lx": a text then an unsigned long shown in hex; "%d", "%ld", "%lx",
// "%x", "%s" are understood).
void hx_svc_printf_cs_withfile(hx_svc_handle_t handle, int codeset, char const* file, int line, char const* format,
                               int sub, int attributes, unsigned long id, ...);

// One logged message or trace line as handed to a sink.
struct hx_svc_record {
  bool isTrace = false;           // a trace line (id and inserts unused)
  std::string component;          // "gxdmd", "gxcore", ...
  int sub = 0;
  int attributes = 0;             // messages: severity; traces: the level
  unsigned long id = 0;           // messages: the message id
  std::vector<std::string> inserts;  // messages: inserts as text (%lx in hex, no 0x)
  std::string text;               // the formatted line
  std::string file;
  int line = 0;
};
using hx_svc_sink = std::function<void(hx_svc_record const&)>;

// Installs a sink for every message and enabled trace line and returns the
// previous one; an empty function restores the stderr sink. Sinks may be
// called from any thread, concurrently.
hx_svc_sink hx_svc_set_sink(hx_svc_sink sink);

// A short English text for a status code, or "unknown status".
char const* hx_svc_status_text(unsigned long status);

// Convenience macros with the caller's file and line.
#define HX_TRACE(h, sub, level, ...)                                             \
  do {                                                                           \
    if (hx_svc_trace_enabled((h), (sub), (level)))                               \
      hx_svc__debug_utf8_withfile((h), __FILE__, __LINE__, (sub), (level), __VA_ARGS__); \
  } while (0)

#define HX_LOG(h, sub, attributes, id, format, ...)                              \
  hx_svc_printf_cs_withfile((h), hx_svc_utf8_cs, __FILE__, __LINE__, (format), (sub), (attributes), (id), ##__VA_ARGS__)
