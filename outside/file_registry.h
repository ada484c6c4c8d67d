// The file back end of the user registry: users and groups kept in a small
// JSON file beside a policy database, for hosts and tools that have no
// directory server. The file reads
//
//   {"users":  [{"name": "alice", "uuid": "…", "groups": ["webteam"]}],
//    "groups": [{"name": "webteam", "uuid": "…"}]}
//
// (a user's groups by group name). FileRegistry::load reads and checks the
// whole file; lookups then go through hash maps and take no locks. The same
// class edits the contents in memory and saves them back atomically (a new
// file beside the old one, then a rename), for the gxpolicy user and group
// commands.
//
// Threads: a FileRegistry that nobody edits may be used from any number of
// threads at once (the lookups only read). The editing operations need the
// object to themselves; callers that share an object must not edit it.
// Processes: saving replaces the file as a whole, so two processes editing
// the same file at once keep only the later save. A long-running reader
// (the decision service) uses WatchedFileRegistry, which reloads the file
// when another process saves it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "outside/registry.h"

// Status of removing a group that users still belong to without forcing it.
constexpr unsigned long reg_s_group_in_use = 0x14C01436;
// Status of a registry file that memory could not hold (the same code as
// the library's allocation failure, "allocation failed").
constexpr unsigned long reg_s_no_memory = 0x10652065;

namespace gxreg {

// The largest registry file read (64 MiB, some hundred thousand users);
// a larger one is refused as damaged rather than read into memory.
constexpr std::size_t kMaxRegistryFileBytes = std::size_t{64} << 20;

// What identifies one state of a file: its device, inode, size, and
// modification and change times in nanoseconds. A save (a new file renamed
// into place) changes the inode; an edit in place changes the times.
struct FileStamp {
  bool exists = false;
  std::uint64_t dev = 0, ino = 0, size = 0;
  std::int64_t mtimeNs = 0, ctimeNs = 0;
  bool operator==(FileStamp const&) const = default;
};

class FileRegistry final : public Registry {
 public:
  struct User {
    std::string name;
    hx_uuid_t uuid;
    std::vector<std::string> groups;  // group names, in file order, no repeats
  };
  struct Group {
    std::string name;
    hx_uuid_t uuid;
  };

  // An empty registry that will be saved to path.
  explicit FileRegistry(std::string path);

  // Reads and checks the registry file at path. Success (0) sets out to the
  // loaded registry. A missing file gives an empty registry when mustExist
  // is false and reg_s_unavailable when it is true; a file that cannot be
  // read, or is not a regular file (a FIFO or a device: refused without
  // blocking), gives reg_s_unavailable; a file that is not a valid registry
  // (larger than kMaxRegistryFileBytes, bad JSON, an empty, NUL-holding or
  // non-UTF-8 name, a name that parses as a uuid, a repeated name or uuid, a
  // uuid that does not parse, a user's group that does not exist) gives
  // reg_s_file_damaged; a file that memory cannot hold (the memory parsing
  // needs, some eight times the text, is not free before it starts, or
  // reading or parsing meets std::bad_alloc) gives reg_s_no_memory, and
  // nothing is thrown. On failure out is left as it was and message says
  // what was wrong, naming the file and the entry; on success message is
  // cleared. stamp (when given) receives the stamp of the file read (not
  // exists for a missing file), taken from the open file.
  static unsigned long load(std::string const& path, bool mustExist, std::unique_ptr<FileRegistry>& out,
                            std::string& message, FileStamp* stamp = nullptr);
  // As load, from the text of a registry file; path only names it in
  // messages and is where save writes.
  static unsigned long parse(std::string const& text, std::string const& path, std::unique_ptr<FileRegistry>& out,
                             std::string& message);

  // Registry lookups (see outside/registry.h). No locks; O(1) apart from
  // userGroups, which is linear in the user's groups.
  unsigned long userUuid(std::string const& name, hx_uuid_t& uuid) override;
  unsigned long groupUuid(std::string const& name, hx_uuid_t& uuid) override;
  unsigned long userName(hx_uuid_t const& uuid, std::string& name) override;
  unsigned long groupName(hx_uuid_t const& uuid, std::string& name) override;
  unsigned long userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) override;

  // The file this registry was loaded from and is saved to.
  std::string const& path() const { return path_; }
  // All users and groups, in file order (new ones last). The references
  // stay valid until the next edit.
  std::vector<User> const& users() const { return users_; }
  std::vector<Group> const& groups() const { return groups_; }
  // Names of the users that belong to group, in user order; empty for an
  // unknown group.
  std::vector<std::string> members(std::string const& group) const;

