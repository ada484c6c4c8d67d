// Publishing for replicas (publish.h).
#include "tools/common/publish.h"

#include "outside/nats_bell.h"

#include <cstdio>
#include <string>
#include <vector>

#include "outside/hxdb.h"
#include "tools/common/signing_keys.h"

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
  if (st == da_s_key_bad) return "a signing key cannot sign: give private key files written by gxpolicy keygen";
  return "";
}

// "<master>.publish-<first 12 hex digits of the destination's SHA-256>".
std::string defaultStage(PublishRequest const& r) {
  daSha256 hash;
  hash.update(r.destination.data(), r.destination.size());
  return r.master + ".publish-" + hash.finish().substr(0, 12);
}

std::string keyIds(std::vector<std::shared_ptr<daSigningKey const>> const& keys) {
  std::string ids;
  for (auto const& k : keys) ids += (ids.empty() ? "" : ", ") + k->keyId();
  return ids;
}

}  // namespace

std::optional<PublishOutcome> publishSnapshot(PublishRequest const& request, Problem& problem) {
  daPublishOptions options = request.options;
  auto keys = loadKeyFiles(request.signKeyFiles, true, problem);
  if (!keys) return std::nullopt;
  options.signers.insert(options.signers.end(), keys->begin(), keys->end());
  PublishOutcome outcome;
  unsigned long st = 0;
  std::unique_ptr<daPublishTarget> target;
  std::string folder = request.destination;
  if (daIsS3Url(request.destination)) {
    daS3Location where;
    std::string why;
    daParseS3Url(request.destination, request.s3Endpoint, request.s3Region, where, why, st);
    if (st != 0) {
      problem = Problem("cannot publish " + request.master + " into " + request.destination, st, why);
      return std::nullopt;
    }
    daObjectStoreOptions storeOptions;
    storeOptions.caFile = request.caFile;
    target = daMakeS3Target(request.destination, where, storeOptions);
    folder = request.stage.empty() ? defaultStage(request) : request.stage;
  } else if (daIsOciUrl(request.destination)) {
    daOciLocation where;
    std::string why;
    daParseOciUrl(request.destination, request.ociPlainHttp, where, why, st);
    if (st != 0) {
      problem = Problem("cannot publish " + request.master + " into " + request.destination, st, why);
      return std::nullopt;
    }
    daObjectStoreOptions storeOptions;
    storeOptions.caFile = request.caFile;
    storeOptions.ociChunkBytes = request.ociPartBytes;
    target = daMakeOciTarget(request.destination, where, {}, storeOptions);
    folder = request.stage.empty() ? defaultStage(request) : request.stage;
  }
  daPublishSnapshot(request.master.c_str(), folder.c_str(), request.domain.c_str(), options, outcome.result, st);
  outcome.unchanged = st == da_s_snapshot_unchanged;
  if (st != 0 && !outcome.unchanged) {
    problem = Problem("cannot publish " + request.master + " into " + folder, st, hintFor(request, st));
    return std::nullopt;
  }
  if (target) {
    daUploadPublished(folder, *target, outcome.upload, st);
    if (st != 0) {
      problem = Problem("cannot upload the publish of " + request.master + " to " + request.destination, st,
                        target->lastError().empty() ? "" : target->lastError() + "; the next publish retries");
      return std::nullopt;
    }
  }
  outcome.signedBy = keyIds(options.signers);
  return outcome;
}

std::vector<std::string> describePublish(PublishRequest const& request, PublishOutcome const& outcome) {
  auto const& m = outcome.result.manifest;
  char const* dir = request.destination.c_str();
  std::vector<std::string> lines;
  if (outcome.unchanged) {
    lines.push_back(format("%s: unchanged since snapshot %lu; nothing published", request.master.c_str(), m.sequence));
    if (outcome.upload.uploaded > 0 || outcome.upload.removed > 0)
      lines.push_back(format("completed an earlier upload to %s: %u object(s) uploaded, %u removed", dir,
                             outcome.upload.uploaded, outcome.upload.removed));
    return lines;
  }
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
  if (!request.signKeyFiles.empty() && !outcome.signedBy.empty())
    lines.push_back("signed by key(s) " + outcome.signedBy);
  if (outcome.result.removed > 0) lines.push_back(format("removed %u older snapshot(s)", outcome.result.removed));
  if (outcome.upload.uploaded > 0 || outcome.upload.removed > 0)
    lines.push_back(format("uploaded %u object(s), %llu bytes, to %s; removed %u", outcome.upload.uploaded,
                           static_cast<unsigned long long>(outcome.upload.bytes), dir, outcome.upload.removed));
  return lines;
}

bool announcePublished(std::string const& url, unsigned long sequence, int timeoutMs, Problem& problem) {
  std::string why;
  if (hxnats::announce(url, sequence, timeoutMs, why)) return true;
  problem = Problem{"cannot announce sequence " + std::to_string(sequence) + " on " + url, 0, why, ""};
  return false;
}

}  // namespace gxpolicy
