#include "tools/common/pop_access.h"

#include <cctype>
#include <cstdio>
#include <new>

#include "GxCore/GxPop.h"
#include "GxCore/db/daAccessWindow.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;

constexpr char const* kDays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr int kMinutesPerDay = 24 * 60;

// "HH:MM" (00:00 to 24:00) in minutes, or -1.
int readTime(std::string const& s) {
  if (s.size() != 5 || s[2] != ':') return -1;
  for (int i : {0, 1, 3, 4})
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return -1;
  int h = (s[0] - '0') * 10 + (s[1] - '0'), m = (s[3] - '0') * 10 + (s[4] - '0');
  if (h > 24 || m > 59 || (h == 24 && m != 0)) return -1;
  return h * 60 + m;
}

std::string timeText(int minutes) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60, minutes % 60);
  return text;
}

PopAccessError refuse(std::string field, std::string message, long index = -1) {
  return {true, std::move(field), index, std::move(message)};
}
PopAccessError refuseRaw(std::string field, std::string message) {
  return {false, std::move(field), -1, std::move(message)};
}


// Reads the readable form j into out.
std::optional<PopAccessError> readAccess(json const& j, PopAccess& out) {
  if (!j.is_object()) return refuse("", "expected an object with days, from, to and zone");
  for (auto const& item : j.items())
    if (item.key() != "days" && item.key() != "from" && item.key() != "to" && item.key() != "zone")
      return refuse(item.key(), "unknown field (days, from, to, zone)");
  out = PopAccess{};
  if (auto it = j.find("days"); it != j.end()) {
    if (!it->is_array()) return refuse("days", "expected an array of day names (sun, mon, ... sat)");
    for (std::size_t i = 0; i < it->size(); ++i) {
      json const& d = (*it)[i];
      std::string name = d.is_string() ? d.get<std::string>() : std::string();
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      int day = -1;
      for (int k = 0; k < 7; ++k)
        if (name == kDays[k]) day = k;
      if (day < 0)
        return refuse("days", "not a day name (sun, mon, tue, wed, thu, fri, sat): " + d.dump(), static_cast<long>(i));
      out.days |= 1u << day;
    }
  }
  auto from = j.find("from"), to = j.find("to");
  if ((from == j.end()) != (to == j.end()))
    return refuse(from == j.end() ? "from" : "to", "missing: give both from and to, or neither");
  if (from != j.end()) {
    for (auto [it, name] : {std::pair{from, "from"}, std::pair{to, "to"}}) {
      int minutes = it->is_string() ? readTime(it->get<std::string>()) : -1;
      if (minutes < 0) return refuse(name, "expected a time \"HH:MM\" from 00:00 to 24:00, not " + it->dump());
      (it == from ? out.start : out.end) = minutes;
    }
    if (out.start == out.end)
      return refuse("to", "the same time as from: leave both out for no time limit");
  }
  if (auto it = j.find("zone"); it != j.end()) {
    if (!it->is_string() || it->get_ref<std::string const&>().empty())
      return refuse("zone", "expected \"UTC\", \"local\" or a time zone name such as \"Europe/Berlin\"");
    std::string const& zone = it->get_ref<std::string const&>();
    if (zone == "local") out.reference = 1;
    else if (zone != "UTC") {
      out.reference = 2;
      out.zone = zone;
    }
  }
  return std::nullopt;
}

// Range checks of the raw fields.
std::optional<PopAccessError> checkRaw(PopAccess const& a) {
  if (a.days > 0x7F) return refuseRaw("day_access", "bits 0..6 only (Sunday..Saturday)");
  if (a.start < 0 || a.start > kMinutesPerDay) return refuseRaw("start_access", "minutes from 0 to 1440");
  if (a.end < 0 || a.end > kMinutesPerDay) return refuseRaw("end_access", "minutes from 0 to 1440");
  if (a.reference > 2) return refuseRaw("time_reference", "0 (UTC), 1 (the host's zone) or 2 (a named zone)");
  if (a.reference == 2 && a.zone.empty())
    return refuseRaw("time_reference", "2 (a named zone) needs the zone's name: give the window as \"access\"");
  return std::nullopt;
}

// The zone is looked up as a decision would (a window of every day, so
// that it is).
std::optional<PopAccessError> checkZone(PopAccess const& a) {
  if (a.reference != 0) {
    GxPop probe;
    probe.setDayAccess(0x7F);
    probe.setTimeReferenceAccess(a.reference);
    if (probe.setZone(a.zone) != 0) throw std::bad_alloc();
    daAccessWindow window(probe);
    if (window.broken()) return refuse("zone", window.brokenReason());
  }
  return std::nullopt;
}

}  // namespace

std::optional<PopAccessError> readPopWindow(json const* access, PopAccess const& raw, bool hasRaw,
                                            PopAccess& window) {
  if (access == nullptr) {
    window = raw;
    if (auto e = checkRaw(window)) return e;
    return checkZone(window);
  }
  if (auto e = readAccess(*access, window)) return e;
  if (auto e = checkZone(window)) return e;
  if (hasRaw && (raw.days != window.days || raw.start != window.start || raw.end != window.end ||
                 raw.reference != window.reference))
    return refuse("", "disagrees with day_access, start_access, end_access or time_reference: give one form, or both alike");
  return std::nullopt;
}

unsigned long storePopWindow(PopAccess const& w, GxPop& pop) {
  pop.setDayAccess(w.days);
  pop.setStartAccess(w.start);
  pop.setEndAccess(w.end);
  pop.setTimeReferenceAccess(w.reference);
  return pop.setZone(w.reference == 2 ? w.zone : std::string());
}

json writePopAccess(GxPop const& pop) {
  PopAccess a{static_cast<std::uint32_t>(pop.dayAccess()), static_cast<std::int32_t>(pop.startAccess()),
              static_cast<std::int32_t>(pop.endAccess()), static_cast<std::uint32_t>(pop.timeReferenceAccess()),
              std::string(pop.zone())};
  if (pop.dayAccess() > 0xFFFFFFFFul || a.days > 0x7F || a.start < 0 || a.start > kMinutesPerDay || a.end < 0 ||
      a.end > kMinutesPerDay || a.reference > 2)
    return nullptr;
  if (a.days == 0 && a.start == a.end && a.reference == 0) return nullptr;
  if (a.reference == 2 && a.zone.empty()) return nullptr;
  json j = json::object();
  json days = json::array();
  for (int k = 0; k < 7; ++k)
    if (a.days >> k & 1u) days.push_back(kDays[k]);
  if (!days.empty()) j["days"] = std::move(days);
  if (a.start != a.end) {
    j["from"] = timeText(a.start);
    j["to"] = timeText(a.end);
  }
  j["zone"] = a.reference == 0 ? std::string("UTC") : a.reference == 1 ? std::string("local") : a.zone;
  return j;
}

}  // namespace gxpolicy