  // Editing; each changes this object only (save writes the file). None of
  // them may run while another thread uses the object.
  //
  // Adds a user with the given uuid (or a new one when uuid is null) and
  // memberships in groups. reg_s_bad_name for a bad name (see
  // validRegistryName), reg_s_exists when
  // a user has that name or uuid, reg_s_no_such_group when one of groups
  // does not exist; nothing changes on failure.
  unsigned long addUser(std::string const& name, hx_uuid_t const* uuid, std::vector<std::string> const& groups);
  // Removes the user. reg_s_no_such_user when there is none by that name.
  unsigned long removeUser(std::string const& name);
  // Adds a group with the given uuid (or a new one when uuid is null).
  // reg_s_bad_name, or reg_s_exists when a group has that name or uuid.
  unsigned long addGroup(std::string const& name, hx_uuid_t const* uuid);
  // Removes the group. reg_s_no_such_group when there is none by that
  // name; reg_s_group_in_use when users belong to it and force is false
  // (nothing changes); with force the memberships are dropped too.
  unsigned long removeGroup(std::string const& name, bool force);
  // Makes user a member of group (0 when it already is), or no longer a
  // member (0 when it was not). reg_s_no_such_user / reg_s_no_such_group.
  unsigned long addMember(std::string const& user, std::string const& group);
  unsigned long removeMember(std::string const& user, std::string const& group);

  // The registry as file text (ends with a newline).
  std::string text() const;
  // Writes the registry to path(): a new file (mode 0600, created
  // exclusively, not through a symbolic link) in the same directory,
  // flushed to disk, then renamed over the old one, so readers see the old
  // or the new file, never a part. reg_s_unavailable when any step fails
  // (the old file stays and the new one is removed), message saying which.
  unsigned long save(std::string& message) const;

 private:
  using Index = std::unordered_map<std::string, size_t>;

  // load, letting std::bad_alloc out.
  static unsigned long loadUnguarded(std::string const& path, bool mustExist, std::unique_ptr<FileRegistry>& out,
                                     std::string& message, FileStamp* stamp);
  unsigned long addGroupChecked(std::string const& name, hx_uuid_t const& uuid);
  void reindex();

  std::string path_;
  std::vector<User> users_;
  std::vector<Group> groups_;
  Index userByName_, userByUuid_, groupByName_, groupByUuid_;  // uuids by text form
};

// A registry file that follows its file, for a long-running reader: each
// lookup asks the registry loaded last, and refresh (called by the owner on
// a schedule, e.g. every second and on SIGHUP) compares the file's stamp
// with the one read and, when it differs, loads the file again and swaps
// the new contents in. A file replaced by a rename, edited in place,
// created after the open (mustExist false) or removed (then empty, when
// mustExist is false) is followed.
//
// Threads: a lookup copies the shared pointer to the immutable FileRegistry
// in force under a short lock of its own (held for the copy alone; an old
// registry lives until its last lookup returns), then looks up without
// one; refresh may be called from any thread, calls being serialised by a
// mutex that lookups never take. (The standard atomic shared pointer of
// this compiler's library is not understood by ThreadSanitizer; lookups
// are rare next to the callers the daemon remembers, so a lock costs
// nothing that shows.)
class WatchedFileRegistry final : public Registry {
 public:
  // Loads path as FileRegistry::load does (statuses and message the same);
  // out is set on success only.
  static unsigned long open(std::string const& path, bool mustExist, std::unique_ptr<WatchedFileRegistry>& out,
                            std::string& message);

  unsigned long userUuid(std::string const& name, hx_uuid_t& uuid) override;
  unsigned long groupUuid(std::string const& name, hx_uuid_t& uuid) override;
  unsigned long userName(hx_uuid_t const& uuid, std::string& name) override;
  unsigned long groupName(hx_uuid_t const& uuid, std::string& name) override;
  unsigned long userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) override;

  using Registry::refresh;
  // One stat when the file is as last read. On a change: 0 with the new
  // contents in force (generation moves when they answer differently);
  // the load's status and message when the new file cannot be used (the
  // contents from before stay, and the same bad file is not read again --
  // but one that memory could not hold, reg_s_no_memory, is read again at
  // the next refresh, memory being perhaps there by then).
  unsigned long refresh(std::string& message) override;
  std::uint64_t generation() const override { return generation_.load(std::memory_order_acquire); }

  std::string const& path() const { return path_; }
  // The contents in force (never null).
  std::shared_ptr<FileRegistry> current() const {
    std::lock_guard<std::mutex> hold(currentLock_);
    return current_;
  }

 private:
  WatchedFileRegistry(std::string path, bool mustExist, std::shared_ptr<FileRegistry> first, FileStamp stamp);

  std::string const path_;
  bool const mustExist_;
  mutable std::mutex currentLock_;        // held only to copy or replace current_
  std::shared_ptr<FileRegistry> current_;  // under currentLock_
  std::atomic<std::uint64_t> generation_{0};
  std::mutex refreshLock_;  // serialises refresh; guards the members below
  FileStamp loaded_;        // the stamp of the file in force
  FileStamp refused_;       // the stamp of the last file that could not be used
  unsigned long refusedStatus_ = 0;
  std::string refusedMessage_;
};

// Non-zero when name is usable as a user or group name: not empty, no NUL,
// valid UTF-8, and not a text that parses as a uuid (such a text always
// means a uuid; see outside/registry.h).
int validRegistryName(std::string const& name);
// Non-zero when text parses as a uuid (the 36-character text form).
int looksLikeUuid(std::string const& text);

}  // namespace gxreg
