#include "tools/gxpolicyd/systemd.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

namespace gxpolicyd {

bool notify(std::string const& state) { return ::sd_notify(0, state.c_str()) > 0; }

bool journalOnStderr() {
  static bool const onJournal = [] {
    char const* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return ::fstat(2, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
  }();
  return onJournal;
}

namespace {

// Sends fields ("NAME=value") as one entry.
bool send(std::vector<std::string> const& fields) {
  std::vector<iovec> parts;
  parts.reserve(fields.size());
  for (std::string const& f : fields) parts.push_back({const_cast<char*>(f.data()), f.size()});
  return ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
}

std::string text(nlohmann::json const& record, char const* key) {
  auto it = record.find(key);
  if (it == record.end()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

bool journalLine(int priority, std::string const& message) {
  return send({"MESSAGE=" + message, "PRIORITY=" + std::to_string(priority), "SYSLOG_IDENTIFIER=gxpolicyd"});
}

std::vector<std::string> journalAuditFields(std::string_view line) {
  while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
  if (!record.is_object()) return {"MESSAGE=" + std::string(line), "SYSLOG_IDENTIFIER=gxpolicyd-audit"};
  std::string result = text(record, "result");
  std::vector<std::string> fields{
      "MESSAGE=" + std::string(line),
      "PRIORITY=" + std::to_string(result == "granted" ? LOG_INFO : LOG_NOTICE),
      "SYSLOG_FACILITY=" + std::to_string(LOG_AUTHPRIV >> 3),
      "SYSLOG_IDENTIFIER=gxpolicyd-audit",
      "GX_DECISION=" + result,
  };
  auto add = [&](char const* field, std::string const& value) {
    if (!value.empty()) fields.push_back(std::string(field) + "=" + value);
  };
  add("GX_CAUSE", text(record, "cause"));
  add("GX_OBJECT", text(record, "object"));
  add("GX_ACTIONS", text(record, "actions"));
  add("GX_ADDRESS", text(record, "address"));
  add("GX_SEQUENCE", text(record, "sequence"));
  add("GX_ERROR", text(record, "error"));
  if (auto user = record.find("user"); user != record.end() && user->is_object())
    add("GX_USER", text(*user, "name").empty() ? text(*user, "uuid") : text(*user, "name"));
  return fields;
}

bool journalAuditRecord(std::string_view line) { return send(journalAuditFields(line)); }

}  // namespace gxpolicyd
