// gxpolicy: command-line access to a policy database file. Each family of
// subcommands registers itself on the CLI11 application from its own file.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/common/command_line.h"
#include "tools/common/policy_changes.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class daLocalStore;
class daPObjName;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// Prints "gxpolicy: <what>: status 0x........ (<text>)" to stderr and
// returns the exit code kExitError.
int fail(std::string const& what, unsigned long status);

// Stops the library's catalogued messages ("gxcore message 0x...") from
// reaching standard error: every command reports its failures in its own
// words. Trace lines (GXCORE_TRACE) still go to standard error. Installs a
// message sink for the whole process (main does this unless --verbose).
void quietLibraryMessages();

// Adds the positional DB (required) and the --domain option to sub.
void addDatabaseOptions(CLI::App* sub, std::string& db, std::string& domain);
// Checks the structure of the database file db (hx_db_verify_file); damage
// is printed with what to do and thrown as CLI::RuntimeError.
void verifyOrFail(std::string const& db);
// Opens store (read-only or writable) after verifyOrFail on db; a failure is
// printed and thrown as CLI::RuntimeError.
void openOrFail(daLocalStore& store, std::string const& db, int readOnly);
// The protected object named by path, normalised; a bad name is printed and
// thrown as CLI::RuntimeError.
daPObjName objectOrFail(std::string const& path);

// The user registry for db: the one option names when it is not empty (it
// must exist: a stanza file with an [ldap] stanza opens the directory back
// end, any other file is a JSON file registry), else the file registry
// beside db (db + ".registry.json") when that exists; null when there is none. A registry that cannot be read
// is printed and thrown as CLI::RuntimeError.
std::unique_ptr<gxreg::Registry> openRegistry(std::string const& db, std::string const& option);

// Creates the database file db and runs the create steps on it; a failure
// is printed and thrown as CLI::RuntimeError.
void createOrFail(std::string const& db, std::string const& domain);

// Steps run by "gxpolicy create" on the new, open store after the file is
// created, in registration order (e.g. storing a default action catalogue).
using CreateStep = std::function<unsigned long(daLocalStore& store)>;
void addCreateStep(CreateStep step);
std::vector<CreateStep> const& createSteps();

// Exit status of a change refused because the database moved past
// --if-sequence: nothing was written; read the policy again.
constexpr int kExitConflict = 3;

// The options every changing command takes: --as, --if-sequence, --dry-run.
struct ChangeArgs {
  std::string as;
  std::optional<unsigned long> ifSequence;
  bool dryRun = false;
};
void addChangeOptions(CLI::App* sub, ChangeArgs& args);
// The user running the command (the change log's administrator by default).
std::string osUserName();
// The change options for a command: the administrator from --as or the OS
// user, address "local"; command names the command for the log.
ChangeOptions changeOptions(ChangeArgs const& args, std::string command, gxreg::Registry* registry);
// Prints what a change did (or would do) and its sequence number; a
// refused or failed change is printed to stderr and thrown as
// CLI::RuntimeError (kExitConflict for a conflict, else kExitError).
void reportChange(ChangeResult const& result, std::string const& db);

// Subcommand families; each adds its subcommands and sets their callbacks
// (a callback reports failure by throwing CLI::RuntimeError(exitCode)).
void registerStoreCommands(CLI::App& app);
void registerActionCommands(CLI::App& app);
void registerPopCommands(CLI::App& app);
void registerReplicateCommands(CLI::App& app);
void registerPublishCommands(CLI::App& app);  // publish snapshots for replicas elsewhere
void registerKeygenCommands(CLI::App& app);   // key pairs for signed snapshots
void registerPolicyCommands(CLI::App& app);
void registerIoCommands(CLI::App& app);
void registerGenerateCommands(CLI::App& app);
void registerRegistryCommands(CLI::App& app);
void registerDecisionCommands(CLI::App& app);  // check, explain, test
void registerBenchCommands(CLI::App& app);
void registerVerifyCommands(CLI::App& app);
void registerReviewCommands(CLI::App& app);  // who-can, what-can, diff
void registerTokenCommands(CLI::App& app);   // administrators' bearer tokens
// acl/pop create, show, ... (after registerPolicyCommands and
// registerPopCommands: it adds to their acl and pop), rule, object.
void registerEditCommands(CLI::App& app);
void registerApplyCommands(CLI::App& app);  // apply, validate, log

// How `gxpolicy diff` prints: only under (a path; "" the root), JSON or
// text, and which change makes it fail ("gained", "lost", "any"; "" none).
struct DiffPrint {
  std::string under, failOn;
  bool json = false;
  bool replace = false;  // a document replaces the whole policy (import --replace) rather than merging
};
// Prints what importing the policy document at document (JSON, or YAML by
// its name) into the database db would change, as `gxpolicy diff` does:
// the document goes into a scratch copy of db in $TMPDIR, removed
// afterwards; db is only read. Returns kExitOk, or kExitDenied when
// how.failOn finds its kind of change. A database, registry or document
// that cannot be read or imported is printed and thrown as
// CLI::RuntimeError(kExitError).
int printDocumentDiff(std::string const& db, std::string const& domain, std::string const& document,
                      std::string const& registry, DiffPrint const& how);

}  // namespace gxpolicy
