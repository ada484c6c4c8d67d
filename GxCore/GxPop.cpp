#include "GxCore/GxPop.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "GxCore/coretrace.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/hxsvc.h"

namespace {

constexpr char const* ipv4Any = "0.0.0.0";

// The default entry's network and netmask: the IPv4 address 0.0.0.0.
ip_addr_s_t anyIPv4() {
  ip_addr_s_t a{};
  a.family = GxAddress::familyIPv4;
  std::memcpy(a.text, ipv4Any, std::strlen(ipv4Any));
  return a;
}

// A zeroed ip_addr_s_t holding a.
ip_addr_s_t toPlain(GxAddress const& a) {
  ip_addr_s_t p{};
  a.to_ip_addr_t(p);
  return p;
}

// The text field of p, which need not be NUL-terminated.
std::string textOf(ip_addr_s_t const& p) { return std::string(p.text, strnlen(p.text, sizeof p.text)); }

// The 32-bit value of 4 address bytes, first byte most significant.
uint32_t ipv4Value(unsigned char const* b) {
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

// Whether address bytes a lie in the network of entry e (n bytes compared).
bool inNetwork(unsigned char const* a, gxpop_ipauth2_s_t const& e, size_t n) {
  for (size_t k = 0; k < n; ++k)
    if ((a[k] & e.netmask.addr[k]) != e.network.addr[k]) return false;
  return true;
}

// A new, empty IP-auth list (null when the heap is exhausted).
gxpop_ipauth2_list_s_t* newList() {
  return static_cast<gxpop_ipauth2_list_s_t*>(std::calloc(1, sizeof(gxpop_ipauth2_list_s_t)));
}

std::string stringValue(HXObject const& attrs, char const* attr, unsigned int i, char const* q) {
  ZUTF8String_6_0 const* v = attrs.getStringValue(attr, i, q);
  return v ? std::string(v->getChars(), v->getLength()) : std::string();
}

}  // namespace

void GxPop::ListDeleter::operator()(gxpop_ipauth2_list_s_t* l) const noexcept {
  if (l == nullptr) return;
  hxAsnFreeObj(*l);
  std::free(l);
}

// ---- lifetime -------------------------------------------------------------------

GxPop::GxPop(gxpop_s_t const& s, daPopName const& /*name*/) { set(s); }

GxPop::GxPop(GxPop const& other) : daPolicyObject(other) { set(other.pop_); }

GxPop& GxPop::operator=(GxPop const& other) {
  if (this == &other) return *this;
  daPolicyObject::operator=(other);
  hxAsnFreeObj(pop_);
  attach(nullptr);  // loaded again, on demand, from the new attribute list
  set(other.pop_);
  return *this;
}

GxPop::~GxPop() {
  hxAsnFreeObj(pop_);
  attach(nullptr);
}

void GxPop::attach(ListPtr l) { ListPtr old(ipauth2_.exchange(l.release(), std::memory_order_acq_rel)); }

unsigned long GxPop::set(gxpop_s_t const& s) {
  setDescription(s.description);
  setWarningMode(static_cast<unsigned char>(s.warning_mode));
  setAuditLevel(s.audit_level);
  setQualityOfProtection(s.qop);
  setDayAccess(s.day_access);
  setStartAccess(s.start_access);
  setEndAccess(s.end_access);
  setTimeReferenceAccess(s.time_reference);
  if (s.ipauth != nullptr)
    for (uint32_t i = 0; i < s.ipauth_count; ++i)
      if (setNextIPAuth(s.ipauth[i].network, s.ipauth[i].netmask, s.ipauth[i].auth_level) != 0) return da_s_no_memory;
  if (s.attrlist.count != 0 && s.attrlist.entries != nullptr) {
    attrlist_s_t copy{};
    if (attrlist_dup(s.attrlist, copy) != 0) return da_s_no_memory;
    attrlist_free(pop_.attrlist);
    pop_.attrlist = copy;
  }
  return 0;
}

void GxPop::setDescription(char const* text) {
  char* copy = text ? strdup(text) : nullptr;  // before the free: text may be the old one
  std::free(pop_.description);
  pop_.description = copy;
}

void GxPop::clearIPv4() {
  std::free(pop_.ipauth);
  pop_.ipauth = nullptr;
  pop_.ipauth_count = 0;
}

// ---- IP-authentication entries ----------------------------------------------------

unsigned long GxPop::setNextIPAuth() {
  unsigned long status = setNextIPAuth(0, 0, 0);
  if (status != 0) return status;
  ListPtr list(newList());
  if (!list) return da_s_no_memory;
  attach(std::move(list));
  ip_addr_s_t const any = anyIPv4();
  status = setNextIPAuth(any, any, 0);
  return status != 0 ? status : setAttrlist();
}

unsigned long GxPop::setNextIPAuth(unsigned long network, unsigned long netmask, unsigned long level) {
  auto* grown = static_cast<gxpop_ipauth_s_t*>(
      std::realloc(pop_.ipauth, (size_t{pop_.ipauth_count} + 1) * sizeof(gxpop_ipauth_s_t)));
  if (grown == nullptr) return da_s_no_memory;
  pop_.ipauth = grown;
  pop_.ipauth[pop_.ipauth_count++] = gxpop_ipauth_s_t{static_cast<uint32_t>(network), static_cast<uint32_t>(netmask),
                                                      static_cast<uint32_t>(level)};
  return 0;
}

unsigned long GxPop::setNextIPAuth(ip_addr_s_t const& network, ip_addr_s_t const& netmask, unsigned long level) {
  if (loaded() == nullptr) {
    unsigned long const status = getIPAuthList();
    if (status != 0 && status != gx_s_pop_no_ipauth_list) return status;
  }
  gxpop_ipauth2_list_s_t* list = loaded();
  if (list == nullptr) return da_s_no_memory;
  auto* grown = static_cast<gxpop_ipauth2_s_t*>(
      std::realloc(list->entries, (size_t{list->count} + 1) * sizeof(gxpop_ipauth2_s_t)));
  if (grown == nullptr) return da_s_no_memory;
  list->entries = grown;
  gxpop_ipauth2_s_t& e = list->entries[list->count++];
  e = gxpop_ipauth2_s_t{};
  e.auth_level = static_cast<uint32_t>(level);
  e.network.family = network.family;
  e.netmask.family = netmask.family;
  bool const v6 = network.family == GxAddress::familyIPv6;
  size_t const textBytes = v6 ? sizeof e.network.text : 16;
  size_t const addrBytes = v6 ? sizeof e.network.addr : 4;
  std::memcpy(e.network.text, network.text, textBytes);
  std::memcpy(e.netmask.text, netmask.text, textBytes);
  std::memcpy(e.network.addr, network.addr, addrBytes);
  std::memcpy(e.netmask.addr, netmask.addr, addrBytes);
  // A caller's text that fills the whole field keeps its NUL here.
  e.network.text[sizeof e.network.text - 1] = '\0';
  e.netmask.text[sizeof e.netmask.text - 1] = '\0';
  return 0;
}

unsigned long GxPop::appendIPAuth(GxAddress const& network, GxAddress const& netmask, unsigned long level) {
  if (unsigned long st = setNextIPAuth(toPlain(network), toPlain(netmask), level); st != 0) return st;
  if (network.addressFamily() != GxAddress::familyIPv4 || netmask.addressFamily() != GxAddress::familyIPv4) return 0;
  unsigned char nw[4], nm[4];
  network.getBinAddress(4, nw);
  netmask.getBinAddress(4, nm);
  return setNextIPAuth(ipv4Value(nw), ipv4Value(nm), level);
}

unsigned long GxPop::getIPAuthList() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (loaded() != nullptr) return 0;
  ListPtr list(newList());
  if (!list) return da_s_no_memory;
  uint32_t const i = attrlist_find_entry(pop_.attrlist, ipAuthListAttr_);
  unsigned long status = gx_s_pop_no_ipauth_list;
  if (i != pop_.attrlist.count) {
    value_s_t const& v = pop_.attrlist.entries[i].value;
    // A failed decode leaves the list empty, and the empty list stays: the
    // stored value will not decode any better on a later call.
    status = hxAsnDecodeObj(hx_asn_buffer_t{v.length, v.data}, *list);
  }
  // Published complete, so lock-free readers see all of it or none.
  attach(std::move(list));
  return status;
}

