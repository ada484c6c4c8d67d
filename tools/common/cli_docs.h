// Manual pages and shell completion written from a tool's command-line
// definition, so that neither can drift from what --help says: the same
// CLI11 application that parses the command line is walked to write them.
//
// The tools write them when run as "TOOL --write-docs DIR" (the build does
// this once and installs the result); nothing here reads or changes the
// options' values.
//
// Thread safety: none needed; each call only reads app.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace gxpolicy {

// What a manual page says beyond the options.
struct ManPageInfo {
  std::string name;        // "gxpolicy", "gxpolicyd"
  int section = 1;         // 1 commands, 5 file formats, 8 daemons
  std::string summary;     // one line for NAME; the app's description when empty
  std::string description; // paragraphs (blank lines between them) for DESCRIPTION
  std::vector<std::pair<std::string, std::string>> extraSections;  // title, paragraphs ("Example(s)": verbatim)
  std::vector<std::string> seeAlso;                                 // "gxpolicyd(8)"
};

// The roff text of the page for app (or one of its subcommands: name it
// "gxpolicy-import" and pass the subcommand). Options in the order they
// were added, hidden ones (empty group) left out, each with its value's
// type, its default and its description; the footer (examples) as an
// EXAMPLES section, verbatim. Subcommands, if any, are listed with their
// descriptions and pointed to their own pages (NAME-SUB(section)).
std::string manPage(CLI::App const& app, ManPageInfo const& info);

// The page of a configuration file whose keys are app's long options
// without their dashes (see config_file.h): each key with its value's type,
// default and description. Options named in excluded are left out.
std::string configManPage(CLI::App const& app, ManPageInfo const& info, std::vector<std::string> const& excluded);

// A bash completion script for program: subcommands (and theirs), long
// options per (sub)command, and file names where an option takes a value.
std::string bashCompletion(CLI::App const& app, std::string const& program);

// When argv is exactly {program, "--write-docs", DIR}: writes into DIR
// the page for app and one per subcommand (section 1, or the section of
// info), plus "PROGRAM.bash" (completion) and the pages in extraPages
// (file name, text), then returns kExitOk; kExitError with a message on
// stderr when DIR cannot be written. Empty (do nothing) for any other
// command line.
std::optional<int> writeDocsIfAsked(CLI::App const& app, ManPageInfo const& info,
                                    std::vector<std::pair<std::string, std::string>> const& extraPages, int argc,
                                    char const* const* argv);

}  // namespace gxpolicy
