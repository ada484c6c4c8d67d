// The JSON-file user registry: loading and checking the file, lookups, edits
// and the atomic save.
#include "outside/file_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <random>

#include "outside/hxfd.h"
#include "outside/json_text.h"

namespace gxreg {

namespace {

using nlohmann::json;

std::string uuidText(hx_uuid_t const& uuid) {
  char text[37];
  unsigned long st;
  hx_uuid_to_string(uuid, text, st);
  return st == 0 ? std::string(text) : std::string();
}

// Quoted for messages; the name has been checked to be UTF-8 or is shown
// as the JSON text of whatever the entry held.
std::string shownName(std::string const& name) { return json(name).dump(-1, ' ', false, json::error_handler_t::replace); }

// The registry entry named in messages: 'user 2 ("alice")'.
std::string entryName(char const* kind, size_t index, std::string const& name) {
  std::string s = std::string(kind) + " " + std::to_string(index);
  if (!name.empty()) s += " (" + shownName(name) + ")";
  return s;
}

struct Damage {
  std::string what;
};

std::string stringMember(json const& entry, char const* key, std::string const& where) {
  auto it = entry.find(key);
  if (it == entry.end()) throw Damage{where + ": no \"" + key + "\""};
  if (!it->is_string()) throw Damage{where + ": \"" + key + "\" is not a string"};
  return it->get<std::string>();
}

void checkKeys(json const& entry, std::initializer_list<char const*> allowed, std::string const& where) {
  for (auto const& item : entry.items()) {
    bool known = std::any_of(allowed.begin(), allowed.end(), [&](char const* k) { return item.key() == k; });
    if (!known) throw Damage{where + ": unknown member " + shownName(item.key())};
  }
}

hx_uuid_t parseUuid(std::string const& text, std::string const& where) {
  hx_uuid_t uuid{};
  unsigned long st = 0;
  if (text.empty() || text.find('\0') != std::string::npos) throw Damage{where + ": \"uuid\" is empty"};
  hx_uuid_from_string(text.c_str(), uuid, st);
  if (st != 0) throw Damage{where + ": \"uuid\" " + shownName(text) + " is not a uuid"};
  if (hx_uuid_is_nil(uuid, st)) throw Damage{where + ": \"uuid\" is the nil uuid"};
  return uuid;
}

void checkName(std::string const& name, std::string const& where) {
  if (looksLikeUuid(name)) throw Damage{where + ": the name is a uuid (a uuid always means a uuid, never a name)"};
  if (!validRegistryName(name)) throw Damage{where + ": the name is empty, holds a NUL or is not valid UTF-8"};
}

}  // namespace

int looksLikeUuid(std::string const& text) {
  if (text.size() != 36) return 0;
  hx_uuid_t ignored{};
  unsigned long st = 0;
  hx_uuid_from_string(text.c_str(), ignored, st);
  return st == 0;
}

int validRegistryName(std::string const& name) {
  return !name.empty() && name.find('\0') == std::string::npos && utf8_validchars(name.c_str(), nullptr) &&
         !looksLikeUuid(name);
}

FileRegistry::FileRegistry(std::string path) : path_(std::move(path)) {}

namespace {

FileStamp stampOf(struct stat const& info) {
  FileStamp s;
  s.exists = true;
  s.dev = static_cast<std::uint64_t>(info.st_dev);
  s.ino = static_cast<std::uint64_t>(info.st_ino);
  s.size = static_cast<std::uint64_t>(info.st_size);
  s.mtimeNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  s.ctimeNs = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return s;
}

// The stamp of the file at path now (following links): 0, with a stamp
// that does not exist for a missing file; errno's value when stat fails
// otherwise.
int statStamp(std::string const& path, FileStamp& out) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    out = stampOf(info);
    return 0;
  }
  if (errno == ENOENT || errno == ENOTDIR) {
    out = FileStamp{};
    return 0;
  }
  return errno;
}