namespace {

// Replaces list by a copy in which the entry called name holds value (null:
// has no such entry), first or after the other entries, which keep their
// order. On failure list is unchanged and the copy freed.
unsigned long replaceEntry(attrlist_s_t& list, char const* name, value_s_t const* value, bool valueFirst) {
  attrlist_s_t fresh{};
  unsigned long status = 0;
  if (value != nullptr && valueFirst) status = attrlist_add_entry(fresh, name, *value);
  for (uint32_t i = 0; status == 0 && i < list.count; ++i) {
    attrlist_entry_s_t const& e = list.entries[i];
    if (std::strcmp(e.name, name) != 0) status = attrlist_add_entry(fresh, e.name, e.value);
  }
  if (status == 0 && value != nullptr && !valueFirst) status = attrlist_add_entry(fresh, name, *value);
  if (status != 0) {
    attrlist_free(fresh);
    return status;
  }
  attrlist_free(list);
  list = fresh;
  return 0;
}

}  // namespace

unsigned long GxPop::setAttrlist() {
  gxpop_ipauth2_list_s_t const* list = loaded();
  if (list == nullptr) return 0;
  hx_asn_buffer_t encoded{0, nullptr};
  unsigned long status = hxAsnEncodeObj(encoded, *list);
  if (status != 0) return status;
  struct BufferGuard {
    hx_asn_buffer_t& b;
    ~BufferGuard() { hx_asn_buffer_free(b); }
  } guard{encoded};
  // The other entries (the access window's zone) are kept after it.
  value_s_t const value{ipAuthListValueType_, 0, encoded.length, encoded.data};
  return replaceEntry(pop_.attrlist, ipAuthListAttr_, &value, /*valueFirst=*/true);
}

