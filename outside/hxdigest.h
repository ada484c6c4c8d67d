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

// Which file, in which state, a digest record was made for: device, inode,
// length, and modification and change times in nanoseconds. An inode number
// alone does not name a file (a file replaced outside the library often
// gets the number of the one it replaced); any write, rename, chmod or
// replacement moves the change time, so an equal stamp means the file is
// the one the record was made for, untouched since through the file system.
struct hx_file_identity {
  unsigned long long dev = 0, inode = 0, size = 0;
  long long mtimeNs = 0, ctimeNs = 0;
  bool operator==(hx_file_identity const&) const = default;
};
// The identity of the file at path (symbolic links followed, as the
// file's readers follow them).
// status 0; hx_db_s_open_failed when it cannot be had.
void hx_file_identify(char const* path, hx_file_identity& identity, unsigned long& status);

// What a digest record holds.
struct hx_digest_record {
  std::string sha256;  // 64 hex digits
  // The file the digest was taken of; a record whose identity differs from
  // the file's now was made for another file or an earlier state of it.
  hx_file_identity file;
};

// Writes record to path (a temporary file in the same folder, mode 0600,
// O_NOFOLLOW, synced, then renamed into place: readers see the old record
// or the new one). status 0 or hx_db_s_io_error.
void hx_digest_write(char const* path, hx_digest_record const& record, unsigned long& status);
// Reads the record at path (a regular file, no symbolic link; read without
// blocking). status 0; hx_digest_s_no_record when there is none or it does
// not parse (record is then left as it was). A record of the older form,
// "sha256 H size N inode I", is read with no times: it matches no file, so
// the file it was made for is verified again.
void hx_digest_read(char const* path, hx_digest_record& record, unsigned long& status);
