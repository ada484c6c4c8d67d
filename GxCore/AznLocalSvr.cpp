// AznLocalSvr and AznAdminSvc: copies, conversion for the codec, the
// attribute form and the database form.
#include "GxCore/AznLocalSvr.h"

#include <memory>
#include <new>

#include "GxCore/coretrace.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/hxasn.h"
#include "outside/hxsvc.h"

namespace {

void traceStatus(unsigned long status) {
  HX_TRACE(policysrv_svc_handle, 0, hx_trace_level_status, "status:  0x%8.8lx\n", status);
}

// The keys of map, in the map's listing order (an owning list of clones).
void listKeys(ZHashKeyMap_6_0 const& map, ZArrayList_6_0& keys) { map.listKeys(keys); }

}  // namespace

// ---- AznAdminSvc --------------------------------------------------------------

AznAdminSvc::AznAdminSvc(ZUTF8String_6_0 const& name, ZUTF8String_6_0 const& server)
    : name_(name), server_(server) {}

AznAdminSvc::AznAdminSvc(ZUTF8String_6_0 const& server, aznadmsvc_s_t const& s) : name_(s.name), server_(server) {
  if (s.values == nullptr) return;
  for (uint32_t i = 0; i < s.count; ++i) addValue(s.values[i]);
}

AznAdminSvc::AznAdminSvc(AznAdminSvc const& other)
    : ZObject_6_0(other), name_(other.name_), server_(other.server_), values_(other.values_) {}

AznAdminSvc& AznAdminSvc::operator=(AznAdminSvc const& other) {
  if (this == &other) return *this;
  name_ = other.name_;
  server_ = other.server_;
  values_ = other.values_;
  return *this;
}

int AznAdminSvc::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<AznAdminSvc const*>(&other);
  if (!o) return ZObject_6_0::compare(other);
  int c = server_.compareTo(o->server_);
  return c != 0 ? c : name_.compareTo(o->name_);
}

bool AznAdminSvc::completelyEqual(AznAdminSvc const& other) const {
  if (name_ != other.name_ || server_ != other.server_ || values_.size() != other.values_.size()) return false;
  for (unsigned int i = 0; i < values_.size(); ++i)
    if (!other.values_.contains(*values_.get(i))) return false;
  return true;
}

// ---- AznLocalSvr ---------------------------------------------------------------

AznLocalSvr::AznLocalSvr() = default;

AznLocalSvr::AznLocalSvr(char const* id) : id_(id) {}

AznLocalSvr::AznLocalSvr(char const* id, char const* description, char const* user, char const* host,
                         unsigned int port, azn_service_mode_t mode, unsigned int version, int listen)
    : description_(description), user_(user), host_(host), id_(id), port_(port), listen_(listen), mode_(mode),
      version_(version) {}

AznLocalSvr::AznLocalSvr(aznlocal_svr_s_t const& s) { assign(s); }

AznLocalSvr::AznLocalSvr(AznLocalSvr const& other)
    : daStoreObject(other), description_(other.description_), user_(other.user_), host_(other.host_),
      id_(other.id_), port_(other.port_), listen_(other.listen_), mode_(other.mode_), version_(other.version_) {
  admsvcs_.putAll(other.admsvcs_);
}

AznLocalSvr& AznLocalSvr::operator=(AznLocalSvr const& other) {
  if (this == &other) return *this;
  daStoreObject::operator=(other);
  description_ = other.description_;
  user_ = other.user_;
  host_ = other.host_;
  id_ = other.id_;
  port_ = other.port_;
  listen_ = other.listen_;
  mode_ = other.mode_;
  version_ = other.version_;
  setAdmSvcs(other.admsvcs_);
  return *this;
}

void AznLocalSvr::assign(aznlocal_svr_s_t const& s) {
  id_ = s.id;
  description_ = s.description;
  user_ = s.user;
  host_ = s.host;
  port_ = s.port;
  mode_ = s.mode;
  version_ = s.version;
  listen_ = s.listen;
  setAdmSvcs(s.admsvc_count, s.admsvcs);
}

int AznLocalSvr::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<AznLocalSvr const*>(&other);
  return o ? id_.compareTo(o->id_) : daStoreObject::compare(other);
}

AznAdminSvc const* AznLocalSvr::getAdmSvc(char const* name) const {
  return static_cast<AznAdminSvc const*>(admsvcs_.getEntry(ZUTF8String_6_0(name)));
}

void AznLocalSvr::setAdmSvcs(unsigned int count, aznadmsvc_s_t const* svcs) {
  admsvcs_.removeAll();
  if (svcs == nullptr) return;
  for (unsigned int i = 0; i < count; ++i) {
    auto* svc = new AznAdminSvc(getName(), svcs[i]);
    admsvcs_.putEntry(svc->getName(), svc);
  }
}

void AznLocalSvr::setAdmSvcs(ZHashKeyMap_6_0 const& map) {
  if (&map == &admsvcs_) return;
  admsvcs_.removeAll();
  admsvcs_.putAll(map);
}

