// What a decision knows about the request beside the caller, the object,
// the actions and the address: when it is asked, how strongly the caller
// logged in, how the caller's connection is protected, and named attributes
// the host supplies for rules.
//
// Caveats: a context and the attributes it points to are read by one
// decision at a time on the calling thread and are not copied: keep them
// alive and unchanged for the duration of the call. Nothing here is
// synchronised.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// Protection of the caller's connection, in increasing strength. A POP's
// quality of protection names the least it accepts: 0 none, 1 integrity
// (the connection cannot be altered unseen), 2 privacy (nor read).
enum class daProtection : unsigned char { none = 0, integrity = 1, privacy = 2 };

// Named, typed attributes a host gives a decision for its rules: a string,
// a number, a boolean or a list of strings per name. Names are compared
// exactly. Small by design (a linear list): a request carries a handful.
class daAttributes {
 public:
  using List = std::vector<std::string>;
  using Value = std::variant<std::string, double, bool, List>;

  // Sets name to value, replacing an earlier value of the same name.
  // Throws std::bad_alloc when memory runs out.
  void set(std::string_view name, Value value) {
    for (auto& [n, v] : items_) {
      if (n == name) {
        v = std::move(value);
        return;
      }
    }
    items_.emplace_back(std::string(name), std::move(value));
  }
  // The value of name, or null when it is not set. Valid until the next set
  // or clear.
  Value const* find(std::string_view name) const {
    for (auto const& [n, v] : items_)
      if (n == name) return &v;
    return nullptr;
  }
  // Removes every attribute; keeps the storage for reuse.
  void clear() { items_.clear(); }
  bool empty() const { return items_.empty(); }
  std::vector<std::pair<std::string, Value>> const& items() const { return items_; }

 private:
  std::vector<std::pair<std::string, Value>> items_;
};

// The request's context. A default context is the one the short form of
// daCachedStore::decide uses: the time now, authentication level 1 for an
// authenticated caller and 0 otherwise, no protection, no attributes.
struct daDecisionContext {
  static constexpr std::int64_t now = INT64_MIN;
  static constexpr int defaultAuthLevel = -1;

  // When the request is made, in seconds since 1970-01-01T00:00:00Z; now
  // asks the decision to read the system clock.
  std::int64_t timeSeconds = now;
  // How strongly the caller logged in (0 none, 1 password, 2 and up
  // stronger, as the host's sign-on defines them); defaultAuthLevel: 1 for
  // an authenticated caller, 0 otherwise.
  int authLevel = defaultAuthLevel;
  daProtection protection = daProtection::none;
  // The host's attributes for rules; null: none.
  daAttributes const* attributes = nullptr;
};
