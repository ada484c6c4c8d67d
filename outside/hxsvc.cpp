#include "outside/hxsvc.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace {

hx_svc_handle_s g_handles[] = {
    {"gxdmd", {}, {}}, {"gxcore", {}, {}}, {"gxacl", {}, {}},
    {"bas", {}, {}},   {"hx_ras", {}, {}}, {"policysrv", {}, {}},
};

// Applies GXCORE_TRACE to one handle.
void loadLevels(hx_svc_handle_t h) {
  for (auto& l : h->levels) l.store(0, std::memory_order_relaxed);
  char const* env = std::getenv("GXCORE_TRACE");
  std::string_view setting = env ? env : "";
  while (!setting.empty()) {
    auto comma = setting.find(',');
    std::string_view item = setting.substr(0, comma);
    setting = comma == std::string_view::npos ? std::string_view() : setting.substr(comma + 1);
    auto colon = item.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = item.substr(0, colon);
    int level = std::atoi(std::string(item.substr(colon + 1)).c_str());
    int sub = -1;
    if (auto dot = name.find('.'); dot != std::string_view::npos) {
      sub = std::atoi(std::string(name.substr(dot + 1)).c_str());
      name = name.substr(0, dot);
    }
    if (name != h->component && name != "*") continue;
    for (int s = 0; s < hx_svc_max_subcomponents; ++s)
      if (sub < 0 || sub == s) h->levels[s].store(level, std::memory_order_relaxed);
  }
  h->filled.store(true, std::memory_order_release);
}

struct Init {
  Init() { for (auto& h : g_handles) loadLevels(&h); }
} g_init;

std::mutex g_sinkMutex;
std::shared_ptr<hx_svc_sink> g_sink;

void stderrSink(hx_svc_record const& r) {
  if (r.isTrace) {
    std::fprintf(stderr, "gxcore trace [%s.%d] %s", r.component.c_str(), r.sub, r.text.c_str());
    if (r.text.empty() || r.text.back() != '\n') std::fputc('\n', stderr);
  } else {
    std::fprintf(stderr, "gxcore message 0x%8.8lX [%s.%d/%d] %s\n", r.id, r.component.c_str(), r.sub,
                 r.attributes, r.text.c_str());
  }
}

void emit(hx_svc_record const& r) {
  std::shared_ptr<hx_svc_sink> sink;
  {
    std::lock_guard<std::mutex> g(g_sinkMutex);
    sink = g_sink;
  }
  if (sink && *sink) (*sink)(r);
  else stderrSink(r);
}

// Formats the inserts of a message by the conversions in format.
std::vector<std::string> collectInserts(char const* format, va_list ap) {
  std::vector<std::string> out;
  if (!format) return out;
  char buf[64];
  for (char const* p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    int longs = 0;
    while (*p == 'l') { ++longs; ++p; }
    switch (*p) {
      case 's': { char const* s = va_arg(ap, char const*); out.emplace_back(s ? s : "(null)"); break; }
      case 'd': case 'i':
        if (longs) std::snprintf(buf, sizeof buf, "%ld", va_arg(ap, long));
        else std::snprintf(buf, sizeof buf, "%d", va_arg(ap, int));
        out.emplace_back(buf);
        break;
      case 'u':
        if (longs) std::snprintf(buf, sizeof buf, "%lu", va_arg(ap, unsigned long));
        else std::snprintf(buf, sizeof buf, "%u", va_arg(ap, unsigned int));
        out.emplace_back(buf);
        break;
      case 'x': case 'X':
        if (longs) std::snprintf(buf, sizeof buf, "%lx", va_arg(ap, unsigned long));
        else std::snprintf(buf, sizeof buf, "%x", va_arg(ap, unsigned int));
        out.emplace_back(buf);
        break;
      case '\0': return out;
      default: break;
    }
  }
  return out;
}

}  // namespace

hx_svc_handle_t gxdmd_svc_handle = &g_handles[0];
hx_svc_handle_t gxcore_svc_handle = &g_handles[1];
hx_svc_handle_t gxacl_svc_handle = &g_handles[2];
hx_svc_handle_t bas_svc_handle = &g_handles[3];
hx_svc_handle_t hx_ras_svc_handle = &g_handles[4];
hx_svc_handle_t policysrv_svc_handle = &g_handles[5];

void hx_svc__debug_fillin2(hx_svc_handle_t handle, int) {
  if (handle) loadLevels(handle);
}

void hx_svc_set_level(hx_svc_handle_t h, int sub, int level) {
  for (int s = 0; s < hx_svc_max_subcomponents; ++s)
    if (sub < 0 || sub == s) h->levels[s].store(level, std::memory_order_relaxed);
}

