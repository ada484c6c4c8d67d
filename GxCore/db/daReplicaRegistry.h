// The user registry that travels with a policy database: a file beside the
// database (db + ".registry.json") that a replica copies with it, whether
// from a master file (daFileReplicatedClient) or from a published snapshot
// (GxCore/remote/daSnapshot.h). Needs no network or compression library.
#pragma once

#include <cstdint>
#include <string>

// The published user registry is larger than the cap, differs from the
// size or SHA-256 the manifest gives, or is not a valid registry file.
constexpr unsigned long da_s_snapshot_bad_registry = 0x1460102C;

// The registry file that travels with the database at db: db +
// ".registry.json" (the file user registry's place beside a database).
std::string daRegistryPathOf(std::string const& db);
// The largest registry file published or accepted.
constexpr uint64_t daMaxRegistryBytes = uint64_t{64} << 20;
// Reads the registry file at path (a regular file; never blocks on a FIFO
// or device) into text, at most maxBytes. status 0; hx_db_s_open_failed
// when there is no such regular file; da_s_snapshot_bad_registry when it is
// larger than maxBytes or is not a valid registry (outside/file_registry.h);
// hx_db_s_io_error when a read fails. text is left as it was on failure.
void daReadRegistryFile(std::string const& path, uint64_t maxBytes, std::string& text, unsigned long& status);
// Installs text as the registry file at path when it is a valid registry:
// written to path + ".new" (mode 0600, O_EXCL|O_NOFOLLOW), synced, then
// renamed over path, so that readers see the old file or the new one. A
// path whose contents already equal text is left alone. status 0;
// da_s_snapshot_bad_registry (text is not a valid registry; path is left as
// it was); hx_db_s_io_error.
void daInstallRegistry(std::string const& text, std::string const& path, unsigned long& status);
