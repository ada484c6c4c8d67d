// Changes made as one; see policy_changes.h.
#include "tools/common/policy_changes.h"

#include <initializer_list>
#include <string>
#include <utility>

#include "GxCore/db/daCachedStore.h"
#include "tools/common/policy_write.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;
using namespace document;

// Room the write group may grow by: a changes document of 10,000
// operations stays well inside it.
constexpr size_t kReserveBytes = size_t{256} << 20;

// ---- reading the changes document -----------------------------------------------

void onlyFields(json const& op, Path const& p, std::initializer_list<char const*> allowed) {
  for (auto const& item : op.items()) {
    bool known = false;
    for (char const* a : allowed) known = known || item.key() == a;
    if (!known) (p / item.key()).fail("unknown field for this operation");
  }
}

std::string text(json const& op, char const* key, Path const& p) {
  auto it = op.find(key);
  if (it == op.end()) (p / key).fail("missing");
  if (!it->is_string()) (p / key).fail("expected a string");
  std::string const& s = it->get_ref<std::string const&>();
  if (s.find('\0') != std::string::npos) (p / key).fail("contains a NUL character (\\u0000)");
  return s;
}

// The one item field of op among those allowed ("acl", "pop", "rule",
// "object"), as a section; refused when there is none or more than one.
int itemOf(json const& op, Path const& p, bool objects) {
  int found = -1;
  for (int section = 0; section < kSectionCount; ++section) {
    if (section == kObjects && !objects) continue;
    if (!op.contains(itemField(section))) continue;
    if (found >= 0) (p / itemField(section)).fail(std::string("names a second item besides its ") + itemField(found));
    found = section;
  }
  if (found < 0) p.fail(objects ? "names no item (acl, pop, rule or object)" : "names no policy (acl, pop or rule)");
  return found;
}

void runOperation(PolicyEdit& edit, json const& op, Path const& p) {
  if (!op.is_object()) p.fail("expected an operation object");
  std::string name = text(op, "op", p);
  Path const value = p / "value";
  if (name == "create" || name == "modify" || name == "delete") {
    int section = itemOf(op, p, true);
    char const* field = itemField(section);
    std::string key = text(op, field, p);
    if (name == "delete") {
      if (section == kObjects) onlyFields(op, p, {"op", field, "recursive"});
      else onlyFields(op, p, {"op", field});
      auto r = op.find("recursive");
      if (r != op.end() && !r->is_boolean()) (p / "recursive").fail("expected true or false");
      edit.remove(section, key, r != op.end() && r->get<bool>(), p / field);
      return;
    }
    onlyFields(op, p, {"op", field, "value"});
    json const v = op.contains("value") ? op["value"] : json::object();
    if (name == "create") edit.create(section, key, v, value);
    else edit.modify(section, key, v, value);
    return;
  }
  if (name == "set-entry" || name == "remove-entry") {
    onlyFields(op, p, {"op", "acl", "entry"});
    if (!op.contains("entry")) (p / "entry").fail("missing");
    std::string acl = text(op, "acl", p);
    if (name == "set-entry") edit.setEntry(acl, op["entry"], p / "entry");
    else edit.removeEntry(acl, op["entry"], p / "entry");
    return;
  }
  if (name == "set-level" || name == "remove-level") {
    bool const set = name == "set-level";
    if (set) onlyFields(op, p, {"op", "pop", "network", "netmask", "level"});
    else onlyFields(op, p, {"op", "pop", "network", "netmask"});
    std::string pop = text(op, "pop", p), network = text(op, "network", p), netmask = text(op, "netmask", p);
    if (!set) return edit.removeLevel(pop, network, netmask, p);
    auto level = op.find("level");
    if (level == op.end()) (p / "level").fail("missing");
    if (!level->is_number_integer() || level->get<long long>() < 0 || level->get<unsigned long long>() > 0xFFFFFFFFull)
      (p / "level").fail("expected an integer from 0 to 4294967295");
    edit.setLevel(pop, network, netmask, level->get<unsigned long>(), p);
    return;
  }
  if (name == "attach" || name == "detach") {
    int kind = itemOf(op, p, false);
    char const* field = itemField(kind);
    onlyFields(op, p, {"op", field, "object"});
    std::string policy = text(op, field, p), object = text(op, "object", p);
    if (name == "attach") edit.attach(kind, policy, object, p);
    else edit.detach(kind, policy, object, p);
    return;
  }
  (p / "op").fail("unknown operation " + json(name).dump() +
                  " (create, modify, delete, set-entry, remove-entry, set-level, remove-level, attach, detach)");
}

