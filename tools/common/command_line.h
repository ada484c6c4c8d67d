// The command line of gxpolicy and gxpolicyd: one way to parse it, report
// its mistakes and end with the tools' exit statuses.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace gxpolicy {

// Exit statuses of every tool: 0 success (or granted), 1 denied (or a case
// that failed, a damaged file found), 2 anything that kept the tool from
// answering -- a mistake on the command line included.
constexpr int kExitOk = 0;
constexpr int kExitDenied = 1;  // the answer is no: denied, a case failed, a file is damaged
constexpr int kExitError = 2;

// The candidate nearest to word by edit distance (insertions, deletions,
// substitutions and swaps of neighbours each count one), when it is close
// enough to be a likely typo: at most a third of word's length, at least 1
// and at most 3. "" when none is.
std::string nearest(std::string const& word, std::vector<std::string> const& candidates);

// Parses argv into app and runs the callbacks. Empty when the program
// goes on; else the status it exits with: kExitOk after --help or
// --version printed, a callback's code when it threw CLI::RuntimeError,
// kExitError for any other mistake on the command line, printed to stderr
// as "<program>: <what is wrong>" with "did you mean ...?" when a mistyped
// subcommand or option is near one app knows; kExitError, with
// "<program>: out of memory: ..." on stderr, when a callback ran out of
// memory (std::bad_alloc; a MemoryReserve is held while callbacks run).
// Never throws a CLI11 exception nor std::bad_alloc (a callback's other
// exceptions pass through).
std::optional<int> parseCommandLine(CLI::App& app, char const* program, int argc, char const* const* argv);

// Keeps address space in reserve for the time memory runs out: while one
// lives, the first allocation that fails (operator new) lets the reserve
// go and fails with std::bad_alloc all the same, so that what unwinds has
// memory to free itself with (the JSON library's documents allocate while
// they are freed, in destructors, where a failure would end the process).
// One at a time per process; it installs the new-handler and puts back the
// one before when it ends. The reserve is untouched memory: it costs
// address space, not pages.
class MemoryReserve {
 public:
  static constexpr std::size_t kBytes = std::size_t{64} << 20;
  MemoryReserve();
  ~MemoryReserve();
  MemoryReserve(MemoryReserve const&) = delete;
  MemoryReserve& operator=(MemoryReserve const&) = delete;
  // Takes the reserve again after it was let go, when memory allows; true
  // when it is held. Thread-safe; cheap when it is held.
  static bool replenish() noexcept;
};

// Adds --version to app: prints versionLine(program) and exits kExitOk.
void addVersionFlag(CLI::App& app, char const* program);

}  // namespace gxpolicy
