// gxpolicyd's access review: the reverse questions over HTTP, apart from
// the transport (GxCore/db/daAccessReview.h answers them).
//
//   GET or POST /v1/who-can and /v1/what-can, the question in the body
//   (POST) or in the query (GET: the same names, "group" repeated for the
//   groups, "expand" and "objects" true or false):
//
//   /v1/who-can        {"object", "actions", "expand"} -> who may do the
//                      actions there: the fields of gxpolicy who-can --json
//   /v1/what-can       {caller, "actions", "under", "objects", "limit",
//                      "cursor"} -> the subtrees where the caller holds the
//                      actions ({"regions": [...]}, the items of gxpolicy
//                      what-can --json), or with "objects": true the
//                      protected objects one by one, a page at a time
//                      ({"objects": [...], "cursor": NEXT or null})
//
// The caller is given as /v1/check takes it: "user" (a registry name),
// "uuid" with "groups", or neither (unauthenticated).
//
// These answers reveal policy: who holds what, where. They are off unless
// a review token is configured (ReviewOptions::token), and then answered
// only to an asker that sends it as "Authorization: Bearer TOKEN": without
// the header or with another token 401 (WWW-Authenticate: Bearer), with
// the endpoints off 403. The AuthZEN search endpoints (authzen.h) are held
// to the same rule.
//
// A cursor (and an AuthZEN page token) is opaque: it carries where the
// listing stopped and a fingerprint of the question it belongs to. A
// cursor that does not decode, or that was given for another question,
// is refused (400) -- it can only ever resume the question it came from.
//
// Thread-safe: any number of requests at once; each call takes what the
// library calls take (see daAccessReview.h) and the host's caller lookup.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/common/decide.h"
#include "tools/gxpolicyd/http_types.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicyd {

class Metrics;

struct ReviewOptions {
  // What askers send in "Authorization: Bearer TOKEN" to the endpoints
  // that reveal policy; "" keeps those endpoints off (403).
  std::string token;
  std::size_t maxPage = 1000;     // results in one page at most; a larger "limit" is refused (400)
  std::size_t defaultPage = 100;  // results in a page whose request names no limit
  // The URL AuthZEN clients reach this server at ("https://pdp.example.com",
  // no trailing '/'), published in its metadata; "" publishes none.
  std::string authzenBaseUrl;
};

// What the review and AuthZEN handlers take from the decision service.
// Every member must outlive the calls that are handed it.
struct ReviewHost {
  std::function<daCachedStore&()> store;  // the replica's store, open
  gxreg::Registry* registry = nullptr;    // may be null: uuids and unauthenticated callers only
  Metrics* metrics = nullptr;             // decisions made are counted here (may be null)
  std::size_t maxBatch = 1000;            // AuthZEN evaluations in one request; more gets 413
  std::size_t maxNameLength = 256;        // bytes of a user or group name or uuid; longer is refused
  std::size_t maxGroups = 1024;           // groups a request names; more is refused
  ReviewOptions review;
  // Resolves spec as the service's caller cache does: true with out set,
  // else false with problem (the registry's status when it says why).
  std::function<bool(gxpolicy::CallerSpec const&, gxpolicy::Caller& out, gxpolicy::Problem& problem)> resolve;
};

// None when request may see policy under options (see above); else the
// answer it gets (401 with WWW-Authenticate, or 403), whose body is made
// by refusal from the message.
std::optional<Response> reviewAccessProblem(ReviewOptions const& options, Request const& request,
                                            std::function<Response(int, std::string const&)> const& refusal);

// GET or POST /v1/who-can and /v1/what-can. request.path says which, the
// method where the question is; the asker is checked by the caller (the
// service's router). Answers 200 with the JSON above; 400 with the
// service's problem body for a body that is not an object of the known
// fields, a bad object name, action string, cursor or limit, a query
// argument given twice or decoded to a NUL, an unknown user or group, and
// "expand" without a registry that lists members; 404 for an object the
// store does not have; 503 when the store or the directory cannot answer;
// 500 for any other failure of the library (its status in the body).
// Throws std::bad_alloc.
Response answerReview(ReviewHost const& host, Request const& request);

// ---- shared by the review and AuthZEN handlers --------------------------------

// True when registry can list a group's members (a registry file, watched
// or not), which expanding groups into users needs.
bool listsMembers(gxreg::Registry* registry);

// A fingerprint of question (a JSON document of everything that decides a
// listing's answer, the position excluded), bound into cursors.
std::string questionFingerprint(nlohmann::json const& question);
// The opaque cursor for resuming at position (an object name or a number)
// the question of fingerprint.
std::string makeCursor(std::string const& fingerprint, std::string_view position);
// The position cursor carries, when it decodes and was made for the
// question of fingerprint; else none.
std::optional<std::string> readCursor(std::string_view cursor, std::string const& fingerprint);

// The action strings the store's action catalogue names by label ("read"
// -> "r"; an action outside the group "primary" as "[group]x"), with
// labels lower-cased. False with status when the catalogue cannot be
// read (the store's status; da_s_unknown_type when its record is not a
// catalogue). Takes the store's state lock shared: the calling thread must hold
// neither it nor the database lock.
struct ActionLabel {
  std::string label;    // lower case; "" when the catalogue gives none
  std::string actions;  // the action string of the one action
};
bool readActionLabels(daCachedStore& store, std::vector<ActionLabel>& out, unsigned long& status);
// The action string an action name stands for: a label of labels (any
// case, with or without a "can_" in front), else name itself (then read by
// decide as an action string, e.g. "Tr").
std::string actionsForName(std::vector<ActionLabel> const& labels, std::string const& name);

}  // namespace gxpolicyd
