// gxpolicy publish: writes a compressed, verified snapshot of a master
// policy database and its manifest into a folder that any web server can
// serve to replicas on other machines (daSnapshot.h describes the layout),
// with the delta from the previous publish and the master's user registry
// when it has one.
#include <cstdio>
#include <memory>
#include <string>

#include "GxCore/remote/daSnapshot.h"
#include "outside/hxdb.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct PublishArgs {
  std::string master;
  std::string dir;
  std::string domain = "Default";
  unsigned keep = 3;
  unsigned deltas = 10;
  unsigned fullEvery = 1;
};

void publish(PublishArgs const& a) {
  daSnapshotPublishResult result;
  unsigned long st = 0;
  daPublishSnapshot(a.master.c_str(), a.dir.c_str(), a.domain.c_str(), daPublishOptions{a.keep, a.deltas, a.fullEvery}, result, st);
  if (st == da_s_snapshot_unchanged) {
    std::printf("%s: unchanged since snapshot %lu; nothing published\n", a.master.c_str(),
                result.manifest.sequence);
    return;
  }
  if (st != 0) {
    std::string what = "cannot publish " + a.master + " into " + a.dir;
    if (st == hx_db_s_corrupt)
      what += " (the master is damaged: run gxpolicy verify on it, and restore it from a backup)";
    else if (st == hx_db_s_open_failed)
      what += " (check that the master exists and is a policy database)";
    else if (st == da_s_snapshot_bad_registry)
      what += " (the registry beside the master, " + daRegistryPathOf(a.master) +
              ", is damaged or too large: check it with gxpolicy user ls)";
    else if (st == hx_db_s_io_error)
      what += " (check that the folder is writable and has room)";
    throw CLI::RuntimeError(fail(what, st));
  }
  auto const& m = result.manifest;
  if (daSnapshotFileSequence(m) != m.sequence) {
    auto const& d = m.deltas.back();
    std::printf("published sequence %lu as a delta only: %s/%s, %llu bytes (%zu delta(s) listed)\n", m.sequence,
                a.dir.c_str(), d.file.c_str(), static_cast<unsigned long long>(d.size), m.deltas.size());
    std::printf("full snapshot %s/%s kept (sequence %lu)\n", a.dir.c_str(), m.file.c_str(), m.fileSequence);
  } else {
    std::printf("published %s/%s: sequence %lu, %llu bytes (database %llu bytes), sha256 %s\n", a.dir.c_str(),
                m.file.c_str(), m.sequence, static_cast<unsigned long long>(m.size),
                static_cast<unsigned long long>(m.rawSize), m.sha256.c_str());
  }
  if (daSnapshotFileSequence(m) == m.sequence && !m.deltas.empty() && m.deltas.back().to == m.sequence) {
    auto const& d = m.deltas.back();
    std::printf("with the delta %s/%s from sequence %lu: %llu bytes (%zu delta(s) listed)\n", a.dir.c_str(),
                d.file.c_str(), d.from, static_cast<unsigned long long>(d.size), m.deltas.size());
  }
  if (!m.registryFile.empty())
    std::printf("with the user registry %s/%s: %llu bytes, sha256 %s\n", a.dir.c_str(), m.registryFile.c_str(),
                static_cast<unsigned long long>(m.registrySize), m.registrySha256.c_str());
  if (result.removed > 0) std::printf("removed %u older snapshot(s)\n", result.removed);
}

}  // namespace

void registerPublishCommands(CLI::App& app) {
  auto args = std::make_shared<PublishArgs>();
  auto* sub = app.add_subcommand(
      "publish", "write a snapshot of a master database and its manifest into DIR, for replicas that fetch it over HTTP(S)");
  sub->add_option("MASTER", args->master, "master policy database file")->required();
  sub->add_option("DIR", args->dir, "folder served by a web server (created when missing)")->required();
  sub->add_option("--keep", args->keep, "snapshots kept, the new one included (default 3)")
      ->check(CLI::PositiveNumber);
  sub->add_option("--deltas", args->deltas,
                  "deltas listed in the manifest, for replicas a few changes behind (default 10; 0: none)")
      ->check(CLI::Range(0u, daPublishOptions::maxDeltas));
  sub->add_option("--full-every", args->fullEvery,
                  "write the full snapshot at every Nth publish only, the delta alone between (default 1: every "
                  "publish; replicas of versions without deltas need 1)")
      ->check(CLI::PositiveNumber);
  sub->add_option("--domain", args->domain, "policy domain (names the inter-process lock)");
  sub->callback([args] { publish(*args); });
}

}  // namespace gxpolicy
