// Pieces of the access review's answers that gxpolicy's --json and
// gxpolicyd's review routes print alike.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "GxCore/db/daAccessReview.h"
#include "outside/hxutil.h"

namespace gxpolicy {

// The text form of a uuid ("xxxxxxxx-xxxx-..."), "?" when it cannot be made.
std::string uuidText(hx_uuid_t const& uuid);

// The conditions that still apply to a review's answer, at authentication
// level level: whether any applies, their text, and the POP (name, where
// attached, levels by network, window, protection, warning mode) and rule
// (name, where attached, the attributes it reads) they come from.
nlohmann::ordered_json reviewConditionsJson(daReviewConditions const& conditions, int level);

}  // namespace gxpolicy
