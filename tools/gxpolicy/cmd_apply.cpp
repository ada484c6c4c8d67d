// gxpolicy apply / validate / log: policy as code and the change log.
//
//   gxpolicy apply DB CHANGES.json [--if-sequence N] [--dry-run] [--as NAME] [--registry R]
//       runs a changes document (tools/common/policy_changes.h describes it)
//       as one change: all of it or nothing, with its change-log entry.
//       CHANGES.json "-" reads standard input. Exit status 3 when the
//       database is no longer at --if-sequence N. --dry-run prints the
//       changes and their effect on decisions (who gains and who loses
//       which actions where), writing nothing.
//   gxpolicy validate FILE [--registry R]
//       every check import makes of a policy document, without a database:
//       the document is checked against a scratch database holding the
//       default action catalogue, so every policy an object names must be in
//       the document.
//   gxpolicy log DB [--since SEQ] [--object PATH] [--json]
//       the change log, oldest first: each change's sequence number, time
//       (UTC), administrator@address and command, and each item it created,
//       changed (with the fields) or deleted; --json prints each entry as
//       one JSON line with the items before and after.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/common/change_effect.h"
#include "tools/common/change_log.h"
#include "tools/common/json_error.h"
#include "tools/common/policy_changes.h"
#include "tools/common/policy_document.h"
#include "tools/common/policy_import.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;

struct ApplyArgs {
  std::string db, domain = "Default", registry, file;
  ChangeArgs change;
  std::optional<unsigned long> since;
  std::string object;
  bool json = false;
};

[[noreturn]] void failWith(std::string const& text) {
  std::fprintf(stderr, "gxpolicy: %s\n", text.c_str());
  throw CLI::RuntimeError(kExitError);
}

// The changes document in file ("-": standard input), parsed from the
// stream: input that is no JSON (/dev/zero, "yes |") stops at its first
// bytes. Malformed JSON is reported with its line and column (with its byte
// offset for standard input, which cannot be read again).
json readChanges(std::string const& file) {
  bool const standardInput = file == "-";
  std::error_code ec;
  if (!standardInput && std::filesystem::is_directory(file, ec)) failWith("cannot read " + file + ": it is a directory");
  std::ifstream opened;
  if (!standardInput) {
    opened.open(file, std::ios::binary);
    if (!opened) failWith("cannot read " + file);
  }
  try {
    return json::parse(standardInput ? std::cin : opened);
  } catch (json::parse_error const& e) {
    std::size_t consumed = e.byte > 0 ? e.byte - 1 : 0;
    std::string place = "byte " + std::to_string(consumed);
    if (!standardInput) {
      std::ifstream again(file, std::ios::binary);
      place = jsonErrorPlace(again, consumed);
    }
    failWith((standardInput ? std::string("standard input") : file) + ": malformed JSON at " + place + ": " +
             jsonErrorCause(e));
  }
}

void apply(ApplyArgs const& a) {
  json doc = readChanges(a.file);
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 1, 0);
  openOrFail(store, a.db, 0);  // a dry run writes in a write group it abandons
  std::unique_ptr<gxreg::Registry> registry = openRegistry(a.db, a.registry);
  ChangeOptions options = changeOptions(a.change, "apply " + a.file, registry.get());
  if (!options.dryRun) return reportChange(applyChanges(store, doc, options), a.db);
  // A dry run shows what the changes would do to decisions as well.
  ChangePreview preview = previewChange(
      store, [&](daCachedStore& copy, ChangeOptions const& o) { return applyChanges(copy, doc, o); }, options,
      registry.get());
  reportChange(preview.result, a.db);
  std::printf("effect on decisions:\n%s", describeEffect(preview.effect).c_str());
}