// The whole text of the regular file at path, at most kMaxRegistryFileBytes.
// Opening never blocks (a FIFO would wait for a writer): the file is opened
// non-blocking and anything but a regular file is refused.
unsigned long readRegistryText(std::string const& path, hx_internal::FileDescriptor const& fd, std::string& text,
                               FileStamp& stamp, std::string& message) {
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) {
    message = "cannot read the registry file " + path + ": " + std::strerror(errno);
    return reg_s_unavailable;
  }
  if (!S_ISREG(info.st_mode)) {
    message = "the registry file " + path + " is not a regular file";
    return reg_s_unavailable;
  }
  stamp = stampOf(info);
  auto tooLarge = [&] {
    message = "registry file " + path + ": larger than " + std::to_string(kMaxRegistryFileBytes >> 20) + " MiB";
    return reg_s_file_damaged;
  };
  if (static_cast<std::uint64_t>(info.st_size) > kMaxRegistryFileBytes) return tooLarge();
  text.clear();
  text.reserve(static_cast<std::size_t>(info.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      message = "cannot read the registry file " + path + ": " + std::strerror(errno);
      return reg_s_unavailable;
    }
    if (n == 0) return 0;
    // A file that grows while it is read is held to the same limit.
    if (text.size() + static_cast<std::size_t>(n) > kMaxRegistryFileBytes) return tooLarge();
    text.append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace

namespace {

// The parsed document and the registry built from it hold some eight
// times the text at their peak (measured on registries of users with a
// group or two each).
constexpr std::size_t kParsedBytesPerTextByte = 8;

// Whether bytes can be allocated now. The parser's document frees itself
// by allocating (in a destructor, where a failure ends the process), so a
// large text is parsed only once the memory its document needs has been
// found free. The pointer goes through a volatile so the probe is made.
bool memoryFor(std::size_t bytes) noexcept {
  void* volatile probe = std::malloc(bytes);
  std::free(probe);
  return probe != nullptr;
}

// reg_s_no_memory, with message saying so when there is memory left to say it.
unsigned long noMemory(std::string const& path, std::string& message) noexcept {
  try {
    message = "not enough memory to read the registry file " + path;
  } catch (std::bad_alloc const&) {
    message.clear();
  }
  return reg_s_no_memory;
}

}  // namespace

unsigned long FileRegistry::load(std::string const& path, bool mustExist, std::unique_ptr<FileRegistry>& out,
                                 std::string& message, FileStamp* stamp) {
  try {
    return loadUnguarded(path, mustExist, out, message, stamp);
  } catch (std::bad_alloc const&) {
    return noMemory(path, message);
  }
}

unsigned long FileRegistry::loadUnguarded(std::string const& path, bool mustExist, std::unique_ptr<FileRegistry>& out,
                                          std::string& message, FileStamp* stamp) {
  message.clear();
  if (path.empty()) {
    message = "no registry file named";
    return reg_s_unavailable;
  }
  hx_internal::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    int err = errno;
    if (err == ENOENT && !mustExist) {
      out = std::make_unique<FileRegistry>(path);
      if (stamp) *stamp = FileStamp{};
      return 0;
    }
    message = "cannot open the registry file " + path + ": " + std::strerror(err);
    return reg_s_unavailable;
  }
  std::string text;
  FileStamp read;
  if (unsigned long st = readRegistryText(path, fd, text, read, message)) return st;
  unsigned long st = parse(text, path, out, message);
  if (st == 0 && stamp) *stamp = read;
  return st;
}

namespace {

// The parser's finding in words, without its internal tag ("[json.…] ")
// and its own "parse error at …: " prefix.
std::string jsonCause(json::exception const& e) {
  std::string text(withoutParserTag(e.what()));
  if (text.rfind("parse error", 0) == 0) {
    if (std::size_t colon = text.find(": "); colon != std::string::npos) text.erase(0, colon + 2);
  }
  return text;
}

// "line L, column C" of the byte the parser stopped at (1-based, as it counts).
std::string jsonPlace(std::string const& text, std::size_t byte) {
  std::size_t line = 1, column = 0;
  for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column + 1);
}

}  // namespace

