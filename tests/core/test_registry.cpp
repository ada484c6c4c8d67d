// The file user registry (outside/file_registry): loading and the checks
// that make a file damaged, lookups both ways, the editing rules and the
// atomic, private save; and the watched registry that follows its file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "outside/file_registry.h"
#include "registry_uuids.h"
#include "test_support.h"

namespace {

using gxreg::FileRegistry;
using gxtest::TempDir;
using namespace gxtest::registry_sample;
using json = nlohmann::json;

json sampleRegistry() {
  return {{"users",
           {{{"name", "alice"}, {"uuid", kAlice}, {"groups", {"web", "ops"}}},
            {{"name", "bob"}, {"uuid", kBob}, {"groups", {"web"}}}}},
          {"groups", {{{"name", "web"}, {"uuid", kWeb}}, {{"name", "ops"}, {"uuid", kOps}}}}};
}

std::unique_ptr<FileRegistry> parsed(json const& doc) {
  std::unique_ptr<FileRegistry> reg;
  std::string message;
  EXPECT_EQ(FileRegistry::parse(doc.dump(), "reg.json", reg, message), 0u) << message;
  return reg;
}

TEST(FileRegistry, LooksUpUsersGroupsAndMembershipsBothWays) {
  auto reg = parsed(sampleRegistry());
  ASSERT_TRUE(reg);
  hx_uuid_t u{};
  ASSERT_EQ(reg->userUuid("alice", u), 0u);
  EXPECT_EQ(text(u), kAlice);
  ASSERT_EQ(reg->groupUuid("ops", u), 0u);
  EXPECT_EQ(text(u), kOps);
  std::string name;
  ASSERT_EQ(reg->userName(uuid(kBob), name), 0u);
  EXPECT_EQ(name, "bob");
  ASSERT_EQ(reg->groupName(uuid(kWeb), name), 0u);
  EXPECT_EQ(name, "web");
  std::vector<hx_uuid_t> groups;
  ASSERT_EQ(reg->userGroups(uuid(kAlice), groups), 0u);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(text(groups[0]), kWeb);
  EXPECT_EQ(text(groups[1]), kOps);
  EXPECT_EQ(reg->members("web"), std::vector<std::string>({"alice", "bob"}));

  // Users and groups are separate kinds; failures leave the out-parameters alone.
  hx_uuid_t before = uuid(kAlice);
  u = before;
  EXPECT_EQ(reg->userUuid("web", u), reg_s_no_such_user);
  EXPECT_EQ(reg->groupUuid("alice", u), reg_s_no_such_group);
  EXPECT_EQ(text(u), kAlice);
  name = "unchanged";
  EXPECT_EQ(reg->userName(uuid(kWeb), name), reg_s_no_such_user);
  EXPECT_EQ(reg->groupName(uuid(kAlice), name), reg_s_no_such_group);
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(reg->userGroups(uuid(kWeb), groups), reg_s_no_such_user);
  EXPECT_EQ(groups.size(), 2u);
}

TEST(FileRegistry, DamagedFileIsRefusedNamingTheEntry) {
  struct Case {
    std::string text;
    char const* says;
  };
  auto with = [](auto edit) {
    json doc = sampleRegistry();
    edit(doc);
    return doc.dump();
  };
  std::vector<Case> cases = {
      {"{\"users\": [", "not valid JSON at line 1, column 12: "},
      {"{\n  \"users\": [,", "not valid JSON at line 2, column 13: "},
      {"[]", "not a JSON object"},
      {"{\"users\": {}}", "\"users\" is not an array"},
      {"{\"user\": []}", "unknown member \"user\""},
      {with([](json& d) { d["users"][1]["name"] = ""; }), "user 1: the name is empty"},
      {with([](json& d) { d["groups"][0]["name"] = std::string("w\0b", 3); }), "group 0 (\"w\\u0000b\"): the name"},
      {"{\"groups\": [{\"name\": \"\xC3\x28\", \"uuid\": \"" + std::string(kWeb) + "\"}]}", "not valid JSON"},
      {with([](json& d) { d["users"][1]["name"] = "alice"; }), "user 1 (\"alice\"): another user has the same name"},
      {with([](json& d) { d["groups"][1]["uuid"] = kWeb; }), "group 1 (\"ops\"): another group has the same uuid"},
      {with([](json& d) { d["users"][0]["uuid"] = "not-a-uuid"; }), "user 0 (\"alice\"): \"uuid\" \"not-a-uuid\" is not"},
      {with([](json& d) { d["users"][0]["uuid"] = "00000000-0000-0000-0000-000000000000"; }), "nil uuid"},
      {with([](json& d) { d["users"][0].erase("uuid"); }), "user 0 (\"alice\"): no \"uuid\""},
      {with([](json& d) { d["users"][1]["groups"] = {"web", "staff"}; }), "user 1 (\"bob\"): no group named \"staff\""},
      {with([](json& d) { d["users"][1]["group"] = {"web"}; }), "user 1 (\"bob\"): unknown member \"group\""},
      {with([](json& d) { d["users"][1]["groups"] = {7}; }), "user 1 (\"bob\"): a group in \"groups\" is not a string"},
      // A name that is another entry's uuid would be taken for that entry.
      {with([](json& d) { d["groups"][1]["name"] = kWeb; }), "\"): the name is a uuid"},
      {with([](json& d) { d["users"][1]["name"] = kAlice; }), "the name is a uuid"},
  };
  for (auto const& c : cases) {
    std::unique_ptr<FileRegistry> reg;
    std::string message;
    EXPECT_EQ(FileRegistry::parse(c.text, "reg.json", reg, message), reg_s_file_damaged) << c.text;
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_NE(message.find("reg.json"), std::string::npos) << message;
    EXPECT_EQ(message.find("[json."), std::string::npos) << message;
    EXPECT_FALSE(reg);
  }
  // The same user uuid as a group's is fine: the kinds are separate.
  EXPECT_TRUE(parsed(json::parse(with([](json& d) { d["groups"][1]["uuid"] = kAlice; }))));
}

TEST(FileRegistry, MissingFileIsEmptyUnlessItMustExist) {
  TempDir dir;
  std::string path = dir.file("none.json");
  std::unique_ptr<FileRegistry> reg;
  std::string message;
  EXPECT_EQ(FileRegistry::load(path, true, reg, message), reg_s_unavailable);
  EXPECT_NE(message.find(path), std::string::npos);
  ASSERT_EQ(FileRegistry::load(path, false, reg, message), 0u);
  EXPECT_TRUE(reg->users().empty() && reg->groups().empty());
  unsigned long st = 0;
  EXPECT_TRUE(gxreg::openFileRegistry(path, false, st));
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(gxreg::openFileRegistry(path, true, st));
  EXPECT_EQ(st, reg_s_unavailable);
  EXPECT_EQ(gxreg::defaultRegistryPath("/x/p.db"), "/x/p.db.registry.json");
}

TEST(FileRegistry, EditsKeepNamesUuidsAndMembershipsConsistent) {
  auto reg = parsed(sampleRegistry());
  hx_uuid_t u = uuid(kBob);
  // Refused edits change nothing.
  EXPECT_EQ(reg->addUser("alice", nullptr, {}), reg_s_exists);
  EXPECT_EQ(reg->addUser("carol", &u, {}), reg_s_exists);
  EXPECT_EQ(reg->addUser("carol", nullptr, {"web", "staff"}), reg_s_no_such_group);
  EXPECT_EQ(reg->addUser(std::string("ca\0rol", 6), nullptr, {}), reg_s_bad_name);
  EXPECT_EQ(reg->addGroup("\xFF", nullptr), reg_s_bad_name);
  EXPECT_EQ(reg->addGroup("web", nullptr), reg_s_exists);
  // A uuid is never a name: a group named with web's uuid would get web's rights.
  EXPECT_EQ(reg->addGroup(kWeb, nullptr), reg_s_bad_name);
  EXPECT_EQ(reg->addGroup("C2690C66-6475-40B3-8396-5BA35CC221A8", nullptr), reg_s_bad_name);
  EXPECT_EQ(reg->addUser(kOps, nullptr, {}), reg_s_bad_name);
  EXPECT_EQ(reg->users().size(), 2u);
  EXPECT_EQ(reg->groups().size(), 2u);

  // A new user gets a fresh uuid, found both ways.
  ASSERT_EQ(reg->addUser("carol", nullptr, {"ops", "ops"}), 0u);
  ASSERT_EQ(reg->userUuid("carol", u), 0u);
  std::string name;
  ASSERT_EQ(reg->userName(u, name), 0u);
  EXPECT_EQ(name, "carol");
  EXPECT_EQ(reg->members("ops"), std::vector<std::string>({"alice", "carol"}));

  // Removing an entry before others keeps the lookups of those after it.
  ASSERT_EQ(reg->removeUser("alice"), 0u);
  EXPECT_EQ(reg->userUuid("alice", u), reg_s_no_such_user);
  ASSERT_EQ(reg->userUuid("carol", u), 0u);
  ASSERT_EQ(reg->userName(u, name), 0u);
  EXPECT_EQ(name, "carol");
  EXPECT_EQ(reg->removeUser("alice"), reg_s_no_such_user);

  // Memberships: adding twice or removing a non-membership is harmless.
  EXPECT_EQ(reg->addMember("bob", "ops"), 0u);
  EXPECT_EQ(reg->addMember("bob", "ops"), 0u);
  EXPECT_EQ(reg->addMember("bob", "staff"), reg_s_no_such_group);
  EXPECT_EQ(reg->addMember("dave", "ops"), reg_s_no_such_user);
  EXPECT_EQ(reg->removeMember("carol", "web"), 0u);
  EXPECT_EQ(reg->members("ops"), std::vector<std::string>({"bob", "carol"}));

  // A group in use goes only when forced, taking its memberships along.
  EXPECT_EQ(reg->removeGroup("web", false), reg_s_group_in_use);
  EXPECT_EQ(reg->members("web"), std::vector<std::string>({"bob"}));
  ASSERT_EQ(reg->removeGroup("web", true), 0u);
  EXPECT_EQ(reg->groupUuid("web", u), reg_s_no_such_group);
  ASSERT_EQ(reg->groupUuid("ops", u), 0u);
  EXPECT_EQ(text(u), kOps);
  std::vector<hx_uuid_t> groups;
  ASSERT_EQ(reg->userGroups(uuid(kBob), groups), 0u);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(text(groups[0]), kOps);
  // What was edited is what a reader of the text sees.
  EXPECT_EQ(json::parse(parsed(json::parse(reg->text()))->text()), json::parse(reg->text()));
}

TEST(FileRegistry, SaveReplacesTheFileWholeAndPrivately) {
  TempDir dir;
  std::string path = dir.file("p.db.registry.json");
  gxtest::writeFile(path, "{}");
  ::chmod(path.c_str(), 0644);
  mode_t old = ::umask(0);
  std::unique_ptr<FileRegistry> reg;
  std::string message;
  ASSERT_EQ(FileRegistry::load(path, true, reg, message), 0u) << message;
  ASSERT_EQ(reg->addGroup("web", nullptr), 0u);
  ASSERT_EQ(reg->addUser("alice", nullptr, {"web"}), 0u);
  EXPECT_EQ(reg->save(message), 0u) << message;
  ::umask(old);

  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // Nothing but the registry is left in the directory.
  int files = 0;
  for (auto const& e : std::filesystem::directory_iterator(dir.path())) files += e.path() != path;
  EXPECT_EQ(files, 0);
  std::unique_ptr<FileRegistry> back;
  ASSERT_EQ(FileRegistry::load(path, true, back, message), 0u) << message;
  EXPECT_EQ(back->members("web"), std::vector<std::string>({"alice"}));

  // A symbolic link at the path is replaced, its target left alone.
  std::string target = dir.file("target.json");
  gxtest::writeFile(target, "{}");
  std::string link = dir.file("link.json");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  FileRegistry viaLink(link);
  ASSERT_EQ(viaLink.addGroup("ops", nullptr), 0u);
  ASSERT_EQ(viaLink.save(message), 0u) << message;
  EXPECT_EQ(gxtest::readFile(target), "{}");
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));

  // A save that cannot happen leaves the old file as it was.
  FileRegistry nowhere(dir.file("missing/dir/r.json"));
  EXPECT_EQ(nowhere.save(message), reg_s_unavailable);
  EXPECT_NE(message.find("missing/dir"), std::string::npos) << message;
}

