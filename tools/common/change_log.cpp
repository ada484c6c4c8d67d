// The change log; see change_log.h.
#include "tools/common/change_log.h"

#include <cstdio>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>

#include "GxCore/GxObjName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/HXObject.h"
#include "outside/hxdb.h"
#include "outside/gxobj.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;

// The attribute of a log record that holds its JSON text.
constexpr char const* kTextAttribute = "changelog";
// The record type: the attribute record every reader of the database can
// decode.
constexpr uint32_t kRecordType = 1295;

std::string headerKey(unsigned long firstSequence) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%010lu", firstSequence);
  return std::string(kChangeLogBase) + "/" + digits;
}

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The JSON text of a log record; false when it is none.
bool recordText(gxobj_t& record, std::string& text) {
  HXObject obj;
  unsigned long st = 0;
  obj.decode(record, st);
  if (st != 0) return false;
  ZUTF8String_6_0 const* v = obj.getStringValue(kTextAttribute, 0, nullptr);
  if (v == nullptr) return false;
  text = v->getChars();
  return true;
}

// True when path is prefix or lies below it.
bool atOrBelow(std::string const& path, std::string const& prefix) {
  if (prefix == "/" || path == prefix) return true;
  return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 && path[prefix.size()] == '/';
}

bool concerns(json const& entry, ChangeLogQuery const& query,
              std::vector<std::pair<std::string, std::string>> const& policiesAtObject) {
  if (query.since && entry.value("sequence", 0ul) <= *query.since) return false;
  if (!query.object) return true;
  for (json const& change : entry["changes"]) {
    if (change.contains("object") && atOrBelow(change["object"].get<std::string>(), *query.object)) return true;
    for (auto const& [field, name] : policiesAtObject)
      if (change.contains(field) && change[field] == name) return true;
  }
  return false;
}

// Builds the entries from the log's records in key order (an entry's
// header, then its parts), until query.limit entries are taken.
struct LogScan {
  LogScan(ChangeLogQuery const& q, std::vector<std::pair<std::string, std::string>> const& at, std::vector<json>& o)
      : query(q), attached(at), out(o) {}

  std::string const prefix = std::string(kChangeLogBase) + "/";
  ChangeLogQuery const& query;
  std::vector<std::pair<std::string, std::string>> const& attached;
  std::vector<json>& out;
  std::string header;  // the key of the entry being read ("": none)
  json entry;
  std::vector<json> parts;
  unsigned long status = 0;

  // Ends the entry being read: out gets it when the query asks for it.
  void finishEntry() {
    if (header.empty()) return;
    json changes = json::array();
    for (json& part : parts)
      for (json& change : part) changes.push_back(std::move(change));
    for (json& change : entry["changes"]) changes.push_back(std::move(change));
    entry["changes"] = std::move(changes);
    entry.erase("parts");
    if (concerns(entry, query, attached)) out.push_back(std::move(entry));
    header.clear();
    parts.clear();
    entry = json();
  }

  // One record; false to end the scan.
  bool take(std::string_view key, std::string_view stored) {
    if (key.compare(0, prefix.size(), prefix) != 0) return false;  // past the log
    std::size_t const slash = key.find('/', prefix.size());
    if (slash == std::string_view::npos) {
      finishEntry();
      if (out.size() >= query.limit) return false;
      header.assign(key);
    } else if (key.substr(0, slash) != header) {
      return true;  // a part of an entry before the scan's first
    }
    std::uint32_t value = 0, type = 0;
    std::string_view bytes;
    std::string text;
    json j(json::value_t::discarded);
    if (hx_db_parse_stored(stored, value, type, bytes)) {
      gxobj_t record{nullptr, value, type, static_cast<std::uint32_t>(bytes.size()),
                     reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
      if (recordText(record, text)) j = json::parse(text, nullptr, false);
    }
    bool const isHeader = slash == std::string_view::npos;
    if (isHeader ? !j.is_object() : !j.is_array()) {
      status = da_s_unknown_type;
      return false;
    }
    if (isHeader) entry = std::move(j);
    else parts.push_back(std::move(j));
    return true;
  }
};

}  // namespace

std::string changedFields(json const& before, json const& after) {
  std::string out;
  std::map<std::string, bool> seen;
  for (json const* side : {&before, &after})
    for (auto const& item : side->items()) {
      if (seen[item.key()]) continue;
      seen[item.key()] = true;
      auto b = before.find(item.key());
      auto a = after.find(item.key());
      bool same = b != before.end() && a != after.end() && *b == *a;
      if (same) continue;
      out += (out.empty() ? "" : ", ") + item.key();
    }
  return out;
}

unsigned long nextSequence(unsigned long seq) {
  unsigned long next = (seq + 1) & 0xFFFFFFFFul;
  return next == daLocalStore::invalidSeqnum ? 0 : next;
}

ChangeLogWriter::ChangeLogWriter(daLocalStore& store, unsigned long fromSequence, std::size_t partBytes)
    : store_(store), from_(fromSequence), partBytes_(partBytes == 0 ? 1 : partBytes),
      key_(headerKey(nextSequence(fromSequence))) {}

