// Scoped tracers. An HXTrace writes "CII ENTRY: <name>" when it is built and,
// when it goes out of scope, the status it was given (if non-zero, at level
// 1) and "CII EXIT: <name>" (at level 8). When the levels are off a tracer
// costs one load and a branch on each end.
//
// CoreTrace traces through gxcore_svc_handle, sub-component 0; DBTrace (in
// GxCore/db/dbtrace.h) through gxdmd_svc_handle, sub-component 3.
#pragma once

#include "outside/hxsvc.h"

constexpr int hx_trace_level_entry = 8;
constexpr int hx_trace_level_open = 6;
constexpr int hx_trace_level_status = 1;
constexpr int hx_trace_level_exception = 9;

class HXTrace {
 public:
  HXTrace(hx_svc_handle_t handle, int sub, char const* name, unsigned long const& status, char const* file, int line,
          int level = hx_trace_level_entry)
      : handle_(handle), sub_(sub), level_(level), name_(name), status_(status), file_(file), line_(line) {
    if (hx_svc_trace_enabled(handle_, sub_, level_))
      hx_svc__debug_utf8_withfile(handle_, file_, line_, sub_, level_, level_ == hx_trace_level_open ? "CEI ENTRY: %s\n" : "CII ENTRY: %s\n", name_);
  }
  ~HXTrace() {
    if (status_ != 0 && hx_svc_trace_enabled(handle_, sub_, hx_trace_level_status))
      hx_svc__debug_utf8_withfile(handle_, file_, line_, sub_, hx_trace_level_status, "status:  0x%8.8lx\n", status_);
    if (hx_svc_trace_enabled(handle_, sub_, level_))
      hx_svc__debug_utf8_withfile(handle_, file_, line_, sub_, level_, level_ == hx_trace_level_open ? "CEI EXIT: %s\n" : "CII EXIT: %s\n", name_);
  }
  HXTrace(HXTrace const&) = delete;
  HXTrace& operator=(HXTrace const&) = delete;

 private:
  hx_svc_handle_t handle_;
  int sub_;
  int level_;
  char const* name_;
  unsigned long const& status_;
  char const* file_;
  int line_;
};

class CoreTrace : public HXTrace {
 public:
  CoreTrace(char const* name, unsigned long const& status, char const* file, int line)
      : HXTrace(gxcore_svc_handle, 0, name, status, file, line) {}
};

// Traces that an exception of class name is about to be thrown.
inline void hx_trace_exception(hx_svc_handle_t handle, int sub, char const* className) {
  HX_TRACE(handle, sub, hx_trace_level_exception, "%s Exception thrown. \n", className);
}
