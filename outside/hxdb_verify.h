// Structural verification of a database file before anything maps it.
//
// The key/value engine trusts its file: a page with a wrong node offset,
// key size, child page number or bounds makes a process that maps the file
// fault (SIGSEGV, SIGBUS) or abort on an internal assertion. A file that
// this process did not write (a master to copy, a replica found on disk, a
// file a command is pointed at) is therefore read here first, through
// plain reads of a descriptor, never a map, so damage becomes a status.
//
// Checked: both meta pages (type, magic, format version, page size, the
// one the engine will use), the file's length against every page a tree
// uses, and both B-trees (free space and records) from their roots: page
// numbers in range and matching the page, page types by level, header
// bounds, node offsets and sizes inside the page, key sizes under the
// engine's limit, keys in order within and across pages, overflow pages
// (type, count, bounds), every page used once (no cycles, no sharing), the
// tree depth and the counts the meta page records, and the free-page lists
// (sizes and page numbers). Record contents are not decoded here: that is
// the store's check (daFileReplicatedClient::verifyCopy).
#pragma once

#include <cstdint>
#include <string>

// What a verification found.
struct hx_db_verify_report {
  uint64_t page = 0;       // the first damaged page (0 also for damage in the file as a whole)
  std::string problem;     // "" when the file is sound; else what is wrong, for people
  uint64_t pages = 0;      // pages the file holds in its trees and free lists (when sound)
  uint64_t entries = 0;    // records of the main tree (when sound)
  uint64_t txnid = 0;      // the transaction number of the meta page in use
};

// Verifies the file at path (which is only read: never mapped, locked or
// written). status 0: the file is sound and report holds its counts.
// hx_db_s_corrupt: report.page and report.problem name the first damage.
// hx_db_s_open_failed: the file is missing or cannot be read (report.problem
// says why). A file written concurrently by another process may change
// under the reads; the check then starts again (a few times) from the newer
// meta page before reporting damage.
void hx_db_verify_file(char const* path, hx_db_verify_report& report, unsigned long& status);

// A cheap identity of a file's state: device, inode, length, change time
// and the transaction number of the meta page in use. Two equal stamps mean
// nothing wrote to the file in between, through the engine or otherwise (a
// verified file need not be read again); damage that changes no time stamp
// (the disk's own) is beyond it.
struct hx_db_file_stamp {
  uint64_t dev = 0, ino = 0, size = 0, txnid = 0;
  int64_t ctimeNs = 0, mtimeNs = 0;
  bool operator==(hx_db_file_stamp const&) const = default;
};
// status 0 with the stamp; hx_db_s_open_failed when the file cannot be read,
// hx_db_s_corrupt when its meta pages are not valid.
void hx_db_stamp_file(char const* path, hx_db_file_stamp& stamp, unsigned long& status);