void hx_svc__debug_utf8_withfile(hx_svc_handle_t h, char const* file, int line, int sub, int level,
                                 char const* format, ...) {
  if (!h || !hx_svc_trace_enabled(h, sub, level)) return;
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  hx_svc_record r;
  r.isTrace = true;
  r.component = h->component;
  r.sub = sub;
  r.attributes = level;
  r.text = buf;
  r.file = file ? file : "";
  r.line = line;
  emit(r);
}

void hx_svc_printf_cs_withfile(hx_svc_handle_t h, int, char const* file, int line, char const* format, int sub,
                               int attributes, unsigned long id, ...) {
  hx_svc_record r;
  r.component = h ? h->component : "?";
  r.sub = sub;
  r.attributes = attributes;
  r.id = id;
  va_list ap;
  va_start(ap, id);
  r.inserts = collectInserts(format, ap);
  va_end(ap);
  r.text = hx_svc_status_text(id);
  for (auto const& i : r.inserts) r.text += " [" + i + "]";
  r.file = file ? file : "";
  r.line = line;
  emit(r);
}

hx_svc_sink hx_svc_set_sink(hx_svc_sink sink) {
  std::lock_guard<std::mutex> g(g_sinkMutex);
  hx_svc_sink previous = g_sink ? *g_sink : hx_svc_sink();
  g_sink = sink ? std::make_shared<hx_svc_sink>(std::move(sink)) : nullptr;
  return previous;
}

