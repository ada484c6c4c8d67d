// The readable form of a POP's access window in policy documents:
//
//   "access": {"days": ["mon", "tue", "wed", "thu", "fri"], "from": "08:00", "to": "18:00",
//              "zone": "Europe/Berlin"}
//
// days: three-letter day names, sun..sat, in any order and case ([] or
// absent: any day). from/to: "HH:MM" from 00:00 to 24:00, both or neither
// (neither: no time limit; to before from wraps past midnight). zone:
// "UTC" (the default), "local" (the host's zone) or a zone name of the
// system's zoneinfo. The meaning is GxCore/db/daAccessWindow.h's; the form
// maps onto the POP's day_access, start_access, end_access, time_reference
// and its "popzone" attribute.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class GxPop;

namespace gxpolicy {

// A window in the POP's terms.
struct PopAccess {
  std::uint32_t days = 0;
  std::int32_t start = 0, end = 0;
  std::uint32_t reference = 0;
  std::string zone;  // for reference 2
};

// A refusal: the field it names, in the access object ("days" with the
// index of the day, "from", "to", "zone") or among the POP's raw fields
// ("day_access", "start_access", "end_access", "time_reference"), and why.
struct PopAccessError {
  bool inAccess = true;
  std::string field;
  long index = -1;  // the element of days, or -1
  std::string message;
};

// The window of a POP document: raw holds its raw fields as read (zero for
// absent ones), hasRaw says whether any was given, access is its "access"
// object or null. Either form may be given; both must agree. On success
// window is what to store. Never throws but std::bad_alloc.
std::optional<PopAccessError> readPopWindow(nlohmann::json const* access, PopAccess const& raw, bool hasRaw,
                                            PopAccess& window);
// Stores window in pop (the four fields and the zone). Returns 0 or
// 0x10652065.
unsigned long storePopWindow(PopAccess const& window, GxPop& pop);
// The readable form of pop's window; null when the POP has none (no day,
// no time limit, no zone) or its fields have no readable form (out of
// range, or a named zone without a name: the raw numbers say it all).
nlohmann::json writePopAccess(GxPop const& pop);

}  // namespace gxpolicy
