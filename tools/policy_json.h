// Policy documents: the JSON form in which `gxpolicy import` loads ACLs,
// POPs, authorization rules and protected objects (with their attachments
// and extended attributes) into a database, and `gxpolicy export` writes
// them out again. The document shape is described at the top of
// tools/cmd_io.cpp.
//
// Import checks the whole document against the store before anything is
// written and then writes every change in one update transaction, so a bad
// document leaves the database exactly as it was. Export reads through the
// cache of the given store.
//
// Not synchronised beyond what the store does: one caller at a time.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

class daCachedStore;

namespace gxpolicy {

// Why an import or export failed.
struct DocumentProblem {
  // Where in the document, e.g. acls["a1"].entries[0].actions; empty when
  // the problem is not tied to one place (a store failure).
  std::string path;
  // What is wrong, in words.
  std::string message;
  // The library status behind the problem, or 0 for a shape error of the
  // document itself.
  unsigned long status = 0;
};

// What an import wrote.
struct ImportCounts {
  unsigned long acls = 0, pops = 0, rules = 0, objects = 0;
};

// Parses text as a JSON document into doc. False with problem set (the
// parser's message, no status) when it is not well-formed JSON.
bool parsePolicyDocument(std::string const& text, nlohmann::json& doc, DocumentProblem& problem);

// Loads doc into store, which must be open writable and hold an action
// catalogue (action strings are converted with its quick map). Every item
// of the document is checked first -- names, shapes, action strings,
// addresses, uuids, and that every policy an object names is in the
// document or already in the database -- and only then written, in one
// update transaction. True on success with counts filled. False with
// problem set: for a bad document nothing has been written; a failed commit
// reports the store's status (the store then holds what it could write).
// Takes the store's transaction lock for the write; may throw what the
// quick map throws (a catalogue without a "primary" group).
bool importPolicyDocument(daCachedStore& store, nlohmann::json const& doc, ImportCounts& counts,
                          DocumentProblem& problem);

// Builds in doc (replaced) the document of everything store holds: every
// ACL, POP and rule, and every protected object that has a record, an
// attachment or extended attributes. True on success; false with problem
// set (a record that does not decode as its kind, a map naming several
// policies, a read failure), doc then unspecified.
bool exportPolicyDocument(daCachedStore& store, nlohmann::json& doc, DocumentProblem& problem);

// The problem as one line: "<path>: <message>", followed by the status
// and its text when there is one.
std::string describe(DocumentProblem const& problem);

}  // namespace gxpolicy
