// The change log: for every committed change of the policy (an edit by
// name, an apply, an import), who made it, from where, when, with which
// command, each item it changed before and after (in the form a policy
// document and export give it; null: absent) and the sequence number the
// change produced. An entry is written in the database write group of the
// change it records, so that both are in the file or neither is.
//
// Stored under the keys below kChangeLogBase, one entry per change:
// kChangeLogBase/NNNNNNNNNN (ten digits: the first sequence number the
// change wrote) holds the entry's header and its last changes, and an entry
// whose changes outgrow one record keeps the earlier ones in parts under
// it (.../NNNNNNNNNN/pNNNN), each written as it fills. The records are
// attribute records (type 1295) holding JSON text. Readers of the policy
// never look there; replicas need none of it.
//
// Not synchronised: one writer per store at a time, inside its write group.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class daLocalStore;

namespace gxpolicy {

constexpr char const* kChangeLogBase = "/auth/changelog";

// Who makes a change: the administrator's name and address ("local" for
// the command line on the database's machine).
struct Actor {
  std::string name;
  std::string address = "local";
};

// The sequence number that follows seq (the store's 32-bit numbering:
// after 0xFFFFFFFE comes 0).
unsigned long nextSequence(unsigned long seq);

// Records one change. Construct it once the change's own writes are made or
// under way, inside the store's write group.
class ChangeLogWriter {
 public:
  // store: open writable, with a write group open on this thread.
  // fromSequence: the database's sequence number before the change.
  // partBytes: JSON text per record before a part is written.
  ChangeLogWriter(daLocalStore& store, unsigned long fromSequence, std::size_t partBytes = std::size_t{4} << 20);
  ChangeLogWriter(ChangeLogWriter const&) = delete;
  ChangeLogWriter& operator=(ChangeLogWriter const&) = delete;

  // Adds the change of one item: field "acl", "pop", "rule" or "object",
  // key its name or path. Writes a part when the text outgrows partBytes.
  // 0, or the status of the part's write (the group then fails as a
  // whole). Throws std::bad_alloc.
  unsigned long add(char const* field, std::string const& key, nlohmann::json before, nlohmann::json after);
  // Writes the header: actor, command (e.g. "acl set-entry"), the UTC time
  // now, the number of changes and parts. sequence: the number the change
  // produced, the header's own write included (what the database's sequence
  // number is once the group commits). 0, or the write's status (sequence
  // then unspecified).
  unsigned long finish(Actor const& actor, std::string const& command, unsigned long& sequence);

 private:
  unsigned long writeRecord(std::string const& key, std::string const& text, unsigned long& seq);
  unsigned long writePart();

  daLocalStore& store_;
  unsigned long from_;
  std::size_t partBytes_;
  std::string key_;
  // The changes not yet written, as JSON text without the brackets: kept as
  // text, not as a JSON tree, since a large import's parts would be many
  // times their text's size in memory.
  std::string pending_;
  unsigned long count_ = 0, parts_ = 0;
};

// Which entries to read: those whose change produced a sequence number
// above since, and (object set) those that changed the object at or below
// that path, or a policy attached there when the log is read; the oldest
// limit of them.
struct ChangeLogQuery {
  std::optional<unsigned long> since;
  std::optional<std::string> object;
  std::size_t limit = SIZE_MAX;
};

// Reads the entries query asks for, oldest first, into out (replaced): each
// {"sequence", "from", "time", "who", "address", "command", "changes":
// [{"acl"|"pop"|"rule"|"object": key, "before", "after"}]}. policiesAtObject
// (for query.object) are the names attached at that object now, by field.
// Reads the records from the entry that holds since on, and stops once it
// has limit entries: a page costs what it shows (and, with object, the
// entries it passes by), not the whole log. The records are read past the
// store's cache, in read transactions of their own.
// 0; da_s_store_unavailable (the store is not open); the file's read
// status; da_s_unknown_type for a record read under the base that is not
// a log record. Throws std::bad_alloc.
unsigned long readChangeLog(daLocalStore& store, ChangeLogQuery const& query,
                            std::vector<std::pair<std::string, std::string>> const& policiesAtObject,
                            std::vector<nlohmann::json>& out);

// The names of the fields that differ between two items in the document's
// form, "entries, description". Throws std::bad_alloc only.
std::string changedFields(nlohmann::json const& before, nlohmann::json const& after);

// One line per change for a terminal: "SEQ TIME WHO@ADDRESS COMMAND" then
// "  acl NAME: created|changed|deleted" and, for a change, the fields that
// differ.
std::string describeEntry(nlohmann::json const& entry);

}  // namespace gxpolicy