// A fresh directory, removed with what it holds.
class ScratchDir {
 public:
  ScratchDir() {
    char const* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/gxpolicy-validate.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) failWith("cannot create a scratch folder in " + tmpl);
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;
  std::string file(char const* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void validate(ApplyArgs const& a) {
  if (a.file != "-" && !std::filesystem::is_regular_file(a.file)) failWith("cannot read " + a.file);
  ScratchDir scratch;
  std::string db = scratch.file("scratch.db");
  createOrFail(db, a.domain);
  daCachedStore store(a.domain.c_str(), db.c_str(), 0, 0);
  openOrFail(store, db, 1);
  std::unique_ptr<gxreg::Registry> registry;
  if (!a.registry.empty()) registry = openRegistry(db, a.registry);
  std::string text;
  if (a.file == "-") text.assign(std::istreambuf_iterator<char>(std::cin), {});
  std::string const file = a.file;
  DocumentSource source = [&]() -> std::unique_ptr<std::istream> {
    if (file == "-") return std::make_unique<std::istringstream>(text);
    return std::make_unique<std::ifstream>(file, std::ios::binary);
  };
  ImportOptions options;
  options.registry = registry.get();
  options.checkOnly = true;
  ImportCounts counts;
  Problem problem;
  bool ok;
  try {
    ok = importPolicyDocument(store, source, options, counts, problem);
  } catch (std::exception const& e) {
    failWith("validate " + a.file + ": " + e.what());
  }
  if (!ok) failWith("validate " + a.file + ": " + describe(problem));
  std::printf("%s: valid: %lu ACLs, %lu POPs, %lu rules and %lu objects\n", a.file.c_str(), counts.acls, counts.pops,
              counts.rules, counts.objects);
}

void showLog(ApplyArgs const& a) {
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 1, 0);
  openOrFail(store, a.db, 1);
  ChangeLogQuery query;
  query.since = a.since;
  std::vector<std::pair<std::string, std::string>> attached;
  if (!a.object.empty()) {
    query.object = objectOrFail(a.object).getPathName();
    json object;
    try {
      object = document::exportItem(store, nullptr, document::kObjects, *query.object);
    } catch (document::BadItem const& bad) {
      throw CLI::RuntimeError(fail("cannot read " + *query.object + ": " + bad.message, bad.status));
    }
    for (int kind = 0; kind < kKindCount && object.is_object(); ++kind)
      if (object.contains(kKinds[kind].field))
        attached.emplace_back(kKinds[kind].field, object[kKinds[kind].field].get<std::string>());
  }
  std::vector<json> entries;
  if (unsigned long st = readChangeLog(store, query, attached, entries); st != 0)
    throw CLI::RuntimeError(fail("cannot read the change log of " + a.db, st));
  for (json const& entry : entries) {
    if (a.json) std::printf("%s\n", entry.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    else std::fputs(describeEntry(entry).c_str(), stdout);
  }
}

}  // namespace

void registerApplyCommands(CLI::App& app) {
  auto args = std::make_shared<ApplyArgs>();
  auto* ap = app.add_subcommand("apply", "run a changes document as one change (all of it or nothing), logged");
  addDatabaseOptions(ap, args->db, args->domain);
  ap->add_option("CHANGES", args->file, "changes document (JSON); - for standard input")->required();
  ap->add_option("--registry", args->registry, "user registry (default: DB.registry.json if it exists)");
  addChangeOptions(ap, args->change);
  ap->callback([args] { apply(*args); });

  auto* v = app.add_subcommand("validate", "check a policy document as import does, without a database");
  v->add_option("FILE", args->file, "policy document (JSON); - for standard input")->required();
  v->add_option("--registry", args->registry, "user registry resolving entry names");
  v->callback([args] { validate(*args); });

  auto* l = app.add_subcommand("log", "print the change log: who changed what, when, and the sequence number");
  addDatabaseOptions(l, args->db, args->domain);
  l->add_option("--since", args->since, "only changes that produced a sequence number above this one");
  l->add_option("--object", args->object, "only changes of this object (or below it) or of a policy attached there");
  l->add_flag("--json", args->json, "one JSON line per change, each item before and after");
  l->callback([args] { showLog(*args); });
}

}  // namespace gxpolicy
