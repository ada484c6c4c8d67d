// Policy import: loads a policy document -- ACLs, POPs, authorization
// rules and protected objects with their attachments and extended
// attributes, in the JSON form described at the top of
// tools/gxpolicy/cmd_io.cpp -- into a database, as `gxpolicy import` does.
//
// The document is streamed (never held whole in memory) in two passes. The
// first checks every item and writes nothing. The second writes the items,
// staged in update transactions of a bounded size that are all part of ONE
// database transaction: the import is atomic as a whole, so a bad document,
// a failure while writing or a crash leaves the database exactly as it
// was.
//
// Not synchronised beyond what the store does: one caller at a time.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>

#include "outside/gxobj.h"
#include "tools/common/change_log.h"
#include "tools/common/problem.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// What an import wrote: all zero unless it succeeded.
struct ImportCounts {
  unsigned long acls = 0, pops = 0, rules = 0, objects = 0;
  // Items removed because the document lacks them (ImportOptions::replace).
  unsigned long removed = 0;
  // The database's sequence number once the import is committed.
  unsigned long sequence = 0;
  // Database transactions committed: 1 after a successful import.
  unsigned long transactions = 0;
};

// Opens the document from its beginning; called once per pass (and once
// more to find the line of malformed JSON). A null or failed stream is
// reported as a problem.
using DocumentSource = std::function<std::unique_ptr<std::istream>()>;

struct ImportOptions {
  // Sets and deletes staged in memory before they are handed to the
  // database (all of them still in the one database transaction).
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
  // The document becomes the whole policy: every ACL, POP, rule and object
  // it lacks is removed (an object with its attachments) in the same
  // database transaction, and every policy an object names must be in the
  // document itself.
  bool replace = false;
  // Only the checking pass: counts are filled, nothing is written.
  bool checkOnly = false;
  // When set, the import is recorded in the change log (change_log.h) in
  // its database transaction: every item with what the database held
  // before, under this administrator and command.
  std::optional<Actor> actor;
  std::string command = "import";
};

// Loads the document into store, which must be open writable and hold an
// action catalogue (action strings are converted with its quick map).
// Every item is checked first -- names, shapes, action strings, addresses,
// uuids, rules that do not compile, keys and records over the database's
// limits, items listed twice, and that every policy an object names is in
// the document or already in the database (in the document, when
// replacing) -- and only then written, in document order, as one database
// transaction that also removes what the document lacks (replace) and
// holds the change-log entry (actor). With checkOnly nothing is written
// and store may be read-only.
// True on success, counts filled. False with problem set and counts zero,
// the database as it was: malformed JSON or a bad document (the first
// problem and where it is), a catalogue without a "primary" group holding
// actions (status gx_s_no_action_group), a store that cannot begin, write
// or commit the transaction (its status). Takes the store's transaction
// lock while it writes. Throws std::bad_alloc when memory runs out.
bool importPolicyDocument(daCachedStore& store, DocumentSource const& source, ImportOptions const& options,
                          ImportCounts& counts, Problem& problem);
// The same for a document held as text, with the default options.
bool importPolicyText(daCachedStore& store, std::string const& text, ImportCounts& counts,
                      Problem& problem);

}  // namespace gxpolicy
