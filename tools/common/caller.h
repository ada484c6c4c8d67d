// A caller's privilege attributes as daCachedStore::decide takes them
// (sec_id_pa_t): the one place the tools, the daemon and the benchmarks
// build them from a user uuid and its group uuids.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GxCore/acleval.h"  // sec_id_pa_t

namespace gxpolicy {

// Immutable once built: the attributes live in the object, so pa() may be
// handed to decide on any number of threads at once.
class CallerAttributes {
 public:
  // The most groups sec_id_pa_t can carry.
  static constexpr std::size_t kMaxGroups = UINT16_MAX;

  // An unauthenticated caller: pa() is null.
  CallerAttributes() = default;
  // user with groups, in the order given. Throws std::length_error with
  // more than kMaxGroups groups: leaving some out could change the answer
  // (an any-other entry applies only to a caller in none of the groups),
  // so the caller is refused rather than cut short.
  // name, when given, is the user's name as the registry has it: decide
  // passes it to rules (subject.name) and audit records; evaluation uses
  // only the uuids.
  CallerAttributes(hx_uuid_t const& user, std::vector<hx_uuid_t> const& groups, std::string name = {});
  // Copies and moves point the copy's attributes at its own storage.
  CallerAttributes(CallerAttributes const& other);
  CallerAttributes& operator=(CallerAttributes const& other);
  CallerAttributes(CallerAttributes&& other) noexcept;
  CallerAttributes& operator=(CallerAttributes&& other) noexcept;

  bool authenticated() const { return authenticated_; }
  // For decide: null for an unauthenticated caller. Valid while this object
  // lives and is not assigned to; decide only reads through it.
  sec_id_pa_t* pa() const { return authenticated_ ? &info_ : nullptr; }

 private:
  void point();  // info_ from the members
  bool authenticated_ = false;
  hx_uuid_t user_{};
  std::string name_;
  std::vector<sec_id_t> groups_;
  mutable sec_id_pa_t info_{};
};

}  // namespace gxpolicy