unsigned long FileRegistry::parse(std::string const& text, std::string const& path,
                                  std::unique_ptr<FileRegistry>& out, std::string& message) {
  message.clear();
  if (text.size() > (std::size_t{64} << 10) && !memoryFor(text.size() * kParsedBytesPerTextByte))
    return noMemory(path, message);
  std::unique_ptr<FileRegistry> reg;
  try {
    reg = std::make_unique<FileRegistry>(path);
    json doc = json::parse(text);  // throws on bad JSON, including ill-formed UTF-8 in strings
    if (!doc.is_object()) throw Damage{"the file is not a JSON object"};
    checkKeys(doc, {"users", "groups"}, "the file");
    auto list = [&](char const* key) -> json const& {
      static json const empty = json::array();
      auto it = doc.find(key);
      if (it == doc.end()) return empty;
      if (!it->is_array()) throw Damage{std::string("\"") + key + "\" is not an array"};
      return *it;
    };
    json const& groups = list("groups");
    for (size_t i = 0; i < groups.size(); ++i) {
      json const& g = groups[i];
      std::string where = entryName("group", i, g.is_object() && g.contains("name") && g["name"].is_string()
                                                    ? g["name"].get<std::string>()
                                                    : std::string());
      if (!g.is_object()) throw Damage{where + ": not a JSON object"};
      checkKeys(g, {"name", "uuid"}, where);
      std::string name = stringMember(g, "name", where);
      checkName(name, where);
      hx_uuid_t uuid = parseUuid(stringMember(g, "uuid", where), where);
      unsigned long st = reg->addGroupChecked(name, uuid);
      if (st != 0) throw Damage{where + ": another group has the same " + (reg->groupByName_.count(name) ? "name" : "uuid")};
    }
    json const& users = list("users");
    for (size_t i = 0; i < users.size(); ++i) {
      json const& u = users[i];
      std::string where = entryName("user", i, u.is_object() && u.contains("name") && u["name"].is_string()
                                                   ? u["name"].get<std::string>()
                                                   : std::string());
      if (!u.is_object()) throw Damage{where + ": not a JSON object"};
      checkKeys(u, {"name", "uuid", "groups"}, where);
      User user;
      user.name = stringMember(u, "name", where);
      checkName(user.name, where);
      user.uuid = parseUuid(stringMember(u, "uuid", where), where);
      if (reg->userByName_.count(user.name)) throw Damage{where + ": another user has the same name"};
      std::string key = uuidText(user.uuid);
      if (reg->userByUuid_.count(key)) throw Damage{where + ": another user has the same uuid"};
      if (auto it = u.find("groups"); it != u.end()) {
        if (!it->is_array()) throw Damage{where + ": \"groups\" is not an array"};
        for (auto const& g : *it) {
          if (!g.is_string()) throw Damage{where + ": a group in \"groups\" is not a string"};
          std::string group = g.get<std::string>();
          if (!reg->groupByName_.count(group)) throw Damage{where + ": no group named " + shownName(group)};
          if (std::find(user.groups.begin(), user.groups.end(), group) == user.groups.end())
            user.groups.push_back(std::move(group));
        }
      }
      reg->userByName_.emplace(user.name, reg->users_.size());
      reg->userByUuid_.emplace(key, reg->users_.size());
      reg->users_.push_back(std::move(user));
    }
  } catch (Damage const& d) {
    message = "registry file " + path + ": " + d.what;
    return reg_s_file_damaged;
  } catch (json::parse_error const& e) {
    message = "registry file " + path + ": not valid JSON at " + jsonPlace(text, e.byte) + ": " + jsonCause(e);
    return reg_s_file_damaged;
  } catch (json::exception const& e) {
    message = "registry file " + path + ": not valid JSON: " + jsonCause(e);
    return reg_s_file_damaged;
  } catch (std::bad_alloc const&) {
    reg.reset();  // what was built is let go before the message is made
    return noMemory(path, message);
  }
  out = std::move(reg);
  return 0;
}

