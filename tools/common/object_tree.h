// The tree of protected objects one level at a time, for browsing an
// estate of any size: the children of an object, a page at a time, each
// with whether it has children of its own.
//
// An object is any path with a protected-object record, an attachment (ACL,
// POP or rule) or extended attributes (as objectPaths in policy_document.h
// counts them), and a path between the root and such an object is a node
// of the tree even without a record of its own. A listing seeks in the
// file's key order rather than reading the subtree: its cost grows with the
// number of children (a few seeks each), not with the objects below them,
// so listing the root of a million-object estate costs what listing a small
// directory does.
//
// Thread-safe as the store's reads are: each seek is a read transaction of
// its own, so a listing made while another process writes may mix two
// committed states (a child that appeared or went meanwhile). Browsing
// needs no more; a consistent view is the export's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class daCachedStore;

namespace gxpolicy {

struct ObjectChild {
  std::string name;          // the last component ("payroll")
  std::string path;          // the whole path ("/hr/payroll")
  bool hasChildren = false;  // something lies below it
};

// The children of parent ("/" or "/a/b"; parent need not be an object) in
// name order (bytewise) whose names begin with namePrefix ("": all), those
// after `after` (a child's name; none: from the first), at most limit of
// them (limit > 0) into out (replaced); more is set when further such
// children follow. 0 on success (no children is
// success); 0x1005B1C9 for a parent that is not an absolute path without
// a trailing '/', '//' or NUL; the store's status when a seek fails
// (hx_db_scan_records's). Takes no store lock beyond the file's read
// transactions. Throws std::bad_alloc.
unsigned long objectChildren(daCachedStore& store, std::string const& parent, std::optional<std::string> const& after,
                             std::size_t limit, std::vector<ObjectChild>& out, bool& more,
                             std::string const& namePrefix = "");

}  // namespace gxpolicy