std::string_view GxPop::zone() const {
  uint32_t const i = attrlist_find_entry(pop_.attrlist, zoneAttr_);
  if (i == pop_.attrlist.count) return {};
  value_s_t const& v = pop_.attrlist.entries[i].value;
  return std::string_view(reinterpret_cast<char const*>(v.data), v.length);
}

unsigned long GxPop::setZone(std::string_view name) {
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(name.data()));
  value_s_t const value{zoneValueType_, 0, static_cast<uint32_t>(name.size()), bytes};
  return replaceEntry(pop_.attrlist, zoneAttr_, name.empty() ? nullptr : &value, /*valueFirst=*/false);
}

gxpop_ipauth2_list_s_t const* GxPop::loadedWithEntries() const {
  gxpop_ipauth2_list_s_t const* list = loaded();
  return list != nullptr && list->count != 0 && list->entries != nullptr ? list : nullptr;
}

unsigned long GxPop::get_auth_count() const {
  gxpop_ipauth2_list_s_t const* list = loadedWithEntries();
  return list ? list->count : pop_.ipauth_count;
}

unsigned long GxPop::get_network_addr(int i) const {
  return i >= 0 && static_cast<uint32_t>(i) < pop_.ipauth_count ? pop_.ipauth[i].network : 0;
}

unsigned long GxPop::get_netmask_addr(int i) const {
  return i >= 0 && static_cast<uint32_t>(i) < pop_.ipauth_count ? pop_.ipauth[i].netmask : 0;
}