unsigned long FileRegistry::userUuid(std::string const& name, hx_uuid_t& uuid) {
  auto it = userByName_.find(name);
  if (it == userByName_.end()) return reg_s_no_such_user;
  uuid = users_[it->second].uuid;
  return 0;
}

unsigned long FileRegistry::groupUuid(std::string const& name, hx_uuid_t& uuid) {
  auto it = groupByName_.find(name);
  if (it == groupByName_.end()) return reg_s_no_such_group;
  uuid = groups_[it->second].uuid;
  return 0;
}

unsigned long FileRegistry::userName(hx_uuid_t const& uuid, std::string& name) {
  auto it = userByUuid_.find(uuidText(uuid));
  if (it == userByUuid_.end()) return reg_s_no_such_user;
  name = users_[it->second].name;
  return 0;
}

unsigned long FileRegistry::groupName(hx_uuid_t const& uuid, std::string& name) {
  auto it = groupByUuid_.find(uuidText(uuid));
  if (it == groupByUuid_.end()) return reg_s_no_such_group;
  name = groups_[it->second].name;
  return 0;
}

unsigned long FileRegistry::userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) {
  auto it = userByUuid_.find(uuidText(user));
  if (it == userByUuid_.end()) return reg_s_no_such_user;
  std::vector<hx_uuid_t> result;
  for (auto const& g : users_[it->second].groups) result.push_back(groups_[groupByName_.at(g)].uuid);
  groups = std::move(result);
  return 0;
}

std::vector<std::string> FileRegistry::members(std::string const& group) const {
  std::vector<std::string> result;
  for (auto const& u : users_)
    if (std::find(u.groups.begin(), u.groups.end(), group) != u.groups.end()) result.push_back(u.name);
  return result;
}

unsigned long FileRegistry::addGroupChecked(std::string const& name, hx_uuid_t const& uuid) {
  std::string key = uuidText(uuid);
  if (groupByName_.count(name) || groupByUuid_.count(key)) return reg_s_exists;
  groupByName_.emplace(name, groups_.size());
  groupByUuid_.emplace(key, groups_.size());
  groups_.push_back(Group{name, uuid});
  return 0;
}

void FileRegistry::reindex() {
  userByName_.clear();
  userByUuid_.clear();
  groupByName_.clear();
  groupByUuid_.clear();
  for (size_t i = 0; i < users_.size(); ++i) {
    userByName_.emplace(users_[i].name, i);
    userByUuid_.emplace(uuidText(users_[i].uuid), i);
  }
  for (size_t i = 0; i < groups_.size(); ++i) {
    groupByName_.emplace(groups_[i].name, i);
    groupByUuid_.emplace(uuidText(groups_[i].uuid), i);
  }
}

namespace {
// The given uuid, or a new one; non-zero status when none can be made or
// the given one is nil.
unsigned long chooseUuid(hx_uuid_t const* given, hx_uuid_t& uuid) {
  unsigned long st = 0;
  if (given) {
    if (hx_uuid_is_nil(*given, st)) return hx_uuid_s_invalid_string;
    uuid = *given;
    return 0;
  }
  hx_uuid_create(uuid, st);
  return st;
}
}  // namespace

unsigned long FileRegistry::addUser(std::string const& name, hx_uuid_t const* uuid,
                                    std::vector<std::string> const& groups) {
  if (!validRegistryName(name)) return reg_s_bad_name;
  User user;
  user.name = name;
  if (unsigned long st = chooseUuid(uuid, user.uuid)) return st;
  if (userByName_.count(name) || userByUuid_.count(uuidText(user.uuid))) return reg_s_exists;
  for (auto const& g : groups) {
    if (!groupByName_.count(g)) return reg_s_no_such_group;
    if (std::find(user.groups.begin(), user.groups.end(), g) == user.groups.end()) user.groups.push_back(g);
  }
  userByName_.emplace(name, users_.size());
  userByUuid_.emplace(uuidText(user.uuid), users_.size());
  users_.push_back(std::move(user));
  return 0;
}

