// What policy import (policy_import.h) and export (policy_export.h) share:
// the names a document uses for its sections and its ACL entry types, the
// place of an item in a document, the problem an item raises, and listing
// the keys stored under a base. The document shape is described at the top
// of tools/gxpolicy/cmd_io.cpp.
//
// Import and export read nested items with straight-line code: a problem
// found deep inside is thrown as a document::BadItem and caught by their
// entry points, which turn it into a Problem. Besides keysUnder and
// objectPaths, the one-item calls at the end are for the edits by name
// (policy_edit.h) and the change log, which read, check and record one
// item at a time in the document's form.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/common/policy_write.h"
#include "tools/common/problem.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// The keys under base at every depth, each as the text after base ("" for
// base itself), into out (replaced). 0, with none for a base that holds no
// keys; else the store's listing status (out then empty). Throws
// std::bad_alloc when memory runs out.
unsigned long keysUnder(daCachedStore& store, char const* base, std::vector<std::string>& out);
// Every path that has a protected-object record, an attachment (ACL, POP or
// rule) or extended attributes, into out (replaced), sorted. 0, else the
// status of the listing that failed (out then unspecified). Throws
// std::bad_alloc when memory runs out.
unsigned long objectPaths(daCachedStore& store, std::set<std::string>& out);
// The objects the policy of kind (kAcl, kPop, kRule) called name is
// attached to, appended to out (none for a policy attached nowhere, or one
// that does not exist or whose name is not valid). 0, else the status of
// reading the policy's list of objects. Throws std::bad_alloc.
unsigned long attachedTo(daCachedStore& store, int kind, std::string const& name, std::vector<std::string>& out);

namespace document {

// The sections of a document: the policy kinds (kAcl, kPop, kRule) and then
// the protected objects, section kObjects.
constexpr int kObjects = kKindCount;
constexpr int kSectionCount = kKindCount + 1;
// "acls", "pops", "rules" (kKinds[section].section) or "objects"; section
// must be from 0 to kSectionCount - 1.
char const* sectionName(int section);

// The "type" of an ACL entry in a document, from and to the record's entry
// type (acl_e_user, acl_e_group, acl_e_any_other, acl_e_unauthenticated).
// entryTypeName: null for any other type. entryTypeOf: false for a name
// that is none of "user", "group", "any-other", "unauthenticated".
char const* entryTypeName(unsigned int type);
bool entryTypeOf(std::string const& name, unsigned int& type);
// The names entryTypeOf knows, for messages: "user, group, any-other, unauthenticated".
char const* entryTypeNames();

// A problem with one item: its place, what is wrong, and the library status
// behind it (0 for a fault of the document itself).
struct BadItem {
  std::string path;
  std::string message;
  unsigned long status;
};

// A place in the document, written as fields joined by "." and other keys
// (names, paths) in brackets: objects["/web/docs"].acl, acls.a1.entries[0].
// root() is the document itself, written "".
class Path {
 public:
  // The place of member key (a plain name joined with ".", any other key
  // quoted in brackets) or of array item index. Throw std::bad_alloc only.
  Path operator/(std::string const& key) const;
  Path operator/(std::size_t index) const;
  std::string const& text() const { return text_; }
  // Throws BadItem{text(), message, status}.
  [[noreturn]] void fail(std::string message, unsigned long status = 0) const;

 private:
  Path() = default;
  explicit Path(std::string text) : text_(std::move(text)) {}
  friend Path root();
  std::string text_;
};
Path root();

// The problem for bad (its place as the problem's where).
Problem problemOf(BadItem const& bad);

// Runs convert, a conversion between action strings and permissions through
// the store's quick map. The quick map throws when the action catalogue has
// no "primary" group holding an action; that is thrown as a BadItem at p
// (status gx_s_no_action_group). Other exceptions pass through.
void throughQuickMap(std::function<void()> const& convert, Path const& p);

// ---- one item at a time --------------------------------------------------------
// An item is (section, key): an ACL, POP or rule by name, or a protected
// object by path. registry (not owned, may be null) resolves and names
// entry subjects as import and export do. Each throws BadItem (at p, or at
// the item's place in a document) for what import or export would refuse,
// and std::bad_alloc.

// The item's field name in change records and messages: "acl", "pop",
// "rule" or "object".
char const* itemField(int section);
// The item as export writes it, read from store; null when the database
// holds none (for an object: no record, no attachment, no attributes).
nlohmann::json exportItem(daCachedStore& store, gxreg::Registry* registry, int section, std::string const& key);
// value, an item as a document gives it, checked as import checks an item
// on its own (names, fields, action strings, subjects, addresses, rule
// text, key and record limits; not whether the policies an object names
// exist) and rewritten in the form export writes.
nlohmann::json normaliseItem(daCachedStore& store, gxreg::Registry* registry, int section, std::string const& key,
                             nlohmann::json const& value, Path const& p);
// The readers import builds items with (policy_import.cpp) and the writers
// export renders them with (policy_export.cpp).
PolicyItem readPolicyItem(daCachedStore& store, gxreg::Registry* registry, int kind, std::string const& key,
                          nlohmann::json const& value, Path const& p);
ObjectItem readObjectItem(std::string const& key, nlohmann::json const& value, Path const& p);
nlohmann::json policyItemJson(daCachedStore& store, gxreg::Registry* registry, int kind, daStoreObject& policy,
                              GxExtAttr const* ext, Path const& p);
nlohmann::json objectItemJson(GxPObj const& pobj, std::optional<std::string> const (&policy)[kKindCount],
                              GxExtAttr const* ext);

}  // namespace document
}  // namespace gxpolicy
