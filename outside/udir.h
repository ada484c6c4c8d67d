// The user-registry adapter as the domain manager sees it: whether a
// registry is configured, and the creation of the process's registry handle
// for a domain. Both calls go through a table of functions so that a host
// (or a test) can put its own registry client behind them; the built-in
// table reports no registry, which is what a process without one expects.
#pragma once

struct udir_domain_handle_s;
// An opaque handle on the registry, made by the adapter and kept by the
// caller for the life of the process.
using udir_handle_t = udir_domain_handle_s*;

// Statuses of handle creation that callers report as they are; any other
// failure is reported as udir_s_handle_failed.
constexpr unsigned long udir_s_config_unreadable = 0x14C0141C;
constexpr unsigned long udir_s_registry_unreachable = 0x14C0141D;
constexpr unsigned long udir_s_bind_refused = 0x14C0141E;
constexpr unsigned long udir_s_handle_failed = 0x14C01420;

struct udir_ops {
  // True when a registry is configured for this process.
  bool (*is_registry)();
  // On success *handle is a new handle for domainName (configFile may be
  // empty) and the result is 0; on failure *handle is left null and the
  // result is a registry status.
  unsigned long (*create_domain_handle)(udir_handle_t* handle, char const* configFile, char const* domainName);
};

// Installs ops and returns the table in force before; a null member selects
// the built-in function. Not synchronised with the calls below: install the
// table before any thread uses the registry.
udir_ops udir_set_ops(udir_ops const& ops);
// The built-in table: no registry; creation fails with udir_s_handle_failed.
udir_ops udir_default_ops();

bool udir_is_registry();
unsigned long udir_create_domain_handle(udir_handle_t* handle, char const* configFile, char const* domainName);
