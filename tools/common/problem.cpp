#include "tools/common/problem.h"

#include "tools/common/status_text.h"

namespace gxpolicy {

std::string describe(Problem const& problem) {
  std::string text = problem.where.empty() ? problem.message : problem.where + ": " + problem.message;
  if (problem.status != 0) text += ": " + statusText(problem.status);
  if (!problem.hint.empty()) text += "; " + problem.hint;
  return text;
}

}  // namespace gxpolicy
