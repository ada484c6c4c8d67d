// The access window of a POP, ready to be checked against a request's time.
//
// Meaning of the POP's four fields:
// - day_access: bits 0..6 are Sunday..Saturday; a request is allowed on the
//   days whose bit is set. 0 means any day.
// - start_access, end_access: minutes after midnight (0..1440), local to
//   the window's time reference. The window is [start, end): "08:00" to
//   "18:00" allows 08:00:00 up to 17:59:59. start == end means no time
//   limit (only the days count). end < start wraps past midnight: 22:00 to
//   06:00 allows 22:00 up to 05:59:59 the next morning, and the day checked
//   is the day the window opened (a Friday-only window 22:00-06:00 allows
//   Saturday 03:00, not Friday 03:00).
// - time_reference: 0 UTC; 1 the host's local zone (the system's
//   configured zone, read once when the policy in force is resolved); 2 a
//   named zone (an IANA name such as "Europe/Berlin") kept in the POP's
//   attribute list under "popzone" (GxPop::zone()).
// A POP with no day bit and start == end has no window, whatever its time
// reference. Times are converted with the
// system's zoneinfo, so daylight-saving changes are followed: on the day
// clocks go forward a window inside the skipped hour never opens, and on
// the day they go back a window inside the repeated hour is open both times.
//
// A window whose fields are out of range (a day bit above Saturday, a
// minute outside 0..1440, an unknown time reference) or whose zone cannot
// be found is broken: it allows no time (a security decision fails
// closed), and brokenReason() says why.
//
// Immutable once made; may be shared and checked by any number of threads.
#pragma once

#include <cstdint>
#include <string>

namespace date {
class time_zone;
}
class GxPop;

class daAccessWindow {
 public:
  // No window: every time is allowed.
  daAccessWindow() = default;
  // The window of pop's fields, resolving its zone (the host's zone for
  // time reference 1, the POP's "popzone" for 2). Never throws but
  // std::bad_alloc; a zone that cannot be found gives a broken window.
  explicit daAccessWindow(GxPop const& pop);

  // True when the window restricts anything (a day or a time limit, or
  // broken).
  bool limited() const { return limited_; }
  bool broken() const { return !brokenReason_.empty(); }
  // Why the window is broken ("" when it is not), e.g. "time zone
  // Mars/Base unknown".
  std::string const& brokenReason() const { return brokenReason_; }
  // True when the request at timeSeconds (seconds since 1970, UTC) falls in
  // the window; always true without a limit, always false when broken.
  // Allocates nothing.
  bool allows(std::int64_t timeSeconds) const;

  // The fields as resolved: the zone's name ("UTC" for time reference 0).
  std::string const& zoneName() const { return zoneName_; }

 private:
  unsigned days_ = 0;  // 0: any day
  int start_ = 0, end_ = 0;
  bool limited_ = false;
  date::time_zone const* zone_ = nullptr;  // null: UTC
  std::string zoneName_ = "UTC";
  std::string brokenReason_;
};
