// Synthetic estates: a realistic, deterministic policy database of a
// requested size, for the `gxpolicy generate` command, tests and
// benchmarks.
//
// The object space is a web-like tree six levels below the root,
// /org/dN/sN/appN/resN/LEAF, every directory on the way being a protected
// object itself; directory names repeat under every parent (d0.., s0..,
// app0.., res0..) and the fan-outs are chosen so that the total comes close
// to the requested count. ACLs are attached to about 5% of the objects,
// mostly directories, so that the ACL in force at a leaf is usually two to
// four levels up, plus one at "/" so that every object has one in force.
// POPs are attached to about 1% and rules to about 0.5% of the objects.
// Users and groups exist only as uuids in ACL entries and in the returned
// description. Everything is drawn from a generator seeded with the seed:
// the same options give the same estate.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "GxCore/acleval.h"  // sec_id_pa_t
#include "tools/common/caller.h"
#include "outside/hxutil.h"  // hx_uuid_t

class daCachedStore;

namespace gxestate {

// Leaf names: unique gives every leaf its own name (item48213); repeated
// reuses about 19 web file names (index.html, style.css, ...) in every
// directory.
enum class Naming { unique, repeated };

struct Options {
  unsigned long objects = 10000;  // protected objects, directories included
  Naming naming = Naming::unique;
  unsigned long seed = 1;
  unsigned users = 200, groups = 20;
  std::function<void(unsigned long done, unsigned long total)> progress;  // optional
};

struct User {
  std::string name;
  hx_uuid_t uuid;
  std::vector<hx_uuid_t> groups;  // 1 to 3 of the estate's groups
};

struct Estate {
  std::vector<std::string> objects;  // every protected object path written, leaves and directories
  std::vector<User> users;
  std::vector<hx_uuid_t> groups;
  // What was written: distinct policies, and the objects each kind is attached to.
  unsigned long acls = 0, pops = 0, rules = 0;
  unsigned long aclAttachments = 0, popAttachments = 0, ruleAttachments = 0;
};

// Writes a synthetic estate into store (open, writable, with the action catalogue
// that `gxpolicy create` writes) in large transactions; status 0 on success,
// else the first failing store status (what was committed before stays).
// out is replaced; on failure it describes what was planned up to the failure.
void generate(daCachedStore& store, Options const& options, Estate& out, unsigned long& status);

// The privilege attributes of user (its uuid and groups) for decide.
gxpolicy::CallerAttributes callerOf(User const& user);

}  // namespace gxestate