TEST(FileRegistry, FifoDeviceOrHugeFileIsRefusedWithoutBlocking) {
  TempDir dir;
  std::string fifo = dir.file("fifo.json"), zero = dir.file("zero.json"), huge = dir.file("huge.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  {
    gxtest::writeFile(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(gxreg::kMaxRegistryFileBytes) + 1), 0);
  }
  std::unique_ptr<FileRegistry> reg;
  std::string message;
  // Each would block for ever or eat memory if read as it comes.
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(FileRegistry::load(fifo, true, reg, message), reg_s_unavailable);
  EXPECT_NE(message.find("is not a regular file"), std::string::npos) << message;
  EXPECT_EQ(FileRegistry::load(zero, true, reg, message), reg_s_unavailable);
  EXPECT_NE(message.find("is not a regular file"), std::string::npos) << message;
  EXPECT_EQ(FileRegistry::load(huge, true, reg, message), reg_s_file_damaged);
  EXPECT_NE(message.find("larger than 64 MiB"), std::string::npos) << message;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(reg);
}

// A registry file edited as gxpolicy edits it: load, change, save (a new
// file renamed into place).
template <class Edit>
void editFile(std::string const& path, Edit edit) {
  std::unique_ptr<FileRegistry> reg;
  std::string message;
  ASSERT_EQ(FileRegistry::load(path, false, reg, message), 0u) << message;
  edit(*reg);
  ASSERT_EQ(reg->save(message), 0u) << message;
}