unsigned long FileRegistry::removeUser(std::string const& name) {
  auto it = userByName_.find(name);
  if (it == userByName_.end()) return reg_s_no_such_user;
  users_.erase(users_.begin() + static_cast<std::ptrdiff_t>(it->second));
  reindex();
  return 0;
}

unsigned long FileRegistry::addGroup(std::string const& name, hx_uuid_t const* uuid) {
  if (!validRegistryName(name)) return reg_s_bad_name;
  hx_uuid_t chosen;
  if (unsigned long st = chooseUuid(uuid, chosen)) return st;
  return addGroupChecked(name, chosen);
}

unsigned long FileRegistry::removeGroup(std::string const& name, bool force) {
  auto it = groupByName_.find(name);
  if (it == groupByName_.end()) return reg_s_no_such_group;
  if (!force && !members(name).empty()) return reg_s_group_in_use;
  size_t index = it->second;
  for (auto& u : users_) u.groups.erase(std::remove(u.groups.begin(), u.groups.end(), name), u.groups.end());
  groups_.erase(groups_.begin() + static_cast<std::ptrdiff_t>(index));
  reindex();
  return 0;
}

unsigned long FileRegistry::addMember(std::string const& user, std::string const& group) {
  auto u = userByName_.find(user);
  if (u == userByName_.end()) return reg_s_no_such_user;
  if (!groupByName_.count(group)) return reg_s_no_such_group;
  auto& groups = users_[u->second].groups;
  if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
  return 0;
}

unsigned long FileRegistry::removeMember(std::string const& user, std::string const& group) {
  auto u = userByName_.find(user);
  if (u == userByName_.end()) return reg_s_no_such_user;
  if (!groupByName_.count(group)) return reg_s_no_such_group;
  auto& groups = users_[u->second].groups;
  groups.erase(std::remove(groups.begin(), groups.end(), group), groups.end());
  return 0;
}

std::string FileRegistry::text() const {
  // Keys in the order a reader expects: users first, each name first.
  nlohmann::ordered_json doc = {{"users", json::array()}, {"groups", json::array()}};
  for (auto const& u : users_) doc["users"].push_back({{"name", u.name}, {"uuid", uuidText(u.uuid)}, {"groups", u.groups}});
  for (auto const& g : groups_) doc["groups"].push_back({{"name", g.name}, {"uuid", uuidText(g.uuid)}});
  return doc.dump(2) + "\n";
}

namespace {
// Removes the temporary file on scope exit unless it has been renamed.
struct TempFile {
  std::string path;
  bool keep = false;
  ~TempFile() {
    if (!path.empty() && !keep) ::unlink(path.c_str());
  }
};
}  // namespace

unsigned long FileRegistry::save(std::string& message) const {
  message.clear();
  if (path_.empty()) {
    message = "no registry file named";
    return reg_s_unavailable;
  }
  std::string data = text();
  auto slash = path_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path_.substr(0, slash));
  std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  auto failed = [&](std::string const& what) {
    message = what + ": " + std::strerror(errno);
    return reg_s_unavailable;
  };

  // A name nobody else uses: random, created exclusively, never through a link.
  TempFile temp;
  int raw = -1;
  std::random_device rd;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(rd()));
    std::string candidate = (slash == std::string::npos ? "" : path_.substr(0, slash + 1)) + "." + base + suffix;
    raw = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (raw >= 0) temp.path = candidate;
    else if (errno != EEXIST) return failed("cannot create a temporary file in " + dir);
  }
  if (raw < 0) return failed("cannot create a temporary file in " + dir);
  hx_internal::FileDescriptor fd(raw);
  if (::fchmod(fd.get(), 0600) != 0) return failed("cannot set mode 0600 on " + temp.path);
  for (size_t done = 0; done < data.size();) {
    ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed("cannot write " + temp.path);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) return failed("cannot flush " + temp.path);
  if (::rename(temp.path.c_str(), path_.c_str()) != 0) return failed("cannot rename " + temp.path + " to " + path_);
  temp.keep = true;
  // The rename itself reaches the disk with the directory.
  hx_internal::FileDescriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.valid()) ::fsync(dirFd.get());
  return 0;
}

