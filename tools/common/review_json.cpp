#include "tools/common/review_json.h"

namespace gxpolicy {

std::string uuidText(hx_uuid_t const& uuid) {
  char text[37] = {};
  unsigned long st = 0;
  hx_uuid_to_string(uuid, text, st);
  return st == 0 ? std::string(text) : std::string("?");
}

nlohmann::ordered_json reviewConditionsJson(daReviewConditions const& c, int level) {
  using ojson = nlohmann::ordered_json;
  ojson j = {{"any", c.any(level)}, {"text", c.describe(level)}};
  if (c.hasPop) {
    ojson levels = ojson::array();
    for (auto const& l : c.levels) levels.push_back({{"network", l.network}, {"netmask", l.netmask}, {"level", l.level}});
    j["pop"] = {{"name", c.popName},          {"attached_at", c.popLocation}, {"default_level", c.defaultLevel},
                {"levels", levels},           {"window", c.windowText},       {"window_broken", c.windowBroken},
                {"protection", c.protection}, {"warning_mode", c.warningMode}};
  }
  if (!c.ruleName.empty())
    j["rule"] = {{"name", c.ruleName}, {"attached_at", c.ruleLocation}, {"attributes", c.ruleAttributes}};
  return j;
}

}  // namespace gxpolicy
