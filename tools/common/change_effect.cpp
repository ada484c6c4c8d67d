// What a change would do to decisions; see change_effect.h.
#include "tools/common/change_effect.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daPolicyDiff.h"
#include "GxCore/db/daReviewSupport.h"
#include "outside/hxdb.h"
#include "tools/common/policy_document.h"
#include "tools/common/review_json.h"

namespace gxpolicy {
namespace {

using ojson = nlohmann::ordered_json;

// A scratch folder holding the copy, removed with it.
class ScratchCopy {
 public:
  ScratchCopy() {
    char const* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/gxpolicy-preview.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ScratchCopy(ScratchCopy const&) = delete;
  ScratchCopy& operator=(ScratchCopy const&) = delete;
  ~ScratchCopy() {
    if (dir_.empty()) return;
    hx_db_remove_file(file().c_str());
    rmdir(dir_.c_str());
  }
  bool made() const { return !dir_.empty(); }
  std::string file() const { return dir_ + "/preview.db"; }

 private:
  std::string dir_;
};

ChangeResult failure(std::string message, unsigned long status) {
  ChangeResult r;
  r.outcome = ChangeOutcome::failed;
  r.problem = Problem(std::move(message), status);
  return r;
}

}  // namespace

ojson diffRegionJson(daPolicyDiffRegion const& r) {
  auto acl = [](std::string const& name, std::string const& at) {
    return name.empty() ? ojson() : ojson{{"name", name}, {"attached_at", at}};
  };
  ojson changes = ojson::array();
  for (daDiffLine const& l : r.lines) {
    ojson c = {{"subject", daDiffSubjectText(l.subject)}};
    if (l.subject == daDiffSubject::user || l.subject == daDiffSubject::group) {
      c["name"] = l.name;
      c["uuid"] = uuidText(l.uuid);
    }
    c["before"] = l.before;
    c["after"] = l.after;
    c["gained"] = l.gained;
    c["lost"] = l.lost;
    c["entry_before"] = l.hadEntry;
    c["entry_after"] = l.hasEntry;
    changes.push_back(std::move(c));
  }
  ojson j = {{"prefix", r.prefix},
             {"except", r.exceptions},
             {"acl_before", acl(r.beforeAcl, r.beforeAclLocation)},
             {"acl_after", acl(r.afterAcl, r.afterAclLocation)},
             {"changes", changes}};
  if (r.conditionsChanged)
    j["conditions"] = {{"before", reviewConditionsJson(r.beforeConditions, 1)},
                       {"after", reviewConditionsJson(r.afterConditions, 1)}};
  return j;
}

namespace {

// A read-only store of the file at path, open, or null with status set.
std::unique_ptr<daCachedStore> openForDiff(daCachedStore const& like, char const* path, unsigned long& status) {
  auto store = std::make_unique<daCachedStore>(like.getDomainName().getChars(), path, 1, 0);
  // A diff decides once per attachment point and side: a memo sized to the
  // file would mostly be memory backed for nothing (130 MB at 1M objects).
  store->setDecisionMemoSize(1u << 16);
  store->openStore(1, status);
  return status == 0 ? std::move(store) : nullptr;
}

// The tops of the subtrees where a change can alter an answer, in tree
// order, none inside another: every object it changed (its attachments
// among its fields), and every object a policy it changed is attached to,
// before the change or after. Outside them each attachment point has the
// same policies in force on both sides, with the same contents, so the
// diff there is empty. False when they cannot be read.
bool changedSubtrees(daCachedStore& before, daCachedStore& after, std::vector<ItemChange> const& changes,
                     std::vector<std::string>& tops) {
  std::vector<std::string> all;
  for (ItemChange const& c : changes) {
    if (c.section == document::kObjects) {
      all.push_back(c.key);
      continue;
    }
    if (c.section < 0 || c.section >= kKindCount) return false;
    for (daCachedStore* side : {&before, &after})
      if (attachedTo(*side, c.section, c.key, all) != 0) return false;
  }
  std::sort(all.begin(), all.end(),
            [](std::string const& a, std::string const& b) { return dareview::treeLess(a, b); });
  tops.clear();
  for (std::string& path : all) {  // in tree order an object's subtree follows it
    bool const inside = !tops.empty() && (tops.back() == path || dareview::isAncestor(tops.back(), path));
    if (!inside) tops.push_back(std::move(path));
  }
  return true;
}

// The diff of was and is at under (every region when under is empty) into
// regions; 0 or daPolicyDiff's status.
unsigned long diffInto(daCachedStore& was, daCachedStore& is, gxreg::Registry* registry, std::string const& under,
                       ojson& regions, bool& gained, bool& lost, bool& conditions) {
  daPolicyDiffOptions o;
  o.registry = registry;
  o.under = under;
  unsigned long status = 0;
  daPolicyDiff(was, is, o,
               [&](daPolicyDiffRegion const& r) {
                 gained = gained || r.gains();
                 lost = lost || r.losses();
                 conditions = conditions || r.conditionsChanged;
                 regions.push_back(diffRegionJson(r));
                 return true;
               },
               status);
  return status;
}

// What changes made between the files of before and after, as the
// preview's effect; status 0, or the first failure.
ojson effectOf(daCachedStore const& before, daCachedStore const& after, std::vector<ItemChange> const& changes,
               gxreg::Registry* registry, unsigned long& status) {
  // Both sides are read through read-only stores of their files: their
  // decisions then come from the shared memo and the attachment index, not
  // through the cache of decoded objects a writable store fills and must
  // free again (at 1M objects that made a one-entry preview take 3 s and
  // 760 MB).
  std::unique_ptr<daCachedStore> was = openForDiff(before, before.getPath(), status);
  std::unique_ptr<daCachedStore> is = was ? openForDiff(after, after.getPath(), status) : nullptr;
  if (!is) return nullptr;
  ojson regions = ojson::array();
  bool gained = false, lost = false, conditions = false;
  // Only where the change can make a difference; the whole tree when that
  // cannot be told, or when a subtree's diff fails (an object a policy's
  // list names and neither side has, say).
  std::vector<std::string> tops;
  bool const scoped = changedSubtrees(*was, *is, changes, tops);
  for (size_t i = 0; scoped && i < tops.size() && status == 0; ++i)
    status = diffInto(*was, *is, registry, tops[i], regions, gained, lost, conditions);
  if (!scoped || status != 0) {
    regions = ojson::array();
    gained = lost = conditions = false;
    status = diffInto(*was, *is, registry, "", regions, gained, lost, conditions);
  }
  unsigned long closing = 0;
  is->closeStore(closing);
  was->closeStore(closing);
  return ojson{{"regions", std::move(regions)}, {"gained", gained}, {"lost", lost}, {"conditions_changed", conditions}};
}

}  // namespace

ChangePreview previewChange(daCachedStore& store, std::function<ChangeResult(daCachedStore&, ChangeOptions const&)> const& run,
                            ChangeOptions options, gxreg::Registry* registry) {
  ChangePreview preview;
  ScratchCopy scratch;
  if (!scratch.made()) {
    preview.result = failure("cannot make a scratch folder for the preview (set TMPDIR)", 0);
    return preview;
  }
  unsigned long st = 0;
  hx_db_copy(store.getDBHandle(), scratch.file().c_str(), st);
  if (st != 0) {
    preview.result = failure("cannot copy the policy for the preview", st);
    return preview;
  }
  daCachedStore copy(store.getDomainName().getChars(), scratch.file().c_str(), 1, 0);
  copy.openStore(0, st);
  if (st != 0) {
    preview.result = failure("cannot open the copy of the policy", st);
    return preview;
  }
  unsigned long copied = 0;
  copy.lockDatabase();
  copy.readSeqNum(copied, st);
  copy.unlockDatabase();
  options.dryRun = false;
  options.whileDry = nullptr;
  preview.result = run(copy, options);
  unsigned long closing = 0;
  copy.closeStore(closing);
  if (preview.result.outcome != ChangeOutcome::applied) return preview;
  unsigned long diffStatus = 0;
  ojson effect = effectOf(store, copy, preview.result.changes, registry, diffStatus);
  if (diffStatus != 0) {
    preview.result = failure("cannot work out the change's effect on decisions", diffStatus);
    return preview;
  }
  preview.result.outcome = ChangeOutcome::dryRun;
  preview.result.sequence = copied;
  preview.effect = std::move(effect);
  return preview;
}

std::string describeEffect(ojson const& effect) {
  auto const& regions = effect.at("regions");
  if (regions.empty()) return "no decision changes\n";
  std::string out;
  for (auto const& r : regions) {
    out += r["prefix"].get<std::string>() + " and below";
    bool first = true;
    for (auto const& e : r["except"]) {
      out += (first ? ", except " : ", ") + e.get<std::string>();
      first = false;
    }
    out += "\n";
    auto acl = [](ojson const& a) {
      return a.is_null() ? std::string("none")
                         : a["name"].get<std::string>() + " (at " + a["attached_at"].get<std::string>() + ")";
    };
    std::string was = acl(r["acl_before"]), is = acl(r["acl_after"]);
    out += "  ACL " + (was == is ? was : was + " -> " + is) + "\n";
    for (auto const& c : r["changes"]) {
      std::string who = c["subject"].get<std::string>();
      if (c.contains("name")) who += " " + (c["name"].get<std::string>().empty() ? c["uuid"].get<std::string>()
                                                                                  : c["name"].get<std::string>());
      std::string change;
      if (!c["gained"].get<std::string>().empty()) change = "gains " + c["gained"].get<std::string>();
      if (!c["lost"].get<std::string>().empty())
        change += (change.empty() ? "loses " : ", loses ") + c["lost"].get<std::string>();
      if (change.empty()) change = c["entry_after"].get<bool>() ? "entry added" : "entry removed";
      out += "  " + who + ": " + change + "\n";
    }
    if (r.contains("conditions")) out += "  conditions change\n";
  }
  return out;
}

}  // namespace gxpolicy