unsigned long GxPop::get_network_addr(int i, GxAddress& out) const {
  if (i < 0) return 0;
  if (gxpop_ipauth2_list_s_t const* list = loadedWithEntries()) {
    if (static_cast<uint32_t>(i) < list->count) out = GxAddress(&list->entries[i].network);
  } else if (static_cast<uint32_t>(i) < pop_.ipauth_count) {
    out = GxAddress(static_cast<unsigned long>(pop_.ipauth[i].network));
  }
  return 0;
}

unsigned long GxPop::get_netmask_addr(int i, GxAddress& out) const {
  if (i < 0) return 0;
  if (gxpop_ipauth2_list_s_t const* list = loadedWithEntries()) {
    if (static_cast<uint32_t>(i) < list->count) out = GxAddress(&list->entries[i].netmask);
  } else if (static_cast<uint32_t>(i) < pop_.ipauth_count) {
    out = GxAddress(static_cast<unsigned long>(pop_.ipauth[i].netmask));
  }
  return 0;
}

unsigned long GxPop::get_auth_level(int i) const {
  if (i < 0) return noAuthLevel_;
  if (gxpop_ipauth2_list_s_t const* list = loadedWithEntries())
    return static_cast<uint32_t>(i) < list->count ? list->entries[i].auth_level : noAuthLevel_;
  return static_cast<uint32_t>(i) < pop_.ipauth_count ? pop_.ipauth[i].auth_level : noAuthLevel_;
}

unsigned long GxPop::get_auth_level(GxAddress const& a) const {
  uint32_t const family = static_cast<uint32_t>(a.addressFamily());
  unsigned char bytes[16] = {};
  a.getBinAddress(sizeof bytes, bytes);  // an invalid address leaves zeros
  if (gxpop_ipauth2_list_s_t const* list = loadedWithEntries()) {
    size_t const n = family == GxAddress::familyIPv4 ? 4 : 16;
    for (uint32_t i = 1; i < list->count; ++i) {
      gxpop_ipauth2_s_t const& e = list->entries[i];
      if (e.network.family == family && inNetwork(bytes, e, n)) return e.auth_level;
    }
    return list->entries[0].auth_level;
  }
  if (pop_.ipauth_count == 0 || pop_.ipauth == nullptr) return noAuthLevel_;
  if (family == GxAddress::familyIPv4) {
    uint32_t const v = ipv4Value(bytes);
    for (uint32_t i = 1; i < pop_.ipauth_count; ++i)
      if ((v & pop_.ipauth[i].netmask) == pop_.ipauth[i].network) return pop_.ipauth[i].auth_level;
  }
  return pop_.ipauth[0].auth_level;
}

// ---- database form -----------------------------------------------------------------

void GxPop::encode(hx_asn_buffer_t& buffer, unsigned long& status) const { status = hxAsnEncodeObj(buffer, pop_); }

void GxPop::encode(gxobj_t& record, unsigned long& status) {
  status = 0;
  HXObject::init_gxobj(record, gx_type_pop);
  hx_asn_buffer_t buffer{0, nullptr};
  encode(buffer, status);
  if (status != 0) return;
  record.length = buffer.length;
  record.data = buffer.data;
}

void GxPop::decode(gxobj_t& record, unsigned long& status) {
  status = 0;
  gxpop_s_t decoded;
  status = hxAsnDecodeObj(hx_asn_buffer_t{record.length, record.data}, decoded);
  if (status != 0) return;
  hxAsnFreeObj(pop_);
  attach(nullptr);
  status = set(decoded);
  hxAsnFreeObj(decoded);
}

void GxPop::decode(gxobj_t const& record, GxPop** out, unsigned long& status) {
  status = 0;
  if (out == nullptr) {
    status = hx_asn_s_decode_failed;
    return;
  }
  *out = nullptr;
  gxpop_s_t decoded;
  status = hxAsnDecodeObj(hx_asn_buffer_t{record.length, record.data}, decoded);
  if (status != 0) return;
  std::unique_ptr<GxPop> pop(new (std::nothrow) GxPop());
  status = pop ? pop->set(decoded) : da_s_no_memory;
  hxAsnFreeObj(decoded);
  if (status == 0) *out = pop.release();
}

