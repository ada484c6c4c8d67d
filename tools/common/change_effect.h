// What a change would do to decisions, before it is made: the change made
// on a consistent copy of the database (hx_db_copy, in a scratch folder
// under $TMPDIR or /tmp, removed afterwards), then the decision diff
// (GxCore/db/daPolicyDiff.h) between the database and the copy. The
// administration service's preview and `gxpolicy apply --dry-run` show it.
// The database itself is only read.
//
// A dry run's abandoned write group (ChangeOptions::whileDry) cannot serve
// here: the diff finds the attachment points by listing the file's keys,
// and that listing does not see a group's uncommitted writes, so an ACL
// attached by the change itself would show no effect.
//
// Not synchronised: one change per store at a time, as runEdit.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

#include "tools/common/policy_changes.h"

class daCachedStore;
struct daPolicyDiffRegion;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

struct ChangePreview {
  // dryRun when the change could be made (effect then set; sequence the
  // database's number it was previewed on); otherwise the outcome that
  // stopped it (refused, conflict, unchanged, failed).
  ChangeResult result;
  // {"regions": [REGION, ...], "gained": bool, "lost": bool,
  //  "conditions_changed": bool}, each REGION as diffRegionJson gives it.
  nlohmann::ordered_json effect;
};

// Previews the change run makes: run is called with a writable copy of
// store and options (dryRun and whileDry cleared) and must hand both to
// runEdit or applyChanges. store: open. registry names users and groups
// in the diff (may be null; not owned). The diff reads both files through
// read-only stores, below each object the change touched and each object
// where a policy it changed is attached, before or after (the whole tree
// when that cannot be read). A scratch folder that cannot be made, a copy
// that fails and a diff that fails are outcome failed with the problem.
// Throws std::bad_alloc.
ChangePreview previewChange(daCachedStore& store,
                            std::function<ChangeResult(daCachedStore& copy, ChangeOptions const&)> const& run,
                            ChangeOptions options, gxreg::Registry* registry);

// One region of a decision diff as JSON: {"prefix", "except", "acl_before",
// "acl_after" ({"name", "attached_at"} or null), "changes": [{"subject",
// "name", "uuid" (users and groups), "before", "after", "gained", "lost",
// "entry_before", "entry_after"}], "conditions" (only when they changed)}.
// Throws std::bad_alloc.
nlohmann::ordered_json diffRegionJson(daPolicyDiffRegion const& region);

// The effect for a terminal: one paragraph per region ("/projects/a and
// below", the ACL in force, each subject's gains and losses), or "no
// decision changes\n".
std::string describeEffect(nlohmann::ordered_json const& effect);

}  // namespace gxpolicy
