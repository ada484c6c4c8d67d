// Why the tools could not do what was asked (never a denial): one type for
// a policy document that cannot be imported or exported, a question that
// cannot be asked, a caller that cannot be resolved and an HTTP request
// that cannot be answered, so that every one of them is reported the same
// way -- on a terminal through describe, over HTTP as the same fields.
#pragma once

#include <string>
#include <utility>

namespace gxpolicy {

struct Problem {
  Problem() = default;
  Problem(std::string message, unsigned long status = 0, std::string hint = "", std::string where = "")
      : message(std::move(message)), status(status), hint(std::move(hint)), where(std::move(where)) {}

  // What is wrong, in words.
  std::string message;
  // The library or registry status behind it; 0 for a mistake in the input
  // itself (a shape error, a missing field).
  unsigned long status = 0;
  // What to do about it; "" when there is nothing to add.
  std::string hint;
  // Where the fault is: a place in a document (acls.a1.entries[0].actions),
  // a field of a request (checks[3].object) or a header; "" when it is not
  // tied to one place.
  std::string where;
};

// "<where>: <message>: status 0x........ (<text>); <hint>", without the
// parts that are empty (the status part when status is 0).
std::string describe(Problem const& problem);

}  // namespace gxpolicy