// ---- attribute form -----------------------------------------------------------------

unsigned long GxPop::encode510(char const* name, char const* q, HXObject& attrs) {
  attrs.addStringValue("popid", name, q);
  attrs.addStringValue("popdesc", pop_.description ? pop_.description : "", q);
  attrs.addBooleanValue("popwmode", warningMode() != 0, q);
  attrs.addIntegerValue("popauditlevel", pop_.audit_level, q);
  attrs.addIntegerValue("popqop", pop_.qop, q);
  attrs.addIntegerValue("popdayaccess", pop_.day_access, q);
  attrs.addIntegerValue("popstartaccess", static_cast<uint32_t>(pop_.start_access), q);
  attrs.addIntegerValue("popendaccess", static_cast<uint32_t>(pop_.end_access), q);
  attrs.addIntegerValue("poptref", pop_.time_reference, q);
  attrs.addIntegerValue("popauthcount", pop_.ipauth_count, q);
  for (uint32_t i = 0; i < pop_.ipauth_count; ++i) {
    attrs.addIntegerValue("popnwaddr", pop_.ipauth[i].network, q);
    attrs.addIntegerValue("popnmaddr", pop_.ipauth[i].netmask, q);
    attrs.addIntegerValue("popauthlevel", pop_.ipauth[i].auth_level, q);
  }
  return 0;
}

void GxPop::writeAddressAttrs(char const* q, HXObject& attrs) {
  if (gxpop_ipauth2_list_s_t const* list = loadedWithEntries()) {
    attrs.addIntegerValue("popauthcount2", list->count, q);
    for (uint32_t i = 0; i < list->count; ++i) {
      gxpop_ipauth2_s_t const& e = list->entries[i];
      attrs.addStringValue("popnwaddr2", textOf(e.network).c_str(), q);
      attrs.addStringValue("popnmaddr2", textOf(e.netmask).c_str(), q);
      attrs.addIntegerValue("popauthlevel2", e.auth_level, q);
    }
    return;
  }
  attrs.addIntegerValue("popauthcount2", pop_.ipauth_count, q);
  for (uint32_t i = 0; i < pop_.ipauth_count; ++i) {
    ZUTF8String_6_0 network, netmask;
    GxAddress(static_cast<unsigned long>(pop_.ipauth[i].network)).getStrAddress(network);
    GxAddress(static_cast<unsigned long>(pop_.ipauth[i].netmask)).getStrAddress(netmask);
    attrs.addStringValue("popnwaddr2", network.getChars(), q);
    attrs.addStringValue("popnmaddr2", netmask.getChars(), q);
    attrs.addIntegerValue("popauthlevel2", pop_.ipauth[i].auth_level, q);
  }
}

unsigned long GxPop::encode(char const* name, char const* q, HXObject& attrs) {
  encode510(name, q, attrs);
  unsigned long const status = getIPAuthList();
  // A POP stored without "popipauthlist" writes its IPv4 list instead.
  if (status != 0 && status != gx_s_pop_no_ipauth_list) return status;
  writeAddressAttrs(q, attrs);
  return 0;
}

void GxPop::scalarsFrom(char const* q, HXObject const& attrs) {
  ZUTF8String_6_0 const* desc = attrs.getStringValue("popdesc", 0, q);
  setDescription(desc ? desc->getChars() : nullptr);
  setWarningMode(static_cast<unsigned char>(attrs.booleanValue("popwmode", 0, q)));
  setAuditLevel(attrs.integerValue("popauditlevel", 0, q));
  setQualityOfProtection(attrs.integerValue("popqop", 0, q));
  setDayAccess(attrs.integerValue("popdayaccess", 0, q));
  // The window bounds travel as unsigned 32-bit values of signed numbers.
  setStartAccess(static_cast<int32_t>(attrs.integerValue("popstartaccess", 0, q)));
  setEndAccess(static_cast<int32_t>(attrs.integerValue("popendaccess", 0, q)));
  setTimeReferenceAccess(attrs.integerValue("poptref", 0, q));
}

