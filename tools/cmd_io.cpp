// gxpolicy import / export: load a policy document (JSON) into a database,
// and write everything a database holds as such a document.
//
//   gxpolicy import DB FILE     FILE "-" reads standard input
//   gxpolicy export DB [FILE]   no FILE (or "-") writes standard output
//
// The document (every section and every field not marked required may be
// left out; unknown fields are refused, so that a misspelt field is not
// silently ignored):
//
//   {
//     "acls": {
//       "NAME": {
//         "description": "text",
//         "entries": [                       // kept in this order
//           {"type": "user" | "group" | "any-other" | "unauthenticated",  // required
//            "id": "uuid",                   // required for user and group, else refused
//            "name": "label",                // for readers only; not stored
//            "actions": "Tr[group]a"}        // required; "" grants nothing
//         ],
//         "attributes": {"key": ["value", ...]}   // extended attributes
//       }
//     },
//     "pops": {
//       "NAME": {
//         "description": "text", "warning": false, "audit": 0, "qop": 0,
//         "day_access": 0, "start_access": 0, "end_access": 0, "time_reference": 0,
//         "default_level": 0,                // level for callers no entry matches
//         "ipauth": [                        // tried in order, first match wins
//           {"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 2},   // all required
//           {"network": "fd00::", "netmask": "ffff::", "level": 1}
//         ],
//         "attributes": {...}
//       }
//     },
//     "rules": {
//       "NAME": {"description": "text", "text": "rule text", "reason": "text",
//                "adilist": ["name", ...], "attributes": {...}}
//     },
//     "objects": {
//       "/a/b": {"description": "text", "type": 0, "attachable": true,
//                "acl": "NAME", "pop": "NAME", "rule": "NAME",   // attached policies
//                "attributes": {...}}
//     }
//   }
//
// Import: action strings are converted with the database's action
// catalogue; names must be valid names of their kind; a policy an object
// names must be in the document or already in the database. The whole
// document is checked before anything is written; the first problem is
// reported with its place in the document (e.g. objects["/a"].acl) and
// nothing is written. Every item then replaces what the database holds
// under its name -- its extended attributes and, for an object, its
// attachments included (a field left out removes them) -- in one
// transaction; attachments are recorded in both directions, and the
// policies' lists of objects keep the objects the document does not
// mention. Items the document does not name are left alone.
//
// Export writes every ACL, POP and rule and every protected object that has
// a record, an attachment or extended attributes, every field spelled out,
// so that exporting, importing into a new database and exporting again
// gives the same document.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "tools/gxpolicy.h"
#include "tools/policy_json.h"

namespace gxpolicy {
namespace {

struct IoArgs {
  std::string db;
  std::string file = "-";
  std::string domain = "Default";
};

std::unique_ptr<daCachedStore> openStore(IoArgs const& a, int readOnly) {
  auto store = std::make_unique<daCachedStore>(a.domain.c_str(), a.db.c_str(), 1, 0);
  openOrFail(*store, a.db, readOnly);
  return store;
}

[[noreturn]] void failWith(std::string const& text) {
  std::fprintf(stderr, "gxpolicy: %s\n", text.c_str());
  throw CLI::RuntimeError(1);
}

nlohmann::json readDocument(std::string const& file) {
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) failWith("cannot read " + file);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  nlohmann::json doc;
  DocumentProblem problem;
  if (!parsePolicyDocument(text, doc, problem)) failWith("import " + file + ": " + describe(problem));
  return doc;
}

void importFile(IoArgs const& a) {
  nlohmann::json doc = readDocument(a.file);
  auto store = openStore(a, 0);
  ImportCounts counts;
  DocumentProblem problem;
  bool ok;
  try {
    ok = importPolicyDocument(*store, doc, counts, problem);
  } catch (std::exception const& e) {  // a catalogue the quick map cannot be built from
    failWith("import " + a.file + ": " + e.what());
  }
  if (!ok) failWith("import " + a.file + ": " + describe(problem) + "; nothing was written");
  unsigned long seq, st;
  store->getSeqNum(seq, st);
  std::printf("imported %lu ACLs, %lu POPs, %lu rules and %lu objects into %s (sequence number %lu)\n",
              counts.acls, counts.pops, counts.rules, counts.objects, a.db.c_str(), seq);
}

void exportFile(IoArgs const& a) {
  auto store = openStore(a, 1);
  nlohmann::json doc;
  DocumentProblem problem;
  bool ok;
  try {
    ok = exportPolicyDocument(*store, doc, problem);
  } catch (std::exception const& e) {
    failWith("export " + a.db + ": " + e.what());
  }
  if (!ok) failWith("export " + a.db + ": " + describe(problem));
  std::string text = doc.dump(2) + "\n";
  if (a.file == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  std::ofstream out(a.file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) failWith("cannot write " + a.file);
}

}  // namespace

void registerIoCommands(CLI::App& app) {
  auto args = std::make_shared<IoArgs>();
  auto* i = app.add_subcommand("import", "load a JSON policy document into a policy database (all or nothing)");
  addDatabaseOptions(i, args->db, args->domain);
  i->add_option("FILE", args->file, "JSON document, - for standard input")->required();
  i->callback([args] { importFile(*args); });
  auto* e = app.add_subcommand("export", "write the policy of a database as a JSON document");
  addDatabaseOptions(e, args->db, args->domain);
  e->add_option("FILE", args->file, "output file (default: standard output)");
  e->callback([args] { exportFile(*args); });
}

}  // namespace gxpolicy
