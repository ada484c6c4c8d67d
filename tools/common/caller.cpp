#include "tools/common/caller.h"

#include <stdexcept>
#include <utility>

namespace gxpolicy {

CallerAttributes::CallerAttributes(hx_uuid_t const& user, std::vector<hx_uuid_t> const& groups, std::string name)
    : authenticated_(true), user_(user), name_(std::move(name)) {
  if (groups.size() > kMaxGroups) throw std::length_error("a caller with more than 65535 groups");
  groups_.reserve(groups.size());
  for (hx_uuid_t const& g : groups) groups_.push_back(sec_id_t{g, nullptr});
  point();
}

// The constructors start from an unauthenticated caller and assign, so that
// pointing the attributes at the new storage is written once.
CallerAttributes::CallerAttributes(CallerAttributes const& other) { *this = other; }

CallerAttributes::CallerAttributes(CallerAttributes&& other) noexcept { *this = std::move(other); }

CallerAttributes& CallerAttributes::operator=(CallerAttributes const& other) {
  if (this != &other) {
    authenticated_ = other.authenticated_;
    user_ = other.user_;
    name_ = other.name_;
    groups_ = other.groups_;
    point();
  }
  return *this;
}

CallerAttributes& CallerAttributes::operator=(CallerAttributes&& other) noexcept {
  if (this != &other) {
    authenticated_ = other.authenticated_;
    user_ = other.user_;
    name_ = std::move(other.name_);
    groups_ = std::move(other.groups_);
    point();
    other.name_.clear();
    other.groups_.clear();
    other.point();
  }
  return *this;
}

void CallerAttributes::point() {
  info_ = sec_id_pa_t{};
  info_.principal = sec_id_t{user_, name_.empty() ? nullptr : name_.data()};
  info_.num_groups = static_cast<uint16_t>(groups_.size());
  info_.groups = groups_.empty() ? nullptr : groups_.data();
}

}  // namespace gxpolicy
