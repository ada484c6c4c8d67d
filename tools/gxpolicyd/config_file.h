// A configuration file for a command-line program: each long option is a
// key, so everything the command line can say the file can say, and the
// command line overrides the file.
//
//   # comment
//   db = /var/lib/gxpolicyd/replica.db
//   listen = 127.0.0.1:8181
//   attr-header = department=X-Gx-Attr-Department   # repeatable options: one line each
//   attr-header = site=X-Gx-Attr-Site
//   trust-any-front-end = false                      # flags: true/false, yes/no, on/off, 1/0
//   prefix = "/web"                                  # quotes keep '#' and spaces
//
// A value ends at a '#' that follows white space, unless it is quoted
// ("..." with \" and \\ inside). Secrets have no keys of their own: the
// program's options take them only from files (token-file, ...), so the
// configuration can be readable while the secrets are not.
//
// Thread safety: none; called once at start-up.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace gxpolicyd {

// Reads the file at path and gives each key's values to the option of app
// with that long name, unless the command line already gave it (app must
// have parsed the command line). Options that take one value may appear
// once; those that take many, on as many lines as they like. The values are
// checked by the option's own validators, as on the command line.
//
// Returns "" on success, else one line "PATH:LINE: what is wrong" (or
// "PATH: ..." for the file as a whole), and sets nothing more after the
// first problem. Problems: the file missing, unreadable, not a regular
// file, larger than 1 MiB, or writable by group or others (whoever can
// write it can choose the policy a service enforces); a line that is not
// KEY = VALUE; an unknown key (with the nearest known one when close); a
// key in refused (e.g. the option naming this file); a single-valued key
// given twice; a value its option refuses. Never throws a CLI11 exception;
// std::bad_alloc passes through.
std::string applyConfigFile(CLI::App& app, std::string const& path, std::vector<std::string> const& refused);

}  // namespace gxpolicyd
