// The change log; see change_log.h.
#include "tools/common/change_log.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <utility>

#include "GxCore/GxObjName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/HXObject.h"
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
  gxobj_list_s_t list{};
  unsigned long seq = 0, st = 0;
  store.getObjects(GxObjectName(kChangeLogBase), 1, list, seq, st);
  if (st == da_s_no_such_object) return 0;
  if (st != 0) return st;
  // Keys come in order: an entry's parts (".../p0001") after its header.
  std::map<std::string, json> entries;
  std::map<std::string, std::vector<json>> parts;
  std::string const base = std::string(kChangeLogBase) + "/";
  for (unsigned long i = 0; i < list.count && st == 0; ++i) {
    gxobj_t& record = list.objects[i];
    std::string key = record.key != nullptr ? record.key : "";
    if (key.compare(0, base.size(), base) != 0) continue;  // the base itself
    std::string text;
    json j = recordText(record, text) ? json::parse(text, nullptr, false) : json(json::value_t::discarded);
    if (!j.is_object() && !j.is_array()) {
      st = da_s_unknown_type;
      break;
    }
    std::size_t slash = key.find('/', base.size());
    if (slash == std::string::npos) entries[key] = std::move(j);
    else parts[key.substr(0, slash)].push_back(std::move(j));
  }
  freeObjectList(list);
  if (st != 0) return st;
  for (auto& [key, entry] : entries) {
    json changes = json::array();
    for (json& part : parts[key])
      for (json& change : part) changes.push_back(std::move(change));
    for (json& change : entry["changes"]) changes.push_back(std::move(change));
    entry["changes"] = std::move(changes);
    entry.erase("parts");
    if (concerns(entry, query, policiesAtObject)) out.push_back(std::move(entry));
  }
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