ChangeResult stop(ChangeOutcome outcome, Problem problem, ChangeResult r) {
  r.outcome = outcome;
  r.problem = std::move(problem);
  return r;
}

}  // namespace

ChangeResult runEdit(daCachedStore& store, std::function<void(PolicyEdit&)> const& edit, ChangeOptions const& options) {
  ChangeResult r;
  AtomicWrites atomic(store, kReserveBytes);
  if (atomic.status() != 0)
    return stop(ChangeOutcome::failed, Problem("cannot begin the change's database transaction", atomic.status()), r);
  // Read from the file inside the group: no other writer can move it now.
  unsigned long st = 0;
  store.lockDatabase();
  store.readSeqNum(r.sequence, st);
  store.unlockDatabase();
  if (st != 0) return stop(ChangeOutcome::failed, Problem("cannot read the sequence number", st), r);
  if (options.ifSequence && *options.ifSequence != r.sequence)
    return stop(ChangeOutcome::conflict,
                Problem("the database is at sequence number " + std::to_string(r.sequence) + ", not " +
                            std::to_string(*options.ifSequence) + ": it changed since",
                        0, "read the policy again and make the change on what it is now"),
                r);
  try {
    PolicyEdit e(store, options.registry);
    edit(e);
    e.check();
    r.changes = e.changes();
    if (r.changes.empty()) return stop(ChangeOutcome::unchanged, Problem(), r);
    PolicyWriter writer(store);
    if ((st = e.write(writer)) != 0 || (st = writer.finish()) != 0)
      return stop(ChangeOutcome::failed, Problem(writer.failure(), st), r);
    if (options.dryRun) {
      if (options.whileDry) options.whileDry(store, r.changes);
      return stop(ChangeOutcome::dryRun, Problem(), r);
    }
    unsigned long from = r.sequence;
    ChangeLogWriter log(store, from);
    for (ItemChange const& c : r.changes)
      if ((st = log.add(itemField(c.section), c.key, c.before, c.after)) != 0)
        return stop(ChangeOutcome::failed, Problem("cannot write the change log", st), r);
    unsigned long produced = 0;
    if ((st = log.finish(options.actor, options.command, produced)) != 0)
      return stop(ChangeOutcome::failed, Problem("cannot write the change log", st), r);
    if ((st = atomic.commit()) != 0) return stop(ChangeOutcome::failed, Problem("writing the change failed", st), r);
    r.sequence = produced;
    r.outcome = ChangeOutcome::applied;
    return r;
  } catch (BadItem const& bad) {
    r.changes.clear();
    return stop(ChangeOutcome::refused, problemOf(bad), r);
  }
}

void runChangesDocument(PolicyEdit& edit, json const& document) {
  if (!document.is_object()) root().fail("the document is not a JSON object");
  for (auto const& item : document.items())
    if (item.key() != "changes") (root() / item.key()).fail("unknown field");
  auto changes = document.find("changes");
  if (changes == document.end()) (root() / "changes").fail("missing");
  if (!changes->is_array()) (root() / "changes").fail("expected an array of operations");
  for (std::size_t i = 0; i < changes->size(); ++i) runOperation(edit, (*changes)[i], root() / "changes" / i);
}

ChangeResult applyChanges(daCachedStore& store, json const& document, ChangeOptions const& options) {
  return runEdit(store, [&document](PolicyEdit& edit) { runChangesDocument(edit, document); }, options);
}

std::string describeChanges(std::vector<ItemChange> const& changes) {
  std::string out;
  for (ItemChange const& c : changes) {
    std::string field = itemField(c.section);
    if (c.before.is_null()) {
      out += "create " + field + " " + c.key + "\n";
      continue;
    }
    if (c.after.is_null()) {
      out += "delete " + field + " " + c.key + "\n";
      continue;
    }
    out += "change " + field + " " + c.key + " (" + changedFields(c.before, c.after) + ")\n";
  }
  return out;
}

}  // namespace gxpolicy