char const* hx_svc_status_text(unsigned long status) {
  struct Entry { unsigned long code; char const* text; };
  static constexpr Entry table[] = {
      {0, "success"},
      {0x132792F1, "no such object"},
      {0x132792F2, "unknown object type"},
      {0x132792F4, "the policy store is not available"},
      {0x132792EE, "no list was given for the enumeration"},
      {0x13279258, "the policy database cannot be opened"},
      {0x13279259, "the policy database cannot be closed"},
      {0x1327925A, "the policy database cannot be created"},
      {0x1327925B, "a policy database record cannot be read"},
      {0x1327925C, "a policy database record cannot be written"},
      {0x1327925D, "a policy database record cannot be deleted"},
      {0x1327925E, "the policy database cannot be enumerated"},
      {0x1327925F, "the policy database enumeration failed"},
      {0x13279262, "the replica is current"},
      {0x13279264, "the policy database has an old format"},
      {0x1327941C, "the database header cannot be decoded"},
      {0x1005B1C9, "invalid protected object name"},
      {0x1005B1CA, "no such object to delete"},
      {0x1005B2EE, "invalid ACL name"},
      {0x1005B2F1, "unknown action letter or group"},
      {0x1005B1D5, "no action group of that name"},
      {0x1005B30C, "an action group name must be followed by an action"},
      {0x1005B1D1, "every action group slot is in use"},
      {0x1005B1D4, "an action group of that name exists"},
      {0x1005B1D7, "an action name is one letter"},
      {0x1005B1D8, "the action group name has a character that is not allowed"},
      {0x1005B1D9, "the primary action group cannot be deleted"},
      {0x1005B2F0, "no such action"},
      {0x1005B2FF, "the action is protected"},
      {0x1005B300, "the action exists already"},
      {0x1005B301, "no free action slot"},
      {0x1065212C, "invalid POP name"},
      {0x10652134, "invalid rule name"},
      {0x1005B1C3, "the protected object's ACL map does not name exactly one ACL"},
      {0x1005B1C4, "the ACL attached to the protected object does not exist"},
      {0x1005B1CF, "no extended attributes"},
      {0x1005B1D0, "the POP attached to the protected object does not exist"},
      {0x1005B1DA, "the protected object's rule map does not name exactly one rule"},
      {0x1005B1DB, "the rule attached to the protected object does not exist"},
      {0x1005B1DC, "the protected object's POP map does not name exactly one POP"},
      {0x1005B38A, "not a kind of object that owns extended attributes"},
      {0x1005B5F1, "the protected object policy has no IP-authentication list"},
      {0x14C01274, "an IP-authentication network or netmask is not a valid address"},
      {0x10652065, "allocation failed"},
      {0x14601001, "the database file cannot be opened"},
      {0x14601002, "the database file exists already"},
      {0x14601003, "end of the database records"},
      {0x14601004, "the database file cannot be read or written"},
      {0x14601005, "the database file or a record is damaged"},
      {0x1460100A, "no space left on the file system (or the disk quota is used up)"},
      {0x1460100B, "the file system is read-only"},
      {0x1460100C, "a write could not be made durable and is lost: close and reopen the database"},
      {0x14601010, "no digest record of the replica file"},
      {0x14601020, "the master has not changed since the last published snapshot"},
      {0x14601021, "the snapshot server cannot be reached or did not answer in time"},
      {0x14601022, "the snapshot server answered with an HTTP error"},
      {0x14601023, "the snapshot manifest is not valid"},
      {0x14601024, "the snapshot is larger than allowed"},
      {0x14601025, "the snapshot does not match its manifest (size or SHA-256)"},
      {0x14601026, "the snapshot is not a valid zstd stream"},
      {0x14601027, "the TLS certificate of the snapshot server cannot be verified"},
      {0x14601028, "the snapshot URL is not http:// or https://, or the HTTP client cannot be set up"},
      {0x14601029, "the snapshot's database has another sequence number than its manifest names"},
      {0x1460102A, "the request to the snapshot server was cancelled"},
      {0x1460102B, "the https snapshot server redirected to a URL that is not https"},
      {0x1460102C, "the published user registry does not match its manifest or is not valid"},
      {0x1460102D, "no chain of published deltas leads from the replica to the master: a full snapshot is needed"},
      {0x14601040, "the snapshot manifest is not signed, and a signature is required"},
      {0x14601041, "the snapshot manifest is signed only by keys that are not trusted"},
      {0x14601042, "the signature of the snapshot manifest does not verify or is not valid"},
      {0x14601043, "the key file cannot be read or is not an Ed25519 key of the kind expected"},
      {0x14601044, "the private key file can be read or written by other users (chmod 600 it)"},
      {0x14601048, "the s3:// location or its endpoint is not valid"},
      {0x14601049, "no S3 credentials were found (environment, credentials file, instance metadata)"},
      {0x1460104A, "the oci:// location is not valid"},
      {0x1460104B, "the registry refused the credentials, or gave no token for them"},
      {0x14601006, "bad argument to the database file"},
      {0x14601007, "no database iteration in progress"},
      {0x10652201, "the record cannot be encoded"},
      {0x10652202, "the record cannot be decoded"},
      {0x14C527C7, "not a valid IPv4 or IPv6 address"},
      {0x14C50001, "not a valid UUID text"},
      {0x10652301, "no such attribute value"},
      {0x10652302, "the attribute value has another type"},
      {0x10652303, "the attribute record does not decode"},
      {0x14601008, "no record under the key"},
      {0x1460100F, "no record to delete under the key"},
      {0x1354A2EE, "a file cannot be removed"},
      {0x1354A2EF, "a file cannot be renamed"},
      {0x1354A2F5, "a file cannot be given mode 0600"},
      {0x1354A2F6, "no such file to move"},
      {0x1065206B, "a file cannot be mapped"},
      {0x1065206C, "a file cannot be unmapped"},
      {0x13279420, "the replica is being rebuilt"},
      {0x13279425, "the policy database file cannot be replaced"},
      {0x13279260, "the replica rebuild failed on the database file"},
      {0x13279261, "the replica rebuild failed"},
      {0x13279430, "the replica file is damaged and was set aside"},
      {0x13279431, "the master's copy is older than the replica (a rollback) and was refused"},
      {0x1005B1C7, "the database information is missing"},
      {0x1005B1C5, "the policy database version is too old"},
      {0x1354A553, "no domain manager"},
      {0x1354A554, "no such domain"},
      {0x14C0141C, "the registry client reported an error (0x14C0141C)"},
      {0x14C0141D, "the registry client reported an error (0x14C0141D)"},
      {0x14C0141E, "the registry client reported an error (0x14C0141E)"},
      {0x14C01420, "the registry handle cannot be created"},
      {0x14C01430, "no such user in the registry"},
      {0x14C01431, "no such group in the registry"},
      {0x14C01432, "a user or group name is empty, not valid UTF-8, or a uuid"},
      {0x14C01433, "the registry cannot be reached or read"},
      {0x14C01434, "a user or group by that name or uuid already exists"},
      {0x14C01435, "the registry file is damaged"},
      {0x14C01436, "users still belong to the group"},
      {0x14C01437, "several registry entries have that name"},
      {0x1354A0B4, "the registry settings lack the host, port, bind DN or password"},
      {0x1354A0BA, "the user registry cannot be started, or is not enabled"},
      {0x1354A0BB, "a registry replica is not a server name"},
      {0x1354A0BD, "a registry replica was refused"},
      {0x1354A0D0, "a configuration file is missing or cannot be read"},
      {0x1354A0D1, "a configuration file has a line that is not [stanza] or key = value"},
      {0x1354A0D2, "a configuration value has the wrong type"},
      {0x1354A0D3, "a required configuration item is missing"},
      {0x1354A0D4, "a configuration item is described wrongly"},
      {0x14C52FA7, "an action string names no action group of the catalogue, or its label is malformed"},
      {0x14C52FA8, "a bracketed action group name is longer than 255 bytes"},
  };
  for (auto const& e : table)
    if (e.code == status) return e.text;
  return "unknown status";
}