std::vector<std::string> groupsOf(gxreg::Registry& reg, std::string const& user) {
  hx_uuid_t u{};
  std::vector<hx_uuid_t> ids;
  std::vector<std::string> names;
  if (reg.userUuid(user, u) != 0 || reg.userGroups(u, ids) != 0) return {"(unknown)"};
  for (auto const& id : ids) {
    std::string name;
    reg.groupName(id, name);
    names.push_back(name);
  }
  return names;
}

TEST(WatchedFileRegistry, FollowsSavesEditsAndRemovalsOfItsFile) {
  TempDir dir;
  std::string path = dir.file("p.db.registry.json");
  unsigned long st = 0;
  std::string message;
  // No file at the start: empty, and the file is picked up when it appears.
  std::unique_ptr<gxreg::WatchedFileRegistry> reg;
  st = gxreg::WatchedFileRegistry::open(path, false, reg, message);
  ASSERT_TRUE(reg) << message;
  EXPECT_EQ(groupsOf(*reg, "alice"), std::vector<std::string>{"(unknown)"});
  EXPECT_EQ(reg->refresh(), 0u);
  EXPECT_EQ(reg->generation(), 0u);
  gxtest::writeFile(path, sampleRegistry().dump());
  ASSERT_EQ(reg->refresh(message), 0u) << message;
  EXPECT_EQ(groupsOf(*reg, "alice"), (std::vector<std::string>{"web", "ops"}));
  std::uint64_t seen = reg->generation();
  EXPECT_GT(seen, 0u);

  // A revoked membership, a removed user and a new one, each saved by rename.
  editFile(path, [](FileRegistry& r) { r.removeMember("alice", "ops"); });
  ASSERT_EQ(reg->refresh(), 0u);
  EXPECT_EQ(groupsOf(*reg, "alice"), std::vector<std::string>{"web"});
  EXPECT_GT(reg->generation(), seen);
  seen = reg->generation();
  editFile(path, [](FileRegistry& r) {
    r.removeUser("bob");
    r.addUser("carol", nullptr, {"ops"});
  });
  ASSERT_EQ(reg->refresh(), 0u);
  EXPECT_EQ(groupsOf(*reg, "bob"), std::vector<std::string>{"(unknown)"});
  EXPECT_EQ(groupsOf(*reg, "carol"), std::vector<std::string>{"ops"});
  seen = reg->generation();

  // A save that changes nothing keeps the generation (callers stay remembered).
  editFile(path, [](FileRegistry&) {});
  ASSERT_EQ(reg->refresh(), 0u);
  EXPECT_EQ(reg->generation(), seen);

  // A file edited in place, keeping its inode and size: its times tell.
  std::string same = gxtest::readFile(path);
  std::string swapped = same;
  swapped.replace(swapped.find("\"ops\""), 5, "\"web\"");
  ASSERT_EQ(swapped.size(), same.size());
  {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, swapped.data(), swapped.size(), 0), static_cast<ssize_t>(swapped.size()));
    ::close(fd);
  }
  ASSERT_EQ(reg->refresh(), 0u);
  EXPECT_EQ(groupsOf(*reg, "carol"), std::vector<std::string>{"web"});

  // A damaged file is refused, and the answers from before stay.
  seen = reg->generation();
  gxtest::writeFile(path + ".new", "{\"users\": [");
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
  EXPECT_EQ(reg->refresh(message), reg_s_file_damaged);
  EXPECT_NE(message.find("not valid JSON"), std::string::npos) << message;
  EXPECT_EQ(reg->refresh(message), reg_s_file_damaged);  // told again, the same file not read again
  EXPECT_EQ(groupsOf(*reg, "carol"), std::vector<std::string>{"web"});
  EXPECT_EQ(reg->generation(), seen);

  // Removed: nobody is known any more.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(reg->refresh(), 0u);
  EXPECT_EQ(groupsOf(*reg, "alice"), std::vector<std::string>{"(unknown)"});
  EXPECT_GT(reg->generation(), seen);
}

TEST(FileRegistryConcurrency, LookupsDuringReloadsSeeOneWholeRegistry) {
  TempDir dir;
  std::string path = dir.file("r.json");
  json one = sampleRegistry(), two = sampleRegistry();
  two["users"][0]["groups"] = {"ops"};
  gxtest::writeFile(path, one.dump());
  unsigned long st = 0;
  auto reg = gxreg::openFileRegistry(path, true, st);
  ASSERT_TRUE(reg);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      while (!done.load()) {
        auto groups = groupsOf(*reg, "alice");
        if (groups != std::vector<std::string>{"web", "ops"} && groups != std::vector<std::string>{"ops"}) ++wrong;
      }
    });
  for (int i = 0; i < 200; ++i) {
    gxtest::writeFile(path + ".new", (i % 2 ? one : two).dump());
    ::rename((path + ".new").c_str(), path.c_str());
    EXPECT_EQ(reg->refresh(), 0u);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(reg->generation(), 200u);
}

}  // namespace
