// The answer of /v1/check written straight from the daDecision record: the
// same fields, in the same order and with the same reason text as the
// explanation without detail (gxpolicy::toJson(explanation, false)), but
// with no per-entry explanation, no registry call and no JSON document.
// Names come from the caller as resolved once (CallerText, kept in the
// caller cache); action strings from a per-thread table remembered for the
// store's policy epoch, so a warm answer takes no lock beyond what decide
// took.
//
// Not synchronised beyond that: each thread uses its own daDecision and
// output string; the action-name table is per thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "GxCore/db/daDecision.h"
#include "tools/common/decide.h"
#include "tools/common/json_string.h"

class daCachedStore;

namespace gxpolicyd {

// What an answer says about its caller, made once per resolved caller.
struct CallerText {
  std::string describe;  // gxpolicy::Caller::describe()
  std::string json;      // the "caller" object: text, authenticated, user and groups with their names
};
// The text of c. Allocates; never calls the registry (the names are c's).
CallerText callerText(gxpolicy::Caller const& c);

// JSON strings as every answer writes them (tools/common/json_string.h).
using gxpolicy::appendJsonString;
using gxpolicy::utf8Length;

// The cause code of a decision: daDecisionCauseText's ("granted", "no-acl",
// "acl-denied", "outside-window", "auth-level", "protection", "rule-denied",
// "rule-missing-attribute", "rule-error", "rule-limit", "rule-not-compiled").
char const* causeText(daDecision const& d);

// Appends to out the answer to question q for caller (text: its
// CallerText) given d, the record decide just filled for it on store
// (which must still be open). object is q.object as decide accepted it.
// Takes the store's state lock shared only the first time a thread names a
// permission set in a policy epoch. Never throws except std::bad_alloc.
void appendCheckAnswer(std::string& out, daCachedStore& store, daDecision const& d, gxpolicy::Question const& q,
                       gxpolicy::Caller const& caller, CallerText const& text);

}  // namespace gxpolicyd
