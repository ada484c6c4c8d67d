// File digests: the SHA-256 of a file's bytes, and a small record of the
// digest a replica had when it was installed, kept beside it, so that a
// replica found on disk can be proved intact (or found damaged) before the
// process maps it.
#pragma once

#include <string>

// Status of a digest record that is missing or does not parse.
constexpr unsigned long hx_digest_s_no_record = 0x14601010;

// The SHA-256 of the file at path as 64 lower-case hex digits, read through
// a descriptor (never mapped). status 0; hx_db_s_open_failed when the file
// cannot be opened, hx_db_s_io_error when a read fails. hex is left as it
// was on failure.
void hx_file_sha256(char const* path, std::string& hex, unsigned long& status);

// What a digest record holds.
struct hx_digest_record {
  std::string sha256;       // 64 hex digits
  unsigned long long size = 0;
  // The file's inode: a record made for another file (one about to be
  // renamed into place, or one since replaced) is not this file's record.
  unsigned long long inode = 0;
};

// Writes record to path (a temporary file in the same folder, mode 0600,
// O_NOFOLLOW, synced, then renamed into place: readers see the old record
// or the new one). status 0 or hx_db_s_io_error.
void hx_digest_write(char const* path, hx_digest_record const& record, unsigned long& status);
// Reads the record at path. status 0; hx_digest_s_no_record when there is
// none or it does not parse (record is then left as it was).
void hx_digest_read(char const* path, hx_digest_record& record, unsigned long& status);
