// Publishing for replicas (publish.h).
#include "tools/common/publish.h"

#include <cstdio>
#include <string>
#include <vector>

#include "outside/hxdb.h"

namespace gxpolicy {
namespace {

// printf into a string of whatever length it takes (paths may be long).
template <class... Args>
std::string format(char const* fmt, Args... args) {
  int n = std::snprintf(nullptr, 0, fmt, args...);
  if (n <= 0) return "";
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt, args...);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string hintFor(PublishRequest const& r, unsigned long st) {
  if (st == hx_db_s_corrupt) return "the master is damaged: run gxpolicy verify on it, and restore it from a backup";
  if (st == hx_db_s_open_failed) return "check that the master exists and is a policy database";
  if (st == da_s_snapshot_bad_registry)
    return "the registry beside the master, " + daRegistryPathOf(r.master) +
           ", is damaged or too large: check it with gxpolicy user ls";
  if (st == hx_db_s_io_error) return "check that the folder is writable and has room";
  return "";
}

}  // namespace

std::optional<PublishOutcome> publishSnapshot(PublishRequest const& request, Problem& problem) {
  PublishOutcome outcome;
  unsigned long st = 0;
  daPublishSnapshot(request.master.c_str(), request.destination.c_str(), request.domain.c_str(), request.options,
                    outcome.result, st);
  if (st == da_s_snapshot_unchanged) {
    outcome.unchanged = true;
    return outcome;
  }
  if (st != 0) {
    problem = Problem("cannot publish " + request.master + " into " + request.destination, st,
                      hintFor(request, st));
    return std::nullopt;
  }
  return outcome;
}

std::vector<std::string> describePublish(PublishRequest const& request, PublishOutcome const& outcome) {
  auto const& m = outcome.result.manifest;
  char const* dir = request.destination.c_str();
  if (outcome.unchanged)
    return {format("%s: unchanged since snapshot %lu; nothing published", request.master.c_str(), m.sequence)};
  std::vector<std::string> lines;
  if (daSnapshotFileSequence(m) != m.sequence) {
    auto const& d = m.deltas.back();
    lines.push_back(format("published sequence %lu as a delta only: %s/%s, %llu bytes (%zu delta(s) listed)",
                           m.sequence, dir, d.file.c_str(), static_cast<unsigned long long>(d.size),
                           m.deltas.size()));
    lines.push_back(format("full snapshot %s/%s kept (sequence %lu)", dir, m.file.c_str(), m.fileSequence));
  } else {
    lines.push_back(format("published %s/%s: sequence %lu, %llu bytes (database %llu bytes), sha256 %s", dir,
                           m.file.c_str(), m.sequence, static_cast<unsigned long long>(m.size),
                           static_cast<unsigned long long>(m.rawSize), m.sha256.c_str()));
  }
  if (daSnapshotFileSequence(m) == m.sequence && !m.deltas.empty() && m.deltas.back().to == m.sequence) {
    auto const& d = m.deltas.back();
    lines.push_back(format("with the delta %s/%s from sequence %lu: %llu bytes (%zu delta(s) listed)", dir,
                           d.file.c_str(), d.from, static_cast<unsigned long long>(d.size), m.deltas.size()));
  }
  if (!m.registryFile.empty())
    lines.push_back(format("with the user registry %s/%s: %llu bytes, sha256 %s", dir, m.registryFile.c_str(),
                           static_cast<unsigned long long>(m.registrySize), m.registrySha256.c_str()));
  if (outcome.result.removed > 0) lines.push_back(format("removed %u older snapshot(s)", outcome.result.removed));
  return lines;
}

}  // namespace gxpolicy
