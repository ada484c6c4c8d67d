// The user registry as hosts and tools see it: users and groups by name and
// by uuid, and the groups a user belongs to (what a host needs to build a
// caller's identity, sec_id_pa_t). One interface, several back ends: a
// small JSON file kept beside a policy database (the embedded default) and
// a directory server reached over LDAP. The registry handle the domain
// manager hands out (udir_handle_t) wraps one of these.
//
// Names are matched as the back end matches them (the file registry
// compares bytes; a directory applies its own matching rules). A text that
// parses as a uuid is always a uuid, never a name: no back end accepts such
// a name for a user or group, and a name lookup of one finds nothing, so a
// group cannot borrow another's rights by being named with its uuid. Every call
// returns 0 or a status below; out-parameters are left untouched on failure.
// A back end is safe to call from several threads unless it says otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outside/hxutil.h"

// Statuses of registry lookups.
constexpr unsigned long reg_s_no_such_user = 0x14C01430;    // no user by that name or uuid
constexpr unsigned long reg_s_no_such_group = 0x14C01431;   // no group by that name or uuid
constexpr unsigned long reg_s_bad_name = 0x14C01432;        // empty, NUL, invalid UTF-8 or a uuid as a name
constexpr unsigned long reg_s_unavailable = 0x14C01433;     // the back end cannot be reached or read
constexpr unsigned long reg_s_exists = 0x14C01434;          // a user or group by that name or uuid exists
constexpr unsigned long reg_s_file_damaged = 0x14C01435;    // the registry file is not a valid registry
constexpr unsigned long reg_s_ambiguous = 0x14C01437;       // several entries answer to the name

namespace gxreg {

class Registry {
 public:
  virtual ~Registry() = default;

  // Name → uuid. reg_s_no_such_user / reg_s_no_such_group when unknown.
  virtual unsigned long userUuid(std::string const& name, hx_uuid_t& uuid) = 0;
  virtual unsigned long groupUuid(std::string const& name, hx_uuid_t& uuid) = 0;
  // Uuid → name.
  virtual unsigned long userName(hx_uuid_t const& uuid, std::string& name) = 0;
  virtual unsigned long groupName(hx_uuid_t const& uuid, std::string& name) = 0;
  // The uuids of the groups the user belongs to (any order, no repeats).
  virtual unsigned long userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) = 0;

  // Re-reads the back end's source when it may have changed (a file
  // registry: when the file's identity, size or times differ from the last
  // read). 0 when the answers are current; when the source cannot be read
  // or is not a valid registry, its status, and the answers from before
  // stay. A back end with nothing to re-read returns 0. Safe to call from
  // any thread, also while others look names up. The second form also
  // says what was wrong (cleared on 0).
  unsigned long refresh() {
    std::string ignored;
    return refresh(ignored);
  }
  virtual unsigned long refresh(std::string& message) {
    message.clear();
    return 0;
  }
  // Grows every time refresh changes what the lookups answer. Callers that
  // remember answers (a cache of resolved callers) forget those taken under
  // an older generation. Stays 0 for a back end that never reloads.
  virtual std::uint64_t generation() const { return 0; }
};

// The file registry kept beside the policy database db: db + ".registry.json".
std::string defaultRegistryPath(std::string const& db);

// Opens the file registry at path (read only; see outside/file_registry.h
// for editing) as one that follows its file (refresh re-reads it when it
// changed). A missing file is an empty registry when mustExist is false,
// reg_s_unavailable when true; a file that is not a valid registry gives
// reg_s_file_damaged. On failure the result is null and status says why.
std::unique_ptr<Registry> openFileRegistry(std::string const& path, bool mustExist, unsigned long& status);

}  // namespace gxreg
