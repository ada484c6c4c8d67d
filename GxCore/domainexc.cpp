#include "GxCore/domainexc.h"

#include <cstdlib>

#include "GxCore/coretrace.h"

void daDomainException::addLocation(char const* file, int line) {
  located_ = std::string(ZException_6_0::what()) + " (" + (file ? file : "?") + ":" + std::to_string(line) + ")";
}

char const* daDomainException::what() const noexcept {
  return located_.empty() ? ZException_6_0::what() : located_.c_str();
}

void daDomainException::throwException(char const* file, int line) {
  addLocation(file, line);
  hx_trace_exception(gxcore_svc_handle, 0, className());
  throwCopy();
  std::abort();  // not reached: throwCopy always throws
}

void daDomainException::print() const {
  HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_info, code(), "");
}
