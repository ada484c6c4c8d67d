// Policy documents: the JSON form in which `gxpolicy import` loads ACLs,
// POPs, authorization rules and protected objects (with their attachments
// and extended attributes) into a database, and `gxpolicy export` writes
// them out again. The document shape is described at the top of
// tools/gxpolicy/cmd_io.cpp.
//
// Import streams the document (it is never held whole in memory) in two
// passes: the first checks every item and writes nothing, so a bad document
// leaves the database exactly as it was; the second writes the items in
// update transactions of a bounded size. Each transaction is atomic, the
// import as a whole is not: a failure or a crash in the writing pass leaves
// the transactions committed before it written. Export builds the whole
// document in memory, reading through the cache of the given store.
//
// Not synchronised beyond what the store does: one caller at a time.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "outside/gxobj.h"
#include "tools/common/problem.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// What an import wrote.
struct ImportCounts {
  unsigned long acls = 0, pops = 0, rules = 0, objects = 0;
  // Transactions committed; on a failure, those written before it.
  unsigned long transactions = 0;
};

// Opens the document from its beginning; called once per pass. A null or
// failed stream is reported as a problem.
using DocumentSource = std::function<std::unique_ptr<std::istream>()>;

struct ImportOptions {
  // Sets and deletes staged per transaction.
  unsigned long changesPerTransaction = 20000;
  // Optional; called now and then with phase "checking" (bytes of the
  // document read, of total; total 0 when the size is unknown) and then
  // "writing" (items written, of total).
  std::function<void(char const* phase, unsigned long done, unsigned long total)> progress;
  // The largest record the checking pass lets through, in encoded bytes:
  // the database's limit unless a caller wants less.
  unsigned long maxRecordBytes = gxobj_max_encoded_length;
  // Optional, not owned; must outlive the call. With a registry a user or
  // group entry may give its subject by "name" alone (resolved to the
  // uuid), and a name given with an "id" must be that uuid's name; a name
  // the registry does not know is a problem. Without one, "name" is a label
  // only, and an entry with a name but no id is a problem.
  gxreg::Registry* registry = nullptr;
};

// Loads the document into store, which must be open writable and hold an
// action catalogue (action strings are converted with its quick map).
// Every item is checked first -- names, shapes, action strings, addresses,
// uuids, items listed twice, and that every policy an object names is in
// the document or already in the database -- and only then written, in
// document order. True on success with counts filled. False with problem
// set: malformed JSON or a bad document (the first problem, where it is)
// writes nothing; the writing pass is ONE database transaction, so a
// failure while writing (the store's status is reported) or a crash also
// leaves the database as it was. counts.transactions is 1 after a write.
// Takes the store's transaction lock while it writes; may throw what the
// quick map throws (a catalogue without a "primary" group).
bool importPolicyDocument(daCachedStore& store, DocumentSource const& source, ImportOptions const& options,
                          ImportCounts& counts, Problem& problem);
// The same for a document held as text, with the default options.
bool importPolicyText(daCachedStore& store, std::string const& text, ImportCounts& counts,
                      Problem& problem);

// Builds in doc (replaced) the document of everything store holds: every
// ACL, POP and rule, and every protected object that has a record, an
// attachment or extended attributes. True on success; false with problem
// set (a record that does not decode as its kind, a map naming several
// policies, a read failure), doc then unspecified. With a registry (not
// owned) each user and group entry also gets its subject's "name" from it
// (left out for a uuid the registry does not know).
bool exportPolicyDocument(daCachedStore& store, nlohmann::json& doc, Problem& problem,
                          std::vector<std::string>* invalidText = nullptr, gxreg::Registry* registry = nullptr);

// The keys under base at every depth, each as the text after base ("" for
// base itself), into out (replaced). 0, with none for a base that holds no
// keys; else the store's listing status (out then empty). Throws
// std::bad_alloc when memory runs out.
unsigned long keysUnder(daCachedStore& store, char const* base, std::vector<std::string>& out);

}  // namespace gxpolicy