unsigned long GxPop::decode(char const* /*name*/, char const* q, HXObject& attrs) {
  scalarsFrom(q, attrs);
  ListPtr fresh(newList());
  if (!fresh) return da_s_no_memory;
  attach(std::move(fresh));
  unsigned int const n = attrs.integerValue("popauthcount2", 0, q);
  // Every text is checked before any entry is added. A missing value reads
  // as an empty text and fails, so n is effectively bounded by the values.
  for (unsigned int i = 1; i < n; ++i) {
    if (!GxAddress(stringValue(attrs, "popnwaddr2", i, q).c_str()).addressIsValid() ||
        !GxAddress(stringValue(attrs, "popnmaddr2", i, q).c_str()).addressIsValid()) {
      HX_TRACE(policysrv_svc_handle, 0, hx_trace_level_status, "status:  0x%8.8lx\n", gx_s_pop_bad_ipauth_address);
      return gx_s_pop_bad_ipauth_address;
    }
  }
  clearIPv4();
  unsigned long const level0 = attrs.integerValue("popauthlevel2", 0, q);
  ip_addr_s_t const any = anyIPv4();
  if (setNextIPAuth(any, any, level0) != 0 || setNextIPAuth(0, 0, level0) != 0) return da_s_no_memory;
  for (unsigned int i = 1; i < n; ++i) {
    GxAddress const network(stringValue(attrs, "popnwaddr2", i, q).c_str());
    GxAddress const netmask(stringValue(attrs, "popnmaddr2", i, q).c_str());
    if (appendIPAuth(network, netmask, attrs.integerValue("popauthlevel2", i, q)) != 0) return da_s_no_memory;
  }
  return setAttrlist();
}

unsigned long GxPop::decode510(char const* /*name*/, char const* q, HXObject& attrs) {
  scalarsFrom(q, attrs);
  // The 5.1.0 form knows only IPv4 networks: the IPv6 entries are kept
  // aside and appended after the new IPv4 ones. A list that does not load
  // has none to keep, and does not stop the decoding.
  hx_malloc_ptr<gxpop_ipauth2_s_t> kept;
  uint32_t keptCount = 0;
  if (getIPAuthList() == 0) {
    if (gxpop_ipauth2_list_s_t const* list = loadedWithEntries()) {
      kept.reset(hx_calloc_array<gxpop_ipauth2_s_t>(list->count));
      if (!kept) return da_s_no_memory;
      for (uint32_t i = 0; i < list->count; ++i)
        if (list->entries[i].network.family == GxAddress::familyIPv6) kept.get()[keptCount++] = list->entries[i];
    }
  }
  clearIPv4();
  if (gxpop_ipauth2_list_s_t* list = loaded()) {
    hxAsnFreeObj(*list);
  } else {
    ListPtr fresh(newList());
    if (!fresh) return da_s_no_memory;
    attach(std::move(fresh));
  }
  unsigned int const n = std::min({attrs.integerValue("popauthcount", 0, q), attrs.length("popnwaddr", q),
                                   attrs.length("popnmaddr", q), attrs.length("popauthlevel", q)});
  for (unsigned int i = 0; i < n; ++i) {
    unsigned long const network = attrs.integerValue("popnwaddr", i, q);
    unsigned long const netmask = attrs.integerValue("popnmaddr", i, q);
    unsigned long const level = attrs.integerValue("popauthlevel", i, q);
    if (setNextIPAuth(network, netmask, level) != 0 ||
        setNextIPAuth(toPlain(GxAddress(network)), toPlain(GxAddress(netmask)), level) != 0)
      return da_s_no_memory;
  }
  for (uint32_t i = 0; i < keptCount; ++i) {
    gxpop_ipauth2_s_t const& e = kept.get()[i];
    if (setNextIPAuth(e.network, e.netmask, e.auth_level) != 0) return da_s_no_memory;
  }
  return setAttrlist();
}
