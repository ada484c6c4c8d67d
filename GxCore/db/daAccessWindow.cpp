#include "GxCore/db/daAccessWindow.h"

#include <chrono>
#include <exception>
#include <new>

#include <date/tz.h>

#include "GxCore/GxPop.h"

namespace {

constexpr int kMinutesPerDay = 24 * 60;
constexpr unsigned kAllDays = 0x7F;

// The zone the window is read in, or null for UTC; reason is set when it
// cannot be found.
date::time_zone const* findZone(unsigned long reference, GxPop const& pop, std::string& name,
                                std::string& reason) {
  try {
    if (reference == 1) {
      date::time_zone const* z = date::current_zone();
      name = std::string(z->name());
      return z;
    }
    name = std::string(pop.zone());
    if (name.empty()) {
      reason = "access window names no time zone";
      return nullptr;
    }
    return date::locate_zone(name);
  } catch (std::bad_alloc const&) {
    throw;
  } catch (std::exception const&) {
    // locate_zone: no such zone; current_zone: the host's zone cannot be
    // told, or the zone database cannot be read.
    reason = reference == 1 ? "the host's time zone cannot be found" : "time zone " + name + " unknown";
    return nullptr;
  }
}

}  // namespace

daAccessWindow::daAccessWindow(GxPop const& pop) {
  unsigned long const days = pop.dayAccess(), reference = pop.timeReferenceAccess();
  long const start = pop.startAccess(), end = pop.endAccess();
  limited_ = days != 0 || start != end;
  if (!limited_) return;  // no window: the time reference does not matter
  if ((days & ~kAllDays) != 0) brokenReason_ = "access window names a day past Saturday";
  else if (start < 0 || start > kMinutesPerDay || end < 0 || end > kMinutesPerDay)
    brokenReason_ = "access window minutes outside 0..1440";
  else if (reference > 2) brokenReason_ = "access window time reference " + std::to_string(reference) + " unknown";
  if (broken()) return;
  days_ = static_cast<unsigned>(days);
  start_ = static_cast<int>(start);
  end_ = static_cast<int>(end);
  if (reference != 0) {
    zone_ = findZone(reference, pop, zoneName_, brokenReason_);
  }
}

bool daAccessWindow::allows(std::int64_t timeSeconds) const {
  if (!limited_) return true;
  if (broken()) return false;
  std::int64_t local = timeSeconds;
  if (zone_ != nullptr) {
    auto const at = date::sys_seconds{std::chrono::seconds{timeSeconds}};
    local = zone_->to_local(at).time_since_epoch().count();
  }
  std::int64_t day = local / 86400, second = local % 86400;
  if (second < 0) {
    second += 86400;
    --day;
  }
  int const minute = static_cast<int>(second / 60);
  int weekday = static_cast<int>((day % 7 + 7 + 4) % 7);  // 1970-01-01 was a Thursday (4)
  auto const dayAllowed = [this](int d) { return days_ == 0 || (days_ >> d & 1u) != 0; };
  if (start_ == end_) return dayAllowed(weekday);
  if (start_ < end_) return minute >= start_ && minute < end_ && dayAllowed(weekday);
  // Wraps past midnight: the morning part belongs to the window opened the day before.
  if (minute >= start_) return dayAllowed(weekday);
  if (minute < end_) return dayAllowed((weekday + 6) % 7);
  return false;
}