std::string defaultRegistryPath(std::string const& db) { return db + ".registry.json"; }

std::unique_ptr<Registry> openFileRegistry(std::string const& path, bool mustExist, unsigned long& status) {
  std::unique_ptr<WatchedFileRegistry> reg;
  std::string message;
  status = WatchedFileRegistry::open(path, mustExist, reg, message);
  if (status != 0) return nullptr;
  return reg;
}

// ---- the watched registry -----------------------------------------------------------

WatchedFileRegistry::WatchedFileRegistry(std::string path, bool mustExist, std::shared_ptr<FileRegistry> first,
                                         FileStamp stamp)
    : path_(std::move(path)), mustExist_(mustExist), current_(std::move(first)), loaded_(stamp) {}

unsigned long WatchedFileRegistry::open(std::string const& path, bool mustExist,
                                        std::unique_ptr<WatchedFileRegistry>& out, std::string& message) {
  std::unique_ptr<FileRegistry> first;
  FileStamp stamp;
  if (unsigned long st = FileRegistry::load(path, mustExist, first, message, &stamp)) return st;
  out.reset(new WatchedFileRegistry(path, mustExist, std::shared_ptr<FileRegistry>(std::move(first)), stamp));
  return 0;
}

unsigned long WatchedFileRegistry::userUuid(std::string const& name, hx_uuid_t& uuid) {
  return current()->userUuid(name, uuid);
}
unsigned long WatchedFileRegistry::groupUuid(std::string const& name, hx_uuid_t& uuid) {
  return current()->groupUuid(name, uuid);
}
unsigned long WatchedFileRegistry::userName(hx_uuid_t const& uuid, std::string& name) {
  return current()->userName(uuid, name);
}
unsigned long WatchedFileRegistry::groupName(hx_uuid_t const& uuid, std::string& name) {
  return current()->groupName(uuid, name);
}
unsigned long WatchedFileRegistry::userGroups(hx_uuid_t const& user, std::vector<hx_uuid_t>& groups) {
  return current()->userGroups(user, groups);
}

unsigned long WatchedFileRegistry::refresh(std::string& message) {
  message.clear();
  std::lock_guard<std::mutex> hold(refreshLock_);
  FileStamp now;
  if (int err = statStamp(path_, now)) {
    message = "cannot read the registry file " + path_ + ": " + std::strerror(err);
    return reg_s_unavailable;
  }
  if (now == loaded_) return 0;
  if (refusedStatus_ != 0 && now == refused_) {
    message = refusedMessage_;
    return refusedStatus_;
  }
  std::unique_ptr<FileRegistry> fresh;
  FileStamp read;
  unsigned long st = FileRegistry::load(path_, mustExist_, fresh, message, &read);
  if (st == reg_s_no_memory) return st;
  if (st != 0) {
    refused_ = now;
    refusedStatus_ = st;
    refusedMessage_ = message;
    return st;
  }
  refusedStatus_ = 0;
  std::shared_ptr<FileRegistry> before = current();
  // A save that changed nothing (or a touch) keeps what callers remember;
  // when memory cannot tell, the new contents are taken as a change.
  bool same = false;
  try {
    same = before->text() == fresh->text();
  } catch (std::bad_alloc const&) {
  }
  if (same) {
    loaded_ = read;
    return 0;
  }
  std::shared_ptr<FileRegistry> replaced(std::move(fresh));
  loaded_ = read;
  {
    std::lock_guard<std::mutex> hold(currentLock_);
    current_.swap(replaced);
  }  // the registry replaced is freed outside the lock, when no lookup holds it
  generation_.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

}  // namespace gxreg