void AznLocalSvr::convert(aznlocal_svr_s_t& out) const {
  out = aznlocal_svr_s_t{};
  out.id = const_cast<char*>(getName().getChars());
  out.description = const_cast<char*>(description_.getChars());
  out.user = const_cast<char*>(user_.getChars());
  out.host = const_cast<char*>(host_.getChars());
  out.port = port_;
  out.mode = mode_;
  out.version = version_;
  out.listen = listen_;
  unsigned int const n = admsvcs_.size();
  if (n == 0) return;
  ZArrayList_6_0 keys(n, true);
  listKeys(admsvcs_, keys);
  // The service array is filled before it is published, so that a failed
  // allocation below leaves nothing behind.
  std::unique_ptr<aznadmsvc_s_t[]> svcs(new aznadmsvc_s_t[n]{});
  unsigned int filled = 0;
  try {
    for (; filled < keys.size() && filled < n; ++filled) {
      auto const* svc = static_cast<AznAdminSvc const*>(admsvcs_.getEntry(*keys.get(filled)));
      aznadmsvc_s_t& d = svcs[filled];
      d.name = const_cast<char*>(svc->getName().getChars());
      ZArrayList_6_0 const& values = svc->values();
      d.count = values.size();
      if (d.count != 0) {
        d.values = new char*[d.count];
        for (uint32_t v = 0; v < d.count; ++v)
          d.values[v] = const_cast<char*>(static_cast<ZUTF8String_6_0 const*>(values.get(v))->getChars());
      }
    }
  } catch (std::bad_alloc const&) {
    for (unsigned int i = 0; i < filled; ++i) delete[] svcs[i].values;
    throw;
  }
  out.admsvc_count = filled;
  out.admsvcs = svcs.release();
}

void AznLocalSvr::freeConvert(aznlocal_svr_s_t& out) {
  if (out.admsvcs != nullptr)
    for (uint32_t i = 0; i < out.admsvc_count; ++i) delete[] out.admsvcs[i].values;
  delete[] out.admsvcs;
  out = aznlocal_svr_s_t{};
}

unsigned long AznLocalSvr::encode(char const*, char const* qualifier, HXObject& target) {
  target.addStringValue("svrid", id_.getChars(), qualifier);
  target.addStringValue("svrdesc", description_.getChars(), qualifier);
  target.addStringValue("svruser", user_.getChars(), qualifier);
  target.addStringValue("svrhost", host_.getChars(), qualifier);
  target.addIntegerValue("svrport", port_, qualifier);
  target.addIntegerValue("svrmode", mode_, qualifier);
  target.addIntegerValue("svrver", version_, qualifier);
  target.addBooleanValue("svrlisten", listen_ != 0, qualifier);
  ZArrayList_6_0 keys(admsvcs_.size(), true);
  listKeys(admsvcs_, keys);
  for (unsigned int i = 0; i < keys.size(); ++i) {
    auto const* svc = static_cast<AznAdminSvc const*>(admsvcs_.getEntry(*keys.get(i)));
    char const* svcName = svc->getName().getChars();
    target.addStringValue("svradmsvc", svcName, qualifier);
    ZArrayList_6_0 const& values = svc->values();
    for (unsigned int v = 0; v < values.size(); ++v)
      target.addStringValue(svcName, static_cast<ZUTF8String_6_0 const*>(values.get(v))->getChars(), qualifier);
  }
  return 0;
}

unsigned long AznLocalSvr::decode(char const*, char const* qualifier, HXObject& source) {
  auto text = [&](char const* attr) {
    ZUTF8String_6_0 const* v = source.getStringValue(attr, 0, qualifier);
    return v ? *v : ZUTF8String_6_0();
  };
  id_ = text("svrid");
  description_ = text("svrdesc");
  user_ = text("svruser");
  host_ = text("svrhost");
  port_ = source.integerValue("svrport", 0, qualifier);
  mode_ = source.integerValue("svrmode", 0, qualifier);
  version_ = source.integerValue("svrver", 0, qualifier);
  listen_ = source.booleanValue("svrlisten", 0, qualifier) ? 1 : 0;
  admsvcs_.removeAll();
  unsigned int const n = source.length("svradmsvc", qualifier);
  for (unsigned int i = 0; i < n; ++i) {
    ZUTF8String_6_0 const* svcName = source.getStringValue("svradmsvc", i, qualifier);
    if (svcName == nullptr) continue;  // not a text value
    auto* svc = new AznAdminSvc(*svcName, id_);
    source.stringArrayValue(svcName->getChars(), svc->values(), qualifier);
    admsvcs_.putEntry(svc->getName(), svc);
  }
  return 0;
}

void AznLocalSvr::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_azn_server, record, status);
}

void AznLocalSvr::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  aznlocal_svr_s_t s;
  convert(s);
  status = hxAsnEncodeObj(buffer, s);
  if (status != 0) traceStatus(status);
  freeConvert(s);
}

void AznLocalSvr::decode(gxobj_t& record, unsigned long& status) {
  hx_asn_buffer_t buffer{record.length, record.data};
  aznlocal_svr_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) {
    traceStatus(status);
    return;
  }
  assign(decoded);
  hxAsnFreeObj(decoded);
}

void AznLocalSvr::decode(gxobj_t const& record, AznLocalSvr** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}
