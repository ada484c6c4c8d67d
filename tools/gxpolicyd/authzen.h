// The OpenID AuthZEN Authorization API 1.0 served by gxpolicyd, so that
// clients and gateways written for it ask this policy unchanged. Every
// route takes POST with a JSON object (unknown fields are ignored, as the
// API requires) and answers JSON:
//
//   /access/v1/evaluation       {subject, action, resource, context} -> {"decision": bool, "context"}
//   /access/v1/evaluations      defaults at the top level, "evaluations": [...] overriding
//                               them item by item, "options": {"evaluations_semantic":
//                               "execute_all" | "deny_on_first_deny" | "permit_on_first_permit"}
//                               -> {"evaluations": [decision, ...]}
//   /access/v1/search/subject   {subject: {type}, action, resource} -> users or groups granted;
//                               context: whether any other authenticated user and
//                               unauthenticated callers are granted too, and
//                               (users) whether group members could be listed
//   /access/v1/search/resource  {subject, action, resource: {type}} -> objects granted
//   /access/v1/search/action    {subject, resource} -> the actions granted
//
// The subject and resource searches read the ACLs (daAccessReview.h): what
// the POP and rule in force may still deny is reported (a result's
// properties.conditional), not evaluated in the request's context. The
// action search decides each action in full, in that context.
//
// How the API's entities map onto this policy:
//   subject  type "user": id a registry user name, or a user uuid (then
//            properties.groups: the user's groups, names or uuids);
//            type "group": a member of that group (name or uuid) with no
//            user entry of its own; type "unauthenticated": no one (id is
//            not read). properties.ip_address: the caller's address.
//   resource id: the protected object's name ("/web/docs"); the type is
//            not read (answers of the resource search carry the type
//            asked). A resource search reads properties.under, the subtree
//            searched (default "/").
//   action   name: a label of the store's action catalogue in any case,
//            with or without "can_" ("read", "can_read" -> "r"), else an
//            action string as /v1/check takes it ("Tr").
//   context  "time", "auth_level", "protection" and "attributes" as
//            /v1/check reads them; other keys are ignored.
// A decision's context says why: {"cause", "reason_admin": {"en": REASON}}
// when denied (and "auth_level_required" for a step-up), {"warning": ...}
// for a grant in a POP's warning mode.
//
// Errors. A body that is not a JSON object, a bad option or page, and a
// batch over maxBatch items (413) refuse the request (a text message), as
// do, in a single evaluation or a search, a missing or mistyped entity or
// context. An evaluation that cannot be decided -- an unknown user or
// group, a bad object name or action -- is answered {"decision": false,
// "context": {"error": {"status", "message"}}} (status as HTTP would give
// it: 404 for an unknown user or group, 400 for bad input, 503 when the
// directory or store cannot answer); in a batch every item is answered so,
// a missing entity included, whatever the others hold. A single
// evaluation the store or directory cannot answer gets 503.
//
// The evaluation routes are open to whoever reaches gxpolicyd, as
// /v1/check is; the search routes reveal policy and are held to the
// review token (reviewAccessProblem): 401 or 403 otherwise. Search results
// come a page at a time ("page": {"limit", "token"} in the request,
// {"next_token", "count"} in the answer, next_token "" on the last page);
// a token from another question, or one that does not decode, is 400.
//
// GET /.well-known/authzen-configuration answers the metadata naming
// these endpoints under ReviewOptions::authzenBaseUrl (the searches only
// when a review token is set); 404 when no base URL is configured.
//
// Every answer echoes the request's X-Request-ID.
//
// Thread-safe: each thread keeps its own decision record.
#pragma once

#include "tools/gxpolicyd/http_types.h"
#include "tools/gxpolicyd/review.h"

namespace gxpolicyd {

// True for the paths answerAuthzen serves ("/access/v1/..." and the
// metadata's).
bool isAuthzenPath(std::string_view path);

// Answers one request to an AuthZEN path (without its X-Request-ID:
// echoRequestId adds it): 405 (Allow: POST) for another method, 404 for an unknown path under /access/v1/, else as above (503
// when the store or the directory cannot answer). Throws std::bad_alloc.
Response answerAuthzen(ReviewHost const& host, Request const& request);

// Adds request's X-Request-ID to response, unless it has one, the request
// sent several, or it is longer than this API echoes (answerAuthzen
// refuses those). The service calls it on every answer to an AuthZEN
// path, its own refusals of a body included. Throws std::bad_alloc.
void echoRequestId(Request const& request, Response& response);

}  // namespace gxpolicyd
