#include "outside/udir.h"

namespace {

bool noRegistry() { return false; }

unsigned long noHandle(udir_handle_t* handle, char const*, char const*) {
  if (handle) *handle = nullptr;
  return udir_s_handle_failed;
}

udir_ops g_ops{&noRegistry, &noHandle};

}  // namespace

udir_ops udir_default_ops() { return udir_ops{&noRegistry, &noHandle}; }

udir_ops udir_set_ops(udir_ops const& ops) {
  udir_ops previous = g_ops;
  g_ops.is_registry = ops.is_registry ? ops.is_registry : &noRegistry;
  g_ops.create_domain_handle = ops.create_domain_handle ? ops.create_domain_handle : &noHandle;
  return previous;
}

bool udir_is_registry() { return g_ops.is_registry(); }

unsigned long udir_create_domain_handle(udir_handle_t* handle, char const* configFile, char const* domainName) {
  if (!handle) return udir_s_handle_failed;
  *handle = nullptr;
  return g_ops.create_domain_handle(handle, configFile ? configFile : "", domainName ? domainName : "");
}
