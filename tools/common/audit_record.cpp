#include "tools/common/audit_record.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <utility>

#include "GxCore/db/daDecision.h"
#include "tools/common/decide.h"
#include "tools/common/json_string.h"
#include "tools/common/status_text.h"

namespace gxpolicy {

namespace {

void key(std::string& out, char const* name) {
  out += ",\"";
  out += name;
  out += "\":";
}

void stringField(std::string& out, char const* name, std::string_view value) {
  if (value.empty()) return;
  key(out, name);
  appendJsonString(out, value);
}

void numberField(std::string& out, char const* name, long long value) {
  key(out, name);
  out += std::to_string(value);
}

// "name":{"name":"...","at":"..."} for a policy in force; nothing when none is.
void inForce(std::string& out, char const* name, std::string_view policy, std::string_view at) {
  if (policy.empty()) return;
  key(out, name);
  out += "{\"name\":";
  appendJsonString(out, policy);
  out += ",\"at\":";
  appendJsonString(out, at);
  out += '}';
}

void caller(std::string& out, daAuditRecord const& r) {
  bool groups = r.groups != nullptr && !r.groups->empty();
  if (r.userUuid.empty() && r.userName.empty() && !groups) return;
  out += ",\"user\":{";
  std::size_t start = out.size();
  if (!r.userUuid.empty()) {
    out += "\"uuid\":";
    appendJsonString(out, r.userUuid);
  }
  if (!r.userName.empty()) {
    if (out.size() > start) out += ',';
    out += "\"name\":";
    appendJsonString(out, r.userName);
  }
  if (groups) {
    if (out.size() > start) out += ',';
    out += "\"groups\":[";
    for (std::size_t i = 0; i < r.groups->size(); ++i) {
      if (i > 0) out += ',';
      appendJsonString(out, (*r.groups)[i]);
    }
    out += ']';
  }
  out += '}';
}

void answer(std::string& out, daAuditRecord const& r) {
  if (r.status != 0 || r.decision == nullptr) {
    out += ",\"result\":\"error\"";
    stringField(out, "error", statusText(r.status));
    return;
  }
  daDecision const& d = *r.decision;
  out += d.granted() ? ",\"result\":\"granted\"" : ",\"result\":\"denied\"";
  stringField(out, "cause", daDecisionCauseText(d.cause()));
  stringField(out, "reason", d.reason());
  if (d.warning()) {
    out += ",\"warning\":{\"cause\":";
    appendJsonString(out, daDecisionCauseText(d.wouldCause()));
    out += ",\"reason\":";
    appendJsonString(out, d.wouldReason());
    out += '}';
  }
  stringField(out, "entry", daDecisionEntryText(d.appliedEntry()));
  stringField(out, "permissions", d.permissionsText());
  inForce(out, "acl", d.aclName(), d.aclLocation());
  inForce(out, "pop", d.popName(), d.popLocation());
  if (d.requiredAuthLevel() != 0) numberField(out, "requiredAuthLevel", static_cast<long long>(d.requiredAuthLevel()));
  inForce(out, "rule", d.ruleName(), d.ruleLocation());
}

}  // namespace

bool parseAuditLevel(std::string_view text, std::uint32_t& level, std::string& error) {
  static constexpr std::pair<std::string_view, std::uint32_t> words[] = {
      {"permit", daAuditPermit}, {"deny", daAuditDeny},   {"error", daAuditError},
      {"warning", daAuditWarning}, {"admin", daAuditAdmin}, {"none", 0},
      {"all", daAuditPermit | daAuditDeny | daAuditError | daAuditWarning | daAuditAdmin}};
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos && text.size() <= 9) {
    level = static_cast<std::uint32_t>(std::stoul(std::string(text)));
    return true;
  }
  std::uint32_t bits = 0;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t comma = std::min(text.find(',', start), text.size());
    std::string_view word = text.substr(start, comma - start);
    bool known = false;
    for (auto const& [name, value] : words)
      if (word == name) {
        bits |= value;
        known = true;
      }
    if (!known) {
      error = "\"" + std::string(word) + "\" is not one of permit, deny, error, warning, admin, all, none";
      return false;
    }
    start = comma + 1;
  }
  level = bits;
  return true;
}

std::int64_t auditClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void appendRfc3339Ms(std::string& out, std::int64_t ms) {
  std::int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  int millis = static_cast<int>(ms - seconds * 1000);
  // The date and time up to the second, remembered per thread: records
  // come many to the second, and formatting a date is the dearest part.
  thread_local std::int64_t lastSeconds = INT64_MIN;
  thread_local char stamp[32];
  thread_local std::size_t stampLength = 0;
  if (seconds != lastSeconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    int n = ::gmtime_r(&t, &tm) == nullptr
                ? -1
                : std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof stamp) n = std::snprintf(stamp, sizeof stamp, "1970-01-01T00:00:00");
    stampLength = static_cast<std::size_t>(n);
    lastSeconds = seconds;
  }
  out.append(stamp, stampLength);
  char tail[6] = {'.', static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                  static_cast<char>('0' + millis % 10), 'Z', 0};
  out.append(tail, 5);
}

void appendAuditLine(std::string& out, daAuditRecord const& r, std::int64_t decidedAtMs, std::string_view digest) {
  out += "{\"time\":\"";
  appendRfc3339Ms(out, decidedAtMs);
  out += '"';
  // A question about another time than now (a what-if) says which; the
  // library's clock and this one may straddle a second.
  std::int64_t decidedAt = decidedAtMs >= 0 ? decidedAtMs / 1000 : (decidedAtMs - 999) / 1000;
  bool other = r.timeSeconds != daDecisionContext::now && (r.timeSeconds < decidedAt - 1 || r.timeSeconds > decidedAt + 1);
  if (other) {
    out += ",\"requestTime\":\"";
    appendRfc3339Ms(out, r.timeSeconds * 1000);
    out += '"';
  }
  caller(out, r);
  stringField(out, "address", r.address);
  key(out, "object");
  appendJsonString(out, r.object);
  key(out, "actions");
  appendJsonString(out, r.actions);
  numberField(out, "authLevel", r.authLevel);
  stringField(out, "protection", protectionText(r.protection));
  answer(out, r);
  numberField(out, "sequence", r.sequence);
  stringField(out, "digest", digest);
  out += "}\n";
}

}  // namespace gxpolicy