unsigned long ChangeLogWriter::writeRecord(std::string const& key, std::string const& text, unsigned long& seq) {
  HXObject obj(key.c_str());
  obj.setStringValue(kTextAttribute, text.c_str(), 0, nullptr);
  gxobj_holder record;
  HXObject::init_gxobj(record.rec, kRecordType);
  unsigned long st = 0;
  obj.encode(record.rec, st);
  if (st != 0) return st;
  GxObjectName name(key.c_str());
  daLocalStoreWrite item;
  item.key = &name;
  item.record = &record.rec;
  store_.writeObjects(&item, 1, seq, st);
  return st;
}

unsigned long ChangeLogWriter::writePart() {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "/p%04lu", ++parts_);
  unsigned long seq = 0;
  unsigned long st = writeRecord(key_ + suffix, "[" + pending_ + "]", seq);
  pending_.clear();
  return st;
}

unsigned long ChangeLogWriter::add(char const* field, std::string const& key, json before, json after) {
  json change = {{field, key}, {"before", std::move(before)}, {"after", std::move(after)}};
  if (!pending_.empty()) pending_ += ',';
  pending_ += change.dump(-1, ' ', false, json::error_handler_t::replace);
  ++count_;
  return pending_.size() >= partBytes_ ? writePart() : 0;
}

unsigned long ChangeLogWriter::finish(Actor const& actor, std::string const& command, unsigned long& sequence) {
  unsigned long current = 0;
  store_.getLocalSeqNum(current);
  // The header is one more write: its own number is the change's last.
  sequence = nextSequence(current);
  json header = {{"sequence", sequence}, {"from", from_},       {"time", utcNow()},  {"who", actor.name},
                 {"address", actor.address}, {"command", command}, {"count", count_}, {"parts", parts_}};
  std::string text = header.dump(-1, ' ', false, json::error_handler_t::replace);
  text.pop_back();  // the closing brace: the changes follow as text
  text += ",\"changes\":[" + pending_ + "]}";
  pending_.clear();
  unsigned long written = 0;
  unsigned long st = writeRecord(key_, text, written);
  if (st == 0 && written != sequence) sequence = written;
  return st;
}

unsigned long readChangeLog(daLocalStore& store, ChangeLogQuery const& query,
                            std::vector<std::pair<std::string, std::string>> const& policiesAtObject,
                            std::vector<json>& out) {
  out.clear();
  if (query.limit == 0) return 0;
  hx_db_handle* const h = store.getDBHandle();
  if (h == nullptr) return da_s_store_unavailable;
  LogScan scan(query, policiesAtObject, out);
  // The scan starts at the entry that holds since (the last whose first
  // number is at most since; ranges of entries do not overlap), unless the
  // next entry starts right after since (as when a reader pages on from
  // the last entry it was given), or at the log's start: the entries
  // before it all produced numbers up to since.
  std::string start = scan.prefix;
  unsigned long st = 0;
  if (query.since) {
    if (*query.since >= 0xFFFFFFFFul) return 0;  // numbers are 32-bit: none is above
    std::string const next = headerKey(*query.since + 1);
    std::string found;
    bool const inLog = hx_db_key_before(h, next, found, st) && found.compare(0, scan.prefix.size(), scan.prefix) == 0;
    if (st != 0) return st;
    if (inLog) {
      std::string after;
      bool const any = hx_db_key_after(h, found, after, st);
      if (st != 0) return st;
      if (any && after == next) {
        start = found;
      } else {
        std::string const header = found.substr(0, found.find('/', scan.prefix.size()));
        start.clear();  // the file's start, when nothing lies before the header
        hx_db_key_before(h, header, start, st);
        if (st != 0) return st;
      }
    }
  }
  hx_db_scan_records(
      h, start.empty() ? nullptr : start.c_str(),
      [](void* context, std::string_view key, std::string_view stored) {
        return static_cast<LogScan*>(context)->take(key, stored);
      },
      &scan, st);
  if (st != 0) return st;
  if (scan.status != 0) return scan.status;
  scan.finishEntry();
  return 0;
}

std::string describeEntry(json const& entry) {
  std::string out = std::to_string(entry.value("sequence", 0ul)) + "  " + entry.value("time", std::string()) + "  " +
                    entry.value("who", std::string()) + "@" + entry.value("address", std::string()) + "  " +
                    entry.value("command", std::string()) + "\n";
  for (json const& change : entry["changes"]) {
    for (char const* field : {"acl", "pop", "rule", "object"}) {
      if (!change.contains(field)) continue;
      json const& before = change["before"];
      json const& after = change["after"];
      std::string what = before.is_null() ? "created" : after.is_null() ? "deleted" : "changed";
      out += std::string("  ") + field + " " + change[field].get<std::string>() + ": " + what;
      if (!before.is_null() && !after.is_null()) out += " (" + changedFields(before, after) + ")";
      out += "\n";
    }
  }
  return out;
}

}  // namespace gxpolicy
