// What a change would do to decisions, before it is made: the change run
// as a dry run (policy_changes.h) and, while its writes are in its write
// group and not yet abandoned, the decision diff (GxCore/db/daPolicyDiff.h)
// between the database as committed and as the change would leave it. The
// administration service's preview and `gxpolicy apply --dry-run` show it.
//
// The committed side is a consistent copy of the database taken just
// before the change's group begins (hx_db_copy, in a scratch folder under
// $TMPDIR or /tmp, removed afterwards): the thread that holds the group
// reads the change's writes through every handle on the file, so the
// committed policy must be read from a file of its own. When another
// writer commits between the copy and the group, the copy is taken again
// (a few times at most; then the preview fails as a conflict would).
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
  // dryRun when the change could be made (effect then set); otherwise the
  // outcome that stopped it (refused, conflict, unchanged, failed).
  ChangeResult result;
  // {"regions": [REGION, ...], "gained": bool, "lost": bool,
  //  "conditions_changed": bool}, each REGION as diffRegionJson gives it.
  nlohmann::ordered_json effect;
};

// Previews the change run makes: run is called with options (dryRun set,
// whileDry set to the diff) and must hand them to runEdit or
// applyChanges on store. store: open writable. registry names users and
// groups in the diff (may be null; not owned). Failures of the copy or of
// the diff are outcome failed with the problem; a scratch folder that
// cannot be made too. Throws std::bad_alloc.
ChangePreview previewChange(daCachedStore& store, std::function<ChangeResult(ChangeOptions const&)> const& run,
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
