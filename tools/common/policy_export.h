// Policy export: the database read into a policy document, the JSON form
// described at the top of tools/gxpolicy/cmd_io.cpp that policy import
// (policy_import.h) loads back, as `gxpolicy export` does. The whole
// document is built in memory, read through the cache of the given store.
//
// Not synchronised beyond what the store does: one caller at a time.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "tools/common/problem.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// Builds in doc (replaced) the document of everything store holds: every
// ACL, POP and rule, and every protected object that has a record, an
// attachment or extended attributes. True on success; false with problem
// set (a record that does not decode as its kind, a map naming several
// policies, an ACL entry of an unknown type, a catalogue without a
// "primary" group holding actions, a read or listing failure), doc then
// unspecified. Texts that are not UTF-8 are written with U+FFFD in place of
// each invalid byte, and the place of each such item is appended to
// invalidText (cleared first) when it is given. With a registry (not
// owned) each user and group entry also gets its subject's "name" from it
// (left out for a uuid the registry does not know). Throws std::bad_alloc
// when memory runs out.
bool exportPolicyDocument(daCachedStore& store, nlohmann::json& doc, Problem& problem,
                          std::vector<std::string>* invalidText = nullptr, gxreg::Registry* registry = nullptr);

}  // namespace gxpolicy
