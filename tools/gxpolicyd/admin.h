// gxpolicyd's administration service (gxpolicyd --admin): the policy of a
// writable master read and changed over HTTP by authenticated
// administrators, each change one transaction with its change-log entry
// (policy_changes.h), apart from the transport. Routes, all under
// /admin/v1 (items in the JSON form export gives them):
//
//   GET    /sequence                      {"sequence": N}
//   GET    /acls | /pops | /rules | /objects?limit=N&after=KEY
//                                         a page of names (objects: paths)
//                                         {"items": [...], "next": KEY|null}
//   GET    /objects?under=PATH&limit=N&after=NAME&prefix=TEXT
//                                         one level of the object tree: the
//                                         children of PATH (whose names begin
//                                         with TEXT), {"items": [{"name",
//                                         "path", "children": BOOL}], "next"}
//   GET    /acls/NAME (pops, rules)       {"name", "value"}
//   PUT    /acls/NAME                     creates, or replaces the item with
//                                         the body (fields left out removed)
//   DELETE /acls/NAME
//   GET|PUT|DELETE /objects/PATH          the same for a protected object
//                                         (its body may name "acl", "pop",
//                                         "rule": what is attached there)
//   GET    /attachments/KIND/PATH         {"name": NAME|null} (KIND acl, pop, rule)
//   PUT    /attachments/KIND/PATH         {"name": NAME}: attach (another
//                                         one of the kind is replaced)
//   DELETE /attachments/KIND/PATH         detach
//   POST   /changes                       a changes document, as
//                                         `gxpolicy apply` takes it
//   POST   /explain                       {"object", "actions", "user" | "groups",
//                                         "ip", "context"}: the decision with its
//                                         explanation, as gxpolicy explain --json
//   GET    /who-can?object=PATH&actions=A, /what-can?under=PATH&user=U&actions=A
//                                         the reverse questions (review.h: the
//                                         same arguments and answers); these
//                                         three need c on the object asked about
//   GET    /actions                       the action catalogue: {"groups": [{"name",
//                                         "actions": [{"action", "label", "category"}]}]}
//   GET    /log?since=SEQ&object=PATH&limit=N
//                                         change-log entries, oldest first
//                                         {"entries": [...], "next": SEQ|null}
//
// Writes answer 200 {"sequence": NEW, "changes": [...]} (each change
// "create acl team"...), with ETag: "NEW"; a write that changes nothing
// answers the same with the sequence unchanged. "If-Match: SEQ" (or
// "SEQ" in quotes) refuses the write with 412 {"sequence": CURRENT} when the
// master is no longer at SEQ. "?dry-run=true" on any write answers 200
// {"dry_run": true, "changes", "effect"}, effect the change's effect on
// decisions (change_effect.h), and writes nothing.
//
// Who: every request must authenticate (admin_auth.h): 401 with a
// WWW-Authenticate challenge for each way configured otherwise (no Basic
// to a request carrying X-Gx-Console: a browser would answer Basic with a
// dialog of its own), and 429-free: the same 401, with Retry-After, while
// the address backs off. What: decided by the policy
// itself, before anything is written, on the policy as committed: a change
// of a protected object (its record or what is attached there) needs the
// control permission (c) for the administrator (a registry user) on that
// object (for an object not there yet, on its nearest existing ancestor);
// a change of an ACL, POP or rule needs c on every object it is attached
// to, before and after the change, or on the management object when it is
// attached nowhere. Reading an object or its attachments needs c there; the
// log of an object needs c there, the whole log c on the management
// object. A refusal is 403 {"error", "permission": "c", "object"} naming
// the object only when the request itself named it (never where a policy
// is attached). A change the policy refuses because of what is attached
// somewhere (a policy still attached, another one attached there) says
// where only to administrators holding c on the management object.
//
// Statuses beyond those: 400 for a malformed body, path, query or change
// (the problem body of request_body.h, "field" where it is), 404 for an
// item that is not there, 405, 409 for a change the policy refuses (an
// item that exists, one still attached), 413 for an oversized body, 503
// for a transport without room for the body, 500 when the store fails.
//
// Writes are made one at a time (a lock: the database allows one writer
// thread per file); reads take the same lock, so each answer sees one
// committed state. Other processes may write the master meanwhile: the
// store is reopened when its sequence number moved by another hand.
//
// After each committed write the publisher (when set) is told the new
// sequence number.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/common/policy_changes.h"
#include "tools/gxpolicyd/admin_auth.h"
#include "tools/gxpolicyd/http_types.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicyd {

inline constexpr char kAdminPrefix[] = "/admin/v1";

struct AdminOptions {
  std::string db;                // the master's database file, opened writable
  std::string domain = "Default";
  std::string management = "/management";  // the management object
  std::size_t maxBody = 1 << 20;           // larger bodies get 413
  std::size_t maxPage = 1000;              // a larger limit is refused (400)
  std::size_t defaultPage = 100;
};

class AdminService {
 public:
  // Opens options.db writable; registry (not owned, may be null: then no
  // administrator is a registry user and every change is refused 403)
  // resolves administrators and entry names; auth must outlive the service.
  // Throws std::runtime_error with a clear message when the database cannot
  // be opened writable.
  AdminService(AdminOptions options, gxreg::Registry* registry, AdminAuthenticator& auth);
  ~AdminService();
  AdminService(AdminService const&) = delete;
  AdminService& operator=(AdminService const&) = delete;

  // Answers a request whose path starts with kAdminPrefix (other paths:
  // 404). Never throws.
  Response handle(Request const& request);

  // Called after every committed write with the sequence number it
  // produced, under the service's lock: it must not block (the publisher's
  // doorbell). Set before the first request.
  void onCommit(std::function<void(unsigned long)> notify) { onCommit_ = std::move(notify); }

 private:
  struct Call;
  Response route(Call& call);
  Response list(Call& call, int section);
  Response children(std::string const& under, std::optional<std::string> const& after, std::size_t limit,
                    std::string const& prefix);
  Response getItem(Call& call, int section, std::string const& key);
  Response putItem(Call& call, int section, std::string const& key);
  Response deleteItem(Call& call, int section, std::string const& key);
  Response attachment(Call& call, int kind, std::string const& object);
  Response changes(Call& call);
  Response log(Call& call);
  // admin_review.cpp: POST /explain, GET /who-can, /what-can and /actions.
  Response explain(Call& call, Request const& request);
  Response review(Call& call, Request const& request, bool whoCan);
  Response actions();
  // Runs edit as one change for call's administrator: the permissions
  // checked on a dry run first, then made with If-Match (or the dry run's
  // sequence number) as the expected sequence.
  Response write(Call& call, std::string const& command, std::function<void(gxpolicy::PolicyEdit&)> const& edit,
                 std::vector<std::string> const& named);
  // None when call's administrator holds c on every object the changes
  // need it on; else the 403.
  std::optional<Response> permitted(Call& call, std::vector<gxpolicy::ItemChange> const& changes,
                                    std::vector<std::string> const& named);
  // 0 with granted set; else the decision's status.
  unsigned long holdsControl(Call& call, std::string const& object, bool& granted);
  std::optional<Response> needControl(Call& call, std::string const& object, std::string const& shown);
  // Objects policy (kind, name) is attached to in the committed policy.
  std::vector<std::string> attachedAt(int kind, std::string const& name);
  // Reopens the store when another process moved its sequence number.
  void follow();
  unsigned long sequence();

  AdminOptions options_;
  gxreg::Registry* registry_;
  AdminAuthenticator& auth_;
  std::function<void(unsigned long)> onCommit_;
  std::mutex lock_;  // one request at a time works on the store
  std::unique_ptr<daCachedStore> store_;  // under lock_
  unsigned long seen_ = 0;                // the sequence number store_ was last known at, under lock_
};

}  // namespace gxpolicyd
