// Changes to a policy made as one: a changes document (`gxpolicy apply`,
// the administration service) or a single edit by name, each run in ONE
// database write group together with its change-log entry (change_log.h),
// so that after a failure or a crash the database holds the whole change
// and its log entry, or neither.
//
// The changes document (JSON):
//
//   {"changes": [
//     {"op": "create", "acl": "team", "value": {...}},       // an item as a policy document gives it
//     {"op": "modify", "pop": "office", "value": {"warning": true}},  // the fields given replace
//     {"op": "delete", "rule": "old"},
//     {"op": "create", "object": "/projects/a", "value": {"description": "..."}},
//     {"op": "delete", "object": "/projects/old", "recursive": true},
//     {"op": "set-entry", "acl": "team", "entry": {"type": "group", "name": "devs", "actions": "Tr"}},
//     {"op": "remove-entry", "acl": "team", "entry": {"type": "user", "id": "uuid"}},
//     {"op": "set-level", "pop": "office", "network": "10.0.0.0", "netmask": "255.0.0.0", "level": 1},
//     {"op": "remove-level", "pop": "office", "network": "10.0.0.0", "netmask": "255.0.0.0"},
//     {"op": "attach", "acl": "team", "object": "/projects/a"},
//     {"op": "detach", "acl": "team", "object": "/projects/a"}
//   ]}
//
// create, modify and delete name exactly one item ("acl", "pop", "rule" or
// "object"); attach and detach one policy and an "object". Operations run
// in order, each on the policy as the ones before it left it, with the
// checks of policy_edit.h. Unknown fields are refused.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/change_log.h"
#include "tools/common/policy_edit.h"
#include "tools/common/problem.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

struct ChangeOptions {
  // Refuse (outcome conflict) unless the database's sequence number is
  // this one when the change begins: the number the caller last read.
  std::optional<unsigned long> ifSequence;
  // Check and make the changes, then abandon them: nothing is written.
  bool dryRun = false;
  // For the change log.
  Actor actor;
  std::string command;
  // Not owned; may be null (see PolicyEdit).
  gxreg::Registry* registry = nullptr;
  // Called on a dry run while the changes are written in the write group
  // and not yet abandoned: reads of records on this thread see the policy
  // as it would be (listings of the file's keys do not: the effect on
  // decisions is worked out on a copy, change_effect.h). What it throws
  // passes through, the changes abandoned.
  std::function<void(daCachedStore& store, std::vector<ItemChange> const& changes)> whileDry;
};

enum class ChangeOutcome {
  applied,    // written with its log entry; sequence is the number it produced
  unchanged,  // the changes leave the policy as it was: nothing written
  dryRun,     // checked and shown, nothing written
  conflict,   // the database had moved past ifSequence: nothing written
  refused,    // a bad document or an inconsistent change (problem says why): nothing written
  failed,     // the store could not write it (problem.status): nothing written
};

struct ChangeResult {
  ChangeOutcome outcome = ChangeOutcome::refused;
  std::vector<ItemChange> changes;
  // applied: the sequence number the change produced; otherwise the
  // database's number when the change began (conflict: the number that
  // did not match ifSequence).
  unsigned long sequence = 0;
  Problem problem;  // refused, failed, conflict
};

// Runs edit on a PolicyEdit of store (open writable) in one write group:
// the ifSequence check, edit, check(), then the items written and the log
// entry. edit throws document::BadItem to refuse (outcome refused, problem
// from it); other exceptions (std::bad_alloc) pass through with nothing
// written. Takes the store's transaction lock while it writes; writers in
// other processes wait for the group. One change per store at a time: a
// second thread's runEdit on the same file while a group is open fails
// (outcome failed, hx_db_s_bad_argument) rather than waits.
ChangeResult runEdit(daCachedStore& store, std::function<void(PolicyEdit&)> const& edit, ChangeOptions const& options);

// Runs the changes document in one write group (runEdit): a document that is
// not of the shape above is refused (problem.where names the place, e.g.
// changes[2].op) with nothing written.
ChangeResult applyChanges(daCachedStore& store, nlohmann::json const& document, ChangeOptions const& options);

// The operations of a changes document run on edit, in order: what
// applyChanges runs inside its write group. Throws document::BadItem (at
// the operation's place) for a document not of the shape above or an
// operation edit refuses.
void runChangesDocument(PolicyEdit& edit, nlohmann::json const& document);

// Each change as one line for a terminal: "create acl team", "change
// object /a (acl)", "delete pop old".
std::string describeChanges(std::vector<ItemChange> const& changes);

}  // namespace gxpolicy
