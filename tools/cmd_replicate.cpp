// gxpolicy replicate: brings a replica database file up to date from a
// master database file, as a server's local policy does when it opens.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "tools/gxpolicy.h"

namespace gxpolicy {
namespace {

struct ReplicateArgs {
  std::string master;
  std::string replica;
  std::string domain = "Default";
};

// The file's identity (0 when there is no file): a rebuild puts a new file
// in place, so a changed identity means the replica was rebuilt.
ino_t inodeOf(std::string const& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void replicate(ReplicateArgs const& a) {
  daFileReplicatedClient client(a.master.c_str(), a.domain.c_str());
  // A tool has no domain manager: the rebuild locks this store itself.
  daLocalPolicy replica(a.domain.c_str(), a.replica.c_str(), 0, 0);
  replica.setReplicatedClient(&client);
  ino_t before = inodeOf(a.replica);
  unsigned long st = 0;
  replica.openPolicy(1, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot open or rebuild " + a.replica, st));
  ino_t after = inodeOf(a.replica);

  unsigned long local = daLocalStore::invalidSeqnum;
  unsigned long master = daLocalStore::invalidSeqnum;
  unsigned long masterStatus = 0;
  replica.getLocalSeqNum(local);
  client.getMasterSeqNum(master, masterStatus);
  bool rebuilt = after != before;
  std::printf("%s: %s\n", a.replica.c_str(), rebuilt ? "rebuilt from the master" : "not rebuilt");
  std::printf("sequence number: replica %lu, master ", local);
  if (masterStatus == 0) std::printf("%lu\n", master);
  else std::printf("unknown (status 0x%8.8lx)\n", masterStatus);
  std::string backup = a.replica + daLocalPolicy::backupSuffix;
  if (inodeOf(backup) != 0) std::printf("backup: %s\n", backup.c_str());
  replica.closePolicy(st);
  // The previous database is still usable, but scripts must see that the
  // replication did not happen.
  if (local != master || masterStatus != 0) {
    std::fprintf(stderr, "gxpolicy: %s is not current; the previous database stays in use\n", a.replica.c_str());
    throw CLI::RuntimeError(1);
  }
}

// A new database records its version, so that replicas accept it.
unsigned long storeDatabaseInfo(daLocalStore& store) {
  GxAuthznDBInfo info(gxauthzn_db_s_t{daLocalPolicy::minimumDatabaseVersion, 0, 0, 0, 0});
  gxobj_holder record;
  unsigned long st = 0;
  unsigned long seq = 0;
  info.encode(record.rec, st);
  if (st != 0) return st;
  store.setObject(daAuthDBInfoName().getFullName(), record.rec, seq, st);
  return st;
}

}  // namespace

void registerReplicateCommands(CLI::App& app) {
  addCreateStep(&storeDatabaseInfo);
  auto args = std::make_shared<ReplicateArgs>();
  auto* sub = app.add_subcommand("replicate", "bring a replica policy database up to date from a master");
  sub->add_option("MASTER", args->master, "master policy database file")->required();
  sub->add_option("REPLICA", args->replica, "replica policy database file (created when missing)")->required();
  sub->add_option("--domain", args->domain, "policy domain (names the inter-process lock)");
  sub->callback([args] { replicate(*args); });
}

}  // namespace gxpolicy
