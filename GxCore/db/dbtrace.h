// DBTrace: the scoped entry/exit tracer of the stores (gxdmd_svc_handle,
// sub-component 3). See GxCore/coretrace.h.
#pragma once

#include "GxCore/coretrace.h"

constexpr int gxdmd_sub_store = 3;
constexpr int gxdmd_sub_header = 6;

class DBTrace : public HXTrace {
 public:
  DBTrace(char const* name, unsigned long const& status, char const* file, int line,
          int level = hx_trace_level_entry)
      : HXTrace(gxdmd_svc_handle, gxdmd_sub_store, name, status, file, line, level) {}
};
